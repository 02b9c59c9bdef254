#pragma once
// Text for the helpers' records: UTF-16 to UTF-8 and JSON string quoting. No Windows header,
// so what a record says about a path does not depend on a code page.
#include <string>

// Unpaired surrogates become U+FFFD, so a record is always valid UTF-8.
inline std::string WideToUtf8Text(const std::wstring& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned long code = static_cast<unsigned long>(text[i]) & 0xFFFFul;
    if (code >= 0xD800ul && code <= 0xDBFFul && i + 1 < text.size()) {
      const unsigned long low = static_cast<unsigned long>(text[i + 1]) & 0xFFFFul;
      if (low >= 0xDC00ul && low <= 0xDFFFul) {
        code = 0x10000ul + ((code - 0xD800ul) << 10) + (low - 0xDC00ul);
        ++i;
      } else {
        code = 0xFFFDul;
      }
    } else if (code >= 0xD800ul && code <= 0xDFFFul) {
      code = 0xFFFDul;
    }
    if (code < 0x80ul) {
      out += static_cast<char>(code);
    } else if (code < 0x800ul) {
      out += static_cast<char>(0xC0ul | (code >> 6));
      out += static_cast<char>(0x80ul | (code & 0x3Ful));
    } else if (code < 0x10000ul) {
      out += static_cast<char>(0xE0ul | (code >> 12));
      out += static_cast<char>(0x80ul | ((code >> 6) & 0x3Ful));
      out += static_cast<char>(0x80ul | (code & 0x3Ful));
    } else {
      out += static_cast<char>(0xF0ul | (code >> 18));
      out += static_cast<char>(0x80ul | ((code >> 12) & 0x3Ful));
      out += static_cast<char>(0x80ul | ((code >> 6) & 0x3Ful));
      out += static_cast<char>(0x80ul | (code & 0x3Ful));
    }
  }
  return out;
}

// A JSON string literal, quotes included.
inline std::string JsonString(const std::wstring& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : WideToUtf8Text(text)) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}
