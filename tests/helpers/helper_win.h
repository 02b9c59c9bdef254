#pragma once
// Small Win32 pieces the helper programs share.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>

struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

inline std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      return {};
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

inline std::wstring FolderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

inline std::wstring CurrentDirectory() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) {
    return {};
  }
  std::wstring folder(needed, L'\0');
  const DWORD length = GetCurrentDirectoryW(needed, folder.data());
  folder.resize(length < needed ? length : 0);
  return folder;
}

// Writes the bytes to a temporary file beside the target, then moves it over the target, so a
// reader polling for the record never sees half of it.
[[nodiscard]] inline bool WriteFileAtomically(const std::wstring& path, const std::string& bytes) {
  const std::wstring temporary = path + L".tmp";
  {
    UniqueHandle file(
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
      return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
      return false;
    }
  }
  return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

// Bytes straight to standard output: no text-mode newline translation, no code page.
inline void WriteStdout(const std::string& bytes) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// The part of this process's command line after its program token, exactly as written.
inline std::wstring CommandLineTail() {
  const wchar_t* cursor = GetCommandLineW();
  if (*cursor == L'"') {
    ++cursor;
    while (*cursor != L'\0' && *cursor != L'"') {
      ++cursor;
    }
    if (*cursor == L'"') {
      ++cursor;
    }
  } else {
    while (*cursor != L'\0' && *cursor != L' ' && *cursor != L'\t') {
      ++cursor;
    }
  }
  while (*cursor == L' ' || *cursor == L'\t') {
    ++cursor;
  }
  return cursor;
}
