#include "locate/locate.h"

// windows.h first: shellapi.h relies on its types.
#include <windows.h>
#include <shellapi.h>

#include <array>

#include "base/file_names.h"
#include "base/files.h"
#include "base/handles.h"
#include "base/launcher_paths.h"
#include "console/console.h"
#include "locate/drive_scan.h"
#include "locate/game_folder.h"
#include "locate/steam_sources.h"

namespace {

// At most 259 units come back; longer saved paths are read cut and so fail the test.
constexpr DWORD kSavedPathReadBytes = 518;

}  // namespace

std::wstring ReadSavedGameFolder() {
  const FileHandle file = OwnFile(CreateFileW((LauncherFolder + kSavedPathFileName).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    return std::wstring();
  }
  std::array<wchar_t, 260> buffer{};  // the last unit always stays NUL
  DWORD read = 0;
  (void)ReadFile(file.get(), buffer.data(), kSavedPathReadBytes, &read, nullptr);
  return std::wstring(buffer.data());
}

void WriteSavedGameFolder(const std::wstring& gameFolder) {
  if (gameFolder.size() > 0x7fffffffu / sizeof(wchar_t)) return;
  // Raw UTF-16LE units: no byte-order mark, no terminator, no line end. Through a temporary
  // file: a crash while writing must not cost the next start a walk over every drive.
  (void)ReplaceFileContents(LauncherFolder + kSavedPathFileName,
                            std::string_view(reinterpret_cast<const char*>(gameFolder.data()),
                                             gameFolder.size() * sizeof(wchar_t)));
}

std::wstring LocateGame() {
  std::wstring saved = ReadSavedGameFolder();
  if (IsGameFolder(saved)) {
    return saved;
  }
  std::wstring found = FindInSteamLibraries();
  if (found.empty()) {
    found = FindInRegistryKeys();
  }
  if (found.empty()) {
    found = ScanFixedDrives();
    if (found.empty()) {
      return found;
    }
  }
  WriteSavedGameFolder(found);
  PrintColored(Color::Success, "  Counter-Strike 1.6 bulundu: %ls\n", found.c_str());
  return found;
}

void ReportGameMissing() {
  PrintColored(Color::Error, "\n  Bilgisayarda Counter-Strike 1.6 bulunamadi.\n");
  PrintColored(Color::Normal, "  Steam'den Counter-Strike 1.6'yi kur, bitince Korvantis'i tekrar ac.\n");
  PrintColored(Color::Normal, "  Steam kurulum penceresi aciliyor...\n\n  Kapatmak icin bir tusa bas...");
  // Whether Steam is installed is not checked: the request is the player's way forward.
  ShellExecuteW(nullptr, L"open", kSteamInstallLink, nullptr, nullptr, SW_SHOWNORMAL);
  WaitForKey();
}
