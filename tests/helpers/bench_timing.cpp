// Times one call of the launcher's own hashing, download or drive-walk code inside the process,
// so Wine's start-up is not counted (bench/run.sh; bench_floor.exe times the platform alone):
//   bench_timing hash <file>                        HashFileSha256
//   bench_timing download <server path> <file>      DownloadToFile in file mode
//   bench_timing scan <folder> <depth>              ScanForGame (its scan line captured, not drawn)
// Last line: "RESULT seconds=<s> bytes=<n> ok=<0|1> digest=<hex or ->" (scan: bytes = 0, ok =
// nothing found, as in a tree without the game).
#include "bench_result.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "console_capture.h"
#include "base/launcher_paths.h"
#include "locate/drive_scan.h"
#include "update/http_client.h"
#include "update/sha256.h"

namespace {

std::uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

constexpr char kUsage[] =
    "usage: bench_timing hash <file> | download <server path> <file> | scan <folder> <depth>\n";

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return BenchUsage(kUsage);
  const std::wstring mode = argv[1];
  BenchOutcome outcome;
  // What the launcher would draw goes to memory: the console's cost is not the step's.
  ConsoleCapture capture;
  CaptureConsoleOutput(&capture);
  const double start = BenchNow();
  if (mode == L"hash") {
    outcome.digest = HashFileSha256(argv[2]);
    outcome.ok = !outcome.digest.empty();
  } else if (mode == L"download" && argc >= 4) {
    const std::wstring file = argv[3];
    HttpClient client;
    outcome.ok = DownloadToFile(client, argv[2], {file, UINT64_MAX, {}}).ok;
  } else if (mode == L"scan" && argc >= 4) {
    std::wstring folder = argv[2];
    folder.reserve(kLongestPathUnits + 1);
    std::wstring found;
    std::uint32_t lastDrawTick = 0;
    outcome.ok = !ScanForGame(folder, static_cast<std::uint32_t>(std::wcstoul(argv[3], nullptr, 10)), lastDrawTick,
                              found);
  } else {
    return BenchUsage(kUsage);
  }
  const double seconds = BenchNow() - start;
  CaptureConsoleOutput(nullptr);
  if (mode == L"hash") outcome.bytes = FileSize(argv[2]);
  if (mode == L"download") outcome.bytes = FileSize(argv[3]);
  return ReportBenchOutcome(seconds, outcome);
}
