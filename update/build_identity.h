#pragma once
// What this launcher was built for: its update hosts and the key every manifest must be signed
// with. Kept in one fixed block that the maintainer's tools find in the exe and read back
// (tools/build_identity.py), so a release is checked against what the launcher really uses.
//
// Layout 1, 600 bytes, little-endian, wherever the linker puts it:
//   0    16   "KORVANTIS:BUILD" and a NUL
//   16    4   layout: 1, or 2 when the launcher has fallback hosts
//   20    4   key kind: 0 none (manifests are taken unsigned), 1 ECDSA P-256
//   24   64   the key's X then Y, big-endian; zeros without a key
//   88  512   the (main) update host, UTF-16LE, NUL-padded (at most 255 units)
// Launchers in players' hands read this block in the launchers they fetch, so these fields stay
// where they are for ever: a later layout only adds after them. Layout 2 adds:
//   600   4   the number of fallback hosts, 1 to 3
//   604 1536  the fallback hosts in the order they are tried, 512 bytes each as the main one
// A launcher with one host keeps layout 1: launchers from before layout 2 take no other.
// No Windows header: the launcher reads the block of a launcher it fetched with this same
// layout (update/launcher_image.cpp), natively too.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

inline constexpr std::uint32_t kNoUpdateKey = 0;
inline constexpr std::uint32_t kP256UpdateKey = 1;
inline constexpr std::size_t kMostFallbackHosts = 3;
inline constexpr std::size_t kHostUnits = 256;

struct BuildIdentity {
  char magic[16];
  std::uint32_t layout;
  std::uint32_t keyKind;
  std::array<unsigned char, 64> key;
  char16_t host[kHostUnits];
  std::uint32_t fallbackHostCount;
  char16_t fallbackHosts[kMostFallbackHosts][kHostUnits];
};
static_assert(sizeof(BuildIdentity) == 2140);
static_assert(offsetof(BuildIdentity, key) == 24 && offsetof(BuildIdentity, host) == 88);
static_assert(offsetof(BuildIdentity, fallbackHostCount) == 600 && offsetof(BuildIdentity, fallbackHosts) == 604);
// Layout 1's fields: what every launcher reads in another.
inline constexpr std::size_t kLayoutOneBytes = offsetof(BuildIdentity, fallbackHostCount);

// Defined by the build (KORVANTIS_UPDATE_HOST, KORVANTIS_UPDATE_KEY).
extern const BuildIdentity BuiltIdentity;

// A host field as text: up to its first NUL, or all of it.
inline std::wstring HostText(const char16_t (&field)[kHostUnits]) {
  return std::wstring(std::begin(field), std::find(std::begin(field), std::end(field), u'\0'));
}

// The hosts to ask, in order: the main one, then the fallback hosts of layout 2 and later.
inline std::vector<std::wstring> UpdateHostsOf(const BuildIdentity& identity) {
  std::vector<std::wstring> hosts{HostText(identity.host)};
  if (identity.layout < 2) return hosts;
  for (std::size_t i = 0; i < identity.fallbackHostCount && i < kMostFallbackHosts; ++i) {
    hosts.push_back(HostText(identity.fallbackHosts[i]));
  }
  return hosts;
}
