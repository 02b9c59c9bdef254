#pragma once
#include <array>
#include <optional>
#include <string>
#include <string_view>

using Sha256Digest = std::array<unsigned char, 32>;

// 64 lower-case hex digits of the file's SHA-256, or empty when it cannot be read whole.
[[nodiscard]] std::string HashFileSha256(const std::wstring& path);

// The SHA-256 of bytes in memory; none when the system's hashing fails.
[[nodiscard]] std::optional<Sha256Digest> HashBytesSha256(std::string_view bytes);
