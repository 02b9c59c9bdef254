#include "base/handles.h"

#include <bcrypt.h>
#include <winhttp.h>

void FileCloser::operator()(HANDLE file) const {
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

FileHandle OwnFile(HANDLE file) { return FileHandle(file == INVALID_HANDLE_VALUE ? nullptr : file); }

void FindCloser::operator()(HANDLE search) const {
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

FindHandle OwnFind(HANDLE search) { return FindHandle(search == INVALID_HANDLE_VALUE ? nullptr : search); }

void CloseSystemHandle(SystemHandleKind kind, void* handle) {
  switch (kind) {
    case SystemHandleKind::Internet:
      WinHttpCloseHandle(handle);
      break;
    case SystemHandleKind::Provider:
      BCryptCloseAlgorithmProvider(handle, 0);
      break;
    case SystemHandleKind::Hash:
      BCryptDestroyHash(handle);
      break;
    case SystemHandleKind::Key:
      BCryptDestroyKey(handle);
      break;
  }
}

void LocalFreer::operator()(void* block) const { LocalFree(block); }
