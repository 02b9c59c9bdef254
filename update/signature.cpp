#include "update/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <limits>

#include "launcher/handles.h"

namespace {

constexpr ULONG kCoordinateBytes = 32;
constexpr ULONG kDigestBytes = 32;

ProviderHandle OpenProvider(const wchar_t* algorithm) {
  BCRYPT_ALG_HANDLE raw = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&raw, algorithm, nullptr, 0))) return ProviderHandle();
  return ProviderHandle(raw);
}

bool Sha256(std::string_view content, unsigned char (&digest)[kDigestBytes]) {
  const ProviderHandle provider = OpenProvider(BCRYPT_SHA256_ALGORITHM);
  if (!provider) return false;
  BCRYPT_HASH_HANDLE raw = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &raw, nullptr, 0, nullptr, 0, 0))) return false;
  const HashHandle hash(raw);
  // The manifest is capped far below 4 GiB, but each call takes at most a ULONG.
  constexpr std::size_t kMaxPiece = std::numeric_limits<ULONG>::max();
  for (std::size_t at = 0; at < content.size(); at += kMaxPiece) {
    const std::string_view piece = content.substr(at, kMaxPiece);
    auto* bytes = reinterpret_cast<PUCHAR>(const_cast<char*>(piece.data()));
    if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), bytes, static_cast<ULONG>(piece.size()), 0))) return false;
  }
  return BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, kDigestBytes, 0));
}

}  // namespace

bool VerifyManifestSignature(std::string_view content, const std::array<unsigned char, 64>& signature,
                             const UpdateKey& key) {
  if (!key.present) return false;
  unsigned char digest[kDigestBytes];
  if (!Sha256(content, digest)) return false;

  const ProviderHandle ecdsa = OpenProvider(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!ecdsa) return false;
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + std::size_t{2} * kCoordinateBytes] = {};
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateBytes};
  std::memcpy(blob, &header, sizeof(header));
  std::memcpy(blob + sizeof(header), key.point.data(), key.point.size());
  BCRYPT_KEY_HANDLE raw = nullptr;
  if (!BCRYPT_SUCCESS(BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &raw, blob, sizeof(blob), 0))) {
    return false;
  }
  const KeyHandle publicKey(raw);
  std::array<unsigned char, 64> copy = signature;  // the call takes a non-const buffer
  return BCryptVerifySignature(publicKey.get(), nullptr, digest, kDigestBytes, copy.data(),
                               static_cast<ULONG>(copy.size()), 0) == 0;
}
