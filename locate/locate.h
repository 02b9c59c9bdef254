#pragma once
// Where is Counter-Strike 1.6? The saved path first, then Steam, the registry, the drives.
#include <string>

#include "launcher/file_names.h"

inline constexpr wchar_t kSavedPathFileName[] = L"" KORVANTIS_SAVED_PATH_NAME;
// Steam's published browser-protocol link asking the client to install application 10.
inline constexpr wchar_t kSteamInstallLink[] = L"steam://install/10";

// The game folder, or empty when no source yields one.
[[nodiscard]] std::wstring LocateGame();

// Holds "\cstrike\liblist.gam" and "\valve" (existence only; suffixes appended as text).
[[nodiscard]] bool IsGameFolder(const std::wstring& folder);
// The same test on a path buffer that is extended and restored: no allocation once the
// buffer has room, for the drive walk's hot loop.
[[nodiscard]] bool IsGameFolderInPlace(std::wstring& folder);

[[nodiscard]] std::wstring ReadSavedGameFolder();
void WriteSavedGameFolder(const std::wstring& gameFolder);

// Messages, Steam's install request, one key wait.
void ReportGameMissing();
