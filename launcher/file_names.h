#pragma once
// The launcher's own file names, each written once. The manifest rules need them as bytes and
// the file system as UTF-16: L"" put before a name makes its wide form (string concatenation).
#define KORVANTIS_LAUNCHER_NAME "Korvantis.exe"
#define KORVANTIS_OLD_LAUNCHER_SUFFIX ".eski"
#define KORVANTIS_DOWNLOAD_SUFFIX ".indiriliyor"
#define KORVANTIS_SAVED_PATH_NAME "hl_yolu.txt"
