#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "locate/steam_sources.h"
#include "test_tree.h"

namespace {

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE point at scratch keys for the test's length, so no
// real registry value is read or written.
class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    scratch_ = L"Software\\KorvantisTests\\" + std::to_wstring(GetCurrentProcessId());
    currentUser_ = CreateScratch(L"\\cu");
    localMachine_ = CreateScratch(L"\\lm");
    ASSERT_TRUE(currentUser_ && localMachine_);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, currentUser_.get()), ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, localMachine_.get()), ERROR_SUCCESS);
  }
  void TearDown() override {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    currentUser_.reset();
    localMachine_.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch_.c_str());
  }

  static void SetRaw(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data,
                     std::size_t bytes) {
    ASSERT_EQ(RegSetKeyValueW(root, subkey, name, type, data, static_cast<DWORD>(bytes)), ERROR_SUCCESS);
  }
  static void SetString(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::wstring& value) {
    SetRaw(root, subkey, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
  }

 private:
  UniqueKey CreateScratch(const wchar_t* leaf) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (scratch_ + leaf).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      return nullptr;
    }
    return UniqueKey(key);
  }

  std::wstring scratch_;
  UniqueKey currentUser_;
  UniqueKey localMachine_;
};

constexpr wchar_t kSub[] = L"Software\\Valve\\Steam";

TEST_F(RegistryTest, ReadRegistryStringNormalisesAndRejects) {
  const std::wstring units259(259, L'a');
  const std::wstring units260(260, L'a');
  const struct {
    const wchar_t* name;
    std::wstring stored;
    std::wstring expected;
  } strings[] = {
      {L"forward", L"c:/games/steam/", L"c:\\games\\steam"},
      {L"root", L"D:\\", L"D:"},
      {L"separators", L"\\\\/\\", L""},
      {L"empty", L"", L""},
      {L"spaces", L" C:\\Steam ", L" C:\\Steam "},
      {L"fits", units259, units259},
      {L"toolong", units260, L""},
  };
  for (const auto& row : strings) {
    SetString(HKEY_CURRENT_USER, kSub, row.name, row.stored);
  }
  for (const auto& row : strings) {
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kSub, row.name), row.expected) << row.name;
  }

  // Stored without a terminator: 259 units still fit with the one the reader adds, 260 do not.
  SetRaw(HKEY_CURRENT_USER, kSub, L"bare259", REG_SZ, units259.data(), 259 * sizeof(wchar_t));
  SetRaw(HKEY_CURRENT_USER, kSub, L"bare260", REG_SZ, units260.data(), 260 * sizeof(wchar_t));
  EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kSub, L"bare259"), units259);
  EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kSub, L"bare260"), L"");

  const DWORD number = 0x00430043;  // "CC" if it were misread as text
  SetRaw(HKEY_CURRENT_USER, kSub, L"dword", REG_DWORD, &number, sizeof(number));
  SetRaw(HKEY_CURRENT_USER, kSub, L"binary", REG_BINARY, L"C:\\x", 10);
  EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kSub, L"dword"), L"");
  EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kSub, L"binary"), L"");
  EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, kSub, L"missing"), L"");
  EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, L"Software\\Nowhere", L"x"), L"");
  // Each root is its own: the same subkey under the machine root holds nothing.
  EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kSub, L"forward"), L"");
}

TEST_F(RegistryTest, SteamFolderFromUserFirstThenMachine) {
  EXPECT_EQ(FindSteamFolder(), L"");
  SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath", L"C:\\Machine\\Steam");
  EXPECT_EQ(FindSteamFolder(), L"C:\\Machine\\Steam");
  SetString(HKEY_CURRENT_USER, kSub, L"SteamPath", L"///");  // empty once normalised
  EXPECT_EQ(FindSteamFolder(), L"C:\\Machine\\Steam");
  SetString(HKEY_CURRENT_USER, kSub, L"SteamPath", L"c:/user/steam/");
  EXPECT_EQ(FindSteamFolder(), L"c:\\user\\steam");
}

TEST_F(RegistryTest, SteamLibrariesInListOrder) {
  TempTree tree;
  EXPECT_EQ(FindInSteamLibraries(), L"");

  // No libraryfolders.vdf: the Steam folder itself is still a library.
  tree.MakeGame(L"Steam\\steamapps\\common\\Half-Life");
  SetString(HKEY_CURRENT_USER, kSub, L"SteamPath", tree.Path(L"Steam") + L"\\");
  EXPECT_EQ(FindInSteamLibraries(), tree.Path(L"Steam\\steamapps\\common\\Half-Life"));

  // Listed libraries follow, in file order, with doubled backslashes undone.
  SetString(HKEY_CURRENT_USER, kSub, L"SteamPath", tree.Path(L"Empty"));
  tree.MakeFolder(L"Empty\\steamapps");
  tree.MakeGame(L"Lib2\\steamapps\\common\\Half-Life");
  tree.MakeGame(L"Lib3\\steamapps\\common\\Half-Life");
  std::string escaped;
  for (const wchar_t unit : tree.Path()) {
    escaped += unit == L'\\' ? std::string("\\\\") : std::string(1, static_cast<char>(unit));
  }
  tree.MakeFile(L"Empty\\steamapps\\libraryfolders.vdf", "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" +
                                                             escaped +
                                                             "\\\\Lib1\"\n"
                                                             "\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" +
                                                             escaped +
                                                             "\\\\Lib2\"\n\t}\n"
                                                             "\t\"2\"\n\t{\n\t\t\"path\"\t\t\"" +
                                                             escaped + "\\\\Lib3\"\n\t}\n}\n");
  const std::vector<std::wstring> libraries = ReadLibraryFolders(tree.Path(L"Empty"));
  ASSERT_EQ(libraries.size(), 3u);
  EXPECT_EQ(libraries[0], tree.Path(L"Lib1"));
  EXPECT_EQ(FindInSteamLibraries(), tree.Path(L"Lib2\\steamapps\\common\\Half-Life"));
}

TEST_F(RegistryTest, GameKeysRowByRowUserBeforeMachine) {
  TempTree tree;
  tree.MakeGame(L"A");
  tree.MakeGame(L"B");
  const GameRegistryKey& row1 = GameRegistryKeys[0];
  const GameRegistryKey& row3 = GameRegistryKeys[2];
  const GameRegistryKey& row4 = GameRegistryKeys[3];
  EXPECT_EQ(FindInRegistryKeys(), L"");

  SetString(HKEY_LOCAL_MACHINE, row4.subkey, row4.valueName, tree.Path(L"A") + L"/");
  EXPECT_EQ(FindInRegistryKeys(), tree.Path(L"A"));
  SetString(HKEY_CURRENT_USER, row3.subkey, row3.valueName, tree.Path(L"B"));
  EXPECT_EQ(FindInRegistryKeys(), tree.Path(L"B"));
  SetString(HKEY_LOCAL_MACHINE, row1.subkey, row1.valueName, tree.Path(L"A"));
  EXPECT_EQ(FindInRegistryKeys(), tree.Path(L"A"));
  SetString(HKEY_CURRENT_USER, row1.subkey, row1.valueName, tree.Path(L"B"));
  EXPECT_EQ(FindInRegistryKeys(), tree.Path(L"B"));
  // A value that names no game folder moves the search on to the next read.
  SetString(HKEY_CURRENT_USER, row1.subkey, row1.valueName, tree.Path(L"Missing"));
  EXPECT_EQ(FindInRegistryKeys(), tree.Path(L"A"));
}

}  // namespace
