#include "update/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include "launcher/handles.h"

namespace {

constexpr DWORD kReadChunkBytes = 1u << 20;
constexpr ULONG kDigestBytes = 32;

// One buffer for every call: hashing never allocates per file, whatever its size.
unsigned char ReadBuffer[kReadChunkBytes];

}  // namespace

std::string HashFileSha256(const std::wstring& path) {
  // Others may read the file meanwhile, but not change it under us.
  const FileHandle file = OwnFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                              nullptr));
  if (!file) return {};

  BCRYPT_ALG_HANDLE rawProvider = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rawProvider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
  const ProviderHandle provider(rawProvider);

  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &rawHash, nullptr, 0, nullptr, 0, 0))) return {};
  // Declared after the provider, so it is destroyed first.
  const HashHandle hash(rawHash);

  for (;;) {
    DWORD read = 0;
    // A read that fails part-way would give the digest of a prefix: that is no digest of the file.
    if (!ReadFile(file.get(), ReadBuffer, kReadChunkBytes, &read, nullptr)) return {};
    if (read == 0) break;
    if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), ReadBuffer, read, 0))) return {};
  }

  unsigned char digest[kDigestBytes];
  if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, kDigestBytes, 0))) return {};

  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(std::size_t{2} * kDigestBytes);
  for (const unsigned char value : digest) {
    text.push_back(kHex[value >> 4]);
    text.push_back(kHex[value & 0x0F]);
  }
  return text;
}
