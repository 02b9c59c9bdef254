#pragma once
// Shared by the fuzz targets: a failed property aborts, which libFuzzer reports as a crash
// and saves the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

// GNU extension, marked so -Wpedantic stays on for the rest.
__extension__ typedef __int128 Wide;

inline constexpr Wide kWideInt64Max = std::numeric_limits<std::int64_t>::max();
inline constexpr Wide kWideInt64Min = std::numeric_limits<std::int64_t>::min();

inline std::int64_t ClampToInt64(Wide value) {
  if (value > kWideInt64Max) return std::numeric_limits<std::int64_t>::max();
  if (value < kWideInt64Min) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}
