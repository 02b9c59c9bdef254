#include "launcher/folder_lock.h"

#include <windows.h>

namespace {

// Longer than a large update takes on a slow line; past it, a player who is waiting for a
// window that never moves would rather play.
constexpr DWORD kOtherLauncherWaitMs = 10 * 60 * 1000;
constexpr wchar_t kLockPrefix[] = L"Local\\Korvantis:";

// The folder as the file system names it, whatever the spelling it was reached by: full, long
// and in one letter case. Backslashes cannot be part of an object's name; "/" can, and is in
// no path.
std::wstring LockName(const std::wstring& folder) {
  std::wstring name = folder;
  const DWORD fullLength = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
  if (fullLength > 0) {
    std::wstring full(fullLength, L'\0');
    const DWORD length = GetFullPathNameW(folder.c_str(), fullLength, full.data(), nullptr);
    if (length > 0 && length < fullLength) name.assign(full, 0, length);
  }
  const DWORD longLength = GetLongPathNameW(name.c_str(), nullptr, 0);
  if (longLength > 0) {
    std::wstring expanded(longLength, L'\0');
    const DWORD length = GetLongPathNameW(name.c_str(), expanded.data(), longLength);
    if (length > 0 && length < longLength) name.assign(expanded, 0, length);
  }
  if (!name.empty()) {
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()), name.data(),
                  static_cast<int>(name.size()), nullptr, nullptr, 0);
  }
  for (wchar_t& unit : name) {
    if (unit == L'\\') unit = L'/';
  }
  return kLockPrefix + name;
}

}  // namespace

FolderLock::~FolderLock() { Unlock(*this); }

void Unlock(FolderLock& lock) {
  if (lock.mutex) ReleaseMutex(lock.mutex.get());
  lock.mutex.reset();
}

FolderLockResult LockLauncherFolder(const std::wstring& folder, const std::function<void()>& waiting) {
  FolderLockResult result;
  KernelHandle mutex(CreateMutexW(nullptr, FALSE, LockName(folder).c_str()));
  if (!mutex) return result;
  // Abandoned: its holder ended without a word (killed, crashed); what it left half done is
  // the next update's to finish.
  DWORD waited = WaitForSingleObject(mutex.get(), 0);
  if (waited == WAIT_TIMEOUT) {
    if (waiting) waiting();
    waited = WaitForSingleObject(mutex.get(), kOtherLauncherWaitMs);
  }
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    result.outcome = FolderLockOutcome::Held;
    result.lock.mutex = std::move(mutex);
  } else if (waited == WAIT_TIMEOUT) {
    result.outcome = FolderLockOutcome::TimedOut;
  }
  return result;
}
