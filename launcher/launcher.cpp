#include "launcher/launcher.h"

#include <windows.h>

#include "console/console.h"
#include "launcher/game_launch.h"
#include "launcher/self_install.h"
#include "locate/locate.h"
#include "update/update.h"

std::wstring LauncherPath;
std::wstring LauncherFolder;

void ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
}

void DeleteOldLauncherCopy(const std::wstring& path) {
  ClearReadOnly(path);
  DeleteFileW(path.c_str());
}

bool TakeRestartMark() {
  const bool marked = GetEnvironmentVariableW(kRestartMarkVariable, nullptr, 0) != 0;
  SetEnvironmentVariableW(kRestartMarkVariable, nullptr);
  return marked;
}

std::wstring FolderOfPath(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::optional<std::wstring> QueryModulePath() {
  // A cut path would make some parent folder look like ours; grow until it fits.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return std::nullopt;
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() > kLongestPathUnits) {
      return std::nullopt;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool EnginePresent() {
  return GetFileAttributesW((LauncherFolder + kEngineFileName).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool StartProcess(const std::wstring& application, std::wstring commandLine, unsigned long flags,
                  const std::wstring& directory) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  // An empty folder would fail the call: none means the current one.
  if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

void RestartSelf() {
  // The mark travels in the inherited environment, so the command line stays exactly the
  // player's; this process ends right after and needs it no more.
  SetEnvironmentVariableW(kRestartMarkVariable, L"1");
  // Same console, same arguments: the new launcher's output follows in this window. A failed
  // start is not reported.
  (void)StartProcess(LauncherPath, GetCommandLineW(), 0, LauncherFolder);
}

int RunLauncher() {
  const bool restarted = TakeRestartMark();
  SetConsoleTitleW(L"Korvantis");
  const std::optional<std::wstring> modulePath = QueryModulePath();
  if (modulePath) {
    LauncherPath = *modulePath;
    LauncherFolder = FolderOfPath(LauncherPath);
  }
  PrintColored(Colour::Error, "\n  KORVANTIS\n");
  if (!modulePath) {
    return 1;  // never install, update or write anywhere on a guessed folder
  }

  if (!EnginePresent()) {
    if (const std::optional<int> handedOver = SelfInstall(LauncherPath)) {
      return *handedOver;
    }
  }

  SetCurrentDirectoryW(LauncherFolder.c_str());
  DeleteOldLauncherCopy(LauncherPath + kOldLauncherSuffix);

  const std::wstring gameFolder = LocateGame();
  if (gameFolder.empty()) {
    ReportGameMissing();
    return 1;
  }

  // One restart per start by the player: a manifest that keeps replacing the launcher (two
  // versions under one name in other letter case, say) must not restart it for ever.
  if (RunUpdate() && !restarted) {
    RestartSelf();
    return 0;
  }
  return LaunchGame(gameFolder);
}
