#pragma once
// HTTPS GETs of the update server through one session per run: the connection (and its TLS
// session) is reused by every request the run makes.
#include <cstdint>
#include <functional>
#include <string>

#include "base/handles.h"

// The run's WinHTTP session and connection to the update host, opened by the first request
// and closed with the client. Once that first request is made, requests may run on several
// threads at once, each on a connection of its own.
struct HttpClient {
  InternetHandle session;
  InternetHandle connection;
};

struct HttpResult {
  // A 200 whose whole body arrived and was stored.
  bool ok = false;
  // The response's status; 0 when none (or only a broken body) was obtained.
  std::int32_t status = 0;
};

// Where a body goes: appended to memory, or written to a file (created only once a 200 with an
// acceptable length is in, so a refused request never truncates an old file). Either way a
// body that announces or brings more than maxBodyBytes fails.
struct MemorySink {
  std::string& body;  // left as it was when the request fails
  std::uint64_t maxBodyBytes;
};
struct FileSink {
  const std::wstring& file;  // flushed to disk before a true result
  std::uint64_t maxBodyBytes;
  std::function<void(std::uint64_t bytes)> written;  // after every chunk on disk; may be empty
};

// A body that breaks off or falls short of its announced length fails with status 0.
[[nodiscard]] HttpResult DownloadToMemory(HttpClient& client, const std::wstring& path, const MemorySink& sink);
[[nodiscard]] HttpResult DownloadToFile(HttpClient& client, const std::wstring& path, const FileSink& sink);
