#include "update/manifest.h"

#include <windows.h>

#include <ctime>

#include "console/console.h"
#include "launcher/launcher.h"
#include "update/sha256.h"

std::wstring BuildManifestPath() {
  // Only has to differ from run to run, so that no cache between us and the server answers.
  const std::uint64_t ticks = GetTickCount64();
  const auto seconds = static_cast<std::uint64_t>(std::time(nullptr));
  return std::wstring(kUpdateRoot) + L"manifest.txt?t=" + std::to_wstring(ticks ^ seconds);
}

std::wstring MakeLocalPath(const std::string& name) {
  std::wstring path = LauncherFolder + Utf8ToWide(name);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

bool IsEntryCurrent(const ManifestEntry& entry, const std::wstring& localPath) {
  std::int64_t localSize = -1;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(localPath.c_str(), GetFileExInfoStandard, &data)) {
    const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    localSize = static_cast<std::int64_t>(size);
  }
  // Hashing only same-sized files keeps an up-to-date start cheap.
  if (localSize != entry.size) return false;
  return HashFileSha256(localPath) == entry.hash;
}

UpdateManifest ReadManifest(const std::string& body) {
  UpdateManifest manifest;
  ForEachLine(body, [&manifest](std::string_view line) {
    std::optional<ManifestEntry> entry = ParseManifestLine(line);
    if (!entry) return;
    if (IsEntryCurrent(*entry, MakeLocalPath(entry->name))) return;
    manifest.totalBytes = SaturatingAdd(manifest.totalBytes, entry->size);
    manifest.entries.push_back(std::move(*entry));
  });
  return manifest;
}
