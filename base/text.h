#pragma once
// UTF-8 from the network and Steam's files to the UTF-16 of paths and the console, and back.
#include <string>

// Empty for empty input or a conversion failure; invalid bytes become U+FFFD.
[[nodiscard]] std::wstring Utf8ToWide(const std::string& text);
[[nodiscard]] std::string WideToUtf8(const std::wstring& text);
