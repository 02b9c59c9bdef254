#include "locate/library_file.h"

namespace {

constexpr std::string_view kPathKey = "\"path\"";

// Steam doubles every backslash it writes into a value; nothing else is escaped for us.
std::string UndoubleBackslashes(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    out.push_back(raw[i]);
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == '\\') {
      ++i;
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> ScanLibraryPaths(std::string_view fileBytes) {
  std::vector<std::string> paths;
  const std::size_t end = fileBytes.size();
  std::size_t position = 0;
  while (end - position >= kPathKey.size()) {
    const std::size_t key = fileBytes.find(kPathKey, position);
    if (key == std::string_view::npos || key + kPathKey.size() >= end) {
      break;
    }
    // Whatever stands between the key and its value's opening quote is passed over.
    const std::size_t open = fileBytes.find('"', key + kPathKey.size());
    if (open == std::string_view::npos || open + 1 >= end) {
      break;
    }
    const std::size_t close = fileBytes.find('"', open + 1);
    if (close == std::string_view::npos) {
      break;
    }
    paths.push_back(UndoubleBackslashes(fileBytes.substr(open + 1, close - open - 1)));
    position = close + 1;
  }
  return paths;
}

std::wstring NormaliseRegistryPath(std::wstring value) {
  for (wchar_t& unit : value) {
    if (unit == L'/') {
      unit = L'\\';
    }
  }
  while (!value.empty() && value.back() == L'\\') {
    value.pop_back();
  }
  return value;
}
