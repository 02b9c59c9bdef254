#pragma once
// Bringing the launcher folder up to date before every start of the game.
#include <string>

#include "update/manifest_text.h"

inline constexpr wchar_t kDownloadSuffix[] = L"" KORVANTIS_DOWNLOAD_SUFFIX;

// True when a new Korvantis.exe was put in place (the caller restarts). Ends the process
// with 1 when the server is unreachable and there is no engine to start.
[[nodiscard]] bool RunUpdate();

// "/korvantis/guncelleme/dosyalar/<percent-encoded name>?v=<version token>"
[[nodiscard]] std::wstring BuildFilePath(const ManifestEntry& entry);

// Moves a verified download onto its target; the launcher's own exe is kept as ".eski"
// and put back when the move fails. selfReplaced is set only when the new exe is in place.
[[nodiscard]] bool MoveDownloadIntoPlace(const std::wstring& tempPath, const std::wstring& targetPath,
                               const std::string& name, bool& selfReplaced);
