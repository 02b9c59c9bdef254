#include "launcher/launcher.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>

#include "base/file_names.h"
#include "base/launcher_paths.h"
#include "base/process.h"
#include "console/console.h"
#include "launcher/game_launch.h"
#include "launcher/self_install.h"
#include "locate/locate.h"
#include "update/update.h"

namespace {

constexpr DWORD kUnchangedPauseMs = 1200;
// A healthy launcher confirms within a second even on a slow machine.
constexpr DWORD kRestartConfirmMs = 15000;
// It ends right after the confirmation; a restarter that lingers only keeps its old file.
constexpr DWORD kRestarterExitMs = 5000;
constexpr wchar_t kRestartEventPrefix[] = L"Local\\KorvantisRestart-";
constexpr std::int32_t kStatusForbidden = 403;

// No manifest and no engine to start: the stop, worded by what went wrong.
void ReportUpdateStop(const UpdateResult& update) {
  if (update.outcome == UpdateOutcome::SignatureRefused) {
    PrintColored(Color::Error,
                 "\n  Guncellemenin imzasi gecersiz, oyun dosyalari indirilmedi.\n"
                 "  Biraz sonra tekrar dene; olmazsa Korvantis'i yeniden indir.\n");
  } else if (update.httpStatus == kStatusForbidden) {
    PrintColored(Color::Error,
                 "\n  Indirme sunucusu baglantini engelledi (403).\n"
                 "  Biraz sonra tekrar dene; olmazsa modemini kapatip ac ya da baska bir internetle dene.\n");
  } else if (update.httpStatus != 0) {
    PrintColored(Color::Error, "\n  Indirme sunucusu hata verdi (%d). Biraz sonra tekrar dene.\n",
                 static_cast<int>(update.httpStatus));
  } else {
    PrintColored(Color::Error, "\n  Indirme sunucusuna ulasilamadi. Internet baglantini kontrol et.\n");
  }
  PrintColored(Color::Normal, "\n  Kapatmak icin bir tusa bas...");
  WaitForKey();
}

// The new launcher cannot run: the one kept as ".eski" (this very process) goes back under its
// name, so the shortcut keeps working. The next start may fetch the new one again, once.
void PutBackOldLauncher() {
  const std::wstring old = LauncherPath + kOldLauncherSuffix;
  if (GetFileAttributesW(old.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  ClearReadOnly(LauncherPath);
  if (!DeleteFileW(LauncherPath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return;
  MoveFileExW(old.c_str(), LauncherPath.c_str(), MOVEFILE_WRITE_THROUGH);
}

}  // namespace

std::optional<std::wstring> TakeRestartMark() {
  std::optional<std::wstring> mark = ReadEnvironmentVariable(kRestartMarkVariable);
  SetEnvironmentVariableW(kRestartMarkVariable, nullptr);
  return mark;
}

KernelHandle ConfirmRestart(const std::wstring& mark) {
  KernelHandle restarter;
  const std::wstring prefix = kRestartEventPrefix;
  if (mark.size() > prefix.size() && mark.compare(0, prefix.size(), prefix) == 0) {
    // Opened before it is told: it cannot have ended, so its number names no other process.
    const unsigned long id = std::wcstoul(mark.c_str() + prefix.size(), nullptr, 10);
    restarter.reset(OpenProcess(SYNCHRONIZE, FALSE, id));
  }
  const KernelHandle confirmed(OpenEventW(EVENT_MODIFY_STATE, FALSE, mark.c_str()));
  if (confirmed) SetEvent(confirmed.get());
  return restarter;
}

bool RestartSelf() {
  const std::wstring eventName = kRestartEventPrefix + std::to_wstring(GetCurrentProcessId());
  const KernelHandle confirmed(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
  // The mark travels in the inherited environment, so the command line stays exactly the
  // player's. Same console, same arguments: the new launcher's output follows in this window.
  SetEnvironmentVariableW(kRestartMarkVariable, eventName.c_str());
  const KernelHandle child = StartWatchedProcess(LauncherPath, GetCommandLineW(), 0, LauncherFolder);
  SetEnvironmentVariableW(kRestartMarkVariable, nullptr);  // the engine may be started instead
  if (!child) return false;
  if (!confirmed) return true;  // nothing to wait on: taken as started, as it always was
  // Its first step confirms; one that ends before, or cannot even be loaded, is no launcher.
  // One still starting after the wait is left to run: never two launchers at work.
  const HANDLE events[] = {confirmed.get(), child.get()};
  return WaitForMultipleObjects(2, events, FALSE, kRestartConfirmMs) != WAIT_OBJECT_0 + 1;
}

int RunLauncher() {
  const std::optional<std::wstring> restartMark = TakeRestartMark();
  const KernelHandle restarter = restartMark ? ConfirmRestart(*restartMark) : KernelHandle();
  SetConsoleTitleW(L"Korvantis");
  const std::optional<std::wstring> modulePath = QueryModulePath();
  if (modulePath) {
    LauncherPath = *modulePath;
    LauncherFolder = FolderOfPath(LauncherPath);
  }
  PrintColored(Color::Error, "\n  KORVANTIS\n");
  if (!modulePath) {
    return 1;  // never install, update or write anywhere on a guessed folder
  }

  if (!EnginePresent()) {
    if (const std::optional<int> handedOver = SelfInstall(LauncherPath)) {
      return *handedOver;
    }
  }

  SetCurrentDirectoryW(LauncherFolder.c_str());
  // The launcher that restarted this one runs from that copy until it has seen the confirmation.
  if (restarter) WaitForSingleObject(restarter.get(), kRestarterExitMs);
  DeleteOldLauncherCopy(LauncherPath + kOldLauncherSuffix);

  const std::wstring gameFolder = LocateGame();
  if (gameFolder.empty()) {
    ReportGameMissing();
    return 1;
  }

  const UpdateResult update = RunUpdate();
  if (update.outcome == UpdateOutcome::ServerUnreachable || update.outcome == UpdateOutcome::SignatureRefused) {
    if (!EnginePresent()) {
      ReportUpdateStop(update);
      return 1;
    }
    PrintColored(Color::Warning, "  Sunucuya ulasilamadi, oyun oldugu gibi aciliyor.\n");
    Sleep(kUnchangedPauseMs);
  }
  // One restart per start by the player: a manifest that keeps replacing the launcher (two
  // versions under one name in other letter case, say) must not restart it for ever.
  if (update.launcherReplaced && !restartMark) {
    if (RestartSelf()) return 0;
    PutBackOldLauncher();
  }
  return LaunchGame(gameFolder);
}
