// Times one ScanForGame walk over a folder tree: "found=<0|1> seconds=<s> lines=<n>".
// The scan line is captured rather than printed, so only the walk itself is measured.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "console/console.h"
#include "locate/drive_scan.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scan_bench <folder> [depth]\n");
    return 2;
  }
  std::wstring folder = argv[1];
  const std::uint32_t depth =
      argc > 2 ? static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 10)) : kScanDepth;
  folder.reserve(32768);

  ConsoleCapture capture;
  CaptureConsoleOutput(&capture);
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  std::wstring found;
  const bool hit = ScanForGame(folder, depth, found);
  QueryPerformanceCounter(&end);
  CaptureConsoleOutput(nullptr);

  const double seconds =
      static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
  std::printf("found=%d seconds=%.6f lines=%zu\n", hit ? 1 : 0, seconds, capture.pieces.size());
  return 0;
}
