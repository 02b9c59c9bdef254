#pragma once
// What the update server lists against what the launcher folder holds.
#include <cstdint>
#include <string>
#include <vector>

#include "update/manifest_text.h"

inline constexpr wchar_t kUpdateRoot[] = L"/korvantis/guncelleme/";

struct UpdateManifest {
  std::vector<ManifestEntry> entries;  // not current, in manifest order
  std::int64_t totalBytes = 0;         // saturating sum of their sizes
};

// "/korvantis/guncelleme/manifest.txt?t=<number that differs per run>"
[[nodiscard]] std::wstring BuildManifestPath();

// Launcher folder + the UTF-8 name, "/" turned into "\".
[[nodiscard]] std::wstring MakeLocalPath(const std::string& name);

// Same size, then same SHA-256 text.
[[nodiscard]] bool IsEntryCurrent(const ManifestEntry& entry, const std::wstring& localPath);

[[nodiscard]] UpdateManifest ReadManifest(const std::string& body);
