#pragma once
// Handing over to the launcher's freshly downloaded executable, and the new launcher's side of
// that hand-over.
#include <optional>
#include <string>

#include "base/handles.h"
#include "base/launcher_paths.h"

enum class RestartVerdict {
  Started,  // it confirmed its start: the run is its own now
  Kept,     // it ended without confirming, not as a program that cannot run (one whose hand-over
            // changed, say): its start is its own business, the game included
  Failed,   // it could not be created, failed to load, crashed, or stayed silent until it was
            // ended: this launcher goes back under its name and starts the game itself
};

// Starts the launcher's own executable again, same command line, same console, and waits for
// its confirmation (its first step), or its end, for a while.
[[nodiscard]] RestartVerdict RestartSelf(const LauncherPaths& paths);

// After a failed restart: the old launcher (this process, kept as ".eski") goes back under its
// name, so that the shortcut keeps working. The next start may fetch the new one again, once.
void PutBackOldLauncher(const LauncherPaths& paths);

// Set for the restarted launcher only, and taken out of the environment first thing, so that
// neither the engine nor a later start sees it.
inline constexpr wchar_t kRestartMarkVariable[] = L"KORVANTIS_RESTARTED";
// The mark's value when this process is the restart of a launcher that replaced itself; none
// otherwise. Removes the mark.
[[nodiscard]] std::optional<std::wstring> TakeRestartMark();
// Tells the launcher that restarted this one that it runs, and hands back that launcher's
// process (empty when the mark names none), whose old file this one deletes once it has ended.
[[nodiscard]] KernelHandle ConfirmRestart(const std::wstring& mark);
