// Manifest reading from an untrusted server: line splitting, line parsing, the name rule,
// sizes and their sum, the server path encoding and the version token. Each is checked
// against a straightforward reference written from the format's rules.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "update/http_text.h"
#include "update/manifest_text.h"

namespace {

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// _atoi64: blanks, sign, digits; out of range gives the limit of that sign.
std::int64_t ReferenceAtoi64(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  Wide value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kWideInt64Max + 1) value = kWideInt64Max + 1;  // keeps the wide type from overflowing
  }
  return ClampToInt64(negative ? -value : value);
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

// Names Windows opens as devices in any folder, whatever follows the first dot.
bool ReferenceIsDevice(std::string_view component) {
  std::string base = Upper(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (base == device) return true;
  }
  for (const char* stem : {"COM", "LPT"}) {
    if (base.rfind(stem, 0) != 0) continue;
    const std::string rest = base.substr(3);
    if (rest.size() == 1 && IsDigit(rest[0])) return true;
    if (rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3") return true;
  }
  return false;
}

std::vector<std::string_view> Components(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '/' || name[i] == '\\') {
      parts.push_back(name.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

// The launcher's own working files, letter case ignored: a top-level hl_yolu.txt,
// imza_sirasi.txt or Korvantis.exe.eski; any of them, Korvantis.exe or xash3d.exe as the first
// folder; any part ending in .indiriliyor.
bool ReferenceShortName(const std::string& name) {
  const std::size_t tilde = name.find('~');
  if (tilde == std::string::npos || tilde == 0 || tilde > 7) return false;
  std::size_t i = tilde + 1;
  while (i < name.size() && IsDigit(name[i])) ++i;
  const std::size_t digits = i - tilde - 1;
  if (digits == 0 || digits > 7 || i > 8) return false;
  if (name.substr(0, tilde).find('.') != std::string::npos) return false;
  if (i == name.size()) return true;
  if (name[i] != '.') return false;
  const std::string extension = name.substr(i + 1);
  return !extension.empty() && extension.size() <= 3 && extension.find('.') == std::string::npos;
}

bool ReferenceWorkingFile(std::string_view name) {
  const std::string suffix = ".INDIRILIYOR";
  const std::vector<std::string_view> parts = Components(name);
  for (std::string_view part : parts) {
    const std::string upper = Upper(part);
    if (upper.size() >= suffix.size() && upper.compare(upper.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return true;
    }
  }
  const std::string first = Upper(parts[0]);
  for (const char* own : {"HL_YOLU.TXT", "KORVANTIS.EXE.ESKI", "IMZA_SIRASI.TXT"}) {
    if (first == own) return true;
  }
  return parts.size() > 1 && (first == "KORVANTIS.EXE" || first == "XASH3D.EXE");
}

// The format's own rule plus the hardening the header promises (empty name or component, NUL,
// trailing dot or blank in a component, device names and 8.3 aliases (up to 7 + "~" + up to 7
// digits, 8 at most before the dot, one extension of 1 to 3) anywhere, the launcher's own files).
bool ReferenceSafeName(std::string_view name) {
  if (name.empty()) return false;
  if (ReferenceWorkingFile(name)) return false;
  if (name.find("..") != std::string_view::npos || name.find(':') != std::string_view::npos) return false;
  if (name[0] == '/' || name[0] == '\\') return false;
  if (name.find('\0') != std::string_view::npos) return false;
  for (std::string_view part : Components(name)) {
    if (part.empty()) return false;
    if (part.back() == '.' || part.back() == ' ') return false;
    if (ReferenceIsDevice(part) || ReferenceShortName(std::string(part))) return false;
  }
  return true;
}

struct ReferenceLine {
  std::string_view hash;
  std::string_view sizeField;
  std::string_view name;
  bool once;
};

std::optional<ReferenceLine> ReferenceParse(std::string_view line) {
  std::size_t length = line.size();
  while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == ' ')) --length;
  line = line.substr(0, length);
  const bool once = line.size() >= 5 && line.substr(0, 5) == "#ilk ";
  if (once) line = line.substr(5);
  if (line.empty() || line[0] == '#') return std::nullopt;
  std::size_t first = 0;
  while (first < line.size() && line[first] != ' ') ++first;
  if (first == line.size()) return std::nullopt;
  std::size_t second = first + 1;
  while (second < line.size() && line[second] != ' ') ++second;
  if (second >= line.size()) return std::nullopt;
  ReferenceLine parsed{line.substr(0, first), line.substr(first + 1, second - first - 1), line.substr(second + 1),
                       once};
  if (!ReferenceSafeName(parsed.name)) return std::nullopt;
  if (once && Upper(parsed.name) == "KORVANTIS.EXE") return std::nullopt;  // the launcher is always current
  return parsed;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not what we send
}

void CheckPercentEncoding(std::string_view name) {
  const std::string encoded = PercentEncodePath(name);
  std::string decoded;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    const bool plain =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '.' || c == '_' || c == '/' || c == '-';
    if (plain) {
      decoded.push_back(c);
      continue;
    }
    FUZZ_CHECK(c == '%');
    FUZZ_CHECK(i + 2 < encoded.size());
    const int high = HexValue(encoded[i + 1]);
    const int low = HexValue(encoded[i + 2]);
    FUZZ_CHECK(high >= 0 && low >= 0);
    const char byte = static_cast<char>(high * 16 + low);
    // A byte that may stay plain must never be escaped: the server's paths depend on it.
    const bool mayStayPlain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || IsDigit(byte) ||
                              byte == '.' || byte == '_' || byte == '/' || byte == '-';
    FUZZ_CHECK(!mayStayPlain);
    decoded.push_back(byte);
    i += 2;
  }
  FUZZ_CHECK(decoded == name);
}

void CheckVersionToken(std::string_view hash) {
  const std::string_view token = VersionToken(hash);
  FUZZ_CHECK(token.size() == (hash.size() < 12 ? hash.size() : 12));
  FUZZ_CHECK(hash.substr(0, token.size()) == token);
}

void CheckEntry(std::string_view line, const std::optional<ManifestEntry>& entry) {
  const std::optional<ReferenceLine> expected = ReferenceParse(line);
  FUZZ_CHECK(entry.has_value() == expected.has_value());
  if (!entry) return;
  FUZZ_CHECK(entry->hash == expected->hash);
  FUZZ_CHECK(entry->name == expected->name);
  FUZZ_CHECK(entry->once == expected->once);
  FUZZ_CHECK(entry->size == ReferenceAtoi64(expected->sizeField));
  FUZZ_CHECK(entry->size == ParseSizeField(expected->sizeField));

  const std::string& name = entry->name;
  FUZZ_CHECK(!name.empty());
  FUZZ_CHECK(name.find("..") == std::string::npos);
  FUZZ_CHECK(name.find(':') == std::string::npos);
  FUZZ_CHECK(name[0] != '/' && name[0] != '\\');
  FUZZ_CHECK(name.back() != ' ' && name.back() != '\r');
  for (std::string_view part : Components(name)) FUZZ_CHECK(part != "." && part != "..");
  FUZZ_CHECK(entry->hash.find(' ') == std::string::npos);
  FUZZ_CHECK(IsSafeEntryName(name));

  CheckPercentEncoding(name);
  CheckVersionToken(entry->hash);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);

  // Lines: none holds a LF, and joined with LF they give the body back (its final LF aside).
  std::string joined;
  std::size_t lines = 0;
  std::int64_t total = 0;
  Wide exactTotal = 0;
  bool totalInRange = true;
  ForEachLine(body, [&](std::string_view line) {
    FUZZ_CHECK(line.find('\n') == std::string_view::npos);
    FUZZ_CHECK(line.data() >= body.data() && line.data() + line.size() <= body.data() + body.size());
    if (lines++ > 0) joined.push_back('\n');
    joined.append(line);

    const std::optional<ManifestEntry> entry = ParseManifestLine(line);
    CheckEntry(line, entry);
    if (entry) {
      total = SaturatingAdd(total, entry->size);
      exactTotal += entry->size;
      totalInRange = totalInRange && exactTotal >= kWideInt64Min && exactTotal <= kWideInt64Max;
      // While no partial sum left the range, saturation never kicked in.
      if (totalInRange) FUZZ_CHECK(total == exactTotal);
    }
  });
  if (!body.empty() && body.back() == '\n') joined.push_back('\n');
  FUZZ_CHECK(joined == body);

  // A signature split gives back the body exactly, and leaves no signature line in what is read.
  if (const std::optional<SignedManifest> split = SplitSignedManifest(body)) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string line = "#imza ";
    for (const unsigned char byte : split->signature) {
      line.push_back(kHex[byte >> 4]);
      line.push_back(kHex[byte & 0x0F]);
    }
    FUZZ_CHECK(std::string(split->content) + line + "\n" == body);
    ForEachLine(split->content, [](std::string_view l) { FUZZ_CHECK(l.rfind("#imza ", 0) != 0); });
  }

  // The pieces on their own, on arbitrary bytes.
  FUZZ_CHECK(IsSafeEntryName(body) == ReferenceSafeName(body));
  FUZZ_CHECK(ParseSizeField(body) == ReferenceAtoi64(body));
  // A serial is taken only as its own canonical spelling on the first line.
  if (const std::int64_t serial = ParseManifestSerial(body); serial > 0) {
    const std::string line = "#sira " + std::to_string(serial);
    FUZZ_CHECK(body.substr(0, line.size()) == line);
    const std::string_view rest = body.substr(line.size());
    FUZZ_CHECK(rest.substr(0, 1) == "\n" || rest.substr(0, 2) == "\r\n");
  } else {
    FUZZ_CHECK(serial == kNoSerial || serial == kBadSerial);
  }
  CheckPercentEncoding(body);
  CheckVersionToken(body);
  // Response headers from the same hostile server: a range is always one the file can hold, and
  // an entity tag is sent back only when it cannot end or add a header line.
  if (const std::optional<ContentRange> range = ParseContentRange(body)) {
    FUZZ_CHECK(range->first <= range->last && range->last < range->total);
  }
  if (IsUsableEntityTag(body)) {
    FUZZ_CHECK(body.find_first_of(std::string_view("\r\n\0 ", 4)) == std::string_view::npos);
  }
  if (size >= 16) {
    std::int64_t a = 0;
    std::int64_t b = 0;
    std::memcpy(&a, data, sizeof a);
    std::memcpy(&b, data + 8, sizeof b);
    FUZZ_CHECK(SaturatingAdd(a, b) == ClampToInt64(static_cast<Wide>(a) + b));
  }
  return 0;
}
