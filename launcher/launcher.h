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
