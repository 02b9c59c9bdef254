#include "console/console.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "base/numbers.h"
#include "console/progress_text.h"

namespace {

std::wstring FormatWide(const wchar_t* format, va_list args) {
  std::vector<wchar_t> buffer(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<std::size_t>(n) < buffer.size()) {
      return std::wstring(buffer.data(), static_cast<std::size_t>(n));
    }
    if (buffer.size() >= (std::size_t{1} << 24)) {
      return std::wstring();  // a format that never fits: print nothing rather than loop
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Every fixed format is ASCII, so widening is byte for byte; %ls then stays a wide string.
std::wstring WidenFormat(const char* format) {
  std::wstring wide;
  for (const char* p = format; *p != '\0'; ++p) {
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  }
  return wide;
}

}  // namespace

void PrintColored(ConsoleAttribute attribute, const char* format, ...) {
  SetConsoleColor(attribute);
  va_list args;
  va_start(args, format);
  WriteConsoleText(FormatWide(WidenFormat(format).c_str(), args));
  va_end(args);
  SetConsoleColor(Color::Normal);
}

void PrintPlain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteConsoleText(FormatWide(WidenFormat(format).c_str(), args));
  va_end(args);
}

void PrintWide(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  WriteConsoleText(FormatWide(format, args));
  va_end(args);
}

void DrawProgress(ProgressLine& line, std::int64_t delta, bool force) {
  line.doneBytes = SaturatingAdd(line.doneBytes, delta);
  if (!force && !RedrawDue(GetTickCount(), line.lastDrawTick, kProgressRedrawMs)) {
    return;
  }
  line.lastDrawTick = GetTickCount();

  const ProgressFigures figures = ComputeProgress(line.doneBytes, line.totalBytes);
  char bar[kProgressCells + 1];
  FormatProgressBar(figures.filledCells, bar);
  wchar_t wideBar[kProgressCells + 1];
  for (int i = 0; i <= kProgressCells; ++i) {
    wideBar[i] = static_cast<wchar_t>(bar[i]);
  }
  constexpr double kBytesPerMb = 1.0 / 1048576.0;

  SetConsoleColor(Color::Error);
  PrintWide(L"\r  [%ls]", wideBar);
  SetConsoleColor(Color::Heading);
  PrintWide(L" %3d%%", figures.percent);
  SetConsoleColor(Color::Quiet);
  PrintWide(L"  %.1f / %.1f MB   ", static_cast<double>(line.doneBytes) * kBytesPerMb,
            static_cast<double>(line.totalBytes) * kBytesPerMb);
  SetConsoleColor(Color::Normal);
}

void WaitForKey() {
  std::fflush(stdout);
  (void)std::getchar();
}
