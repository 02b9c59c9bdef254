#pragma once
// Arithmetic of the download progress line, kept free of Windows so it can be tested and fuzzed.
#include <cstdint>

inline constexpr int kProgressCells = 40;
inline constexpr std::uint32_t kProgressRedrawMs = 100;

struct ProgressFigures {
  int percent;      // capped at 100, may be negative for nonsense counters
  int filledCells;  // 0 to 40
};

// Never overflows, whatever the counters hold (sizes come from a server's manifest).
[[nodiscard]] ProgressFigures ComputeProgress(std::int64_t done, std::int64_t total);

// Unsigned difference, so the 49.7-day wrap of the tick count does not stop redraws.
[[nodiscard]] inline bool RedrawDue(std::uint32_t now, std::uint32_t last, std::uint32_t intervalMs) {
  return static_cast<std::uint32_t>(now - last) >= intervalMs;
}

// bar receives kProgressCells characters of '#' and '.' and a terminating NUL.
void FormatProgressBar(int filledCells, char (&bar)[kProgressCells + 1]);
