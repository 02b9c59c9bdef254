#include "update/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <limits>
#include <vector>

#include "base/handles.h"

namespace {

constexpr DWORD kHashReadBytes = 1u << 20;
constexpr ULONG kDigestBytes = 32;

// BCrypt's SHA-256 over what feed(hash) passes to BCryptHashData; none when anything fails.
template <typename Feed>
std::optional<Sha256Digest> Sha256Of(Feed&& feed) {
  BCRYPT_ALG_HANDLE rawProvider = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rawProvider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return std::nullopt;
  }
  const ProviderHandle provider(rawProvider);

  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &rawHash, nullptr, 0, nullptr, 0, 0))) return std::nullopt;
  // Declared after the provider, so it is destroyed first.
  const HashHandle hash(rawHash);

  if (!feed(static_cast<BCRYPT_HASH_HANDLE>(hash.get()))) return std::nullopt;
  Sha256Digest digest;
  static_assert(sizeof(digest) == kDigestBytes);
  if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest.data(), kDigestBytes, 0))) return std::nullopt;
  return digest;
}

}  // namespace

std::string HashFileSha256(const std::wstring& path) {
  // Others may read the file meanwhile, but not change it under us.
  const FileHandle file = OwnFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                              nullptr));
  if (!file) return {};

  // The call's own buffer, whatever the file's size: hashing on several threads shares nothing.
  std::vector<unsigned char> buffer(kHashReadBytes);
  const std::optional<Sha256Digest> digest = Sha256Of([&file, &buffer](BCRYPT_HASH_HANDLE hash) {
    for (;;) {
      DWORD read = 0;
      // A read that fails part-way would give the digest of a prefix: that is no digest of the file.
      if (!ReadFile(file.get(), buffer.data(), kHashReadBytes, &read, nullptr)) return false;
      if (read == 0) return true;
      if (!BCRYPT_SUCCESS(BCryptHashData(hash, buffer.data(), read, 0))) return false;
    }
  });
  if (!digest) return {};

  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(std::size_t{2} * kDigestBytes);
  for (const unsigned char value : *digest) {
    text.push_back(kHex[value >> 4]);
    text.push_back(kHex[value & 0x0F]);
  }
  return text;
}

std::optional<Sha256Digest> HashBytesSha256(std::string_view bytes) {
  return Sha256Of([bytes](BCRYPT_HASH_HANDLE hash) {
    // Each call takes at most a ULONG of bytes.
    constexpr std::size_t kMaxPiece = std::numeric_limits<ULONG>::max();
    for (std::size_t at = 0; at < bytes.size(); at += kMaxPiece) {
      const std::string_view piece = bytes.substr(at, kMaxPiece);
      auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(piece.data()));
      if (!BCRYPT_SUCCESS(BCryptHashData(hash, data, static_cast<ULONG>(piece.size()), 0))) return false;
    }
    return true;
  });
}
