#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "console/console.h"
#include "console_capture.h"
#include "locate/drive_scan.h"
#include "test_tree.h"

namespace {

// Collects what the scan prints, with the colour each piece was printed in.
class CapturedConsole {
 public:
  CapturedConsole() { CaptureConsoleOutput(&capture_); }
  ~CapturedConsole() { CaptureConsoleOutput(nullptr); }
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;
  const std::vector<std::pair<ConsoleAttribute, std::wstring>>& Pieces() const {
    return capture_.pieces;
  }

 private:
  ConsoleCapture capture_;
};

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

TEST(ScanRedrawDue, MoreThan120MsUnsignedAcrossTheWrap) {
  const struct {
    std::uint32_t now;
    std::uint32_t last;
    bool due;
  } cases[] = {
      {120, 0, false},          {121, 0, true},
      {5000, 4880, false},      {5000, 4879, true},
      {0x10, 0xFFFFFFF0, false},  // 32 ms across the wrap
      {104, 0xFFFFFFF0, false},   // 120 ms across the wrap
      {105, 0xFFFFFFF0, true},    // 121 ms across the wrap
      {1000, 0, true},           // first draw after start: last tick still 0
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScanRedrawDue(c.now, c.last), c.due) << c.now << " " << c.last;
  }
}

// A folder that cannot be listed still shows its line first; nothing on disk is needed.
std::vector<std::pair<ConsoleAttribute, std::wstring>> DrawFor(std::wstring folder,
                                                               std::uint32_t lastTick,
                                                               std::uint32_t depth = 1) {
  CapturedConsole console;
  std::wstring found = L"untouched";
  EXPECT_FALSE(ScanForGame(folder, depth, lastTick, found));
  EXPECT_EQ(found, L"untouched");
  return console.Pieces();
}

TEST(ScanLine, ShowsTheFolderInDarkGreyPaddedTo72Columns) {
  const std::wstring seventy = L"Q:\\" + std::wstring(67, L'a');
  const std::wstring seventyOne = L"Q:\\" + std::wstring(68, L'b');
  const std::uint32_t longAgo = GetTickCount() - 10000;

  auto pieces = DrawFor(seventy, longAgo);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].first, Color::Quiet);
  EXPECT_EQ(pieces[0].second, L"\r  Taraniyor: " + seventy + L"  ");

  pieces = DrawFor(seventyOne, longAgo);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].second, L"\r  Taraniyor: " + seventyOne.substr(0, 67) + L"...  ");

  pieces = DrawFor(L"Q:", longAgo);
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0].second, L"\r  Taraniyor: Q:" + std::wstring(70, L' '));
}

TEST(ScanLine, ThrottledByTheUnsignedTickDifference) {
  const std::uint32_t now = GetTickCount();
  EXPECT_TRUE(DrawFor(L"Q:\\a", now).empty());
  // A last tick "ahead" of now is the wrap seen from the other side: a long time ago.
  EXPECT_EQ(DrawFor(L"Q:\\a", now + 1000).size(), 1u);
  // A folder with no budget left is tested but neither listed nor shown.
  EXPECT_TRUE(DrawFor(L"Q:\\a", now - 10000, 0).empty());
}

struct TreeCase {
  const wchar_t* game;  // relative to the scan root
  bool found;
};

void ExpectScan(const std::vector<TreeCase>& cases) {
  CapturedConsole quiet;
  for (const TreeCase& c : cases) {
    TempTree tree;
    tree.MakeGame(c.game);
    std::wstring folder = tree.Path();
    std::wstring found;
    std::uint32_t lastTick = 0;
    const bool hit = ScanForGame(folder, kScanDepth, lastTick, found);
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
  CapturedConsole console;
  TempTree tree;
  tree.MakeGame(L"");
  std::uint32_t lastTick = GetTickCount() - 10000;
  std::wstring folder = tree.Path();
  std::wstring found;
  EXPECT_TRUE(ScanForGame(folder, kScanDepth, lastTick, found));
  EXPECT_EQ(found, tree.Path());
  EXPECT_TRUE(console.Pieces().empty());
}

TEST(ScanForGame, BudgetCountsLevelsBelowTheStart) {
  CapturedConsole quiet;
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
    EXPECT_EQ(ScanForGame(folder, c.depth, lastTick, found), c.found) << c.depth;
    EXPECT_EQ(found, c.found ? tree.Path(L"deep\\cs16") : L"") << c.depth;
  }
}

}  // namespace
