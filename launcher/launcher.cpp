#include "launcher/launcher.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/file_names.h"
#include "base/launcher_paths.h"
#include "launcher/folder_lock.h"
#include "launcher/game_launch.h"
#include "launcher/messages.h"
#include "launcher/restart.h"
#include "launcher/self_install.h"
#include "locate/locate.h"
#include "update/update.h"

namespace {

// It ends right after the confirmation; a restarter that lingers only keeps its old file.
constexpr DWORD kRestarterExitMs = 5000;

enum class UpdateOutcome {
  UpToDate,           // every listed file was already current
  Updated,            // every pending file is in place
  PartlyUpdated,      // some files did not land; the next start tries them again
  ServerUnreachable,  // no manifest: httpStatus says what the server answered (0: nothing)
  ManifestRefused,    // a manifest came, but not one this launcher may act on
};

struct UpdateResult {
  UpdateOutcome outcome = UpdateOutcome::UpToDate;
  bool launcherReplaced = false;  // a new Korvantis.exe is in place (also after a partial update)
  std::int32_t httpStatus = 0;    // the manifest request's status
};

// The update with its lines: the manifest, the plan, the fetch. Without a manifest nothing more
// is said here (but a refusal): what follows is the run's decision.
UpdateResult UpdateLauncherFolder(const LauncherPaths& paths) {
  UpdateResult result;
  SayChecking();
  const ManifestAnswer manifest = FetchManifest(paths.folder);
  result.httpStatus = manifest.httpStatus;
  if (manifest.outcome == ManifestOutcome::Unreachable) {
    result.outcome = UpdateOutcome::ServerUnreachable;
    return result;
  }
  if (manifest.outcome != ManifestOutcome::Read) {
    // A refused manifest counts as no manifest at all.
    SayManifestRefused(manifest.outcome);
    result.outcome = UpdateOutcome::ManifestRefused;
    return result;
  }
  const UpdatePlan plan = PlanUpdate(paths.folder, manifest.Content());
  if (plan.entries.empty()) {
    SayUpToDate();
    return result;
  }
  ProgressLine line = SayDownloading(plan.totalBytes);
  const FetchOutcome fetched = FetchPlannedFiles(*manifest.client, paths.folder, plan,
                                                 [&line](std::int64_t done) { DrawDownloaded(line, done); });
  SayDownloadEnded(line, fetched.failed == 0);
  result.outcome = fetched.failed == 0 ? UpdateOutcome::Updated : UpdateOutcome::PartlyUpdated;
  result.launcherReplaced = fetched.launcherReplaced;
  return result;
}

}  // namespace

int RunLauncher() {
  const std::optional<std::wstring> restartMark = TakeRestartMark();
  const KernelHandle restarter = restartMark ? ConfirmRestart(*restartMark) : KernelHandle();
  SetConsoleTitleW(L"Korvantis");
  const std::optional<LauncherPaths> paths = QueryLauncherPaths();
  SayBanner();
  if (!paths) {
    return 1;  // never install, update or write anywhere on a guessed folder
  }

  if (!EnginePresent(paths->folder)) {
    const Installation installation = InstallSelf(paths->path);
    switch (installation.outcome) {
      case InstallOutcome::AlreadyInstalled:
        break;
      case InstallOutcome::NoLocalAppData:
        return 1;
      case InstallOutcome::CannotCopy:
        return StopCannotInstall(installation.folder);
      case InstallOutcome::Installed:
        SayInstalled();
        StartInstalledCopy(installation.launcher, installation.folder);
        return 0;
    }
  }

  SetCurrentDirectoryW(paths->folder.c_str());
  // The launcher that restarted this one runs from that copy until it has seen the confirmation.
  if (restarter) WaitForSingleObject(restarter.get(), kRestarterExitMs);
  DeleteOldLauncherCopy(paths->path + kOldLauncherSuffix);

  const LocatedGame game = LocateGame(paths->folder, ScanLines());
  if (game.folder.empty()) {
    return StopGameMissing();
  }
  if (!game.fromSavedPath) SayGameFound(game.folder);

  // Held until the game starts or the new launcher has taken over.
  FolderLockResult lock = LockLauncherFolder(paths->folder, SayWaitingForAnotherLauncher);
  if (lock.outcome == FolderLockOutcome::TimedOut) {
    return LaunchGame(paths->folder, game.folder) ? 0 : StopEngineNotStarted();
  }

  const UpdateResult update = UpdateLauncherFolder(*paths);
  if (update.outcome == UpdateOutcome::ServerUnreachable || update.outcome == UpdateOutcome::ManifestRefused) {
    if (!EnginePresent(paths->folder)) {
      Unlock(lock.lock);
      return StopWithoutManifest(update.outcome == UpdateOutcome::ManifestRefused, update.httpStatus);
    }
    SayStartingUnchanged(update.httpStatus);
  }
  // One restart per start by the player: a manifest that keeps replacing the launcher (two
  // versions under one name in other letter case, say) must not restart it for ever.
  if (update.launcherReplaced && !restartMark) {
    switch (RestartSelf(*paths)) {
      case RestartVerdict::Started:
      case RestartVerdict::Kept:
        return 0;
      case RestartVerdict::Failed:
        PutBackOldLauncher(*paths);
        break;
    }
  }
  Unlock(lock.lock);
  return LaunchGame(paths->folder, game.folder) ? 0 : StopEngineNotStarted();
}
