#pragma once
// Last resort: walk every fixed drive, bounded in depth, for a game folder.
#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr std::uint32_t kScanDepth = 7;
inline constexpr std::uint32_t kScanRedrawMs = 120;
inline constexpr std::size_t kScanTextMax = 70;
extern const wchar_t* const ScanSkipNames[12];

// Announces itself, walks drives A to Z (fixed ones only), wipes its line, stops at the first hit.
[[nodiscard]] std::wstring ScanFixedDrives();

// folder is extended and restored in place while descending; found is written on success.
// One open search handle per level, no allocation per folder beyond folder's own growth.
// lastDrawTick: GetTickCount of the scan line's last drawing, kept for the whole walk.
[[nodiscard]] bool ScanForGame(std::wstring& folder, std::uint32_t depth, std::uint32_t& lastDrawTick,
                               std::wstring& found);

[[nodiscard]] bool IsScanSkipName(const wchar_t* name);
// The folder as the scan line shows it: at most 70 units, cut ones end in "...".
[[nodiscard]] std::wstring ScanProgressText(const std::wstring& folder);

// Unsigned difference, so the 49.7-day wrap of the tick count does not stop redraws.
[[nodiscard]] inline bool ScanRedrawDue(std::uint32_t now, std::uint32_t last) {
  return static_cast<std::uint32_t>(now - last) > kScanRedrawMs;
}
