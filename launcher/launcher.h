#pragma once
// The run from the first console line to the exit code.

// The process's exit code: 0 or 1.
[[nodiscard]] int RunLauncher();

#include <optional>
#include <string>

#include "base/handles.h"

// Starts the launcher's own executable again, same command line, same console, and waits until
// it confirms its start (its first step). False when it could not be created or ended without
// confirming: a new launcher that cannot run.
[[nodiscard]] bool RestartSelf();

// Set for the restarted launcher only, and taken out of the environment first thing, so that
// neither the engine nor a later start sees it. Its value names the event that confirms the start.
inline constexpr wchar_t kRestartMarkVariable[] = L"KORVANTIS_RESTARTED";
// The mark's value when this process is the restart of a launcher that replaced itself; none
// otherwise. Removes the mark.
[[nodiscard]] std::optional<std::wstring> TakeRestartMark();
// Tells the launcher that restarted this one that it runs, and hands back that launcher's
// process (empty when the mark names none), whose old file this one deletes once it has ended.
[[nodiscard]] KernelHandle ConfirmRestart(const std::wstring& mark);
