#include "base/process.h"

#include <windows.h>

#include <utility>

KernelHandle StartWatchedProcess(const std::wstring& application, std::wstring commandLine, unsigned long flags,
                                 const std::wstring& directory, const std::vector<HANDLE>& inherited) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup.StartupInfo);
  // Inheriting only a list of handles: anything else this process holds stays its own, whatever
  // another thread or library marked inheritable.
  std::vector<unsigned char> attributeList;
  if (!inherited.empty()) {
    SIZE_T bytes = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes);
    attributeList.resize(bytes);
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeList.data());
    if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &bytes)) return KernelHandle();
    const bool listed = UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                  const_cast<HANDLE*>(inherited.data()),
                                                  inherited.size() * sizeof(HANDLE), nullptr, nullptr) != 0;
    if (!listed) {
      DeleteProcThreadAttributeList(startup.lpAttributeList);
      return KernelHandle();
    }
    startup.StartupInfo.cb = sizeof(startup);
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION process{};
  // An empty folder would fail the call: none means the current one.
  const BOOL started =
      CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, inherited.empty() ? FALSE : TRUE, flags,
                     nullptr, directory.empty() ? nullptr : directory.c_str(), &startup.StartupInfo, &process);
  if (startup.lpAttributeList != nullptr) DeleteProcThreadAttributeList(startup.lpAttributeList);
  if (!started) return KernelHandle();
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
