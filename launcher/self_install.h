#pragma once
// First start from anywhere without the engine: copy into %LOCALAPPDATA%\Korvantis\, add
// shortcuts, start the installed copy.
#include <optional>
#include <string>

inline constexpr wchar_t kInstallFolderName[] = L"\\Korvantis\\";
inline constexpr wchar_t kShortcutFileName[] = L"\\Korvantis.lnk";

// None: this is the installed launcher, carry on. 0: handed over. 1: cannot install.
[[nodiscard]] std::optional<int> SelfInstall(const std::wstring& launcherPath);

// LOCALAPPDATA as the environment gives it (a trailing "\\" or "/" separators included)
// followed by "\\Korvantis\\".
[[nodiscard]] std::wstring InstallFolderOf(std::wstring localAppData);

// Whether two paths name one file: by volume and file index when both exist, else by their
// full paths, letter case ignored. Never by their text alone, which many spellings share.
[[nodiscard]] bool IsSameFile(const std::wstring& a, const std::wstring& b);

void CreateShortcuts(const std::wstring& installedLauncher, const std::wstring& installFolder);
void StartInstalledCopy(const std::wstring& installedLauncher, const std::wstring& installFolder);
