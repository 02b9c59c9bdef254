// Stands in for xash3d.exe: records how it was started (command line, current folder, its own
// module path and the names of any KORVANTIS* environment variables it inherited, as UTF-8
// JSON in engine_received.json beside itself) and ends at once, with
// 0 or with the code named by STAND_IN_ENGINE_EXIT_CODE (an engine that fails right away).
// STAND_IN_ENGINE_STAY_MS keeps it running that long, like a game being played, so that its
// file is in use.
#include "helper_text.h"
#include "helper_win.h"

#include <cwchar>

namespace {

int NumberFromEnvironment(const wchar_t* name) {
  wchar_t text[16] = {};
  const DWORD length = GetEnvironmentVariableW(name, text, 16);
  if (length == 0 || length >= 16) {
    return 0;
  }
  return static_cast<int>(std::wcstol(text, nullptr, 10));
}

// A JSON list of the inherited variables whose names begin with KORVANTIS (any case).
std::string KorvantisVariables() {
  std::string list = "[";
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    const std::wstring text = entry;
    const std::wstring name = text.substr(0, text.find(L'=', 1));
    if (_wcsnicmp(name.c_str(), L"KORVANTIS", 9) == 0) {
      list += (list.size() > 1 ? ", " : "") + JsonString(name);
    }
  }
  FreeEnvironmentStringsW(block);
  return list + "]";
}

}  // namespace

int wmain() {
  const std::wstring folder = FolderOf(ModulePath());
  const std::string record =
      "{\"command_line\": " + JsonString(GetCommandLineW()) + ", \"cwd\": " + JsonString(CurrentDirectory()) +
      ", \"module\": " + JsonString(ModulePath()) + ", \"korvantis_variables\": " + KorvantisVariables() + "}\n";
  if (!WriteFileAtomically(folder + L"engine_received.json", record)) {
    return 2;
  }
  const int stayMs = NumberFromEnvironment(L"STAND_IN_ENGINE_STAY_MS");
  if (stayMs > 0) {
    Sleep(static_cast<DWORD>(stayMs));
  }
  return NumberFromEnvironment(L"STAND_IN_ENGINE_EXIT_CODE");
}
