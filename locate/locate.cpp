#include "locate/locate.h"

// windows.h first: shellapi.h relies on its types.
#include <windows.h>
#include <shellapi.h>

#include <array>

#include "base/file_names.h"
#include "base/handles.h"
#include "base/launcher_paths.h"
#include "console/console.h"
#include "locate/drive_scan.h"
#include "locate/game_folder.h"
#include "locate/steam_sources.h"

namespace {

FileHandle OpenSavedPathFile(DWORD access, DWORD share, DWORD disposition, DWORD attributes) {
  return OwnFile(CreateFileW((LauncherFolder + kSavedPathFileName).c_str(), access, share, nullptr, disposition,
                             attributes, nullptr));
}

// At most 259 units come back; longer saved paths are read cut and so fail the test.
constexpr DWORD kSavedPathReadBytes = 518;

}  // namespace

std::wstring ReadSavedGameFolder() {
  const FileHandle file = OpenSavedPathFile(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  if (!file) {
    return std::wstring();
  }
  std::array<wchar_t, 260> buffer{};  // the last unit always stays NUL
  DWORD read = 0;
  (void)ReadFile(file.get(), buffer.data(), kSavedPathReadBytes, &read, nullptr);
  return std::wstring(buffer.data());
}

void WriteSavedGameFolder(const std::wstring& gameFolder) {
  const FileHandle file = OpenSavedPathFile(GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  if (!file || gameFolder.size() > 0x7fffffffu / sizeof(wchar_t)) {
    return;
  }
  DWORD written = 0;
  // Raw UTF-16LE units: no byte-order mark, no terminator, no line end.
  (void)WriteFile(file.get(), gameFolder.data(), static_cast<DWORD>(gameFolder.size() * sizeof(wchar_t)),
                  &written, nullptr);
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
