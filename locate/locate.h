#pragma once
// Where is Counter-Strike 1.6? The saved path first, then Steam, the registry, the drives.
#include <string>

#include "locate/drive_scan.h"

struct LocatedGame {
  std::wstring folder;         // empty when no source yields one
  bool fromSavedPath = false;  // the saved path still holds: nothing new to tell
};

// Saves a folder found anew, for the next start.
[[nodiscard]] LocatedGame LocateGame(const std::wstring& launcherFolder, const ScanReport& scan);

[[nodiscard]] std::wstring ReadSavedGameFolder(const std::wstring& launcherFolder);
void WriteSavedGameFolder(const std::wstring& launcherFolder, const std::wstring& gameFolder);
