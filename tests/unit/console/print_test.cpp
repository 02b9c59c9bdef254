#include <gtest/gtest.h>

#include <string>

#include "console/console.h"
#include "console_capture.h"

namespace {

TEST(PrintColored, EndsOnNormalColourWithWholeWideArguments) {
  ConsoleCapture capture;
  CaptureConsoleOutput(&capture);
  SetConsoleColor(Color::Warning);
  PrintColored(Color::Success, "  Counter-Strike 1.6 bulundu: %ls\n", L"D:\\Oyunlar\\\u00d6\u015f\u011f\u0130");
  PrintColored(Color::Error, "  hata (%d)\n", 403);
  PrintPlain("x");
  CaptureConsoleOutput(nullptr);
  ASSERT_EQ(capture.pieces.size(), 3u);
  EXPECT_EQ(capture.pieces[0].first, 10);
  EXPECT_EQ(capture.pieces[0].second, L"  Counter-Strike 1.6 bulundu: D:\\Oyunlar\\\u00d6\u015f\u011f\u0130\n");
  EXPECT_EQ(capture.pieces[1].second, L"  hata (403)\n");
  EXPECT_EQ(capture.pieces[2].first, 7);  // plain text comes in the restored normal colour
}

TEST(PrintColored, LongArgumentsAreNotCut) {
  ConsoleCapture capture;
  CaptureConsoleOutput(&capture);
  const std::wstring path(5000, L'\u015f');
  PrintColored(Color::Normal, "<%ls>", path.c_str());
  CaptureConsoleOutput(nullptr);
  ASSERT_EQ(capture.pieces.size(), 1u);
  EXPECT_EQ(capture.pieces[0].second, L"<" + path + L">");
}

}  // namespace
