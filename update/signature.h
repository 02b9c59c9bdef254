#pragma once
// The maintainer's public key, compiled in, and the check of a manifest's signature with it.
#include <array>
#include <string_view>

// A P-256 public key as its two coordinates, X then Y (32 bytes each, big-endian).
struct UpdateKey {
  bool present;
  std::array<unsigned char, 64> point;
};
// Set at build time (KORVANTIS_UPDATE_KEY); without it, manifests are taken unsigned as ever.
extern const UpdateKey CompiledUpdateKey;

// ECDSA P-256 over the SHA-256 of content, with BCrypt.
[[nodiscard]] bool VerifyManifestSignature(std::string_view content, const std::array<unsigned char, 64>& signature,
                                           const UpdateKey& key);
