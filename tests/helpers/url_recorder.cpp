// Registered as the steam: protocol handler in a test prefix: appends the command line it was
// started with to url_received.txt beside itself, one JSON record per line, and ends with 0.
#include "helper_text.h"
#include "helper_win.h"

int wmain() {
  const std::wstring path = FolderOf(ModulePath()) + L"url_received.txt";
  const std::string line = "{\"command_line\": " + JsonString(GetCommandLineW()) +
                           ", \"argument\": " + JsonString(CommandLineTail()) + "}\n";
  UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    return 2;
  }
  DWORD written = 0;
  const BOOL ok = WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  return ok && written == line.size() ? 0 : 2;
}
