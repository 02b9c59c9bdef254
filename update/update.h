#pragma once
// Bringing the launcher folder up to date, in steps the launcher takes and tells the player
// about: the manifest (from the first update host that answers), then the plan of what to fetch
// (PlanUpdate, update/manifest.h), then the fetch. Nothing here prints or waits for the player.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "update/http_client.h"
#include "update/manifest.h"

enum class ManifestOutcome {
  Read,              // content holds what the maintainer published
  Unreachable,       // no manifest from any host: httpStatus says what the last one answered
  BadSignature,      // a manifest came, but not one the maintainer signed (or an older one)
  SerialUnreadable,  // imza_sirasi.txt is there but cannot be read: no floor to check against
  SerialUnwritable,  // the manifest's higher serial could not be kept
};

struct ManifestAnswer {
  ManifestOutcome outcome = ManifestOutcome::Unreachable;
  std::int32_t httpStatus = 0;   // the last manifest request's status (0: none)
  std::string body;              // the answer as it came
  std::size_t contentBytes = 0;  // the part of body that counts: all of it, or what was signed
  // The host that answered: every request of the run goes to it, through its one session.
  std::unique_ptr<HttpClient> client;

  [[nodiscard]] std::string_view Content() const { return std::string_view(body).substr(0, contentBytes); }
};

// Asks the main host for the manifest, then each fallback host while the one before cannot be
// reached; with a key built in, takes it only signed and not older than the last one accepted.
[[nodiscard]] ManifestAnswer FetchManifest(const std::wstring& launcherFolder);

struct FetchOutcome {
  std::size_t failed = 0;         // entries that did not end with their file in place
  bool launcherReplaced = false;  // a new Korvantis.exe is in place: the caller restarts
};

// Fetches, verifies and moves into place every entry of the plan, from the client's host.
// progress(doneBytes) is called on the calling thread about every 100 ms while it works, and
// once at the end.
[[nodiscard]] FetchOutcome FetchPlannedFiles(HttpClient& client, const std::wstring& launcherFolder,
                                             const UpdatePlan& plan,
                                             const std::function<void(std::int64_t doneBytes)>& progress);

// "/korvantis/guncelleme/dosyalar/<percent-encoded name>?v=<version token>"
[[nodiscard]] std::wstring BuildFilePath(const ManifestEntry& entry);

// Moves a verified download onto its target; the launcher's own exe is kept as ".eski"
// and put back when the move fails. selfReplaced is set only when the new exe is in place.
[[nodiscard]] bool MoveDownloadIntoPlace(const std::wstring& tempPath, const std::wstring& targetPath,
                                         const std::string& name, bool& selfReplaced);
