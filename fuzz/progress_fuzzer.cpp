// Progress arithmetic on counters a hostile manifest can push anywhere in 64 bits: checked
// against the exact computation in 128 bits.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/numbers.h"
#include "console/progress_text.h"
#include "fuzz/fuzz_check.h"

namespace {

std::int64_t Read64(const std::uint8_t* data) {
  std::int64_t value = 0;
  std::memcpy(&value, data, sizeof value);
  return value;
}

void CheckProgress(std::int64_t done, std::int64_t total) {
  const ProgressFigures figures = ComputeProgress(done, total);
  FUZZ_CHECK(figures.percent <= 100);
  FUZZ_CHECK(figures.filledCells >= 0 && figures.filledCells <= kProgressCells);
  if (total <= 0) {
    FUZZ_CHECK(figures.percent == 100 && figures.filledCells == kProgressCells);
    return;
  }
  // Truncating division, as in 64-bit arithmetic had it not overflowed.
  const Wide exact = static_cast<Wide>(done) * 100 / total;
  // Below -100 whole totals the figure is nonsense anyway; only its sign is promised there.
  if (done / total >= -100) {
    FUZZ_CHECK(figures.percent == (exact > 100 ? 100 : exact));
  } else {
    FUZZ_CHECK(figures.percent < 0);
  }
  const int expectedCells = figures.percent <= 0 ? 0 : figures.percent * kProgressCells / 100;
  FUZZ_CHECK(figures.filledCells == expectedCells);
  FUZZ_CHECK((figures.filledCells == kProgressCells) == (exact >= 100));

  char bar[kProgressCells + 1];
  FormatProgressBar(figures.filledCells, bar);
  FUZZ_CHECK(bar[kProgressCells] == '\0');
  for (int i = 0; i < kProgressCells; ++i) FUZZ_CHECK(bar[i] == (i < figures.filledCells ? '#' : '.'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return 0;
  const std::int64_t a = Read64(data);
  const std::int64_t b = Read64(data + 8);

  CheckProgress(a, b);
  // Counters near each other are the common case: done close to total, and just past it.
  CheckProgress(static_cast<std::int64_t>(static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a & 0xFFFF)), b);
  const std::int64_t sum = SaturatingAdd(a, b);
  FUZZ_CHECK(sum == ClampToInt64(static_cast<Wide>(a) + b));
  CheckProgress(sum, b);

  const auto now = static_cast<std::uint32_t>(a);
  const auto last = static_cast<std::uint32_t>(b);
  const auto interval = static_cast<std::uint32_t>(static_cast<std::uint64_t>(a) >> 32);
  const std::uint64_t elapsed = (static_cast<std::uint64_t>(now) + 0x100000000ULL - last) & 0xFFFFFFFFULL;
  FUZZ_CHECK(RedrawDue(now, last, interval) == (elapsed >= interval));
  FUZZ_CHECK(RedrawDue(now, last, kProgressRedrawMs) == (elapsed >= kProgressRedrawMs));
  return 0;
}
