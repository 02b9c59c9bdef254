// What the launcher shows of the drive walk.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "console_capture.h"
#include "launcher/messages.h"

namespace {

TEST(ScanProgressText, CutsAfterSeventyUnits) {
  const std::wstring seventy(70, L'x');
  const std::wstring seventyOne = L"C:\\" + std::wstring(68, L'y');
  EXPECT_EQ(ScanProgressText(L"D:"), L"D:");
  EXPECT_EQ(ScanProgressText(seventy), seventy);
  EXPECT_EQ(ScanProgressText(seventyOne), seventyOne.substr(0, 67) + L"...");
  EXPECT_EQ(ScanProgressText(std::wstring(300, L'z')), std::wstring(67, L'z') + L"...");
  // A pair split by the cut would leave half a character: the whole pair goes.
  std::wstring pairAtCut(66, L'p');
  pairAtCut += L"\xD83D\xDE00tail";
  EXPECT_EQ(ScanProgressText(pairAtCut), std::wstring(66, L'p') + L"...");
}

// The line as the walk's report of one folder draws it, with its colours.
std::vector<std::pair<ConsoleAttribute, std::wstring>> DrawnFor(const std::wstring& folder) {
  ConsoleCapture capture;
  CaptureConsoleOutput(&capture);
  ScanLines().folder(folder);
  CaptureConsoleOutput(nullptr);
  return capture.pieces;
}

TEST(ScanLine, ShowsTheFolderInDarkGreyPaddedTo72Columns) {
  const std::wstring seventy = L"Q:\\" + std::wstring(67, L'a');
  const std::wstring seventyOne = L"Q:\\" + std::wstring(68, L'b');

  auto pieces = DrawnFor(seventy);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].first, Color::Quiet);
  EXPECT_EQ(pieces[0].second, L"\r  Taraniyor: " + seventy + L"  ");

  pieces = DrawnFor(seventyOne);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].second, L"\r  Taraniyor: " + seventyOne.substr(0, 67) + L"...  ");

  pieces = DrawnFor(L"Q:");
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].second, L"\r  Taraniyor: Q:" + std::wstring(70, L' '));
}

}  // namespace
