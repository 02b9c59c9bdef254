#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "base/launcher_paths.h"
#include "locate/game_folder.h"
#include "locate/locate.h"

namespace {

std::wstring MakeScratchFolder(const wchar_t* name) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + name;
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder + L"\\";
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

class SavedPathTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeScratchFolder(L"korvantis-saved-path");
    DeleteFileW((folder_ + L"hl_yolu.txt").c_str());
  }
  std::wstring SavedFile() const { return folder_ + L"hl_yolu.txt"; }
  std::wstring Read() const { return ReadSavedGameFolder(folder_); }
  void Write(const std::wstring& game) const { WriteSavedGameFolder(folder_, game); }
  std::wstring folder_;
};

TEST_F(SavedPathTest, WrittenAsRawUtf16AndReadBack) {
  const std::wstring folder = L"D:\\Oyunlar\\\u00d6\u015f\u011f\u0130";
  Write(folder);
  const std::string bytes = ReadBytes(SavedFile());
  ASSERT_EQ(bytes.size(), folder.size() * 2);  // no byte-order mark, no terminator
  EXPECT_EQ(bytes.substr(0, 4), std::string("D\0:\0", 4));
  EXPECT_EQ(static_cast<unsigned char>(bytes[22]), 0xd6u);  // U+00D6 little-endian
  EXPECT_EQ(Read(), folder);
  Write(L"E:\\x");  // replaced, not appended
  EXPECT_EQ(ReadBytes(SavedFile()).size(), 8u);
}

TEST_F(SavedPathTest, MissingEmptyLongAndForeignFiles) {
  EXPECT_EQ(Read(), L"");
  WriteBytes(SavedFile(), "");
  EXPECT_EQ(Read(), L"");
  Write(std::wstring(300, L'a'));
  EXPECT_EQ(Read(), std::wstring(259, L'a'));  // cut, so it will not validate
  WriteBytes(SavedFile(), std::string("\xff\xfe"
                                      "C\0:\0",
                                      6));
  EXPECT_EQ(Read(), L"\ufeffC:");
  WriteBytes(SavedFile(), "C:\\Games");  // 8-bit text reads as nonsense units
  EXPECT_NE(Read(), L"C:\\Games");
  WriteBytes(SavedFile(), std::string("C\0\0\0D\0", 6));  // ends at the first NUL unit
  EXPECT_EQ(Read(), L"C");
}

TEST_F(SavedPathTest, GameFolderNeedsBothEntries) {
  const std::wstring game = MakeScratchFolder(L"korvantis-game");
  const std::wstring bare = game.substr(0, game.size() - 1);
  RemoveDirectoryW((game + L"valve").c_str());
  DeleteFileW((game + L"valve").c_str());
  CreateDirectoryW((game + L"cstrike").c_str(), nullptr);
  WriteBytes(game + L"cstrike\\liblist.gam", "game \"Counter-Strike\"\n");
  EXPECT_FALSE(IsGameFolder(bare));  // no valve
  WriteBytes(game + L"valve", "");   // a file named valve is enough
  EXPECT_TRUE(IsGameFolder(bare));
  EXPECT_FALSE(IsGameFolder(L""));
  DeleteFileW((game + L"cstrike\\liblist.gam").c_str());
  EXPECT_FALSE(IsGameFolder(bare));
}

}  // namespace
