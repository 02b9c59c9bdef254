#include "locate/drive_scan.h"

#include <windows.h>

#include <cwchar>

#include "base/handles.h"
#include "base/launcher_paths.h"
#include "locate/game_folder.h"

namespace {

// Folders no game is installed in, and that are large: the walk does not enter them.
constexpr const wchar_t* kScanSkipNames[] = {
    L"Windows",     L"$Recycle.Bin", L"System Volume Information",
    L"ProgramData", L"AppData",      L"node_modules",
    L".git",        L"Microsoft",    L"WindowsApps",
    L"$WinREAgent", L"Recovery",     L"PerfLogs",
};

// The longest path Windows can name: reserved once, so descending never reallocates.
constexpr std::size_t kScanPathReserve = kLongestPathUnits + 1;
constexpr DWORD kPlainDirectoryMask = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;

void ReportFolder(const std::wstring& folder, std::uint32_t& lastDrawTick, const ScanReport& report) {
  const std::uint32_t now = GetTickCount();
  if (!ScanRedrawDue(now, lastDrawTick)) {
    return;
  }
  lastDrawTick = now;
  if (report.folder) report.folder(folder);
}

bool IsScanSkipName(const wchar_t* name) {
  for (const wchar_t* skip : kScanSkipNames) {
    if (_wcsicmp(name, skip) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool ScanForGame(std::wstring& folder, std::uint32_t depth, std::uint32_t& lastDrawTick, std::wstring& found,
                 const ScanReport& report) {
  if (IsGameFolderInPlace(folder)) {
    found = folder;
    return true;
  }
  if (depth == 0) {
    return false;
  }
  ReportFolder(folder, lastDrawTick, report);

  const std::size_t length = folder.size();
  folder.append(L"\\*");
  WIN32_FIND_DATAW entry;
  const FindHandle search = OwnFind(FindFirstFileExW(
      folder.c_str(), FindExInfoBasic, &entry, FindExSearchLimitToDirectories, nullptr, FIND_FIRST_EX_LARGE_FETCH));
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
    hit = ScanForGame(folder, depth - 1, lastDrawTick, found, report);
    folder.resize(length + 1);
  } while (!hit && FindNextFileW(search.get(), &entry));
  folder.resize(length);
  return hit;
}

std::wstring ScanFixedDrives(const ScanReport& report) {
  if (report.started) report.started();
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
    (void)ScanForGame(folder, kScanDepth, lastDrawTick, found, report);
  }
  if (report.ended) report.ended();
  return found;
}
