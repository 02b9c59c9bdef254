#include "console/progress_text.h"

#include <limits>

namespace {

// rest * 100 / total, truncated towards zero, for |rest| < total, without a wider type:
// two decimal digits of long division, each found by adding rest ten times modulo total.
std::int64_t ScaledFraction(std::int64_t rest, std::int64_t total) {
  const bool negative = rest < 0;
  std::uint64_t remainder = negative ? static_cast<std::uint64_t>(-(rest + 1)) + 1 : static_cast<std::uint64_t>(rest);
  const auto divisor = static_cast<std::uint64_t>(total);
  std::int64_t digits = 0;
  for (int place = 0; place < 2; ++place) {
    std::uint64_t sum = 0;
    int digit = 0;
    for (int i = 0; i < 10; ++i) {
      sum += remainder;  // both below divisor < 2^63: no wrap
      if (sum >= divisor) {
        sum -= divisor;
        ++digit;
      }
    }
    digits = digits * 10 + digit;
    remainder = sum;
  }
  return negative ? -digits : digits;
}

}  // namespace

ProgressFigures ComputeProgress(std::int64_t done, std::int64_t total) {
  // Nothing to count (or a nonsense negative total from a hostile manifest): a full bar.
  if (total <= 0) {
    return {100, kProgressCells};
  }
  // done * 100 / total without ever forming done * 100, which could overflow.
  const std::int64_t whole = done / total;
  const std::int64_t rest = done % total;  // |rest| < total
  std::int64_t percent = 0;
  if (whole > 100) {
    percent = 101;
  } else if (whole < std::numeric_limits<int>::min() / 100) {
    percent = std::numeric_limits<int>::min();  // nonsense negative counters: an empty bar
  } else {
    percent = whole * 100 + ScaledFraction(rest, total);
  }
  constexpr std::int64_t kLowest = std::numeric_limits<int>::min();
  if (percent > 100) {
    percent = 100;
  } else if (percent < kLowest) {
    percent = kLowest;
  }
  const int shown = static_cast<int>(percent);
  const int filled = shown <= 0 ? 0 : shown * kProgressCells / 100;
  return {shown, filled};
}

void FormatProgressBar(int filledCells, char (&bar)[kProgressCells + 1]) {
  for (int i = 0; i < kProgressCells; ++i) {
    bar[i] = i < filledCells ? '#' : '.';
  }
  bar[kProgressCells] = '\0';
}
