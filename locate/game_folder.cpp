#include "locate/game_folder.h"

#include <windows.h>

bool IsGameFolderInPlace(std::wstring& folder) {
  if (folder.empty()) {
    return false;
  }
  const std::size_t length = folder.size();
  folder += L"\\cstrike\\liblist.gam";
  bool accepted = GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES;
  folder.resize(length);
  if (accepted) {
    folder += L"\\valve";
    accepted = GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES;
    folder.resize(length);
  }
  return accepted;
}

bool IsGameFolder(const std::wstring& folder) {
  std::wstring path;
  path.reserve(folder.size() + 32);
  path = folder;
  return IsGameFolderInPlace(path);
}
