#include "update/http_text.h"

#include <limits>

namespace {

constexpr std::size_t kMostEntityTagBytes = 256;

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Digits only, the whole text, without overflow.
std::optional<std::uint64_t> ParseDigits(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::optional<std::uint64_t> ParseContentLength(std::string_view text) { return ParseDigits(TrimBlanks(text)); }

std::optional<ContentRange> ParseContentRange(std::string_view text) {
  text = TrimBlanks(text);
  constexpr std::string_view kUnit = "bytes ";
  if (text.substr(0, kUnit.size()) != kUnit) return std::nullopt;
  text.remove_prefix(kUnit.size());
  const std::size_t dash = text.find('-');
  const std::size_t slash = text.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
  const std::optional<std::uint64_t> first = ParseDigits(text.substr(0, dash));
  const std::optional<std::uint64_t> last = ParseDigits(text.substr(dash + 1, slash - dash - 1));
  const std::optional<std::uint64_t> total = ParseDigits(text.substr(slash + 1));
  if (!first || !last || !total || *first > *last || *last >= *total) return std::nullopt;
  return ContentRange{*first, *last, *total};
}

bool IsUsableEntityTag(std::string_view tag) {
  if (tag.size() < 2 || tag.size() > kMostEntityTagBytes || tag.front() != '"' || tag.back() != '"') return false;
  for (const char c : tag) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return tag.substr(1, tag.size() - 2).find('"') == std::string_view::npos;
}
