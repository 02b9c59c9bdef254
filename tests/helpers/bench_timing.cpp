// Times one call of the launcher's own hashing, download or drive-walk code inside the process,
// so Wine's start-up is not counted (bench/run.sh; bench_floor.exe times the platform alone):
//   bench_timing hash <file>                        HashFileSha256
//   bench_timing download <server path> <file>      DownloadToFile in file mode
//   bench_timing scan <folder> <depth>              ScanForGame (its scan line captured, not drawn)
// Last line: "RESULT seconds=<s> bytes=<n> ok=<0|1> digest=<hex or ->" (scan: bytes = 0, ok =
// nothing found, as in a tree without the game).
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "console_capture.h"
#include "launcher/launcher.h"
#include "locate/drive_scan.h"
#include "update/http_client.h"
#include "update/sha256.h"

namespace {

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

int Usage() {
  std::fputs("usage: bench_timing hash <file> | download <server path> <file> | scan <folder> <depth>\n", stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const std::wstring mode = argv[1];
  Outcome outcome;
  // What the launcher would draw goes to memory: the console's cost is not the step's.
  ConsoleCapture capture;
  CaptureConsoleOutput(&capture);
  const double start = Now();
  if (mode == L"hash") {
    outcome.digest = HashFileSha256(argv[2]);
    outcome.ok = !outcome.digest.empty();
  } else if (mode == L"download" && argc >= 4) {
    const std::wstring file = argv[3];
    outcome.ok = DownloadToFile(argv[2], nullptr, &file, UINT64_MAX);
  } else if (mode == L"scan" && argc >= 4) {
    std::wstring folder = argv[2];
    folder.reserve(kLongestPathUnits + 1);
    std::wstring found;
    outcome.ok = !ScanForGame(folder, static_cast<std::uint32_t>(std::wcstoul(argv[3], nullptr, 10)), found);
  } else {
    return Usage();
  }
  const double seconds = Now() - start;
  CaptureConsoleOutput(nullptr);
  if (mode == L"hash") outcome.bytes = FileSize(argv[2]);
  if (mode == L"download") outcome.bytes = FileSize(argv[3]);
  std::printf("\nRESULT seconds=%.6f bytes=%llu ok=%d digest=%s\n", seconds,
              static_cast<unsigned long long>(outcome.bytes), outcome.ok ? 1 : 0,
              outcome.digest.empty() ? "-" : outcome.digest.c_str());
  return outcome.ok ? 0 : 1;
}
