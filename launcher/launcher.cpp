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
#include "launcher/folder_lock.h"
#include "launcher/game_launch.h"
#include "launcher/restart.h"
#include "launcher/self_install.h"
#include "locate/locate.h"
#include "update/update.h"

namespace {

constexpr DWORD kUnchangedPauseMs = 1200;
// It ends right after the confirmation; a restarter that lingers only keeps its old file.
constexpr DWORD kRestarterExitMs = 5000;
constexpr std::int32_t kStatusForbidden = 403;
constexpr std::int32_t kStatusProxyLogin = 407;

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
  } else if (update.httpStatus == kStatusProxyLogin) {
    PrintColored(Color::Error,
                 "\n  Vekil sunucu (proxy) baglantiyi reddetti (407).\n"
                 "  Internet ayarlarindaki vekil sunucu bilgilerini kontrol et.\n");
  } else if (update.httpStatus != 0) {
    PrintColored(Color::Error, "\n  Indirme sunucusu hata verdi (%d). Biraz sonra tekrar dene.\n",
                 static_cast<int>(update.httpStatus));
  } else {
    PrintColored(Color::Error, "\n  Indirme sunucusuna ulasilamadi. Internet baglantini kontrol et.\n");
  }
  PrintColored(Color::Normal, "\n  Kapatmak icin bir tusa bas...");
  WaitForKey();
}

}  // namespace

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

  // Held until the game starts or the new launcher has taken over.
  FolderLockResult lock = LockLauncherFolder(LauncherFolder, [] {
    PrintColored(Color::Quiet, "  Korvantis zaten acik, onun guncellemesi bekleniyor...\n");
  });
  if (lock.outcome == FolderLockOutcome::TimedOut) return LaunchGame(gameFolder);

  const UpdateResult update = RunUpdate();
  if (update.outcome == UpdateOutcome::ServerUnreachable || update.outcome == UpdateOutcome::SignatureRefused) {
    if (!EnginePresent()) {
      Unlock(lock.lock);
      ReportUpdateStop(update);
      return 1;
    }
    if (update.httpStatus == kStatusProxyLogin) {
      PrintColored(Color::Warning, "  Vekil sunucu (proxy) baglantiyi reddetti (407).\n");
    }
    PrintColored(Color::Warning, "  Sunucuya ulasilamadi, oyun oldugu gibi aciliyor.\n");
    Sleep(kUnchangedPauseMs);
  }
  // One restart per start by the player: a manifest that keeps replacing the launcher (two
  // versions under one name in other letter case, say) must not restart it for ever.
  if (update.launcherReplaced && !restartMark) {
    switch (RestartSelf()) {
      case RestartVerdict::Started:
      case RestartVerdict::Kept:
        return 0;
      case RestartVerdict::Failed:
        PutBackOldLauncher();
        break;
    }
  }
  Unlock(lock.lock);
  return LaunchGame(gameFolder);
}
