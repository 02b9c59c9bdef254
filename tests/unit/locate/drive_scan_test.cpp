#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "locate/drive_scan.h"
#include "test_tree.h"

namespace {

// Collects the folders the walk reports, in order.
struct Reported {
  std::vector<std::wstring> folders;
  ScanReport report{{}, [this](const std::wstring& folder) { folders.push_back(folder); }, {}};
};

TEST(ScanRedrawDue, MoreThan120MsUnsignedAcrossTheWrap) {
  const struct {
    std::uint32_t now;
    std::uint32_t last;
    bool due;
  } cases[] = {
      {120, 0, false},           {121, 0, true}, {5000, 4880, false}, {5000, 4879, true},
      {0x10, 0xFFFFFFF0, false},  // 32 ms across the wrap
      {104, 0xFFFFFFF0, false},   // 120 ms across the wrap
      {105, 0xFFFFFFF0, true},    // 121 ms across the wrap
      {1000, 0, true},            // first draw after start: last tick still 0
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScanRedrawDue(c.now, c.last), c.due) << c.now << " " << c.last;
  }
}

// A folder that cannot be listed is still reported first; nothing on disk is needed.
std::vector<std::wstring> ReportedFor(std::wstring folder, std::uint32_t lastTick, std::uint32_t depth = 1) {
  Reported reported;
  std::wstring found = L"untouched";
  EXPECT_FALSE(ScanForGame(folder, depth, lastTick, found, reported.report));
  EXPECT_EQ(found, L"untouched");
  return reported.folders;
}

TEST(ScanForGame, ReportsItsFolderThrottledByTheUnsignedTickDifference) {
  const std::uint32_t now = GetTickCount();
  EXPECT_TRUE(ReportedFor(L"Q:\\a", now).empty());
  // A last tick "ahead" of now is the wrap seen from the other side: a long time ago.
  EXPECT_EQ(ReportedFor(L"Q:\\a", now + 1000), std::vector<std::wstring>{L"Q:\\a"});
  // A folder with no budget left is tested but neither listed nor reported.
  EXPECT_TRUE(ReportedFor(L"Q:\\a", now - 10000, 0).empty());
}

struct TreeCase {
  const wchar_t* game;  // relative to the scan root
  bool found;
};

void ExpectScan(const std::vector<TreeCase>& cases) {
  for (const TreeCase& c : cases) {
    TempTree tree;
    tree.MakeGame(c.game);
    std::wstring folder = tree.Path();
    std::wstring found;
    std::uint32_t lastTick = 0;
    const bool hit = ScanForGame(folder, kScanDepth, lastTick, found, ScanReport{});
    EXPECT_EQ(hit, c.found) << c.game;
    EXPECT_EQ(found, c.found ? tree.Path(c.game) : L"") << c.game;
    EXPECT_EQ(folder, tree.Path()) << "folder text restored after " << c.game;
  }
}

TEST(ScanForGame, DepthBudget) {
  ExpectScan({
      {L"Games\\Counter-Strike", true},
      {L"1\\2\\3\\4\\5\\6\\7", true},
      {L"1\\2\\3\\4\\5\\6\\7\\8", false},
  });
}

TEST(ScanForGame, SkippedNamesAndDotFoldersAtAnyLevel) {
  ExpectScan({
      {L"Users\\me\\AppData\\Local\\cs16", false},
      {L"appdata\\cs16", false},
      {L"WINDOWS\\cs16", false},
      {L"a\\b\\c\\.git\\cs16", false},
      {L"projects\\node_modules\\cs16", false},
      {L"Program Files\\Microsoft\\cs16", false},
      {L".hidden\\cs16", false},
      {L"$RECYCLE.BIN\\cs16", false},
      {L"System Volume Information\\cs16", false},
      {L"Games\\Recovery", false},  // the game folder itself bears a skipped name
      {L"Games\\Recovery2\\cs16", true},
      {L"Games\\AppDataBackup\\cs16", true},
      {L"Games\\x.git\\cs16", true},
  });
}

TEST(ScanForGame, RootThatIsTheGameIsFoundWithoutListing) {
  Reported reported;
  TempTree tree;
  tree.MakeGame(L"");
  std::uint32_t lastTick = GetTickCount() - 10000;
  std::wstring folder = tree.Path();
  std::wstring found;
  EXPECT_TRUE(ScanForGame(folder, kScanDepth, lastTick, found, reported.report));
  EXPECT_EQ(found, tree.Path());
  EXPECT_TRUE(reported.folders.empty());
}

TEST(ScanForGame, BudgetCountsLevelsBelowTheStart) {
  TempTree tree;
  tree.MakeFile(L"file", "x");
  tree.MakeGame(L"deep\\cs16");
  const struct {
    std::uint32_t depth;
    bool found;
  } cases[] = {{0, false}, {1, false}, {2, true}};
  for (const auto& c : cases) {
    std::wstring folder = tree.Path();
    std::wstring found;
    std::uint32_t lastTick = 0;
    EXPECT_EQ(ScanForGame(folder, c.depth, lastTick, found, ScanReport{}), c.found) << c.depth;
    EXPECT_EQ(found, c.found ? tree.Path(L"deep\\cs16") : L"") << c.depth;
  }
}

}  // namespace
