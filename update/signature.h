#pragma once
// The check of a manifest's signature with the maintainer's public key.
#include <array>
#include <string_view>

// A P-256 public key as its two coordinates, X then Y (32 bytes each, big-endian).
struct UpdateKey {
  bool present;
  std::array<unsigned char, 64> point;
};
// This launcher's key (KORVANTIS_UPDATE_KEY); without one, manifests are taken unsigned as ever.
[[nodiscard]] UpdateKey BuiltUpdateKey();

// ECDSA P-256 over the SHA-256 of content, with BCrypt.
[[nodiscard]] bool VerifyManifestSignature(std::string_view content, const std::array<unsigned char, 64>& signature,
                                           const UpdateKey& key);
