#include "base/process.h"

#include <windows.h>

#include <utility>

KernelHandle StartWatchedProcess(const std::wstring& application, std::wstring commandLine, unsigned long flags,
                                 const std::wstring& directory) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // An empty folder would fail the call: none means the current one.
  if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    return KernelHandle();
  }
  CloseHandle(process.hThread);
  return KernelHandle(process.hProcess);
}

bool StartProcess(const std::wstring& application, std::wstring commandLine, unsigned long flags,
                  const std::wstring& directory) {
  return static_cast<bool>(StartWatchedProcess(application, std::move(commandLine), flags, directory));
}

std::optional<std::wstring> ReadEnvironmentVariable(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  // The value may change between the two calls; take it only once it fits whole.
  for (int attempt = 0; attempt < 4 && size > 1; ++attempt) {
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), size);
    if (length == 0) {
      return std::nullopt;
    }
    if (length < size) {
      value.resize(length);
      return value;
    }
    size = length;
  }
  return std::nullopt;
}
