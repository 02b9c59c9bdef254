#include "locate/drive_scan.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

#include "base/handles.h"
#include "base/launcher_paths.h"
#include "console/console.h"
#include "locate/game_folder.h"

const wchar_t* const ScanSkipNames[12] = {
    L"Windows",   L"$Recycle.Bin", L"System Volume Information", L"ProgramData",
    L"AppData",   L"node_modules", L".git",                      L"Microsoft",
    L"WindowsApps", L"$WinREAgent", L"Recovery",                 L"PerfLogs",
};

namespace {

constexpr std::size_t kScanTextKeep = kScanTextMax - 3;
// The line's text field is padded past the longest text, so a shorter one overwrites it; the
// wipe covers the whole line with one column to spare.
constexpr wchar_t kScanLinePrefix[] = L"  Taraniyor: ";
constexpr int kScanFieldWidth = static_cast<int>(kScanTextMax) + 2;
constexpr int kScanWipeWidth = static_cast<int>(std::size(kScanLinePrefix) - 1) + kScanFieldWidth + 1;
// The longest path Windows can name: reserved once, so descending never reallocates.
constexpr std::size_t kScanPathReserve = kLongestPathUnits + 1;
constexpr DWORD kPlainDirectoryMask = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

void DrawScanLine(const std::wstring& folder, std::uint32_t& lastDrawTick) {
  const std::uint32_t now = GetTickCount();
  if (!ScanRedrawDue(now, lastDrawTick)) {
    return;
  }
  lastDrawTick = now;
  const std::wstring text = ScanProgressText(folder);
  SetConsoleColor(Color::Quiet);
  PrintWide(L"\r%ls%-*ls", kScanLinePrefix, kScanFieldWidth, text.c_str());
  SetConsoleColor(Color::Normal);
}

bool IsHighSurrogate(wchar_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

}  // namespace

bool IsScanSkipName(const wchar_t* name) {
  for (const wchar_t* skip : ScanSkipNames) {
    if (_wcsicmp(name, skip) == 0) {
      return true;
    }
  }
  return false;
}

std::wstring ScanProgressText(const std::wstring& folder) {
  if (folder.size() <= kScanTextMax) {
    return folder;
  }
  // Never split a surrogate pair: half a character would print as garbage.
  std::size_t keep = kScanTextKeep;
  if (IsHighSurrogate(folder[keep - 1])) {
    --keep;
  }
  return folder.substr(0, keep) + L"...";
}

bool ScanForGame(std::wstring& folder, std::uint32_t depth, std::uint32_t& lastDrawTick, std::wstring& found) {
  if (IsGameFolderInPlace(folder)) {
    found = folder;
    return true;
  }
  if (depth == 0) {
    return false;
  }
  DrawScanLine(folder, lastDrawTick);

  const std::size_t length = folder.size();
  folder.append(L"\\*");
  WIN32_FIND_DATAW entry;
  const FindHandle search = OwnFind(FindFirstFileExW(folder.c_str(), FindExInfoBasic, &entry,
                                                     FindExSearchLimitToDirectories, nullptr,
                                                     FIND_FIRST_EX_LARGE_FETCH));
  folder.resize(length + 1);  // keep the separator for the children
  if (!search) {
    folder.resize(length);
    return false;
  }
  bool hit = false;
  do {
    // Only plain directories: following junctions and links could loop or leave the drive.
    if ((entry.dwFileAttributes & kPlainDirectoryMask) != FILE_ATTRIBUTE_DIRECTORY) {
      continue;
    }
    // ".", ".." and hidden Unix-style folders alike.
    if (entry.cFileName[0] == L'.' || IsScanSkipName(entry.cFileName)) {
      continue;
    }
    folder.append(entry.cFileName);
    hit = ScanForGame(folder, depth - 1, lastDrawTick, found);
    folder.resize(length + 1);
  } while (!hit && FindNextFileW(search.get(), &entry));
  folder.resize(length);
  return hit;
}

std::wstring ScanFixedDrives() {
  PrintColored(Color::Normal, "  Counter-Strike 1.6 bilgisayarda araniyor (biraz surebilir)...\n");
  std::wstring found;
  const DWORD drives = GetLogicalDrives();
  std::wstring folder;
  folder.reserve(kScanPathReserve);
  std::uint32_t lastDrawTick = 0;
  for (unsigned index = 0; index < 26 && found.empty(); ++index) {
    if ((drives & (DWORD{1} << index)) == 0) {
      continue;
    }
    const wchar_t letter = static_cast<wchar_t>(L'A' + index);
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    if (GetDriveTypeW(root) != DRIVE_FIXED) {
      continue;
    }
    folder.assign(root, 2);  // "D:": children then read "D:\name"
    (void)ScanForGame(folder, kScanDepth, lastDrawTick, found);
  }
  PrintWide(L"\r%-*ls\r", kScanWipeWidth, L"");
  return found;
}
