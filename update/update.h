#pragma once
// Bringing the launcher folder up to date before every start of the game.
#include <cstdint>
#include <string>

#include "update/manifest_text.h"

enum class UpdateOutcome {
  UpToDate,           // every listed file was already current
  Updated,            // every pending file is in place
  PartlyUpdated,      // some files did not land; the next start tries them again
  ServerUnreachable,  // no manifest: httpStatus says what the server answered (0: nothing)
  SignatureRefused,   // a manifest came, but not one the maintainer signed
};

struct UpdateResult {
  UpdateOutcome outcome = UpdateOutcome::UpToDate;
  // A new Korvantis.exe is in place (also after a partial update): the caller restarts.
  bool launcherReplaced = false;
  // The manifest request's status.
  std::int32_t httpStatus = 0;
};

// Prints the update's own lines and pauses after a download. Without a manifest it prints
// nothing more (but a refused signature): what follows is the caller's decision.
[[nodiscard]] UpdateResult RunUpdate();

// "/korvantis/guncelleme/dosyalar/<percent-encoded name>?v=<version token>"
[[nodiscard]] std::wstring BuildFilePath(const ManifestEntry& entry);

// Moves a verified download onto its target; the launcher's own exe is kept as ".eski"
// and put back when the move fails. selfReplaced is set only when the new exe is in place.
[[nodiscard]] bool MoveDownloadIntoPlace(const std::wstring& tempPath, const std::wstring& targetPath,
                                         const std::string& name, bool& selfReplaced);
