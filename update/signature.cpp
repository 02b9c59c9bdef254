#include "update/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "base/handles.h"
#include "update/build_identity.h"
#include "update/sha256.h"

namespace {

constexpr ULONG kCoordinateBytes = 32;

}  // namespace

UpdateKey BuiltUpdateKey() { return {BuiltIdentity.keyKind == kP256UpdateKey, BuiltIdentity.key}; }

bool VerifyManifestSignature(std::string_view content, const std::array<unsigned char, 64>& signature,
                             const UpdateKey& key) {
  if (!key.present) return false;
  // Not const: BCryptVerifySignature takes both buffers non-const.
  std::optional<Sha256Digest> digest = HashBytesSha256(content);
  if (!digest) return false;

  BCRYPT_ALG_HANDLE rawProvider = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rawProvider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  const ProviderHandle ecdsa(rawProvider);
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + std::size_t{2} * kCoordinateBytes] = {};
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateBytes};
  std::memcpy(blob, &header, sizeof(header));
  std::memcpy(blob + sizeof(header), key.point.data(), key.point.size());
  BCRYPT_KEY_HANDLE raw = nullptr;
  if (!BCRYPT_SUCCESS(BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &raw, blob, sizeof(blob), 0))) {
    return false;
  }
  const KeyHandle publicKey(raw);
  std::array<unsigned char, 64> copy = signature;
  return BCRYPT_SUCCESS(BCryptVerifySignature(publicKey.get(), nullptr, digest->data(),
                                              static_cast<ULONG>(digest->size()), copy.data(),
                                              static_cast<ULONG>(copy.size()), 0));
}
