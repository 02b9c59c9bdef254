#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/game_launch.h"

namespace {

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

}  // namespace
