#pragma once
// What the update server lists against what the launcher folder holds.
#include <cstdint>
#include <string>
#include <vector>

#include "update/manifest_text.h"

inline constexpr wchar_t kUpdateRoot[] = L"/korvantis/guncelleme/";
// The manifest is a text list; anything larger is a broken or hostile server, not a manifest.
inline constexpr std::uint64_t kManifestMaxBytes = 64ull << 20;
// Threads that hash the local files: hashing is bound by the processor and the disk, and more
// threads than that only take turns.
inline constexpr unsigned kHashWorkers = 6;

// What an update must fetch.
struct UpdatePlan {
  std::vector<ManifestEntry> entries;  // not current, in manifest order
  std::int64_t totalBytes = 0;         // saturating sum of their sizes
};

// "/korvantis/guncelleme/manifest.txt?t=<number that differs per run>"
[[nodiscard]] std::wstring BuildManifestPath();

// Launcher folder + the UTF-8 name, "/" turned into "\".
[[nodiscard]] std::wstring MakeLocalPath(const std::wstring& launcherFolder, const std::string& name);

// The manifest's entries whose local file is not current (not the same size, then not the same
// SHA-256 text; a digest that could not be computed matches no hash field, an empty one
// included), with the local files hashed side by side.
[[nodiscard]] UpdatePlan PlanUpdate(const std::wstring& launcherFolder, std::string_view content);
