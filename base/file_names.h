#pragma once
// The launcher's own file names, each written once. The manifest rules need them as bytes and
// the file system as UTF-16: L"" put before a name makes its wide form (string concatenation).
// No Windows header: the byte-level manifest code that builds natively includes this too.
#define KORVANTIS_LAUNCHER_NAME "Korvantis.exe"
#define KORVANTIS_OLD_LAUNCHER_SUFFIX ".eski"
#define KORVANTIS_DOWNLOAD_SUFFIX ".indiriliyor"
#define KORVANTIS_SAVED_PATH_NAME "hl_yolu.txt"
#define KORVANTIS_ENGINE_NAME "xash3d.exe"
#define KORVANTIS_SERIAL_NAME "imza_sirasi.txt"

inline constexpr wchar_t kLauncherFileName[] = L"" KORVANTIS_LAUNCHER_NAME;
inline constexpr wchar_t kOldLauncherSuffix[] = L"" KORVANTIS_OLD_LAUNCHER_SUFFIX;
inline constexpr wchar_t kDownloadSuffix[] = L"" KORVANTIS_DOWNLOAD_SUFFIX;
inline constexpr wchar_t kSavedPathFileName[] = L"" KORVANTIS_SAVED_PATH_NAME;
inline constexpr wchar_t kEngineFileName[] = L"" KORVANTIS_ENGINE_NAME;
inline constexpr wchar_t kSerialFileName[] = L"" KORVANTIS_SERIAL_NAME;
