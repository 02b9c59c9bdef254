// Starts the program named on its command line with LOCALAPPDATA removed from the environment
// (Wine rebuilds it at every start, so `env -u` cannot), waits for it and passes on its exit code.
// Usage: without_localappdata.exe <program> [arguments...]; the rest of the command line is
// handed over unchanged.
#include "helper_win.h"

int wmain() {
  std::wstring commandLine = CommandLineTail();
  if (commandLine.empty()) {
    return 120;
  }
  SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // Inheriting handles keeps the caller's pipes as the child's standard streams.
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    return 121;
  }
  UniqueHandle thread(process.hThread);
  UniqueHandle child(process.hProcess);
  WaitForSingleObject(child.get(), INFINITE);
  DWORD exitCode = 122;
  GetExitCodeProcess(child.get(), &exitCode);
  return static_cast<int>(exitCode);
}
