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
#include "console/console.h"
#include "update/build_identity.h"
#include "update/http_client.h"
#include "update/launcher_image.h"
#include "update/manifest.h"
#include "update/sha256.h"
#include "update/signature.h"

namespace {

// Threads that fetch the pending files, and so connections to the server. Each waits out a round
// trip per file; measured on a 40 ms, 100 Mbit/s line, a first install of 1,010 files took 1.83x
// the line's floor with 6, 1.55x with 8 and 1.39x with 12 (curl -Z over 6: 1.59x), and 20 large
// files the same 1.12x with any of them.
constexpr unsigned kDownloadWorkers = 12;
constexpr DWORD kCompletePauseMs = 700;
constexpr DWORD kPartialPauseMs = 3000;
// The manifest is small; a server that takes longer than this over it, however steadily it
// drips, is as good as unreachable: the player should be playing.
constexpr std::uint64_t kManifestLimitMs = 60000;
// A file gets a minute plus the time its size takes at 8 KiB/s, drops and resumes included.
constexpr std::uint64_t kFileLimitBaseMs = 60000;
constexpr std::uint64_t kFileLimitBytesPerSecond = 8 << 10;
// A host that answers with these is down for the while: the next one is asked.
constexpr std::int32_t kFirstServerError = 500;
constexpr std::int32_t kLastServerError = 599;
// A replaced file must be under its name on disk, not only in the cache, when the call returns.
constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Folders below the launcher folder that the target needs; failures show in the download.
void CreateTargetFolders(const std::wstring& target) {
  // No Windows path is longer; a hostile name of millions of folders would otherwise cost
  // quadratic time here. Its download then fails like any other.
  if (target.size() > kLongestPathUnits) return;
  for (std::size_t k = LauncherFolder.size(); k < target.size(); ++k) {
    if (target[k] == L'\\') CreateDirectoryW(target.substr(0, k).c_str(), nullptr);
  }
}

std::uint64_t FileDeadline(std::int64_t size) {
  const auto bytes = static_cast<std::uint64_t>(size < 0 ? 0 : size);
  const std::uint64_t seconds = bytes / kFileLimitBytesPerSecond;
  if (seconds > UINT64_MAX / 2000) return kNoDeadline;  // far beyond any real line anyway
  return GetTickCount64() + kFileLimitBaseMs + seconds * 1000;
}

// The highest serial this launcher accepted, which it holds as the serial line itself: 0 while
// there is no such file (trust on first use). None when the file is there but cannot be read or
// holds no serial: taking that for "none yet" would let any older manifest back in.
std::optional<std::int64_t> ReadAcceptedSerial() {
  constexpr std::uint64_t kSerialFileMaxBytes = 64;
  const std::wstring path = LauncherFolder + kSerialFileName;
  const std::optional<std::string> line = ReadWholeFile(path, kSerialFileMaxBytes);
  if (!line) {
    const bool missing = GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
                         GetLastError() == ERROR_FILE_NOT_FOUND;
    return missing ? std::optional<std::int64_t>(0) : std::nullopt;
  }
  const std::int64_t serial = ParseManifestSerial(*line);
  return serial > 0 ? std::optional<std::int64_t>(serial) : std::nullopt;
}

enum class ManifestVerdict { Accepted, BadSignature, SerialUnreadable, SerialUnwritable };

// Whoever holds the server must not be able to push programs to players, nor serve an older
// manifest again: only what the maintainer signed, with a serial not below the highest seen, is
// read, and only once a higher serial is on disk. content is narrowed to the signed bytes.
ManifestVerdict AcceptSignedManifest(const UpdateKey& key, std::string_view& content) {
  const std::optional<SignedManifest> signedManifest = SplitSignedManifest(content);
  if (!signedManifest || !VerifyManifestSignature(signedManifest->content, signedManifest->signature, key)) {
    return ManifestVerdict::BadSignature;
  }
  const std::int64_t serial = ParseManifestSerial(signedManifest->content);
  const std::optional<std::int64_t> accepted = ReadAcceptedSerial();
  if (!accepted) return ManifestVerdict::SerialUnreadable;
  if (serial == kBadSerial || serial < *accepted) return ManifestVerdict::BadSignature;  // none counts as 0
  if (serial > *accepted) {
    const std::string line = std::string(kSerialLinePrefix) + std::to_string(serial) + "\n";
    if (!ReplaceFileContents(LauncherFolder + kSerialFileName, line)) return ManifestVerdict::SerialUnwritable;
  }
  content = signedManifest->content;
  return ManifestVerdict::Accepted;
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
  while (!counter.compare_exchange_weak(seen, SaturatingAdd(seen, bytes))) {
  }
}

// Entries that name one local file (the same name in other letter case, or "\\" for "/") are
// fetched one after another, never side by side: they would share the temporary file. Groups
// in the order of their first entry.
std::vector<std::vector<std::size_t>> GroupByLocalFile(const std::vector<ManifestEntry>& entries) {
  std::vector<std::vector<std::size_t>> groups;
  std::map<std::wstring, std::size_t> groupOf;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::wstring key = MakeLocalPath(entries[i].name);
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

UpdateResult RunUpdate() {
  PrintColored(Color::Quiet, "  Guncellemeler kontrol ediliyor...\n");

  // Every request of this run goes through one session to the host whose manifest it reads:
  // the main host, or the first fallback host that can be reached when the one before cannot.
  // A host that answered (a 404, a 403) is not skipped: its answer is the server's word.
  std::optional<HttpClient> client;
  std::string body;
  HttpResult manifestResponse;
  for (const std::wstring& host : UpdateHostsOf(BuiltIdentity)) {
    body.clear();
    client.emplace(host);
    manifestResponse = DownloadToMemory(*client, BuildManifestPath(), {body, kManifestMaxBytes},
                                        GetTickCount64() + kManifestLimitMs);
    const std::int32_t status = manifestResponse.status;
    if (manifestResponse.ok || (status != 0 && (status < kFirstServerError || status > kLastServerError))) break;
  }
  UpdateResult result;
  result.httpStatus = manifestResponse.status;
  std::string_view content = body;
  const UpdateKey key = BuiltUpdateKey();
  if (!manifestResponse.ok) {
    result.outcome = UpdateOutcome::ServerUnreachable;
  } else if (key.present) {
    // A refused manifest counts as no manifest at all.
    switch (AcceptSignedManifest(key, content)) {
      case ManifestVerdict::Accepted:
        break;
      case ManifestVerdict::BadSignature:
        PrintColored(Color::Warning, "  Guncelleme imzasi reddedildi.\n");
        result.outcome = UpdateOutcome::SignatureRefused;
        break;
      case ManifestVerdict::SerialUnreadable:
        PrintColored(Color::Warning, "  Imza sirasi dosyasi (imza_sirasi.txt) okunamadi, guncelleme reddedildi.\n");
        result.outcome = UpdateOutcome::SignatureRefused;
        break;
      case ManifestVerdict::SerialUnwritable:
        PrintColored(Color::Warning, "  Imza sirasi dosyasi (imza_sirasi.txt) yazilamadi, guncelleme reddedildi.\n");
        result.outcome = UpdateOutcome::SignatureRefused;
        break;
    }
  }
  if (result.outcome != UpdateOutcome::UpToDate) return result;

  const UpdateManifest pending = ReadManifest(content);
  if (pending.entries.empty()) {
    PrintColored(Color::Success, "  Oyun guncel.\n");
    return result;
  }

  PrintColored(Color::Heading, "  Guncelleme indiriliyor...\n");
  ProgressLine progress;
  progress.totalBytes = pending.totalBytes;
  DrawProgress(progress, 0, true);
  // Workers count what reaches the disk; this thread alone draws it.
  std::atomic<std::int64_t> done{0};
  const auto draw = [&progress, &done] {
    progress.doneBytes = done.load();
    DrawProgress(progress, 0, false);
  };
  std::atomic<std::uint32_t> failures{0};
  std::atomic<bool> launcherReplaced{false};

  // What arrived must have exactly the entry's size and digest (taken as it was written): a
  // cut, long or wrong body, or an entry that cannot be verified, never lands.
  const auto finish = [&](const ManifestEntry& entry, const std::wstring& temp, const std::wstring& target,
                          FileDownload& download) {
    const auto held = static_cast<std::int64_t>(download.bytes);  // at most the entry's size
    const bool verified = FinishFileDownload(download) && held == entry.size && !download.digest.empty() &&
                          download.digest == entry.hash &&
                          (!key.present || !IsLauncherEntryName(entry.name) || KeepsCheckingSignatures(temp));
    if (!verified) {
      DeleteFileW(temp.c_str());
      AddSaturating(done, entry.size - held);  // the entry counts as done, whatever came
      ++failures;
      return;
    }
    bool replacedSelf = false;
    const bool placed =
        entry.once ? PlaceOnce(temp, target) : MoveDownloadIntoPlace(temp, target, entry.name, replacedSelf);
    if (!placed) {
      DeleteFileW(temp.c_str());
      ++failures;
    }
    if (replacedSelf) launcherReplaced = true;
  };
  // Flushing, checking and moving go on beside the downloads, one file after another: a worker
  // asks for its next file as soon as the last byte of this one is written. A file named twice
  // (in other letter case) is finished in place, before its next download takes the same
  // temporary name.
  JobLine finishing;
  const auto fetch = [&](const ManifestEntry& entry, bool finishHere) {
    const std::wstring target = MakeLocalPath(entry.name);
    const std::wstring temp = target + kDownloadSuffix;
    CreateTargetFolders(target);
    const auto limit = static_cast<std::uint64_t>(entry.size < 0 ? 0 : entry.size);
    const auto count = [&done](std::int64_t bytes) { AddSaturating(done, bytes); };
    auto download = std::make_shared<FileDownload>(
        DownloadToFile(*client, BuildFilePath(entry), {temp, limit, count}, FileDeadline(entry.size)));
    if (finishHere) {
      finish(entry, temp, target, *download);
    } else {
      finishing.Post([&finish, &entry, temp, target, download] { finish(entry, temp, target, *download); });
    }
  };

  // The launcher's own executable alone and first, as the manifest lists it first: an update
  // cut short still brings the new launcher. Then everything else side by side, in order.
  std::vector<std::vector<std::size_t>> groups = GroupByLocalFile(pending.entries);
  const auto isLauncherGroup = [&pending](const std::vector<std::size_t>& group) {
    return IsLauncherEntryName(pending.entries[group.front()].name);
  };
  const auto firstOthers = std::stable_partition(groups.begin(), groups.end(), isLauncherGroup);
  const auto runGroup = [&](std::size_t index) {
    for (const std::size_t entry : groups[index]) fetch(pending.entries[entry], groups[index].size() > 1);
  };
  const auto launcherGroups = static_cast<std::size_t>(firstOthers - groups.begin());
  RunOnWorkers(launcherGroups, 1, runGroup, draw);
  RunOnWorkers(groups.size() - launcherGroups, kDownloadWorkers,
               [&](std::size_t index) { runGroup(launcherGroups + index); }, draw);
  finishing.Drain();
  result.launcherReplaced = launcherReplaced;

  progress.doneBytes = progress.totalBytes;
  DrawProgress(progress, 0, true);
  PrintPlain("\n");

  if (failures.load() == 0) {
    PrintColored(Color::Success, "  Guncelleme tamam.\n");
    result.outcome = UpdateOutcome::Updated;
    Sleep(kCompletePauseMs);
  } else {
    PrintColored(Color::Warning,
                 "  Guncellemenin bir kismi inmedi (oyun acik mi?), bir sonraki acilista tekrar denenecek.\n");
    result.outcome = UpdateOutcome::PartlyUpdated;
    Sleep(kPartialPauseMs);
  }
  return result;
}
