#pragma once
// Steam's folder and libraries, and the registry values that point straight at the game.
#include <windows.h>

#include <string>
#include <vector>

struct GameRegistryKey {
  const wchar_t* subkey;
  const wchar_t* valueName;
};
extern const GameRegistryKey GameRegistryKeys[4];

// Normalised REG_SZ value (32-bit view first, then the default view); empty when unreadable.
[[nodiscard]] std::wstring ReadRegistryString(HKEY root, const std::wstring& subkey, const std::wstring& valueName);
[[nodiscard]] std::wstring FindSteamFolder();
[[nodiscard]] std::vector<std::wstring> ReadLibraryFolders(const std::wstring& steamFolder);
[[nodiscard]] std::wstring FindInSteamLibraries();
[[nodiscard]] std::wstring FindInRegistryKeys();
