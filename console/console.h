#pragma once
// The launcher's only way to talk to the player: coloured lines and the in-place download
// progress line.
#include <cstdint>
#include <string>

using ConsoleAttribute = unsigned short;

// Windows console text attributes on black, by role.
namespace Color {
inline constexpr ConsoleAttribute Normal = 7;
inline constexpr ConsoleAttribute Quiet = 8;
inline constexpr ConsoleAttribute Success = 10;
inline constexpr ConsoleAttribute Error = 12;
inline constexpr ConsoleAttribute Warning = 14;
inline constexpr ConsoleAttribute Heading = 15;
}  // namespace Color

#if defined(__GNUC__)
#define KORVANTIS_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KORVANTIS_PRINTF(fmt, first)
#endif

// printf-style narrow format; %ls takes a wide string and keeps every character readable.
// Always ends on the normal colour.
void PrintColored(ConsoleAttribute attribute, const char* format, ...) KORVANTIS_PRINTF(2, 3);

// Plain output in whatever colour is in force.
void PrintPlain(const char* format, ...) KORVANTIS_PRINTF(1, 2);
void PrintWide(const wchar_t* format, ...);

// Attribute change on standard output; fails silently when it is not a console.
void SetConsoleColor(ConsoleAttribute attribute);
// Text in whatever colour is in force; everything printed goes through here.
void WriteConsoleText(const std::wstring& text);

// One download progress line: its owner sets the total, and every drawing goes through it.
struct ProgressLine {
  std::int64_t totalBytes = 0;
  std::int64_t doneBytes = 0;
  std::uint32_t lastDrawTick = 0;  // GetTickCount of the last drawing
};

// Counts delta as done and redraws the line, at most every 100 ms unless forced.
void DrawProgress(ProgressLine& line, std::int64_t delta, bool force);

// The one key wait after a fatal message.
void WaitForKey();
