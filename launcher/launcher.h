#pragma once
// The run from the first console line to the exit code, and the process-wide paths that
// every other subsystem reads.
#include <optional>
#include <string>

#include "launcher/file_names.h"

// Full path of the running executable; set once at start.
extern std::wstring LauncherPath;
// LauncherPath up to and including its last backslash; root of every local path.
extern std::wstring LauncherFolder;

inline constexpr wchar_t kEngineFileName[] = L"xash3d.exe";
// The longest path Windows can name, in UTF-16 units without the terminator.
inline constexpr std::size_t kLongestPathUnits = 32767;
inline constexpr wchar_t kOldLauncherSuffix[] = L"" KORVANTIS_OLD_LAUNCHER_SUFFIX;

[[nodiscard]] int RunLauncher();

// Starts the launcher's own executable again, same command line, same console.
void RestartSelf();

// CreateProcessW with no handles inherited, the environment inherited, and both returned
// handles closed: the launcher never waits for what it starts. directory empty: inherited.
[[nodiscard]] bool StartProcess(const std::wstring& application, std::wstring commandLine, unsigned long flags,
                                const std::wstring& directory);

// Everything up to and including the last backslash; "/" is no separator here.
[[nodiscard]] std::wstring FolderOfPath(const std::wstring& path);

// The whole module path, however long; none when it cannot be had in full.
[[nodiscard]] std::optional<std::wstring> QueryModulePath();

// Any file-system object named xash3d.exe in the launcher folder counts, a folder too.
[[nodiscard]] bool EnginePresent();

// Set for the restarted launcher only, and taken out of the environment first thing, so that
// neither the engine nor a later start sees it.
inline constexpr wchar_t kRestartMarkVariable[] = L"KORVANTIS_RESTARTED";
// True when this process is the restart of a launcher that replaced itself; removes the mark.
[[nodiscard]] bool TakeRestartMark();

// Clears a read-only attribute (a copy from a CD or an ISO keeps it), which would otherwise
// make the file impossible to delete or replace.
void ClearReadOnly(const std::wstring& path);
// Deletes an old launcher copy (".eski"), read-only or not; failures are ignored.
void DeleteOldLauncherCopy(const std::wstring& path);
