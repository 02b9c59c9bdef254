#include <gtest/gtest.h>

#include <string>

#include "console/console.h"
#include "console_capture.h"

namespace {

TEST(PrintColored, EndsOnNormalColourWithWholeWideArguments) {
  ConsoleCapture capture;
  CaptureConsoleOutput(&capture);
  SetConsoleColour(Colour::Warning);
  PrintColored(Colour::Success, "  Counter-Strike 1.6 bulundu: %ls\n", L"D:\\Oyunlar\\\u00d6\u015f\u011f\u0130");
  PrintColored(Colour::Error, "  hata (%d)\n", 403);
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
  PrintColored(Colour::Normal, "<%ls>", path.c_str());
  CaptureConsoleOutput(nullptr);
  ASSERT_EQ(capture.pieces.size(), 1u);
  EXPECT_EQ(capture.pieces[0].second, L"<" + path + L">");
}

TEST(Utf8ToWide, ConvertsAndStopsAtNul) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(Utf8ToWide("maps/a b.bsp"), L"maps/a b.bsp");
  EXPECT_EQ(Utf8ToWide("\xc3\xb6\xc5\x9f\xc4\x9f\xc4\xb0"), L"\u00f6\u015f\u011f\u0130");
  EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(Utf8ToWide("a\xff"), L"a\ufffd");
  EXPECT_EQ(WideToUtf8(L"\u00f6 \U0001F600"), "\xc3\xb6 \xf0\x9f\x98\x80");
}

}  // namespace
