#pragma once
// The run from the first console line to the exit code, and the process-wide paths that
// every other subsystem reads.
#include <optional>
#include <string>

// Full path of the running executable; set once at start.
extern std::wstring LauncherPath;
// LauncherPath up to and including its last backslash; root of every local path.
extern std::wstring LauncherFolder;

inline constexpr wchar_t kEngineFileName[] = L"xash3d.exe";
inline constexpr wchar_t kOldLauncherSuffix[] = L".eski";

[[nodiscard]] int RunLauncher();

// Starts the launcher's own executable again, same command line, same console.
void RestartSelf();

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
