#include <windows.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "console/console.h"
#include "console_capture.h"
#include "console/progress_text.h"

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(ProgressFigures, PercentAndCellsTruncate) {
  struct Row {
    std::int64_t done, total;
    int percent, cells;
  };
  const Row rows[] = {
      {0, 0, 100, 40},      // nothing to fetch: full bar
      {12345, 0, 100, 40},  // whatever is done
      {0, 100, 0, 0},
      {2, 100, 2, 0},  // 0-2 %: no cell
      {3, 100, 3, 1},
      {4, 100, 4, 1},               // 3-4 %: one cell
      {5 << 20, 20 << 20, 25, 10},  // 5 MB of 20 MB
      {98, 100, 98, 39},
      {99, 100, 99, 39},  // only 100 % fills all 40
      {999, 1000, 99, 39},
      {100, 100, 100, 40},
      {150, 100, 100, 40},  // done above total is capped
  };
  for (const Row& row : rows) {
    const ProgressFigures figures = ComputeProgress(row.done, row.total);
    EXPECT_EQ(figures.percent, row.percent) << row.done << "/" << row.total;
    EXPECT_EQ(figures.filledCells, row.cells) << row.done << "/" << row.total;
  }
}

TEST(ProgressFigures, ExtremeCountersNeverOverflow) {
  // Sizes come from the server; these would overflow done * 100.
  EXPECT_EQ(ComputeProgress(kMax, kMax).percent, 100);
  EXPECT_EQ(ComputeProgress(kMax / 2, kMax).percent, 49);
  EXPECT_EQ(ComputeProgress(kMax - 1, kMax).percent, 99);
  EXPECT_EQ(ComputeProgress(kMax, 1).percent, 100);
  EXPECT_EQ(ComputeProgress(kMin, 1).filledCells, 0);
  EXPECT_EQ(ComputeProgress(kMin, kMax).filledCells, 0);
  // Just below the int range once scaled: stays negative, never wraps to a huge positive.
  EXPECT_EQ(ComputeProgress(-2147483699, 100).percent, std::numeric_limits<int>::min());
  EXPECT_EQ(ComputeProgress(-2147483699, 100).filledCells, 0);
  EXPECT_EQ(ComputeProgress(5, -1).percent, 100);  // a negative total counts as nothing to do
  EXPECT_EQ(ComputeProgress(kMin, -1).percent, 100);
}

TEST(ProgressFigures, RedrawThrottleSurvivesTickWrap) {
  EXPECT_FALSE(RedrawDue(1099, 1000, 100));
  EXPECT_TRUE(RedrawDue(1100, 1000, 100));
  EXPECT_TRUE(RedrawDue(50, 0xFFFFFFF0u, 10));                // 0x42 ms across the wrap
  EXPECT_FALSE(RedrawDue(5, 0xFFFFFFF0u, 100));               // 21 ms across the wrap
  EXPECT_TRUE(RedrawDue(GetTickCount() | 0x10000u, 0, 100));  // first draw after start
}

class DrawProgressTest : public testing::Test {
 protected:
  void SetUp() override { CaptureConsoleOutput(&capture_); }
  void TearDown() override { CaptureConsoleOutput(nullptr); }
  std::wstring Text() const {
    std::wstring all;
    for (const auto& piece : capture_.pieces) all += piece.second;
    return all;
  }
  ConsoleCapture capture_;
  ProgressLine line_;
};

TEST_F(DrawProgressTest, DrawsEachPieceInItsColour) {
  line_.totalBytes = 20 << 20;
  DrawProgress(line_, 5 << 20, true);
  ASSERT_EQ(capture_.pieces.size(), 3u);
  EXPECT_EQ(capture_.pieces[0].first, 12);
  EXPECT_EQ(capture_.pieces[0].second, L"\r  [##########..............................]");
  EXPECT_EQ(capture_.pieces[1].first, 15);
  EXPECT_EQ(capture_.pieces[1].second, L"  25%");
  EXPECT_EQ(capture_.pieces[2].first, 8);
  EXPECT_EQ(capture_.pieces[2].second, L"  5.0 / 20.0 MB   ");
}

TEST_F(DrawProgressTest, DoneAboveTotalShowsRealFigures) {
  line_.totalBytes = 1 << 20;
  DrawProgress(line_, 3 << 20, true);
  EXPECT_NE(Text().find(L"[########################################] 100%  3.0 / 1.0 MB   "), std::wstring::npos);
}

TEST_F(DrawProgressTest, UnforcedDrawsAreThrottledButCounted) {
  line_.totalBytes = 1000;
  DrawProgress(line_, 0, true);  // restarts the interval
  capture_.pieces.clear();
  DrawProgress(line_, 100, false);
  DrawProgress(line_, 200, false);
  EXPECT_TRUE(capture_.pieces.empty());
  EXPECT_EQ(line_.doneBytes, 300);
  line_.lastDrawTick = GetTickCount() - 100;  // as if 100 ms had passed
  DrawProgress(line_, 0, false);
  EXPECT_NE(Text().find(L" 30%"), std::wstring::npos);
  capture_.pieces.clear();
  DrawProgress(line_, 0, true);  // forced: draws at once
  EXPECT_FALSE(capture_.pieces.empty());
}

}  // namespace
