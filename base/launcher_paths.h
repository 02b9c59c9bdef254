#pragma once
// Where the launcher lies: its path and the folder every local path starts from, computed once
// at start and passed down as values, and the few file steps on the launcher's own files that
// more than one subsystem takes.
#include <cstddef>
#include <optional>
#include <string>

struct LauncherPaths {
  std::wstring path;    // full path of the running executable
  std::wstring folder;  // path up to and including its last backslash; root of every local path
};

// The longest path Windows can name, in UTF-16 units without the terminator.
inline constexpr std::size_t kLongestPathUnits = 32767;

// Everything up to and including the last backslash; "/" is no separator here.
[[nodiscard]] std::wstring FolderOfPath(const std::wstring& path);

// The whole module path, however long; none when it cannot be had in full.
[[nodiscard]] std::optional<std::wstring> QueryModulePath();
// The running launcher's path and folder; none when its path cannot be had in full.
[[nodiscard]] std::optional<LauncherPaths> QueryLauncherPaths();

// Any file-system object named xash3d.exe in the launcher folder counts, a folder too.
[[nodiscard]] bool EnginePresent(const std::wstring& launcherFolder);

// Clears a read-only attribute (a copy from a CD or an ISO keeps it), which would otherwise
// make the file impossible to delete or replace.
void ClearReadOnly(const std::wstring& path);
// Deletes an old launcher copy (".eski"), read-only or not; failures are ignored.
void DeleteOldLauncherCopy(const std::wstring& path);
