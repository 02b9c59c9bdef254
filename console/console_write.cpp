// The console's two output primitives, alone in this file: the in-process tests link a stand-in
// for exactly these (tests/unit/console_capture.cpp) to see what was printed in which colour.
#include "console/console.h"

#include <windows.h>

#include <cstdio>

#include "base/text.h"

namespace {

bool IsConsole(HANDLE out) {
  DWORD mode = 0;
  return out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode) != 0;
}

}  // namespace

// A console gets UTF-16 directly, so every letter of a path shows whatever the code page;
// a pipe or file gets UTF-8 through the C runtime (which also turns "\n" into "\r\n").
void WriteConsoleText(const std::wstring& text) {
  if (text.empty()) {
    return;
  }
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (IsConsole(out)) {
    std::fflush(stdout);
    DWORD written = 0;
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const std::string bytes = WideToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

void SetConsoleColor(ConsoleAttribute attribute) {
  std::fflush(stdout);
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), attribute);
}
