#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "base/launcher_paths.h"
#include "launcher/game_launch.h"
#include "launcher/self_install.h"

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
  for (const std::wstring folder : {L"D:\\Oyunlar\\Half-Life", L"D:\\Oyunlar\\Half-Life\\", L"D:\\", L"D:\\a\\\\\\",
                                    L"C:\\\u00d6\u011frenci \u015eahin\\"}) {
    SCOPED_TRACE(folder);
    const std::wstring line = ComposeGameCommandLine(L"C:\\Mod\\", folder, {L"-x", L"a b"});
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(argv, nullptr);
    std::vector<std::wstring> args(argv, argv + count);
    LocalFree(argv);
    EXPECT_EQ(args, (std::vector<std::wstring>{L"C:\\Mod\\xash3d.exe", L"-game", L"cstrike", L"-nointro", L"-rodir",
                                               folder, L"-x", L"a", L"b"}));
  }
}

TEST(SelfInstall, InstallFolderAndIdentityWhateverTheSpelling) {
  for (const std::wstring localAppData : {L"C:\\Users\\a\\AppData\\Local", L"C:\\Users\\a\\AppData\\Local\\",
                                          L"C:/Users/a/AppData/Local/", L"C:\\Users\\a\\AppData\\Local\\\\"}) {
    EXPECT_EQ(InstallFolderOf(localAppData), L"C:\\Users\\a\\AppData\\Local\\Korvantis\\");
  }
  const std::optional<std::wstring> self = QueryModulePath();
  ASSERT_TRUE(self.has_value());
  const std::wstring folder = FolderOfPath(*self);
  std::wstring shouted = *self;
  for (wchar_t& unit : shouted) unit = static_cast<wchar_t>(towupper(unit));
  EXPECT_TRUE(IsSameFile(*self, shouted));
  EXPECT_TRUE(IsSameFile(*self, folder + L"\\" + self->substr(folder.size())));  // doubled separator
  EXPECT_TRUE(IsSameFile(*self, folder + L".\\" + self->substr(folder.size())));
  EXPECT_FALSE(IsSameFile(*self, folder + L"yok.exe"));
  EXPECT_TRUE(IsSameFile(folder + L"yok.exe", folder + L".\\YOK.exe"));  // neither exists yet
}

}  // namespace
