// Steam's libraryfolders.vdf is a file on the user's disk that other programs write: the
// scan must take any bytes. Checked against a step-by-step reference of the scan, and the
// registry path normalisation against its rule.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "locate/library_file.h"

namespace {

std::vector<std::string> ReferenceScan(std::string_view bytes) {
  const std::string_view key = "\"path\"";
  std::vector<std::string> values;
  const std::size_t end = bytes.size();
  std::size_t p = 0;
  while (p + key.size() <= end) {
    std::size_t k = p;
    while (k + key.size() <= end && bytes.substr(k, key.size()) != key) ++k;
    if (k + key.size() > end) break;
    if (k + key.size() >= end) break;
    std::size_t q1 = k + key.size();
    while (q1 < end && bytes[q1] != '"') ++q1;
    if (q1 >= end || q1 + 1 >= end) break;
    std::size_t q2 = q1 + 1;
    while (q2 < end && bytes[q2] != '"') ++q2;
    if (q2 >= end) break;
    std::string value;
    for (std::size_t i = q1 + 1; i < q2; ++i) {
      value.push_back(bytes[i]);
      if (bytes[i] == '\\' && i + 1 < q2 && bytes[i + 1] == '\\') ++i;
    }
    values.push_back(value);
    p = q2 + 1;
  }
  return values;
}

std::wstring ReferenceNormalise(const std::wstring& value) {
  std::wstring out;
  for (wchar_t unit : value) out.push_back(unit == L'/' ? L'\\' : unit);
  std::size_t length = out.size();
  while (length > 0 && out[length - 1] == L'\\') --length;
  out.resize(length);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::vector<std::string> paths = ScanLibraryPaths(bytes);
  FUZZ_CHECK(paths == ReferenceScan(bytes));
  std::size_t valueBytes = 0;
  for (const std::string& path : paths) {
    FUZZ_CHECK(path.find('"') == std::string::npos);
    valueBytes += path.size();
  }
  FUZZ_CHECK(valueBytes <= size);

  // The same bytes as UTF-16 units, as a registry value would hold them.
  std::wstring wide;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    wide.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  const std::wstring normalised = NormaliseRegistryPath(wide);
  FUZZ_CHECK(normalised == ReferenceNormalise(wide));
  FUZZ_CHECK(normalised.find(L'/') == std::wstring::npos);
  FUZZ_CHECK(normalised.empty() || normalised.back() != L'\\');
  return 0;
}
