#include "update/manifest.h"

#include <windows.h>

#include <ctime>
#include <map>

#include "base/files.h"
#include "base/launcher_paths.h"
#include "base/numbers.h"
#include "base/text.h"
#include "base/workers.h"
#include "update/sha256.h"

std::wstring BuildManifestPath() {
  // Only has to differ from run to run, so that no cache between us and the server answers.
  const std::uint64_t ticks = GetTickCount64();
  const auto seconds = static_cast<std::uint64_t>(std::time(nullptr));
  return std::wstring(kUpdateRoot) + L"manifest.txt?t=" + std::to_wstring(ticks ^ seconds);
}

std::wstring MakeLocalPath(const std::wstring& launcherFolder, const std::string& name) {
  std::wstring path = launcherFolder + Utf8ToWide(name);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

namespace {

std::int64_t LocalFileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return static_cast<std::int64_t>(size);
}

bool MatchesEntry(const ManifestEntry& entry, std::int64_t size, const std::string& digest) {
  return size == entry.size && !digest.empty() && digest == entry.hash;
}

}  // namespace

UpdatePlan PlanUpdate(const std::wstring& launcherFolder, std::string_view content) {
  struct Listed {
    ManifestEntry entry;
    std::wstring local;
    std::int64_t localSize;  // -1: not to be examined (a folder counts, as size 0)
    bool missing;            // known not to be there, not merely unreadable
  };
  std::vector<Listed> listed;
  ForEachLine(content, [&listed, &launcherFolder](std::string_view line) {
    std::optional<ManifestEntry> entry = ParseManifestLine(line);
    if (!entry) return;
    std::wstring local = MakeLocalPath(launcherFolder, entry->name);
    const std::int64_t size = LocalFileSize(local);
    const DWORD error = size < 0 ? GetLastError() : ERROR_SUCCESS;
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    listed.push_back({std::move(*entry), std::move(local), size, missing});
  });

  // Only same-sized files are hashed (that keeps an up-to-date start cheap), each once however
  // often it is listed, all of them side by side.
  std::map<std::wstring, std::string> digests;  // by exact local path
  std::vector<std::wstring> toHash;
  for (const Listed& item : listed) {
    if (!item.entry.once && item.localSize == item.entry.size && digests.emplace(item.local, std::string()).second) {
      toHash.push_back(item.local);
    }
  }
  std::vector<std::string> hashed(toHash.size());
  // A spinning disk reads one file after another faster than several at once.
  const unsigned hashers = VolumeHasSeekPenalty(launcherFolder) ? 1 : kHashWorkers;
  RunOnWorkers(toHash.size(), hashers, [&toHash, &hashed](std::size_t i) { hashed[i] = HashFileSha256(toHash[i]); });
  for (std::size_t i = 0; i < toHash.size(); ++i) digests[toHash[i]] = std::move(hashed[i]);

  UpdatePlan plan;
  for (Listed& item : listed) {
    // Whatever lies there now is the player's: a placed-once file is only ever filled in. One
    // that cannot be examined (access denied, a path too long) is not fetched for nothing.
    const bool current =
        item.entry.once ? !item.missing : MatchesEntry(item.entry, item.localSize, digests[item.local]);
    if (current) continue;
    plan.totalBytes = SaturatingAdd(plan.totalBytes, item.entry.size);
    plan.entries.push_back(std::move(item.entry));
  }
  return plan;
}
