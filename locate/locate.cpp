#include "locate/locate.h"

#include <windows.h>

#include <array>
#include <utility>

#include "base/file_names.h"
#include "base/files.h"
#include "base/handles.h"
#include "locate/drive_scan.h"
#include "locate/game_folder.h"
#include "locate/steam_sources.h"

namespace {

// At most 259 units come back; longer saved paths are read cut and so fail the test.
constexpr DWORD kSavedPathReadBytes = 518;

}  // namespace

std::wstring ReadSavedGameFolder(const std::wstring& launcherFolder) {
  const FileHandle file = OwnFile(CreateFileW((launcherFolder + kSavedPathFileName).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    return std::wstring();
  }
  std::array<wchar_t, 260> buffer{};  // the last unit always stays NUL
  DWORD read = 0;
  (void)ReadFile(file.get(), buffer.data(), kSavedPathReadBytes, &read, nullptr);
  return std::wstring(buffer.data());
}

void WriteSavedGameFolder(const std::wstring& launcherFolder, const std::wstring& gameFolder) {
  if (gameFolder.size() > 0x7fffffffu / sizeof(wchar_t)) return;
  // Raw UTF-16LE units: no byte-order mark, no terminator, no line end. Through a temporary
  // file: a crash while writing must not cost the next start a walk over every drive.
  (void)ReplaceFileContents(
      launcherFolder + kSavedPathFileName,
      std::string_view(reinterpret_cast<const char*>(gameFolder.data()), gameFolder.size() * sizeof(wchar_t)));
}

LocatedGame LocateGame(const std::wstring& launcherFolder, const ScanReport& scan) {
  std::wstring saved = ReadSavedGameFolder(launcherFolder);
  if (IsGameFolder(saved)) {
    return {std::move(saved), true};
  }
  std::wstring found = FindInSteamLibraries();
  if (found.empty()) {
    found = FindInRegistryKeys();
  }
  if (found.empty()) {
    found = ScanFixedDrives(scan);
    if (found.empty()) {
      return {};
    }
  }
  WriteSavedGameFolder(launcherFolder, found);
  return {std::move(found), false};
}
