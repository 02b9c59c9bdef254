#include <windows.h>

#include <string>

#include "launcher/launcher.h"

namespace {

// A DLL of the system folder by its full path, its own imports looked for beside it first: the
// launcher's folder is often a Downloads folder, where anything may lie.
HMODULE LoadSystemLibrary(const wchar_t* name) {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + name;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Before anything is loaded on demand (winhttp, bcrypt, what the shell and COM pull in): only the
// system folder. Looked up rather than imported: Windows 7 without its 2011 loader update lacks
// the call and would not start the exe at all. There the current folder is dropped from the
// search, and winhttp is loaded from the system folder by name before its first use.
bool RestrictDllSearch() {
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  const auto restrictSearch = reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void*>(found));
  if (restrictSearch != nullptr && restrictSearch(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
  SetDllDirectoryW(L"");
  return false;
}

}  // namespace

int main() {
  const bool restricted = RestrictDllSearch();
  // Wine resolves the imports of a system DLL's own delay-loaded DLLs (winhttp -> crypt32 ->
  // bcrypt) along the default path, the exe's folder first; a bcrypt already loaded from the
  // system folder is found by name instead. Kept loaded for the whole run: hashing needs it.
  const HMODULE bcrypt = LoadSystemLibrary(L"bcrypt.dll");
  const HMODULE winhttp = restricted ? nullptr : LoadSystemLibrary(L"winhttp.dll");
  const int code = RunLauncher();
  if (winhttp != nullptr) FreeLibrary(winhttp);
  if (bcrypt != nullptr) FreeLibrary(bcrypt);
  return code;
}
