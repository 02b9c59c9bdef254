#include "update/update.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "base/file_names.h"
#include "base/files.h"
#include "update/build_identity.h"
#include "update/signature.h"

namespace {

// The manifest is small; a server that takes longer than this over it, however steadily it
// drips, is as good as unreachable: the player should be playing.
constexpr std::uint64_t kManifestLimitMs = 60000;
// A host that answers with these is down for the while: the next one is asked.
constexpr std::int32_t kFirstServerError = 500;
constexpr std::int32_t kLastServerError = 599;

// The highest serial this launcher accepted, which it holds as the serial line itself: 0 while
// there is no such file (trust on first use). None when the file is there but cannot be read or
// holds no serial: taking that for "none yet" would let any older manifest back in.
std::optional<std::int64_t> ReadAcceptedSerial(const std::wstring& launcherFolder) {
  constexpr std::uint64_t kSerialFileMaxBytes = 64;
  const std::wstring path = launcherFolder + kSerialFileName;
  const std::optional<std::string> line = ReadWholeFile(path, kSerialFileMaxBytes);
  if (!line) {
    const bool missing =
        GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
    return missing ? std::optional<std::int64_t>(0) : std::nullopt;
  }
  const std::int64_t serial = ParseManifestSerial(*line);
  return serial > 0 ? std::optional<std::int64_t>(serial) : std::nullopt;
}

// Whoever holds the server must not be able to push programs to players, nor serve an older
// manifest again: only what the maintainer signed, with a serial not below the highest seen, is
// read, and only once a higher serial is on disk. contentBytes is narrowed to the signed bytes.
ManifestOutcome AcceptSignedManifest(const UpdateKey& key, const std::wstring& launcherFolder, ManifestAnswer& answer) {
  const std::optional<SignedManifest> signedManifest = SplitSignedManifest(answer.body);
  if (!signedManifest || !VerifyManifestSignature(signedManifest->content, signedManifest->signature, key)) {
    return ManifestOutcome::BadSignature;
  }
  const std::int64_t serial = ParseManifestSerial(signedManifest->content);
  const std::optional<std::int64_t> accepted = ReadAcceptedSerial(launcherFolder);
  if (!accepted) return ManifestOutcome::SerialUnreadable;
  if (serial == kBadSerial || serial < *accepted) return ManifestOutcome::BadSignature;  // none counts as 0
  if (serial > *accepted) {
    const std::string line = std::string(kSerialLinePrefix) + std::to_string(serial) + "\n";
    if (!ReplaceFileContents(launcherFolder + kSerialFileName, line)) return ManifestOutcome::SerialUnwritable;
  }
  answer.contentBytes = signedManifest->content.size();  // the signed part is the body's start
  return ManifestOutcome::Read;
}

}  // namespace

ManifestAnswer FetchManifest(const std::wstring& launcherFolder) {
  ManifestAnswer answer;
  // A host that answered (a 404, a 403) is not skipped: its answer is the server's word.
  for (const std::wstring& host : UpdateHostsOf(BuiltIdentity)) {
    answer.body.clear();
    answer.client = std::make_unique<HttpClient>(host);
    const HttpResult response = DownloadToMemory(*answer.client, BuildManifestPath(), {answer.body, kManifestMaxBytes},
                                                 GetTickCount64() + kManifestLimitMs);
    answer.httpStatus = response.status;
    if (response.ok) {
      answer.outcome = ManifestOutcome::Read;
      break;
    }
    if (response.status != 0 && (response.status < kFirstServerError || response.status > kLastServerError)) break;
  }
  answer.contentBytes = answer.body.size();
  const UpdateKey key = BuiltUpdateKey();
  if (answer.outcome == ManifestOutcome::Read && key.present) {
    answer.outcome = AcceptSignedManifest(key, launcherFolder, answer);
  }
  return answer;
}
