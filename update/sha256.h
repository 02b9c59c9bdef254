#pragma once
#include <string>

// 64 lower-case hex digits of the file's SHA-256, or empty when it cannot be read whole.
[[nodiscard]] std::string HashFileSha256(const std::wstring& path);
