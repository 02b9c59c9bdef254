#include "update/manifest_text.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiAlnum(char c) { return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
// The C locale's isspace, without its undefined behaviour for negative chars.
bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) return false;
  }
  return true;
}

// Windows opens these as devices in any folder, with or without an extension.
bool IsDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static constexpr std::array<std::string_view, 6> kPlain = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view device : kPlain) {
    if (EqualsIgnoreCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string_view stem = base.substr(0, 3);
  if (!EqualsIgnoreCase(stem, "COM") && !EqualsIgnoreCase(stem, "LPT")) return false;
  const std::string_view number = base.substr(3);
  if (number.size() == 1 && number[0] >= '0' && number[0] <= '9') return true;
  // Superscript one, two and three (UTF-8) name the same ports.
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && EqualsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

// The shape of a Windows 8.3 alias, "KORVAN~1.EXE": one to seven characters, "~", one to seven
// digits, at most eight before the dot, and at most one extension of one to three characters.
bool HasShortNameShape(std::string_view name) {
  const std::size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::size_t tilde = base.find('~');
  if (tilde == std::string_view::npos || tilde == 0 || tilde > 7 || base.size() > 8) return false;
  const std::string_view digits = base.substr(tilde + 1);
  if (digits.empty() || digits.size() > 7) return false;
  for (const char c : digits) {
    if (!IsAsciiDigit(c)) return false;
  }
  if (dot == std::string_view::npos) return true;
  const std::string_view extension = name.substr(dot + 1);
  return !extension.empty() && extension.size() <= 3 && extension.find('.') == std::string_view::npos;
}

// One folder or file name between separators. Windows drops trailing dots and blanks, so
// such a name would alias another file (or, as ". .", climb out of the folder). An empty one
// ("a//b", "a.wad/") is collapsed or dropped: two spellings of one file, or a folder made where
// the file belongs. A short-name alias may name another file of its folder, the launcher itself
// at the top.
bool IsSafeComponent(std::string_view component) {
  if (component.empty()) return false;
  const char last = component.back();
  if (last == '.' || last == ' ') return false;
  return !IsDeviceName(component) && !HasShortNameShape(component);
}

// The launcher's own files in its folder: a manifest line naming one would replace the saved
// game path or the serial, plant the file deleted at every start, collide with a download in
// progress, or, taking one for a folder, block it for good.
bool NamesLauncherWorkingFile(std::string_view name) {
  const std::size_t firstSeparator = name.find_first_of("/\\");
  const std::string_view first = name.substr(0, firstSeparator);
  const bool topLevel = firstSeparator == std::string_view::npos;
  for (const std::string_view own :
       {kLauncherEntryName, kOldLauncherEntryName, kSavedPathEntryName, kSerialEntryName, kEngineEntryName}) {
    // The launcher and the engine themselves are ordinary entries at the top.
    const bool replaceable = own == kLauncherEntryName || own == kEngineEntryName;
    if (EqualsIgnoreCase(first, own) && (!topLevel || !replaceable)) return true;
  }
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
    if (EndsWithIgnoreCase(name.substr(start, end - start), kDownloadEntrySuffix)) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::int64_t ParseSizeField(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate towards the sign so that INT64_MIN itself is representable.
  std::int64_t value = 0;
  for (; i < text.size() && IsAsciiDigit(text[i]); ++i) {
    const int digit = text[i] - '0';
    if (negative) {
      if (value < (kInt64Min + digit) / 10) return kInt64Min;
      value = value * 10 - digit;
    } else {
      if (value > (kInt64Max - digit) / 10) return kInt64Max;
      value = value * 10 + digit;
    }
  }
  return value;
}

bool IsLauncherEntryName(std::string_view name) { return EqualsIgnoreCase(name, kLauncherEntryName); }

bool IsSafeEntryName(std::string_view name) {
  if (name.empty()) return false;
  if (name.find("..") != std::string_view::npos) return false;
  if (name.find(':') != std::string_view::npos) return false;
  if (name.front() == '/' || name.front() == '\\') return false;
  // A NUL would end the name early once it becomes a path, so it could pass as another name.
  if (name.find('\0') != std::string_view::npos) return false;
  if (NamesLauncherWorkingFile(name)) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t sep = name.find_first_of("/\\", start);
    const std::size_t end = sep == std::string_view::npos ? name.size() : sep;
    if (!IsSafeComponent(name.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

std::optional<ManifestEntry> ParseManifestLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  const bool once = line.substr(0, kPlacedOncePrefix.size()) == kPlacedOncePrefix;
  if (once) line.remove_prefix(kPlacedOncePrefix.size());
  if (line.empty() || line.front() == '#') return std::nullopt;
  const std::size_t first = line.find(' ');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const std::string_view name = line.substr(second + 1);
  if (!IsSafeEntryName(name) || (once && IsLauncherEntryName(name))) return std::nullopt;
  ManifestEntry entry;
  entry.once = once;
  entry.hash = std::string(line.substr(0, first));
  entry.size = ParseSizeField(line.substr(first + 1, second - first - 1));
  entry.name = std::string(name);
  return entry;
}

std::string PercentEncodePath(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    if (IsAsciiAlnum(c) || c == '-' || c == '.' || c == '/' || c == '_') {
      out.push_back(c);
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    out.push_back('%');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0x0F]);
  }
  return out;
}

std::string_view VersionToken(std::string_view hash) { return hash.substr(0, 12); }

std::optional<SignedManifest> SplitSignedManifest(std::string_view body) {
  constexpr std::size_t kHexDigits = 128;
  const std::size_t lineLength = kSignatureLinePrefix.size() + kHexDigits + 1;
  if (body.size() < lineLength || body.back() != '\n') return std::nullopt;
  const std::size_t start = body.size() - lineLength;
  if (start > 0 && body[start - 1] != '\n') return std::nullopt;
  const std::string_view line = body.substr(start, lineLength - 1);
  if (line.substr(0, kSignatureLinePrefix.size()) != kSignatureLinePrefix) return std::nullopt;

  SignedManifest signedManifest{body.substr(0, start), {}};
  // A second signature line could make a reader take another manifest for the signed one.
  bool another = false;
  ForEachLine(signedManifest.content, [&another](std::string_view earlier) {
    another = another || earlier.substr(0, kSignatureLinePrefix.size()) == kSignatureLinePrefix;
  });
  if (another) return std::nullopt;

  const std::string_view hex = line.substr(kSignatureLinePrefix.size());
  for (std::size_t i = 0; i < signedManifest.signature.size(); ++i) {
    int byte = 0;
    for (const char c : hex.substr(2 * i, 2)) {
      int nibble = -1;
      if (c >= '0' && c <= '9') nibble = c - '0';
      if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
      if (nibble < 0) return std::nullopt;
      byte = byte * 16 + nibble;
    }
    signedManifest.signature[i] = static_cast<unsigned char>(byte);
  }
  return signedManifest;
}

std::int64_t ParseManifestSerial(std::string_view content) {
  if (content.substr(0, kSerialLinePrefix.size()) != kSerialLinePrefix) return kNoSerial;
  std::string_view digits = content.substr(kSerialLinePrefix.size());
  const std::size_t end = digits.find('\n');
  if (end == std::string_view::npos) return kBadSerial;
  digits = digits.substr(0, end);
  if (!digits.empty() && digits.back() == '\r') digits.remove_suffix(1);
  constexpr std::size_t kMostDigits = 19;  // 9223372036854775807
  if (digits.empty() || digits.size() > kMostDigits || digits.front() == '0') return kBadSerial;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (!IsAsciiDigit(c)) return kBadSerial;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');  // 19 digits fit in 64 bits
  }
  if (value > static_cast<std::uint64_t>(kInt64Max)) return kBadSerial;
  return static_cast<std::int64_t>(value);
}
