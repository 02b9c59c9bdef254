// A DLL planted beside the launcher under a system DLL's name (winhttp.dll, bcrypt.dll): it
// exports nothing and only leaves a mark, <its own path>.loaded, when some process loads it.
#include "helper_win.h"

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) {
    return TRUE;
  }
  wchar_t path[MAX_PATH + 8] = {};
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return TRUE;
  }
  lstrcatW(path, L".loaded");
  UniqueHandle mark(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return TRUE;
}
