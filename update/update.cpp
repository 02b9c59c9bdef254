#include "update/update.h"

#include <windows.h>

#include <cstdio>

#include "console/console.h"
#include "launcher/launcher.h"
#include "update/http_client.h"
#include "update/manifest.h"
#include "update/sha256.h"
#include "update/signature.h"

namespace {

constexpr DWORD kCompletePauseMs = 700;
constexpr DWORD kUnchangedPauseMs = 1200;
constexpr DWORD kPartialPauseMs = 3000;
constexpr std::int32_t kStatusForbidden = 403;
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

[[noreturn]] void ReportServerUnreachable() {
  if (LastHttpStatus == kStatusForbidden) {
    PrintColored(Colour::Error,
                 "\n  Indirme sunucusu baglantini engelledi (403).\n"
                 "  Biraz sonra tekrar dene; olmazsa modemini kapatip ac ya da baska bir internetle dene.\n");
  } else if (LastHttpStatus != 0) {
    PrintColored(Colour::Error, "\n  Indirme sunucusu hata verdi (%d). Biraz sonra tekrar dene.\n",
                 static_cast<int>(LastHttpStatus));
  } else {
    PrintColored(Colour::Error, "\n  Indirme sunucusuna ulasilamadi. Internet baglantini kontrol et.\n");
  }
  PrintColored(Colour::Normal, "\n  Kapatmak icin bir tusa bas...");
  WaitForKey();
  std::fflush(stdout);
  ExitProcess(1);
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
    return MoveFileExW(tempPath.c_str(), targetPath.c_str(), kMoveFlags) != 0;
  }
  // A running exe cannot be overwritten but can be renamed: move it aside first.
  const std::wstring oldPath = targetPath + kOldLauncherSuffix;
  DeleteOldLauncherCopy(oldPath);
  const bool movedAside = MoveFileExW(targetPath.c_str(), oldPath.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
  if (MoveFileExW(tempPath.c_str(), targetPath.c_str(), kMoveFlags)) {
    selfReplaced = true;
    return true;
  }
  // Never leave the folder without a launcher, and never restart into the old one as if new.
  if (movedAside) MoveFileExW(oldPath.c_str(), targetPath.c_str(), MOVEFILE_WRITE_THROUGH);
  return false;
}

bool RunUpdate() {
  PrintColored(Colour::Quiet, "  Guncellemeler kontrol ediliyor...\n");

  std::string body;
  bool fetched = DownloadToFile(BuildManifestPath(), &body, nullptr, kManifestMaxBytes);
  std::string_view content = body;
  if (fetched && CompiledUpdateKey.present) {
    // Whoever holds the server must not be able to push programs to players: only what the
    // maintainer signed is read, and a refused manifest counts as no manifest at all.
    const std::optional<SignedManifest> signedManifest = SplitSignedManifest(body);
    fetched = signedManifest &&
              VerifyManifestSignature(signedManifest->content, signedManifest->signature, CompiledUpdateKey);
    if (fetched) {
      content = signedManifest->content;
    } else {
      PrintColored(Colour::Warning, "  Guncelleme imzasi reddedildi.\n");
    }
  }
  if (!fetched) {
    if (EnginePresent()) {
      PrintColored(Colour::Warning, "  Sunucuya ulasilamadi, oyun oldugu gibi aciliyor.\n");
      Sleep(kUnchangedPauseMs);
      return false;
    }
    ReportServerUnreachable();
  }

  const UpdateManifest pending = ReadManifest(content);
  if (pending.entries.empty()) {
    PrintColored(Colour::Success, "  Oyun guncel.\n");
    return false;
  }

  PrintColored(Colour::Heading, "  Guncelleme indiriliyor...\n");
  ProgressDoneBytes = 0;
  ProgressTotalBytes = pending.totalBytes;
  DrawProgress(0, true);
  std::uint32_t failures = 0;
  bool selfReplaced = false;

  for (const ManifestEntry& entry : pending.entries) {
    const std::int64_t doneAtStart = ProgressDoneBytes;
    const std::wstring target = MakeLocalPath(entry.name);
    const std::wstring temp = target + kDownloadSuffix;
    CreateTargetFolders(target);
    // No more than the entry's size is taken in, and what arrived must have exactly its size
    // and digest: a cut, long or wrong body, or an entry that cannot be verified, never lands.
    const auto limit = static_cast<std::uint64_t>(entry.size < 0 ? 0 : entry.size);
    const bool verified = DownloadToFile(BuildFilePath(entry), nullptr, &temp, limit) && IsEntryCurrent(entry, temp);
    if (!verified) {
      DeleteFileW(temp.c_str());
      ProgressDoneBytes = SaturatingAdd(doneAtStart, entry.size);
      ++failures;
      continue;
    }
    if (!MoveDownloadIntoPlace(temp, target, entry.name, selfReplaced)) {
      DeleteFileW(temp.c_str());
      ++failures;
    }
  }

  ProgressDoneBytes = ProgressTotalBytes;
  DrawProgress(0, true);
  PrintPlain("\n");

  if (failures == 0) {
    PrintColored(Colour::Success, "  Guncelleme tamam.\n");
    Sleep(kCompletePauseMs);
  } else {
    PrintColored(Colour::Warning,
                 "  Guncellemenin bir kismi inmedi (oyun acik mi?), bir sonraki acilista tekrar denenecek.\n");
    Sleep(kPartialPauseMs);
  }
  return selfReplaced;
}
