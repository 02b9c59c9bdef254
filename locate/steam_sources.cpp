#include "locate/steam_sources.h"

#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>

#include "base/files.h"
#include "base/text.h"
#include "locate/game_folder.h"
#include "locate/library_file.h"

const GameRegistryKey GameRegistryKeys[4] = {
    {L"Software\\Valve\\Half-Life", L"InstallPath"},
    // Same key in other letter case: older installers wrote it so, and both are read.
    {L"SOFTWARE\\Valve\\Half-Life", L"InstallPath"},
    {L"Software\\Valve\\CounterStrike", L"InstallPath"},
    {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Steam App 10", L"InstallLocation"},
};

namespace {

// 259 units and the terminator; a longer value counts as absent.
constexpr DWORD kRegistryBufferBytes = 520;
// Steam writes a few lines per library; anything near this is no library list.
constexpr std::uint64_t kLibraryFileMaxBytes = 16u << 20;
constexpr wchar_t kGameSubfolder[] = L"\\steamapps\\common\\Half-Life";
constexpr wchar_t kLibraryFile[] = L"\\steamapps\\libraryfolders.vdf";

}  // namespace

std::wstring ReadRegistryString(HKEY root, const std::wstring& subkey, const std::wstring& valueName) {
  wchar_t buffer[kRegistryBufferBytes / sizeof(wchar_t)] = {};
  DWORD size = kRegistryBufferBytes;
  // The 32-bit view first: Steam and the game's installers are 32-bit programs.
  LSTATUS status = RegGetValueW(root, subkey.c_str(), valueName.c_str(), RRF_RT_REG_SZ | RRF_SUBKEY_WOW6432KEY, nullptr,
                                buffer, &size);
  if (status != ERROR_SUCCESS) {
    size = kRegistryBufferBytes;
    status = RegGetValueW(root, subkey.c_str(), valueName.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size);
  }
  if (status != ERROR_SUCCESS) {
    return std::wstring();
  }
  std::size_t units = size / sizeof(wchar_t);
  if (units > std::size(buffer)) {
    units = std::size(buffer);
  }
  std::size_t length = 0;
  while (length < units && buffer[length] != L'\0') {
    ++length;
  }
  if (length == std::size(buffer)) {
    return std::wstring();  // filled without a terminator: it did not fit
  }
  return NormaliseRegistryPath(std::wstring(buffer, length));
}

std::wstring FindSteamFolder() {
  std::wstring steam = ReadRegistryString(HKEY_CURRENT_USER, L"Software\\Valve\\Steam", L"SteamPath");
  if (steam.empty()) {
    steam = ReadRegistryString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath");
  }
  return steam;
}

std::vector<std::wstring> ReadLibraryFolders(const std::wstring& steamFolder) {
  const std::optional<std::string> bytes = ReadWholeFile(steamFolder + kLibraryFile, kLibraryFileMaxBytes);
  std::vector<std::wstring> libraries;
  if (!bytes) return libraries;
  for (const std::string& value : ScanLibraryPaths(*bytes)) {
    libraries.push_back(Utf8ToWide(value));
  }
  return libraries;
}

std::wstring FindInSteamLibraries() {
  const std::wstring steam = FindSteamFolder();
  if (steam.empty()) {
    return std::wstring();
  }
  std::vector<std::wstring> libraries{steam};
  for (std::wstring& library : ReadLibraryFolders(steam)) {
    libraries.push_back(std::move(library));
  }
  for (const std::wstring& library : libraries) {
    std::wstring candidate = library + kGameSubfolder;
    if (IsGameFolder(candidate)) {
      return candidate;
    }
  }
  return std::wstring();
}

std::wstring FindInRegistryKeys() {
  for (const GameRegistryKey& key : GameRegistryKeys) {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      std::wstring value = ReadRegistryString(root, key.subkey, key.valueName);
      if (IsGameFolder(value)) {
        return value;
      }
    }
  }
  return std::wstring();
}
