#include "update/update.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/file_names.h"
#include "base/files.h"
#include "base/launcher_paths.h"
#include "base/numbers.h"
#include "base/workers.h"
#include "update/build_identity.h"
#include "update/launcher_image.h"
#include "update/signature.h"

namespace {

// Threads that fetch the pending files, and so connections to the server. Each waits out a round
// trip per file; measured on a 40 ms, 100 Mbit/s line, a first install of 1,010 files took 1.83x
// the line's floor with 6, 1.55x with 8 and 1.39x with 12 (curl -Z over 6: 1.59x), and 20 large
// files the same 1.12x with any of them.
constexpr unsigned kDownloadWorkers = 12;
// A file gets a minute plus the time its size takes at 8 KiB/s, drops and resumes included.
constexpr std::uint64_t kFileLimitBaseMs = 60000;
constexpr std::uint64_t kFileLimitBytesPerSecond = 8 << 10;
// A replaced file must be under its name on disk, not only in the cache, when the call returns.
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Folders below the launcher folder that the target needs; failures show in the download.
void CreateTargetFolders(const std::wstring& launcherFolder, const std::wstring& target) {
  // No Windows path is longer; a hostile name of millions of folders would otherwise cost
  // quadratic time here. Its download then fails like any other.
  if (target.size() > kLongestPathUnits) return;
  for (std::size_t k = launcherFolder.size(); k < target.size(); ++k) {
    if (target[k] == L'\\') CreateDirectoryW(target.substr(0, k).c_str(), nullptr);
  }
}

std::uint64_t FileDeadline(std::int64_t size) {
  const auto bytes = static_cast<std::uint64_t>(size < 0 ? 0 : size);
  const std::uint64_t seconds = bytes / kFileLimitBytesPerSecond;
  if (seconds > UINT64_MAX / 2000) return kNoDeadline;  // far beyond any real line anyway
  return GetTickCount64() + kFileLimitBaseMs + seconds * 1000;
}

// A keyed launcher is replaced only by a keyed one: a launcher without a key would take the
// next unsigned manifest, whatever program it names. Another key is how keys are rotated.
bool KeepsCheckingSignatures(const std::wstring& downloadedLauncher) {
  constexpr std::uint64_t kLauncherMaxBytes = 256u << 20;
  const std::optional<std::string> image = ReadWholeFile(downloadedLauncher, kLauncherMaxBytes);
  const std::string_view magic(BuiltIdentity.magic, sizeof(BuiltIdentity.magic));
  const std::optional<std::uint32_t> kind = image ? LauncherImageKeyKind(*image, magic) : std::nullopt;
  return kind && *kind != kNoUpdateKey;
}

// Adds to a counter that other threads add to as well, stopping at the limits.
void AddSaturating(std::atomic<std::int64_t>& counter, std::int64_t bytes) {
  std::int64_t seen = counter.load();
  while (!counter.compare_exchange_weak(seen, SaturatingAdd(seen, bytes))) {}
}

// Entries that name one local file (the same name in other letter case, or "\\" for "/") are
// fetched one after another, never side by side: they would share the temporary file. Groups
// in the order of their first entry.
std::vector<std::vector<std::size_t>> GroupByLocalFile(const std::wstring& launcherFolder,
                                                       const std::vector<ManifestEntry>& entries) {
  std::vector<std::vector<std::size_t>> groups;
  std::map<std::wstring, std::size_t> groupOf;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::wstring key = MakeLocalPath(launcherFolder, entries[i].name);
    // As the file system resolves and compares names: the full path, then letter case by the
    // invariant table.
    if (!key.empty() && key.size() <= kLongestPathUnits) {
      const DWORD needed = GetFullPathNameW(key.c_str(), 0, nullptr, nullptr);
      std::wstring full(needed, L'\0');
      const DWORD length = needed > 0 ? GetFullPathNameW(key.c_str(), needed, full.data(), nullptr) : 0;
      if (length > 0 && length < needed) key.assign(full, 0, length);
      LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, key.c_str(), static_cast<int>(key.size()), key.data(),
                    static_cast<int>(key.size()), nullptr, nullptr, 0);
    }
    const auto [known, added] = groupOf.emplace(std::move(key), groups.size());
    if (added) groups.emplace_back();
    groups[known->second].push_back(i);
  }
  return groups;
}

// Without MOVEFILE_REPLACE_EXISTING: a placed-once file that appeared meanwhile is the player's,
// and is just as good as the one fetched.
bool PlaceOnce(const std::wstring& temp, const std::wstring& target) {
  if (MoveFileWaitingForScanners(temp, target, MOVEFILE_WRITE_THROUGH)) return true;
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
  DeleteFileW(temp.c_str());
  return true;
}

enum class EntryOutcome { Failed, Placed, PlacedLauncher };

// What the fetch of a plan's entries shares: where they come from and go, the progress total,
// the finishing thread, and each entry's outcome by its index (each written once, read after).
struct FetchRun {
  HttpClient& client;
  const std::wstring& launcherFolder;
  const UpdatePlan& plan;
  bool keyed;
  std::atomic<std::int64_t> done{0};
  std::vector<EntryOutcome> outcomes{};
  // Flushing, checking and moving go on beside the downloads, one file after another.
  JobLine finishing{};
};

// What arrived must have exactly the entry's size and digest (taken as it was written): a cut,
// long or wrong body, or an entry that cannot be verified, never lands.
void FinishEntry(FetchRun& run, std::size_t index, const std::wstring& temp, const std::wstring& target,
                 FileDownload& download) {
  const ManifestEntry& entry = run.plan.entries[index];
  const auto held = static_cast<std::int64_t>(download.bytes);  // at most the entry's size
  const bool verified = FinishFileDownload(download) && held == entry.size && !download.digest.empty() &&
                        download.digest == entry.hash &&
                        (!run.keyed || !IsLauncherEntryName(entry.name) || KeepsCheckingSignatures(temp));
  if (!verified) {
    DeleteFileW(temp.c_str());
    AddSaturating(run.done, entry.size - held);  // the entry counts as done, whatever came
    run.outcomes[index] = EntryOutcome::Failed;
    return;
  }
  bool replacedSelf = false;
  const bool placed =
      entry.once ? PlaceOnce(temp, target) : MoveDownloadIntoPlace(temp, target, entry.name, replacedSelf);
  if (!placed) DeleteFileW(temp.c_str());
  run.outcomes[index] = !placed        ? EntryOutcome::Failed
                        : replacedSelf ? EntryOutcome::PlacedLauncher
                                       : EntryOutcome::Placed;
}

// The entries that name one local file, one after another. Each goes to the finishing thread as
// soon as its last byte is written, so the worker asks for its next file at once; in a group of
// more than one, each is finished here, before the next download takes its temporary name.
void FetchGroup(FetchRun& run, const std::vector<std::size_t>& group) {
  for (const std::size_t index : group) {
    const ManifestEntry& entry = run.plan.entries[index];
    const std::wstring target = MakeLocalPath(run.launcherFolder, entry.name);
    const std::wstring temp = target + kDownloadSuffix;
    CreateTargetFolders(run.launcherFolder, target);
    const auto limit = static_cast<std::uint64_t>(entry.size < 0 ? 0 : entry.size);
    const auto count = [&run](std::int64_t bytes) { AddSaturating(run.done, bytes); };
    auto download = std::make_shared<FileDownload>(
        DownloadToFile(run.client, BuildFilePath(entry), {temp, limit, count}, FileDeadline(entry.size)));
    if (group.size() > 1) {
      FinishEntry(run, index, temp, target, *download);
    } else {
      run.finishing.Post([&run, index, temp, target, download] { FinishEntry(run, index, temp, target, *download); });
    }
  }
}

}  // namespace

std::wstring BuildFilePath(const ManifestEntry& entry) {
  const std::string encoded = PercentEncodePath(entry.name);
  const std::string_view token = VersionToken(entry.hash);
  std::wstring path = std::wstring(kUpdateRoot) + L"dosyalar/";
  // Both are ASCII by construction (the encoding leaves only ASCII); the token comes from
  // the manifest and is widened byte by byte like the C runtime's "%hs" would.
  for (const char c : encoded) path.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  path += L"?v=";
  for (const char c : token) path.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return path;
}

bool MoveDownloadIntoPlace(const std::wstring& tempPath, const std::wstring& targetPath, const std::string& name,
                           bool& selfReplaced) {
  if (!IsLauncherEntryName(name)) {
    // Windows will not move a file over a read-only one (a copy from a CD, or the player's
    // choice): that file would fail at every start.
    ClearReadOnly(targetPath);
    return MoveFileWaitingForScanners(tempPath, targetPath, kMoveFlags);
  }
  // A running exe cannot be overwritten but can be renamed: move it aside first.
  const std::wstring oldPath = targetPath + kOldLauncherSuffix;
  DeleteOldLauncherCopy(oldPath);
  const bool movedAside = MoveFileExW(targetPath.c_str(), oldPath.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
  if (MoveFileWaitingForScanners(tempPath, targetPath, kMoveFlags)) {
    selfReplaced = true;
    return true;
  }
  // Never leave the folder without a launcher, and never restart into the old one as if new.
  if (movedAside) MoveFileExW(oldPath.c_str(), targetPath.c_str(), MOVEFILE_WRITE_THROUGH);
  return false;
}

FetchOutcome FetchPlannedFiles(HttpClient& client, const std::wstring& launcherFolder, const UpdatePlan& plan,
                               const std::function<void(std::int64_t doneBytes)>& progress) {
  FetchOutcome outcome;
  // The session and its connection exist before any worker shares them.
  if (!OpenHttpClient(client)) {
    progress(plan.totalBytes);
    outcome.failed = plan.entries.size();
    return outcome;
  }
  FetchRun run{client, launcherFolder, plan, BuiltUpdateKey().present};
  run.outcomes.assign(plan.entries.size(), EntryOutcome::Failed);
  const auto tick = [&run, &progress] { progress(run.done.load()); };

  // The launcher's own executable alone and first, as the manifest lists it first: an update
  // cut short still brings the new launcher. Then everything else side by side, in order.
  std::vector<std::vector<std::size_t>> groups = GroupByLocalFile(launcherFolder, plan.entries);
  const auto isLauncherGroup = [&plan](const std::vector<std::size_t>& group) {
    return IsLauncherEntryName(plan.entries[group.front()].name);
  };
  const auto launcherGroups =
      static_cast<std::size_t>(std::stable_partition(groups.begin(), groups.end(), isLauncherGroup) - groups.begin());
  RunOnWorkers(
      launcherGroups, 1, [&](std::size_t index) { FetchGroup(run, groups[index]); }, tick);
  RunOnWorkers(
      groups.size() - launcherGroups, kDownloadWorkers,
      [&](std::size_t index) { FetchGroup(run, groups[launcherGroups + index]); }, tick);
  run.finishing.Drain();
  tick();

  for (const EntryOutcome entry : run.outcomes) {
    if (entry == EntryOutcome::Failed) ++outcome.failed;
    if (entry == EntryOutcome::PlacedLauncher) outcome.launcherReplaced = true;
  }
  return outcome;
}
