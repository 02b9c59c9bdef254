#include "launcher/handles.h"

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

void InternetCloser::operator()(void* internet) const { WinHttpCloseHandle(internet); }
void ProviderCloser::operator()(void* provider) const { BCryptCloseAlgorithmProvider(provider, 0); }
void HashDestroyer::operator()(void* hash) const { BCryptDestroyHash(hash); }
void KeyDestroyer::operator()(void* key) const { BCryptDestroyKey(key); }
void LocalFreer::operator()(void* block) const { LocalFree(block); }
