#pragma once
// Whole small files in and out: the launcher's own state files and what it reads of others.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The file's bytes; none when it cannot be opened or read whole, or holds more than maxBytes.
[[nodiscard]] std::optional<std::string> ReadWholeFile(const std::wstring& path, std::uint64_t maxBytes);

// Writes bytes to path + ".indiriliyor", flushes it and moves it over path, so that a crash
// leaves either the old file or the new one, never a cut one. False when any step fails (the
// old file then stays as it was).
[[nodiscard]] bool ReplaceFileContents(const std::wstring& path, std::string_view bytes);

// MoveFileExW with these flags; a target held for a moment (a virus scanner reading a file just
// written, an indexer) is tried again for up to two seconds. A file in use for longer, such as
// a running game's, still fails.
[[nodiscard]] bool MoveFileWaitingForScanners(const std::wstring& from, const std::wstring& to, unsigned long flags);

// True only when the volume holding path says that it seeks (a spinning disk): readers side by
// side there make it seek between them. Unknown counts as no.
[[nodiscard]] bool VolumeHasSeekPenalty(const std::wstring& path);
