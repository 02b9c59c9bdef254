#include "launcher/launcher.h"

#include <windows.h>

#include <cstdint>
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
constexpr std::int32_t kStatusForbidden = 403;

// No manifest and no engine to start: the stop, worded by what the server answered.
void ReportServerUnreachable(std::int32_t httpStatus) {
  if (httpStatus == kStatusForbidden) {
    PrintColored(Color::Error,
                 "\n  Indirme sunucusu baglantini engelledi (403).\n"
                 "  Biraz sonra tekrar dene; olmazsa modemini kapatip ac ya da baska bir internetle dene.\n");
  } else if (httpStatus != 0) {
    PrintColored(Color::Error, "\n  Indirme sunucusu hata verdi (%d). Biraz sonra tekrar dene.\n",
                 static_cast<int>(httpStatus));
  } else {
    PrintColored(Color::Error, "\n  Indirme sunucusuna ulasilamadi. Internet baglantini kontrol et.\n");
  }
  PrintColored(Color::Normal, "\n  Kapatmak icin bir tusa bas...");
  WaitForKey();
}

}  // namespace

bool TakeRestartMark() {
  const bool marked = GetEnvironmentVariableW(kRestartMarkVariable, nullptr, 0) != 0;
  SetEnvironmentVariableW(kRestartMarkVariable, nullptr);
  return marked;
}

void RestartSelf() {
  // The mark travels in the inherited environment, so the command line stays exactly the
  // player's; this process ends right after and needs it no more.
  SetEnvironmentVariableW(kRestartMarkVariable, L"1");
  // Same console, same arguments: the new launcher's output follows in this window. A failed
  // start is not reported.
  (void)StartProcess(LauncherPath, GetCommandLineW(), 0, LauncherFolder);
}

int RunLauncher() {
  const bool restarted = TakeRestartMark();
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
  DeleteOldLauncherCopy(LauncherPath + kOldLauncherSuffix);

  const std::wstring gameFolder = LocateGame();
  if (gameFolder.empty()) {
    ReportGameMissing();
    return 1;
  }

  const UpdateResult update = RunUpdate();
  if (update.outcome == UpdateOutcome::ServerUnreachable || update.outcome == UpdateOutcome::SignatureRefused) {
    if (!EnginePresent()) {
      ReportServerUnreachable(update.httpStatus);
      return 1;
    }
    PrintColored(Color::Warning, "  Sunucuya ulasilamadi, oyun oldugu gibi aciliyor.\n");
    Sleep(kUnchangedPauseMs);
  }
  // One restart per start by the player: a manifest that keeps replacing the launcher (two
  // versions under one name in other letter case, say) must not restart it for ever.
  if (update.launcherReplaced && !restarted) {
    RestartSelf();
    return 0;
  }
  return LaunchGame(gameFolder);
}
