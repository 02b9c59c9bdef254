#include "launcher/restart.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "base/file_names.h"
#include "base/launcher_paths.h"
#include "base/process.h"

namespace {

// A healthy launcher confirms within a second even on a slow machine.
constexpr DWORD kRestartConfirmMs = 15000;
// Ended at once, it needs a moment to let go of its file.
constexpr DWORD kEndedSilentMs = 5000;
// Exit codes from here up are the system's: the loader's (0xC0000135 a DLL missing,
// 0xC000007B a bad image) and crashes (0xC0000005); a program does not choose them.
constexpr DWORD kFirstSystemStatus = 0xC0000000;
// What launchers before the inherited handles wrote into the mark: an event's name.
constexpr wchar_t kNamedEventPrefix[] = L"Local\\KorvantisRestart-";

// Handle values fit in 32 bits on every Windows, so that 32- and 64-bit processes can share them.
std::wstring HandleText(HANDLE handle) { return std::to_wstring(HandleToULong(handle)); }

// A handle value written into the mark by the restarter; none for anything else, or for one of
// this process's standard handles, which a forged mark must not make it close.
HANDLE HandleFromText(const std::wstring& text) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return nullptr;
  const unsigned long long value = std::wcstoull(text.c_str(), nullptr, 10);
  if (value > 0xFFFFFFFFull) return nullptr;
  HANDLE handle = ULongToHandle(static_cast<unsigned long>(value));
  for (const DWORD standard : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (handle == GetStdHandle(standard)) return nullptr;
  }
  return handle;
}

// An older launcher restarted this one: it named its event, and its process by number.
KernelHandle ConfirmNamedRestart(const std::wstring& mark) {
  KernelHandle restarter;
  const std::wstring prefix = kNamedEventPrefix;
  if (mark.size() > prefix.size() && mark.compare(0, prefix.size(), prefix) == 0) {
    // Opened before it is told: it cannot have ended, so its number names no other process.
    const unsigned long id = std::wcstoul(mark.c_str() + prefix.size(), nullptr, 10);
    restarter.reset(OpenProcess(SYNCHRONIZE, FALSE, id));
  }
  const KernelHandle confirmed(OpenEventW(EVENT_MODIFY_STATE, FALSE, mark.c_str()));
  if (confirmed) SetEvent(confirmed.get());
  return restarter;
}

}  // namespace

std::optional<std::wstring> TakeRestartMark() {
  std::optional<std::wstring> mark = ReadEnvironmentVariable(kRestartMarkVariable);
  SetEnvironmentVariableW(kRestartMarkVariable, nullptr);
  return mark;
}

KernelHandle ConfirmRestart(const std::wstring& mark) {
  // "<event> <restarter process>": two handles this process inherited.
  const std::size_t space = mark.find(L' ');
  if (space == std::wstring::npos) return ConfirmNamedRestart(mark);
  HANDLE event = HandleFromText(mark.substr(0, space));
  HANDLE restarter = HandleFromText(mark.substr(space + 1));
  // Closed only once they prove to be what the mark says they are.
  if (event != nullptr && SetEvent(event)) CloseHandle(event);
  if (restarter != nullptr && GetProcessId(restarter) != 0) return KernelHandle(restarter);
  return KernelHandle();
}

RestartVerdict RestartSelf(const LauncherPaths& paths) {
  // Both travel as handles the new launcher inherits: a named event could be made first, and
  // signalled, by any program of the session.
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  const KernelHandle confirmed(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
  HANDLE self = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                  SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0);
  const KernelHandle selfForChild(self);
  std::vector<HANDLE> inherited;
  if (confirmed && selfForChild) inherited = {confirmed.get(), selfForChild.get()};
  // The mark travels in the inherited environment, so the command line stays exactly the
  // player's. Same console, same arguments: the new launcher's output follows in this window.
  const std::wstring mark =
      inherited.empty() ? std::wstring(L"-") : HandleText(confirmed.get()) + L" " + HandleText(selfForChild.get());
  SetEnvironmentVariableW(kRestartMarkVariable, mark.c_str());
  const KernelHandle child = StartWatchedProcess(paths.path, GetCommandLineW(), 0, paths.folder, inherited);
  SetEnvironmentVariableW(kRestartMarkVariable, nullptr);  // the engine may be started instead
  if (!child) return RestartVerdict::Failed;
  if (inherited.empty()) return RestartVerdict::Started;  // nothing to wait on: taken as started
  const HANDLE events[] = {confirmed.get(), child.get()};
  switch (WaitForMultipleObjects(2, events, FALSE, kRestartConfirmMs)) {
    case WAIT_OBJECT_0:
      return RestartVerdict::Started;
    case WAIT_OBJECT_0 + 1: {
      DWORD code = 0;
      GetExitCodeProcess(child.get(), &code);
      return code >= kFirstSystemStatus ? RestartVerdict::Failed : RestartVerdict::Kept;
    }
    default:
      // Hung before its first step: never two launchers at work, and the player gets a game.
      TerminateProcess(child.get(), 1);
      WaitForSingleObject(child.get(), kEndedSilentMs);
      return RestartVerdict::Failed;
  }
}

void PutBackOldLauncher(const LauncherPaths& paths) {
  const std::wstring old = paths.path + kOldLauncherSuffix;
  if (GetFileAttributesW(old.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  ClearReadOnly(paths.path);
  if (!DeleteFileW(paths.path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) return;
  MoveFileExW(old.c_str(), paths.path.c_str(), MOVEFILE_WRITE_THROUGH);
}
