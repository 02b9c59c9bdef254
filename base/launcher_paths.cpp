#include "base/launcher_paths.h"

#include <windows.h>

#include <utility>

#include "base/file_names.h"

std::wstring FolderOfPath(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::optional<std::wstring> QueryModulePath() {
  // A cut path would make some parent folder look like ours; grow until it fits.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return std::nullopt;
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() > kLongestPathUnits) {
      return std::nullopt;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<LauncherPaths> QueryLauncherPaths() {
  std::optional<std::wstring> path = QueryModulePath();
  if (!path) return std::nullopt;
  LauncherPaths paths{std::move(*path), std::wstring()};
  paths.folder = FolderOfPath(paths.path);
  return paths;
}

bool EnginePresent(const std::wstring& launcherFolder) {
  return GetFileAttributesW((launcherFolder + kEngineFileName).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
}

void DeleteOldLauncherCopy(const std::wstring& path) {
  ClearReadOnly(path);
  DeleteFileW(path.c_str());
}
