#include "launcher/self_install.h"

#include <windows.h>
// after windows.h: the shell headers rely on its types
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <array>
#include <cwchar>
#include <optional>

#include "base/file_names.h"
#include "base/handles.h"
#include "base/launcher_paths.h"
#include "base/process.h"

namespace {

void SaveShortcutIn(IPersistFile* file, int csidl) {
  wchar_t folder[MAX_PATH + 1] = {};
  if (!SHGetSpecialFolderPathW(nullptr, folder, csidl, TRUE)) {
    return;
  }
  const std::wstring shortcut = std::wstring(folder) + kShortcutFileName;
  file->Save(shortcut.c_str(), TRUE);
}

// The identity of an existing file: its volume and its index there.
std::optional<std::array<DWORD, 3>> FileIdentity(const std::wstring& path) {
  // No access asked for: the running exe and files others hold open can still be asked.
  const FileHandle file = OwnFile(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return std::array<DWORD, 3>{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

std::wstring FullPathOf(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  return full;
}

// The desktop's and the Start menu's "Korvantis" shortcut to the installed launcher.
void CreateShortcuts(const std::wstring& installedLauncher, const std::wstring& installFolder) {
  ComScope com;
  IShellLinkW* rawLink = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&rawLink)))) {
    return;
  }
  ComPtr<IShellLinkW> link(rawLink);
  link->SetPath(installedLauncher.c_str());
  link->SetWorkingDirectory(installFolder.c_str());
  link->SetIconLocation(installedLauncher.c_str(), 0);
  link->SetDescription(L"Korvantis");

  IPersistFile* rawFile = nullptr;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile)))) {
    return;
  }
  ComPtr<IPersistFile> file(rawFile);
  SaveShortcutIn(file.get(), CSIDL_DESKTOPDIRECTORY);
  SaveShortcutIn(file.get(), CSIDL_PROGRAMS);
  // The persist-file interface goes before the link (reverse order of declaration).
}

}  // namespace

std::wstring InstallFolderOf(std::wstring localAppData) {
  for (wchar_t& unit : localAppData) {
    if (unit == L'/') unit = L'\\';
  }
  while (!localAppData.empty() && localAppData.back() == L'\\') localAppData.pop_back();
  return localAppData + kInstallFolderName;
}

bool IsSameFile(const std::wstring& a, const std::wstring& b) {
  const auto identityA = FileIdentity(a);
  const auto identityB = FileIdentity(b);
  if (identityA && identityB) return *identityA == *identityB;
  // One is missing (no installed copy yet): the same name, however written, is the same file.
  return _wcsicmp(FullPathOf(a).c_str(), FullPathOf(b).c_str()) == 0;
}

void StartInstalledCopy(const std::wstring& installedLauncher, const std::wstring& installFolder) {
  // The first copy's own arguments are not passed on; a failed start is not reported.
  (void)StartProcess(installedLauncher, L"\"" + installedLauncher + L"\"", CREATE_NEW_CONSOLE, installFolder);
}

Installation InstallSelf(const std::wstring& launcherPath) {
  Installation installation;
  const std::optional<std::wstring> localAppData = ReadEnvironmentVariable(L"LOCALAPPDATA");
  if (!localAppData) {
    return installation;
  }
  installation.folder = InstallFolderOf(*localAppData);
  installation.launcher = installation.folder + kLauncherFileName;
  if (IsSameFile(installation.launcher, launcherPath)) {
    installation.outcome = InstallOutcome::AlreadyInstalled;
    return installation;
  }

  CreateDirectoryW(installation.folder.c_str(), nullptr);
  // CopyFileW carries a read-only attribute over, and cannot replace a read-only file: such an
  // installed launcher could never be updated (its ".eski" copy never deleted).
  ClearReadOnly(installation.launcher);
  const bool copied = CopyFileW(launcherPath.c_str(), installation.launcher.c_str(), FALSE) != 0;
  ClearReadOnly(installation.launcher);
  if (!copied && GetFileAttributesW(installation.launcher.c_str()) == INVALID_FILE_ATTRIBUTES) {
    installation.outcome = InstallOutcome::CannotCopy;
    return installation;
  }
  // A copy that failed beside an existing installed launcher (one that is running, say)
  // still hands over to that one.
  CreateShortcuts(installation.launcher, installation.folder);
  installation.outcome = InstallOutcome::Installed;
  return installation;
}
