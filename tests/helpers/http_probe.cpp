// Runs one download (or HashFileSha256) of the launcher's own code and prints what came
// of it on a last line, for the HTTP scenarios:
//   http_probe mem <server path>
//   http_probe file <server path> <local file>
//   http_probe hash <local file>
// HTTP_PROBE_MAX_BYTES sets the body limit (default: the manifest's in memory, none for a file).
// Last line: "RESULT ok=<0|1> status=<status> done=<bytes the file sink reported, drawn as progress> bytes=<body size>"
// (or "RESULT hash=<text>"). Whatever the client drew comes before it.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "console/console.h"
#include "update/http_client.h"
#include "update/manifest.h"
#include "update/sha256.h"

namespace {

int Usage() {
  std::fputs("usage: http_probe mem|file|hash ...\n", stderr);
  return 2;
}

std::uint64_t BodyLimit(std::uint64_t fallback) {
  wchar_t text[32] = {};
  const DWORD length = GetEnvironmentVariableW(L"HTTP_PROBE_MAX_BYTES", text, 32);
  return length == 0 || length >= 32 ? fallback : std::wcstoull(text, nullptr, 10);
}

void PrintResult(const HttpResult& result, std::uint64_t done, std::size_t bytes) {
  std::printf("\nRESULT ok=%d status=%d done=%llu bytes=%llu\n", result.ok ? 1 : 0, static_cast<int>(result.status),
              static_cast<unsigned long long>(done), static_cast<unsigned long long>(bytes));
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const std::wstring mode = argv[1];
  if (mode == L"hash") {
    std::printf("RESULT hash=%s\n", HashFileSha256(argv[2]).c_str());
    return 0;
  }
  HttpClient client;
  if (mode == L"mem") {
    std::string body;
    const HttpResult result = DownloadToMemory(client, argv[2], {body, BodyLimit(kManifestMaxBytes)});
    PrintResult(result, 0, body.size());
    return 0;
  }
  if (mode == L"file" && argc >= 4) {
    const std::wstring file = argv[3];
    // Drawn as the update draws it, from the sink's reports.
    ProgressLine line;
    const auto draw = [&line](std::int64_t bytes) { DrawProgress(line, bytes, false); };
    FileDownload download = DownloadToFile(client, argv[2], {file, BodyLimit(UINT64_MAX), draw});
    const HttpResult result{FinishFileDownload(download), download.http.status};
    WIN32_FILE_ATTRIBUTE_DATA data{};
    std::size_t bytes = 0;
    if (GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) bytes = data.nFileSizeLow;
    PrintResult(result, static_cast<std::uint64_t>(line.doneBytes), bytes);
    return 0;
  }
  return Usage();
}
