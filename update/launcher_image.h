#pragma once
// What a launcher's bytes say it checks, read from its build identity block
// (update/build_identity.h); no Windows header, so it builds natively too.
#include <cstdint>
#include <optional>
#include <string_view>

// The key kind of the one build identity in image, found by its magic (taken from the running
// launcher's own block: written out here it would be a second copy in every launcher); none
// when there is no block, more than one, or one of layout 0. Any later layout is read by layout
// 1's fields, which it keeps where they are.
[[nodiscard]] std::optional<std::uint32_t> LauncherImageKeyKind(std::string_view image, std::string_view magic);
