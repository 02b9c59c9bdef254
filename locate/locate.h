#pragma once
// Where is Counter-Strike 1.6? The saved path first, then Steam, the registry, the drives.
#include <string>

// Steam's published browser-protocol link asking the client to install application 10.
inline constexpr wchar_t kSteamInstallLink[] = L"steam://install/10";

// The game folder, or empty when no source yields one.
[[nodiscard]] std::wstring LocateGame();

[[nodiscard]] std::wstring ReadSavedGameFolder();
void WriteSavedGameFolder(const std::wstring& gameFolder);

// Messages, Steam's install request, one key wait.
void ReportGameMissing();
