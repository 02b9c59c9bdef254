#pragma once
// Sums of sizes that come from a server's manifest; no Windows header (also built natively).
#include <cstdint>

// Never overflows: adding stops at the limits of the type.
[[nodiscard]] std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b);
