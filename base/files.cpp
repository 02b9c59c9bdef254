#include "base/files.h"

#include <windows.h>
#include <winioctl.h>

#include "base/file_names.h"
#include "base/handles.h"

namespace {

constexpr DWORD kFileReadChunkBytes = 4096;
constexpr ULONGLONG kScannerWaitMs = 2000;
constexpr DWORD kScannerRetryMs = 100;

}  // namespace

std::optional<std::string> ReadWholeFile(const std::wstring& path, std::uint64_t maxBytes) {
  const FileHandle file =
      OwnFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
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
    const FileHandle file =
        OwnFile(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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

bool MoveFileWaitingForScanners(const std::wstring& from, const std::wstring& to, unsigned long flags) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        GetTickCount64() - start >= kScannerWaitMs) {
      SetLastError(error);
      return false;
    }
    Sleep(kScannerRetryMs);
  }
}

bool VolumeHasSeekPenalty(const std::wstring& path) {
  wchar_t mountPoint[MAX_PATH] = {};
  wchar_t volume[MAX_PATH] = {};
  if (!GetVolumePathNameW(path.c_str(), mountPoint, MAX_PATH) ||
      !GetVolumeNameForVolumeMountPointW(mountPoint, volume, MAX_PATH)) {
    return false;
  }
  // "\\?\Volume{...}\" names the volume's root folder; without the last backslash, the device.
  std::wstring device = volume;
  if (!device.empty() && device.back() == L'\\') device.pop_back();
  // No access rights are needed to ask a device about itself, so no elevation either.
  const FileHandle handle =
      OwnFile(CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!handle) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceSeekPenaltyProperty;
  query.QueryType = PropertyStandardQuery;
  DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
  DWORD bytes = 0;
  return DeviceIoControl(handle.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &answer, sizeof(answer),
                         &bytes, nullptr) &&
         bytes >= sizeof(answer) && answer.IncursSeekPenalty;
}
