#pragma once
// First start from anywhere without the engine: copy into %LOCALAPPDATA%\Korvantis\, add
// shortcuts, start the installed copy.
#include <optional>
#include <string>

inline constexpr wchar_t kInstallFolderName[] = L"\\Korvantis\\";
inline constexpr wchar_t kShortcutFileName[] = L"\\Korvantis.lnk";

enum class InstallOutcome {
  AlreadyInstalled,  // this is the installed launcher: it carries on
  Installed,         // copied (or an installed copy was there already) and shortcuts made
  NoLocalAppData,    // nowhere to install to
  CannotCopy,        // no installed launcher, and none could be made
};
struct Installation {
  InstallOutcome outcome = InstallOutcome::NoLocalAppData;
  std::wstring folder;    // the install folder
  std::wstring launcher;  // the installed launcher
};
// Copies this launcher into the install folder and makes its shortcuts, unless it is the
// installed launcher itself.
[[nodiscard]] Installation InstallSelf(const std::wstring& launcherPath);

// LOCALAPPDATA as the environment gives it (a trailing "\\" or "/" separators included)
// followed by "\\Korvantis\\".
[[nodiscard]] std::wstring InstallFolderOf(std::wstring localAppData);

// Whether two paths name one file: by volume and file index when both exist, else by their
// full paths, letter case ignored. Never by their text alone, which many spellings share.
[[nodiscard]] bool IsSameFile(const std::wstring& a, const std::wstring& b);

void StartInstalledCopy(const std::wstring& installedLauncher, const std::wstring& installFolder);
