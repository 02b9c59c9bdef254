#pragma once
// What the two timing helpers (bench_timing, bench_floor) report, in the one line bench.py reads:
// "RESULT seconds=<s> bytes=<n> ok=<0|1> digest=<hex or ->".
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

struct BenchOutcome {
  bool ok = false;
  std::uint64_t bytes = 0;
  std::string digest;
};

inline double BenchNow() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The helpers' answer to arguments they cannot use.
inline int BenchUsage(const char* usage) {
  std::fputs(usage, stderr);
  return 2;
}

inline int ReportBenchOutcome(double seconds, const BenchOutcome& outcome) {
  std::printf("\nRESULT seconds=%.6f bytes=%llu ok=%d digest=%s\n", seconds,
              static_cast<unsigned long long>(outcome.bytes), outcome.ok ? 1 : 0,
              outcome.digest.empty() ? "-" : outcome.digest.c_str());
  return outcome.ok ? 0 : 1;
}
