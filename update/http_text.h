#pragma once
// The few response headers the launcher reads, as text; no Windows header, so it builds
// natively for fuzzing.
#include <cstdint>
#include <optional>
#include <string_view>

// Content-Length: decimal digits, blanks around them allowed; none for anything else.
[[nodiscard]] std::optional<std::uint64_t> ParseContentLength(std::string_view text);

// Content-Range of a 206: "bytes FIRST-LAST/TOTAL" with FIRST <= LAST < TOTAL; none for any
// other form ("*" for the total, a list, an unsatisfied range).
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t total = 0;
};
[[nodiscard]] std::optional<ContentRange> ParseContentRange(std::string_view text);

// A strong entity tag that can go back to the server in If-Range as it came: quoted, printable
// ASCII only (nothing that could end the header line), of a sane length. Weak tags ("W/...")
// may not be used with If-Range.
[[nodiscard]] bool IsUsableEntityTag(std::string_view tag);
