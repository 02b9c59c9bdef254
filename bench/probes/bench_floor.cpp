// The platform's floor for each of the launcher's heavy steps: the shortest honest loop over the
// same Windows calls, sharing no code with the launcher (bench/run.sh sets the launcher's time
// against these):
//   bench_floor hash <file> [chunk bytes]     ReadFile into one buffer, BCrypt SHA-256
//   bench_floor read <file> [chunk bytes]     ReadFile alone, to split reading from hashing
//   bench_floor download <host> <path> <file> one WinHTTP GET over HTTPS into a file
//   bench_floor walk <folder> <depth>         FindFirstFileExW over every plain folder
// Last line: "RESULT seconds=<s> bytes=<n> ok=<0|1> digest=<hex or ->" (walk: bytes = folders).
#include "bench_result.h"

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDefaultChunkBytes = 1u << 20;
constexpr DWORD kDownloadChunkBytes = 65536;

// Floors end with the process: handles are closed by its exit, nothing here needs owners.
BenchOutcome Hash(const wchar_t* path, DWORD chunk, bool hashing) {
  BenchOutcome outcome;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  BCRYPT_ALG_HANDLE provider = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (file == INVALID_HANDLE_VALUE ||
      !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) {
    return outcome;
  }
  std::vector<unsigned char> buffer(chunk);
  DWORD read = 0;
  while (ReadFile(file, buffer.data(), chunk, &read, nullptr) && read > 0) {
    outcome.bytes += read;
    if (hashing && !BCRYPT_SUCCESS(BCryptHashData(hash, buffer.data(), read, 0))) return outcome;
  }
  if (hashing) {
    unsigned char digest[32];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof(digest), 0))) return outcome;
    static constexpr char kHex[] = "0123456789abcdef";
    for (const unsigned char value : digest) {
      outcome.digest.push_back(kHex[value >> 4]);
      outcome.digest.push_back(kHex[value & 0x0F]);
    }
  }
  outcome.ok = true;
  return outcome;
}

BenchOutcome Download(const wchar_t* host, const wchar_t* path, const wchar_t* target) {
  BenchOutcome outcome;
  HINTERNET session = WinHttpOpen(L"Korvantis-Baslatici/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? WinHttpConnect(session, host, INTERNET_DEFAULT_HTTPS_PORT, 0) : nullptr;
  HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                      WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                 : nullptr;
  DWORD status = 0;
  DWORD statusBytes = sizeof(status);
  if (!request || !WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request, nullptr) ||
      !WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &statusBytes, WINHTTP_NO_HEADER_INDEX) ||
      status != 200) {
    return outcome;
  }
  HANDLE file = CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return outcome;
  std::vector<char> buffer(kDownloadChunkBytes);
  DWORD read = 0;
  while (WinHttpReadData(request, buffer.data(), kDownloadChunkBytes, &read) && read > 0) {
    DWORD written = 0;
    if (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) return outcome;
    outcome.bytes += read;
  }
  CloseHandle(file);
  outcome.ok = true;
  return outcome;
}

// Every folder below folder, to depth levels, as a drive walk would visit it.
void Walk(std::wstring& folder, unsigned depth, std::uint64_t& folders) {
  if (depth == 0) return;
  const std::size_t length = folder.size();
  folder += L"\\*";
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileExW(folder.c_str(), FindExInfoBasic, &entry, FindExSearchLimitToDirectories, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  folder.resize(length);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const DWORD kind = entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (kind != FILE_ATTRIBUTE_DIRECTORY || entry.cFileName[0] == L'.') continue;
    ++folders;
    folder += L'\\';
    folder += entry.cFileName;
    Walk(folder, depth - 1, folders);
    folder.resize(length);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

DWORD ChunkArgument(int argc, wchar_t** argv) {
  const unsigned long value = argc > 3 ? std::wcstoul(argv[3], nullptr, 10) : 0;
  return value == 0 ? kDefaultChunkBytes : static_cast<DWORD>(value);
}

constexpr char kUsage[] =
    "usage: bench_floor hash|read <file> [chunk] | download <host> <path> <file> | walk <folder> <depth>\n";

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return BenchUsage(kUsage);
  const std::wstring mode = argv[1];
  BenchOutcome outcome;
  const double start = BenchNow();
  if (mode == L"hash" || mode == L"read") {
    outcome = Hash(argv[2], ChunkArgument(argc, argv), mode == L"hash");
  } else if (mode == L"download" && argc >= 5) {
    outcome = Download(argv[2], argv[3], argv[4]);
  } else if (mode == L"walk" && argc >= 4) {
    std::wstring folder = argv[2];
    folder.reserve(32768);
    Walk(folder, static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)), outcome.bytes);
    outcome.ok = true;
  } else {
    return BenchUsage(kUsage);
  }
  const double seconds = BenchNow() - start;
  return ReportBenchOutcome(seconds, outcome);
}
