#include "console/console.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "console/progress_text.h"

std::int64_t ProgressTotalBytes = 0;
std::int64_t ProgressDoneBytes = 0;
std::uint32_t ProgressLastDrawTick = 0;

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
  SetConsoleColour(attribute);
  va_list args;
  va_start(args, format);
  WriteConsoleText(FormatWide(WidenFormat(format).c_str(), args));
  va_end(args);
  SetConsoleColour(Colour::Normal);
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

void DrawProgress(std::int64_t delta, bool force) {
  ProgressDoneBytes = SaturatingAdd(ProgressDoneBytes, delta);
  if (!force && !RedrawDue(GetTickCount(), ProgressLastDrawTick, kProgressRedrawMs)) {
    return;
  }
  ProgressLastDrawTick = GetTickCount();

  const ProgressFigures figures = ComputeProgress(ProgressDoneBytes, ProgressTotalBytes);
  char bar[kProgressCells + 1];
  FormatProgressBar(figures.filledCells, bar);
  wchar_t wideBar[kProgressCells + 1];
  for (int i = 0; i <= kProgressCells; ++i) {
    wideBar[i] = static_cast<wchar_t>(bar[i]);
  }
  constexpr double kBytesPerMb = 1.0 / 1048576.0;

  SetConsoleColour(Colour::Error);
  PrintWide(L"\r  [%ls]", wideBar);
  SetConsoleColour(Colour::Heading);
  PrintWide(L" %3d%%", figures.percent);
  SetConsoleColour(Colour::Quiet);
  PrintWide(L"  %.1f / %.1f MB   ", static_cast<double>(ProgressDoneBytes) * kBytesPerMb,
            static_cast<double>(ProgressTotalBytes) * kBytesPerMb);
  SetConsoleColour(Colour::Normal);
}

void WaitForKey() {
  std::fflush(stdout);
  (void)std::getchar();
}

std::wstring Utf8ToWide(const std::string& text) {
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (needed <= 1) {
    return std::wstring();
  }
  std::wstring wide(static_cast<std::size_t>(needed - 1), L'\0');
  // The result's own NUL slot takes the terminator.
  if (MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), needed) != needed) {
    return std::wstring();
  }
  return wide;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty() || text.size() > 0x7fffffffu / 4) {
    return std::string();
  }
  const int length = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    return std::string();
  }
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr);
  return bytes;
}
