// Times one call of the launcher's own hashing, download or drive-walk code inside the process,
// so Wine's start-up is not counted (bench/run.sh; bench_floor.exe times the platform alone):
//   bench_timing hash <file>                        HashFileSha256
//   bench_timing download <server path> <file>      DownloadToFile in file mode
//   bench_timing scan <folder> <depth>              ScanForGame (its scan line captured, not drawn)
//   bench_timing finish <how> <server path> <folder> <count>
//                                                   count downloads of one file; times only what
//                                                   follows each one's last byte up to its move:
//                                                   how = flush (that alone, then the move),
//                                                   inline (the update's: flush, the digest taken
//                                                   while writing, move) or reread (flush, a
//                                                   second read for the digest, move)
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
#include "launcher/messages.h"
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
    "usage: bench_timing hash <file> | download <server path> <file> | scan <folder> <depth> |\n"
    "       finish flush|inline|reread <server path> <folder> <count>\n";

// Downloads the file count times into folder, each under a name of its own, and adds up only
// the time from each one's last byte to its move.
double TimeFinishing(const std::wstring& how, const std::wstring& path, const std::wstring& folder, unsigned count,
                     BenchOutcome& outcome) {
  HttpClient client;
  double finishing = 0;
  outcome.ok = true;
  for (unsigned i = 0; i < count && outcome.ok; ++i) {
    const std::wstring temp = folder + L"\\f" + std::to_wstring(i) + L".indiriliyor";
    const std::wstring target = folder + L"\\f" + std::to_wstring(i);
    FileDownload download = DownloadToFile(client, path, {temp, UINT64_MAX, {}});
    const double lastByte = BenchNow();
    bool whole = false;
    if (how == L"flush") {
      whole = FinishFileDownload(download);
    } else if (how == L"inline") {
      whole = FinishFileDownload(download) && download.digest.size() == 64;
      outcome.digest = download.digest;
    } else {
      whole = FinishFileDownload(download);
      outcome.digest = HashFileSha256(temp);
      whole = whole && outcome.digest.size() == 64;
    }
    outcome.ok =
        whole && MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    finishing += BenchNow() - lastByte;
    outcome.bytes += download.bytes;
  }
  return finishing;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return BenchUsage(kUsage);
  const std::wstring mode = argv[1];
  BenchOutcome outcome;
  // What the launcher would draw goes to memory: the console's cost is not the step's.
  ConsoleCapture capture;
  CaptureConsoleOutput(&capture);
  const double start = BenchNow();
  double stop = 0;
  if (mode == L"finish" && argc >= 6) {
    const auto count = static_cast<unsigned>(std::wcstoul(argv[5], nullptr, 10));
    const double finishing = TimeFinishing(argv[2], argv[3], argv[4], count, outcome);
    CaptureConsoleOutput(nullptr);
    return ReportBenchOutcome(finishing, outcome);
  }
  if (mode == L"hash") {
    outcome.digest = HashFileSha256(argv[2]);
    outcome.ok = !outcome.digest.empty();
  } else if (mode == L"download" && argc >= 4) {
    const std::wstring file = argv[3];
    HttpClient client;
    FileDownload download = DownloadToFile(client, argv[2], {file, UINT64_MAX, {}});
    // The flush is the finishing thread's, off the request path (the finish benchmark times it).
    stop = BenchNow();
    outcome.ok = FinishFileDownload(download);
  } else if (mode == L"scan" && argc >= 4) {
    std::wstring folder = argv[2];
    folder.reserve(kLongestPathUnits + 1);
    std::wstring found;
    std::uint32_t lastDrawTick = 0;
    // Its line drawn as the launcher draws it, into the capture.
    outcome.ok = !ScanForGame(folder, static_cast<std::uint32_t>(std::wcstoul(argv[3], nullptr, 10)), lastDrawTick,
                              found, ScanLines());
  } else {
    return BenchUsage(kUsage);
  }
  const double seconds = (stop > 0 ? stop : BenchNow()) - start;
  CaptureConsoleOutput(nullptr);
  if (mode == L"hash") outcome.bytes = FileSize(argv[2]);
  if (mode == L"download") outcome.bytes = FileSize(argv[3]);
  return ReportBenchOutcome(seconds, outcome);
}
