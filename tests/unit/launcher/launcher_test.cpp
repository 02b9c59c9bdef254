#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/game_launch.h"
#include "launcher/launcher.h"
#include "launcher/self_install.h"

namespace {

TEST(FolderOfPath, KeepsEverythingUpToTheLastBackslash) {
  EXPECT_EQ(FolderOfPath(L"C:\\Games\\Mod\\Korvantis.exe"), L"C:\\Games\\Mod\\");
  EXPECT_EQ(FolderOfPath(L"Korvantis.exe"), L"");
  EXPECT_EQ(FolderOfPath(L"C:/Games/Mod/Korvantis.exe"), L"");  // "/" is no separator here
  EXPECT_EQ(FolderOfPath(L"\\\\server\\share\\a.exe"), L"\\\\server\\share\\");
}

TEST(QueryModulePath, GivesTheWholePath) {
  const std::optional<std::wstring> path = QueryModulePath();
  ASSERT_TRUE(path.has_value());
  EXPECT_GT(path->size(), 4u);
  EXPECT_EQ(path->substr(path->size() - 4), L".exe");
  EXPECT_EQ(path->find(L'\0'), std::wstring::npos);
}

TEST(GameCommandLine, PiecesInOrderWithArgumentsUnquoted) {
  EXPECT_EQ(ComposeGameCommandLine(L"C:\\Games\\Mod\\", L"D:\\Steam\\steamapps\\common\\Half-Life", {}),
            L"\"C:\\Games\\Mod\\xash3d.exe\" -game cstrike -nointro -rodir "
            L"\"D:\\Steam\\steamapps\\common\\Half-Life\"");
  // Two arguments, the second grouped by quotes on the launcher's line: quotes not put back.
  EXPECT_EQ(ComposeGameCommandLine(L"C:\\M\\", L"D:\\HL", {L"-x", L"a b", L"-game"}),
            L"\"C:\\M\\xash3d.exe\" -game cstrike -nointro -rodir \"D:\\HL\" -x a b -game");
}

TEST(GameCommandLine, EngineSplitsBackTheFolderAndTheArguments) {
  for (const std::wstring folder : {L"D:\\Oyunlar\\Half-Life", L"D:\\Oyunlar\\Half-Life\\", L"D:\\",
                                    L"D:\\a\\\\\\", L"C:\\\u00d6\u011frenci \u015eahin\\"}) {
    SCOPED_TRACE(folder);
    const std::wstring line = ComposeGameCommandLine(L"C:\\Mod\\", folder, {L"-x", L"a b"});
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(argv, nullptr);
    std::vector<std::wstring> args(argv, argv + count);
    LocalFree(argv);
    EXPECT_EQ(args, (std::vector<std::wstring>{L"C:\\Mod\\xash3d.exe", L"-game", L"cstrike", L"-nointro",
                                               L"-rodir", folder, L"-x", L"a", L"b"}));
  }
}

TEST(ReadEnvironmentVariable, WholeValueOrNothing) {
  const std::wstring longValue = L"C:\\" + std::wstring(2000, L'\u00e7');
  ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANTIS_TEST_VALUE", longValue.c_str()));
  EXPECT_EQ(ReadEnvironmentVariable(L"KORVANTIS_TEST_VALUE"), longValue);
  ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANTIS_TEST_VALUE", L""));
  EXPECT_FALSE(ReadEnvironmentVariable(L"KORVANTIS_TEST_VALUE").has_value());
  ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANTIS_TEST_VALUE", nullptr));
  EXPECT_FALSE(ReadEnvironmentVariable(L"KORVANTIS_TEST_VALUE").has_value());
}

}  // namespace
