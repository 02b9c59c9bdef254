#pragma once
// The run from the first console line to the exit code.

// The process's exit code: 0 or 1.
[[nodiscard]] int RunLauncher();

// Starts the launcher's own executable again, same command line, same console.
void RestartSelf();

// Set for the restarted launcher only, and taken out of the environment first thing, so that
// neither the engine nor a later start sees it.
inline constexpr wchar_t kRestartMarkVariable[] = L"KORVANTIS_RESTARTED";
// True when this process is the restart of a launcher that replaced itself; removes the mark.
[[nodiscard]] bool TakeRestartMark();
