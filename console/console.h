#pragma once
// The launcher's only way to talk to the player: coloured lines, the in-place download
// progress line, and the UTF-8 to UTF-16 conversion every path from outside goes through.
#include <cstdint>
#include <string>

using ConsoleAttribute = unsigned short;

// Windows console text attributes on black, by role.
namespace Colour {
inline constexpr ConsoleAttribute Normal = 7;
inline constexpr ConsoleAttribute Quiet = 8;
inline constexpr ConsoleAttribute Success = 10;
inline constexpr ConsoleAttribute Error = 12;
inline constexpr ConsoleAttribute Warning = 14;
inline constexpr ConsoleAttribute Heading = 15;
}  // namespace Colour

// Progress line state: set by the update procedure, advanced by the download client.
extern std::int64_t ProgressTotalBytes;
extern std::int64_t ProgressDoneBytes;
extern std::uint32_t ProgressLastDrawTick;

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
void SetConsoleColour(ConsoleAttribute attribute);
// Text in whatever colour is in force; everything printed goes through here.
void WriteConsoleText(const std::wstring& text);

void DrawProgress(std::int64_t delta, bool force);

// The one key wait after a fatal message.
void WaitForKey();

[[nodiscard]] std::wstring Utf8ToWide(const std::string& text);
[[nodiscard]] std::string WideToUtf8(const std::wstring& text);
