// Times one call of the launcher's own hashing or download code, or a plain loop over the
// platform's SHA-256 as the anchor, inside the process so Wine's start-up is not counted
// (bench/run.sh):
//   bench_timing hash <file>                        HashFileSha256
//   bench_timing bcrypt <file> [chunk bytes]        BCrypt directly, ReadFile into one buffer
//   bench_timing read <file> [chunk bytes]          ReadFile alone, to split reading from hashing
//   bench_timing download <server path> <file>      DownloadToFile in file mode
// Last line: "RESULT seconds=<s> bytes=<n> ok=<0|1> digest=<hex or ->".
#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "update/http_client.h"
#include "update/sha256.h"

namespace {

constexpr DWORD kDefaultChunkBytes = 1u << 20;
constexpr ULONG kDigestBytes = 32;

struct FileCloser {
  void operator()(HANDLE h) const {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
struct ProviderCloser {
  void operator()(BCRYPT_ALG_HANDLE h) const { BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashDestroyer {
  void operator()(BCRYPT_HASH_HANDLE h) const { BCryptDestroyHash(h); }
};
using FileHandle = std::unique_ptr<void, FileCloser>;
using ProviderHandle = std::unique_ptr<void, ProviderCloser>;
using HashHandle = std::unique_ptr<void, HashDestroyer>;

struct Outcome {
  bool ok = false;
  std::uint64_t bytes = 0;
  std::string digest;
};

double Now() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string Hex(const unsigned char* bytes, std::size_t count) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  return text;
}

DWORD ChunkArgument(int argc, wchar_t** argv, int index) {
  if (argc <= index) return kDefaultChunkBytes;
  const unsigned long value = std::wcstoul(argv[index], nullptr, 10);
  return value == 0 ? kDefaultChunkBytes : static_cast<DWORD>(value);
}

// The shortest honest loop over the platform's SHA-256: what any caller of BCrypt pays.
Outcome PlainBcrypt(const std::wstring& path, DWORD chunk, bool hashing) {
  Outcome outcome;
  const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return outcome;
  BCRYPT_ALG_HANDLE rawProvider = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&rawProvider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return outcome;
  const ProviderHandle provider(rawProvider);
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &rawHash, nullptr, 0, nullptr, 0, 0))) return outcome;
  const HashHandle hash(rawHash);

  std::vector<unsigned char> buffer(chunk);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.data(), chunk, &read, nullptr)) return outcome;
    if (read == 0) break;
    outcome.bytes += read;
    if (hashing && !BCRYPT_SUCCESS(BCryptHashData(hash.get(), buffer.data(), read, 0))) return outcome;
  }
  if (hashing) {
    unsigned char digest[kDigestBytes];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.get(), digest, kDigestBytes, 0))) return outcome;
    outcome.digest = Hex(digest, kDigestBytes);
  }
  outcome.ok = true;
  return outcome;
}

int Usage() {
  std::fputs("usage: bench_timing hash|bcrypt|read <file> [chunk] | download <server path> <file>\n", stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const std::wstring mode = argv[1];
  Outcome outcome;
  double seconds = 0;
  if (mode == L"hash") {
    const double start = Now();
    outcome.digest = HashFileSha256(argv[2]);
    seconds = Now() - start;
    outcome.ok = !outcome.digest.empty();
    outcome.bytes = FileSize(argv[2]);
  } else if (mode == L"bcrypt" || mode == L"read") {
    const DWORD chunk = ChunkArgument(argc, argv, 3);
    const double start = Now();
    outcome = PlainBcrypt(argv[2], chunk, mode == L"bcrypt");
    seconds = Now() - start;
  } else if (mode == L"download" && argc >= 4) {
    const std::wstring file = argv[3];
    const double start = Now();
    outcome.ok = DownloadToFile(argv[2], nullptr, &file, UINT64_MAX);
    seconds = Now() - start;
    outcome.bytes = FileSize(file);
  } else {
    return Usage();
  }
  std::printf("\nRESULT seconds=%.6f bytes=%llu ok=%d digest=%s\n", seconds,
              static_cast<unsigned long long>(outcome.bytes), outcome.ok ? 1 : 0,
              outcome.digest.empty() ? "-" : outcome.digest.c_str());
  return outcome.ok ? 0 : 1;
}
