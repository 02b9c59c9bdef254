#pragma once
// Every word the launcher says to the player, every pause that lets a line be read and every
// key wait: the one place where the run's outcomes become lines on the console. Stop* print a
// fatal message, wait for a key and give the exit code, 1.
#include <cstddef>
#include <cstdint>
#include <string>

#include "console/console.h"
#include "locate/drive_scan.h"
#include "update/update.h"

void SayBanner();

void SayInstalled();
[[nodiscard]] int StopCannotInstall(const std::wstring& installFolder);

// The drive walk's announcement, its in-place folder line and the line's wipe.
[[nodiscard]] ScanReport ScanLines();
void SayGameFound(const std::wstring& gameFolder);
// Also asks Steam to install the game.
[[nodiscard]] int StopGameMissing();

void SayWaitingForAnotherLauncher();

void SayChecking();
// The line of a manifest that came but was not taken.
void SayManifestRefused(ManifestOutcome outcome);
void SayUpToDate();
// The heading and the progress line at 0; then the line as the download goes on; then the
// line at its end, the outcome and its pause.
[[nodiscard]] ProgressLine SayDownloading(std::int64_t totalBytes);
void DrawDownloaded(ProgressLine& line, std::int64_t doneBytes);
void SayDownloadEnded(ProgressLine& line, bool complete);
// No manifest, but an engine to start: the game starts as it is, after a pause.
void SayStartingUnchanged(std::int32_t httpStatus);
// No manifest and no engine: worded by what went wrong.
[[nodiscard]] int StopWithoutManifest(bool refused, std::int32_t httpStatus);

[[nodiscard]] int StopEngineNotStarted();

// The folder as the scan line shows it: at most 70 units, cut ones end in "...".
inline constexpr std::size_t kScanTextMax = 70;
[[nodiscard]] std::wstring ScanProgressText(const std::wstring& folder);
