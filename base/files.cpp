#include "base/files.h"

#include <windows.h>

#include "base/file_names.h"
#include "base/handles.h"

namespace {

constexpr DWORD kFileReadChunkBytes = 4096;

}  // namespace

std::optional<std::string> ReadWholeFile(const std::wstring& path, std::uint64_t maxBytes) {
  const FileHandle file = OwnFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                              nullptr));
  if (!file) return std::nullopt;
  std::string bytes;
  char chunk[kFileReadChunkBytes];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), chunk, kFileReadChunkBytes, &got, nullptr)) return std::nullopt;
    if (got == 0) return bytes;
    if (bytes.size() + got > maxBytes) return std::nullopt;
    bytes.append(chunk, got);
  }
}

bool ReplaceFileContents(const std::wstring& path, std::string_view bytes) {
  if (bytes.size() > MAXDWORD) return false;
  const std::wstring temp = path + kDownloadSuffix;
  {
    const FileHandle file = OwnFile(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    const bool whole = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                       written == bytes.size();
    // On disk before it takes the name: a power cut must not leave a named, empty file.
    if (!whole || !FlushFileBuffers(file.get())) {
      DeleteFileW(temp.c_str());
      return false;
    }
  }
  if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  DeleteFileW(temp.c_str());
  return false;
}
