#pragma once
// Scratch folders below %TEMP% for the locate tests; removed again at the end of each test.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

class TempTree {
 public:
  TempTree() {
    static unsigned counter = 0;
    std::error_code error;
    root_ = std::filesystem::temp_directory_path(error) /
            (L"korvantis_locate_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter));
    std::filesystem::remove_all(root_, error);
    std::filesystem::create_directories(root_, error);
  }
  ~TempTree() {
    std::error_code error;
    std::filesystem::remove_all(root_, error);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // The Windows path of relative (backslash-separated); the root itself for an empty one.
  [[nodiscard]] std::wstring Path(const std::wstring& relative = L"") const {
    std::wstring path = root_.wstring();
    if (!relative.empty()) {
      path += L"\\" + relative;
    }
    return path;
  }
  void MakeFolder(const std::wstring& relative) const {
    std::error_code error;
    std::filesystem::create_directories(Path(relative), error);
  }
  void MakeFile(const std::wstring& relative, const std::string& bytes = "") const {
    std::ofstream(std::filesystem::path(Path(relative)), std::ios::binary) << bytes;
  }
  // What IsGameFolder accepts: cstrike\liblist.gam and valve.
  void MakeGame(const std::wstring& relative) const {
    MakeFolder(relative + L"\\cstrike");
    MakeFolder(relative + L"\\valve");
    MakeFile(relative + L"\\cstrike\\liblist.gam", "game \"Counter-Strike\"\n");
  }

 private:
  std::filesystem::path root_;
};
