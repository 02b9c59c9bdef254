#pragma once
// Last resort: walk every fixed drive, bounded in depth, for a game folder.
#include <cstdint>
#include <functional>
#include <string>

inline constexpr std::uint32_t kScanDepth = 7;
inline constexpr std::uint32_t kScanRedrawMs = 120;

// How the walk shows itself; the launcher draws it. Each may be empty.
struct ScanReport {
  std::function<void()> started;                           // before the first drive
  std::function<void(const std::wstring& folder)> folder;  // where it is, at most every 120 ms
  std::function<void()> ended;                             // after the last, found or not
};

// Walks drives A to Z (fixed ones only) and stops at the first hit; empty when none.
[[nodiscard]] std::wstring ScanFixedDrives(const ScanReport& report);

// folder is extended and restored in place while descending; found is written on success.
// One open search handle per level, no allocation per folder beyond folder's own growth.
// lastDrawTick: GetTickCount of the last report of a folder, kept for the whole walk.
[[nodiscard]] bool ScanForGame(std::wstring& folder, std::uint32_t depth, std::uint32_t& lastDrawTick,
                               std::wstring& found, const ScanReport& report);

// Unsigned difference, so the 49.7-day wrap of the tick count does not stop redraws.
[[nodiscard]] inline bool ScanRedrawDue(std::uint32_t now, std::uint32_t last) {
  return static_cast<std::uint32_t>(now - last) > kScanRedrawMs;
}
