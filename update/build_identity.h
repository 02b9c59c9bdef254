#pragma once
// What this launcher was built for: its update host and the key every manifest must be signed
// with. Kept in one fixed block that the maintainer's tools find in the exe and read back
// (tools/build_identity.py), so a release is checked against what the launcher really uses.
//
// Layout 1, 600 bytes, little-endian, wherever the linker puts it:
//   0    16   "KORVANTIS:BUILD" and a NUL
//   16    4   layout, 1
//   20    4   key kind: 0 none (manifests are taken unsigned), 1 ECDSA P-256
//   24   64   the key's X then Y, big-endian; zeros without a key
//   88  512   the update host, UTF-16LE, NUL-padded (at most 255 units)
// Launchers in players' hands read this block in the launchers they fetch, so these fields stay
// where they are for ever: a later layout only adds after them.
#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t kBuildIdentityLayout = 1;
inline constexpr std::uint32_t kNoUpdateKey = 0;
inline constexpr std::uint32_t kP256UpdateKey = 1;

struct BuildIdentity {
  char magic[16];
  std::uint32_t layout;
  std::uint32_t keyKind;
  std::array<unsigned char, 64> key;
  wchar_t host[256];
};
static_assert(sizeof(wchar_t) == 2 && sizeof(BuildIdentity) == 600);
static_assert(offsetof(BuildIdentity, key) == 24 && offsetof(BuildIdentity, host) == 88);

// Defined by the build (KORVANTIS_UPDATE_HOST, KORVANTIS_UPDATE_KEY).
extern const BuildIdentity BuiltIdentity;
