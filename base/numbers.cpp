#include "base/numbers.h"

#include <limits>

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (b > 0 && a > kMax - b) {
    return kMax;
  }
  if (b < 0 && a < kMin - b) {
    return kMin;
  }
  return a + b;
}
