// Reads an executable's version block and icons back through the Windows API, the way Explorer
// and the shell do, and prints one UTF-8 JSON object on standard output: the fixed file and
// product versions, the translations, the version strings of the "041F04B0" table, the number of
// icon groups (ExtractIconExW) and, for each requested size, the size, colour depth and two alpha
// samples of the icon that LoadImageW makes from the first group. Exit code 0, or 2 when the file has no
// version block or cannot be loaded as a resource module.
// Usage: read_version.exe <file.exe>
#include "helper_text.h"
#include "helper_win.h"

#include <shellapi.h>
#include <winver.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

struct ModuleFreer {
  void operator()(HMODULE module) const {
    if (module != nullptr) {
      FreeLibrary(module);
    }
  }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

struct IconDestroyer {
  void operator()(HICON icon) const {
    if (icon != nullptr) {
      DestroyIcon(icon);
    }
  }
};
using UniqueIcon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDestroyer>;

struct BitmapDeleter {
  void operator()(HBITMAP bitmap) const {
    if (bitmap != nullptr) {
      DeleteObject(bitmap);
    }
  }
};
using UniqueBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, BitmapDeleter>;

constexpr int kIconSizes[] = {16, 32, 48, 64, 128, 256};
constexpr const wchar_t* kStringNames[] = {L"CompanyName",      L"FileDescription", L"FileVersion",
                                           L"OriginalFilename", L"ProductName",     L"ProductVersion"};

std::string VersionText(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) + "." +
         std::to_string(LOWORD(low));
}

// An empty string when the value is missing; an absent value and "" are not told apart here.
std::wstring QueryString(std::vector<std::uint8_t>& block, const std::wstring& name) {
  void* value = nullptr;
  UINT units = 0;
  const std::wstring path = L"\\StringFileInfo\\041F04B0\\" + name;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &units) || value == nullptr) {
    return {};
  }
  std::wstring text(static_cast<const wchar_t*>(value), units);
  while (!text.empty() && text.back() == L'\0') {
    text.pop_back();
  }
  return text;
}

std::string DescribeVersion(const std::wstring& path, bool& ok) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) {
    ok = false;
    return {};
  }
  std::vector<std::uint8_t> block(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
    ok = false;
    return {};
  }
  std::string json;
  void* value = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), L"\\", &value, &length) && length >= sizeof(VS_FIXEDFILEINFO)) {
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    json += "\"fileVersion\":\"" + VersionText(fixed->dwFileVersionMS, fixed->dwFileVersionLS) +
            "\",\"productVersion\":\"" + VersionText(fixed->dwProductVersionMS, fixed->dwProductVersionLS) +
            "\",\"fileOS\":" + std::to_string(fixed->dwFileOS) + ",\"fileType\":" + std::to_string(fixed->dwFileType) +
            ",";
  }
  json += "\"translations\":[";
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length)) {
    const auto* words = static_cast<const WORD*>(value);
    for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) {
      json += i == 0 ? "[" : ",[";
      json += std::to_string(words[i]) + "," + std::to_string(words[i + 1]) + "]";
    }
  }
  json += "],\"strings\":{";
  bool first = true;
  for (const wchar_t* name : kStringNames) {
    // Appended piece by piece: GCC 12 misreads "literal" + std::string here (-Wrestrict).
    if (!first) {
      json += ",";
    }
    json += JsonString(name);
    json += ":";
    json += JsonString(QueryString(block, name));
    first = false;
  }
  json += "}";
  ok = true;
  return json;
}

// Alpha of the centre and of the bottom-left corner pixel, read back as a 32-bit top-down DIB:
// an emblem on a transparent background gives 255 and 0, a blank or undecoded image does not.
std::pair<int, int> SampleAlpha(HBITMAP colour, LONG width, LONG height) {
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = -height;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  const int rows = GetDIBits(screen, colour, 0, static_cast<UINT>(height), pixels.data(), &format, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  if (rows != height) {
    return {-1, -1};
  }
  const auto at = [&](LONG x, LONG y) {
    return static_cast<int>(pixels[static_cast<std::size_t>(y * width + x)] >> 24);
  };
  return {at(width / 2, height / 2), at(0, height - 1)};
}

// "[size, width, height, bits, centre alpha, corner alpha]" per requested size; zeros (alpha -1)
// when the icon cannot be made.
std::string DescribeIcons(const std::wstring& path, bool& ok) {
  UniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!module) {
    ok = false;
    return {};
  }
  const UINT groups = ExtractIconExW(path.c_str(), -1, nullptr, nullptr, 0);
  std::string json = "\"iconGroups\":" + std::to_string(groups) + ",\"icons\":[";
  bool first = true;
  for (const int size : kIconSizes) {
    LONG width = 0;
    LONG height = 0;
    WORD bits = 0;
    std::pair<int, int> alpha{-1, -1};
    UniqueIcon icon(
        static_cast<HICON>(LoadImageW(module.get(), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    ICONINFO info{};
    if (icon && GetIconInfo(icon.get(), &info)) {
      UniqueBitmap colour(info.hbmColor);
      UniqueBitmap mask(info.hbmMask);
      BITMAP bitmap{};
      if (colour && GetObjectW(colour.get(), sizeof bitmap, &bitmap) == sizeof bitmap) {
        width = bitmap.bmWidth;
        height = bitmap.bmHeight;
        bits = bitmap.bmBitsPixel;
        alpha = SampleAlpha(colour.get(), width, height);
      }
    }
    json += first ? "[" : ",[";
    json += std::to_string(size) + "," + std::to_string(width) + "," + std::to_string(height) + "," +
            std::to_string(bits) + "," + std::to_string(alpha.first) + "," + std::to_string(alpha.second) + "]";
    first = false;
  }
  json += "]";
  ok = true;
  return json;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    WriteStdout("usage: read_version <file.exe>\n");
    return 2;
  }
  bool versionOk = false;
  bool iconsOk = false;
  const std::string version = DescribeVersion(argv[1], versionOk);
  const std::string icons = DescribeIcons(argv[1], iconsOk);
  if (!versionOk || !iconsOk) {
    return 2;
  }
  WriteStdout("{" + version + "," + icons + "}\n");
  return 0;
}
