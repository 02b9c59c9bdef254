#pragma once
// Starting another program, and reading the environment it would inherit.
#include <optional>
#include <string>
#include <vector>

#include "base/handles.h"

// CreateProcessW with no handles inherited, the environment inherited, and both returned
// handles closed: the launcher never waits for what it starts. directory empty: inherited.
[[nodiscard]] bool StartProcess(const std::wstring& application, std::wstring commandLine, unsigned long flags,
                                const std::wstring& directory);
// The same, handing back the process handle (empty when the start failed), to see it end. The
// child inherits exactly the handles given (each made inheritable by its creator), no others.
[[nodiscard]] KernelHandle StartWatchedProcess(const std::wstring& application, std::wstring commandLine,
                                               unsigned long flags, const std::wstring& directory,
                                               const std::vector<HANDLE>& inherited = {});

// The whole value of an environment variable; none when missing, empty or unreadable.
[[nodiscard]] std::optional<std::wstring> ReadEnvironmentVariable(const wchar_t* name);
