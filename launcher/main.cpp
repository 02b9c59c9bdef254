#include <windows.h>

#include "launcher/launcher.h"

int main() {
  // Before anything is loaded on demand (winhttp, bcrypt, what the shell and COM pull in): the
  // launcher's own folder is often a Downloads folder, where anything may lie.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Wine resolves the imports of a system DLL's own delay-loaded DLLs (winhttp -> crypt32 ->
  // bcrypt) along the default path, the exe's folder first; a bcrypt already loaded from the
  // system folder is found by name instead. Kept loaded for the whole run: hashing needs it.
  const HMODULE bcrypt = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const int code = RunLauncher();
  if (bcrypt != nullptr) FreeLibrary(bcrypt);
  return code;
}
