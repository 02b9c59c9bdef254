#pragma once
// One launcher at work per launcher folder: a second start (a double click too many) waits for
// the first to finish its update instead of sharing its downloads.
#include <functional>
#include <string>

#include "base/handles.h"

// The folder's lock while this thread holds it; released when dropped.
struct FolderLock {
  FolderLock() = default;
  explicit FolderLock(KernelHandle held) : mutex(std::move(held)) {}
  FolderLock(FolderLock&&) = default;
  FolderLock& operator=(FolderLock&&) = delete;
  ~FolderLock();
  KernelHandle mutex;  // empty: not held
};

enum class FolderLockOutcome {
  Held,         // this launcher may update
  Unavailable,  // no lock could be made: it updates as it always did
  TimedOut,     // another launcher held it for the whole wait: the game starts as it is
};

struct FolderLockResult {
  FolderLockOutcome outcome = FolderLockOutcome::Unavailable;
  FolderLock lock;
};

// Lets another launcher have the folder before this one waits for a key or starts the game.
void Unlock(FolderLock& lock);

// Takes the lock of the folder. When another launcher holds it, waiting() is called once and
// the lock is waited for, within a limit. A launcher that ended while holding it leaves it
// free.
[[nodiscard]] FolderLockResult LockLauncherFolder(const std::wstring& folder, const std::function<void()>& waiting);
