#pragma once
// Byte-level manifest handling: lines, the entry-name rule, the server path encoding.
// No Windows header, so it builds natively for fuzzing.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/file_names.h"
#include "base/numbers.h"  // SaturatingAdd for sizes and their sum

struct ManifestEntry {
  std::string hash;  // as written; compared byte for byte with the file's digest text
  std::string name;  // UTF-8, "/" separated, relative to the launcher folder
  std::int64_t size = 0;
  bool once = false;  // placed once: fetched only while missing, never replaced
};

// A placed-once line: this prefix, then the usual three fields. Launchers that predate it read
// the line as a comment and skip it.
inline constexpr std::string_view kPlacedOncePrefix = "#ilk ";

// One line without its LF; none for blanks, comments, short lines and refused names. The
// launcher itself is never placed once: such a line is refused too.
[[nodiscard]] std::optional<ManifestEntry> ParseManifestLine(std::string_view line);

// The launcher's own working files, as manifest names (letter case is ignored, as Windows does).
inline constexpr std::string_view kLauncherEntryName = KORVANTIS_LAUNCHER_NAME;
inline constexpr std::string_view kSavedPathEntryName = KORVANTIS_SAVED_PATH_NAME;
inline constexpr std::string_view kOldLauncherEntryName = KORVANTIS_LAUNCHER_NAME KORVANTIS_OLD_LAUNCHER_SUFFIX;
inline constexpr std::string_view kDownloadEntrySuffix = KORVANTIS_DOWNLOAD_SUFFIX;
inline constexpr std::string_view kSerialEntryName = KORVANTIS_SERIAL_NAME;
inline constexpr std::string_view kEngineEntryName = KORVANTIS_ENGINE_NAME;

// Refuses "..", ":" anywhere and a leading "/" or "\"; also what Windows would turn into a
// path outside the launcher folder or into another object: an empty name or folder name (so
// no trailing separator), a NUL byte, a folder or file name ending in "." or " ", device names
// (CON, NUL, COM1, ...) and names of the 8.3 alias shape (KORVAN~1.EXE) anywhere; and the
// launcher's own files: a top-level hl_yolu.txt, imza_sirasi.txt or Korvantis.exe.eski, any of
// these or Korvantis.exe or xash3d.exe taken for a folder, any folder or file *.indiriliyor.
// tests/data/entry_names.txt holds the cases, shared with the publisher's tests.
[[nodiscard]] bool IsSafeEntryName(std::string_view name);

// The launcher's own executable: "Korvantis.exe" at the top, in any letter case.
[[nodiscard]] bool IsLauncherEntryName(std::string_view name);

// _atoi64 rules (blanks, sign, digits), saturating instead of overflowing.
[[nodiscard]] std::int64_t ParseSizeField(std::string_view text);

// Letters, digits and "-._/" stay; every other byte becomes %XX (upper case).
[[nodiscard]] std::string PercentEncodePath(std::string_view name);

// The first 12 bytes of the hash (or all of a shorter one).
[[nodiscard]] std::string_view VersionToken(std::string_view hash);

// Calls f(line) for each LF-separated line of body, the last one also without LF.
template <typename F>
void ForEachLine(std::string_view body, F&& f) {
  std::size_t pos = 0;
  while (pos < body.size()) {
    const std::size_t lf = body.find('\n', pos);
    const std::size_t end = lf == std::string_view::npos ? body.size() : lf;
    f(body.substr(pos, end - pos));
    pos = lf == std::string_view::npos ? body.size() : lf + 1;
  }
}

// A signed manifest ends with one comment line: "#imza " + 128 lower-case hex digits (the
// ECDSA P-256 signature, r then s) + LF, over every byte before that line.
inline constexpr std::string_view kSignatureLinePrefix = "#imza ";
struct SignedManifest {
  std::string_view content;                 // the signed bytes, all the manifest reader reads
  std::array<unsigned char, 64> signature;  // r then s, big-endian
};
// None when the body has no signature line, more than one, anything after it, or a signature
// that is not exactly 128 lower-case hex digits.
[[nodiscard]] std::optional<SignedManifest> SplitSignedManifest(std::string_view body);

// A signed manifest's serial: its first line, "#sira " and a decimal number from 1 to
// 9223372036854775807 without leading zeros, then LF (a CR before it is allowed). Launchers
// with a key keep the highest one they accepted, so an older signed manifest cannot be
// served again.
inline constexpr std::string_view kSerialLinePrefix = "#sira ";
inline constexpr std::int64_t kNoSerial = 0;    // the first line is something else
inline constexpr std::int64_t kBadSerial = -1;  // it begins so, but holds no such number
[[nodiscard]] std::int64_t ParseManifestSerial(std::string_view content);
