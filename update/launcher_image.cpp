#include "update/launcher_image.h"

#include <cstddef>

#include "update/build_identity.h"

namespace {

constexpr std::size_t kLayoutOffset = offsetof(BuildIdentity, layout);
constexpr std::size_t kKeyKindOffset = offsetof(BuildIdentity, keyKind);
// Layout 1's fields stay where they are in every later layout, which only adds after them.
constexpr std::uint32_t kFirstLayout = 1;

std::uint32_t ReadLittleEndian32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

std::optional<std::uint32_t> LauncherImageKeyKind(std::string_view image, std::string_view magic) {
  if (magic.size() != sizeof(BuildIdentity::magic)) return std::nullopt;
  const std::size_t at = image.find(magic);
  if (at == std::string_view::npos || image.size() - at < kLayoutOneBytes) return std::nullopt;
  // Two blocks would let a file show one and be another.
  if (image.find(magic, at + 1) != std::string_view::npos) return std::nullopt;
  if (ReadLittleEndian32(image, at + kLayoutOffset) < kFirstLayout) return std::nullopt;
  return ReadLittleEndian32(image, at + kKeyKindOffset);
}
