#include "base/text.h"

#include <windows.h>

std::wstring Utf8ToWide(const std::string& text) {
  const int needed = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (needed <= 1) {
    return std::wstring();
  }
  std::wstring wide(static_cast<std::size_t>(needed - 1), L'\0');
  // The result's own NUL slot takes the terminator.
  if (MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), needed) != needed) {
    return std::wstring();
  }
  return wide;
}

std::string WideToUtf8(const std::wstring& text) {
  if (text.empty() || text.size() > 0x7fffffffu / 4) {
    return std::string();
  }
  const int length = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    return std::string();
  }
  std::string bytes(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr);
  return bytes;
}
