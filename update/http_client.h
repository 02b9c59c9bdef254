#pragma once
// HTTPS GETs of the update server through one session per run: the connection (and its TLS
// session) is reused by every request the run makes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "base/handles.h"
#include "update/build_identity.h"

// The run's WinHTTP session and connection to one update host, opened by the first request
// and closed with the client. The session goes the way the player's own proxy settings say
// (what the Internet Options dialog and Settings write, a PAC script, WPAD). Once that first
// request is made, requests may run on several threads at once, each on a connection of its
// own.
struct HttpClient {
  explicit HttpClient(std::wstring updateHost = HostText(BuiltIdentity.host)) : host(std::move(updateHost)) {}
  std::wstring host;
  InternetHandle session;
  InternetHandle connection;
  // When the settings name a proxy: the same without it, for when that proxy cannot be reached
  // (then the rest of the run goes without).
  InternetHandle directSession;
  InternetHandle directConnection;
  std::atomic<bool> proxyUnreachable{false};
};

struct HttpResult {
  // A 200 whose whole body arrived and was stored.
  bool ok = false;
  // The last response's status; 0 when none (or only a broken body) was obtained.
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
  const std::wstring& file;
  std::uint64_t maxBodyBytes;
  // After every chunk on disk, with its size; with minus what the file held when an answer
  // starts it over. May be empty.
  std::function<void(std::int64_t bytes)> written;
};

// Opens the client's session and connection, as its first request would: before requests run
// on several threads, so that none of them makes them.
[[nodiscard]] bool OpenHttpClient(HttpClient& client);

// The GetTickCount64() value by which a request must be done: every wait in it (the name, the
// connection, the head, each read) ends by then, and a body still coming fails.
using RequestDeadline = std::uint64_t;
inline constexpr RequestDeadline kNoDeadline = UINT64_MAX;

// A proxy that asks for a login is answered once with the logged-on user's own credentials
// (Negotiate or NTLM, never for the update server); one that still refuses leaves status 407.
// A body that breaks off, falls short of its announced length, crawls or is still coming at the
// deadline fails with status 0.
[[nodiscard]] HttpResult DownloadToMemory(HttpClient& client, const std::wstring& path, const MemorySink& sink,
                                          RequestDeadline deadline = kNoDeadline);
// A file download's outcome. The file is left open and not yet flushed: FinishFileDownload does
// that, possibly on another thread, so that the next request need not wait for the disk.
struct FileDownload {
  HttpResult http;
  std::uint64_t bytes = 0;  // what the file holds
  // SHA-256 of those bytes, taken as they were written (64 lower-case hex digits); empty when
  // it could not be had.
  std::string digest;
  FileHandle file;  // open until finished; empty when no file was made
};

// The same as DownloadToMemory, except that a body with an announced length that breaks off
// after bringing bytes is asked for again from where it broke (Range, and If-Range with the
// entity tag of the answer that began the file), as long as each answer takes the file further
// and the deadline allows: a 206 that continues at that byte with the same total is appended
// (and goes on in the same digest), a 200 starts the file and its digest over, and anything
// else fails.
[[nodiscard]] FileDownload DownloadToFile(HttpClient& client, const std::wstring& path, const FileSink& sink,
                                          RequestDeadline deadline = kNoDeadline);

// Flushes the file to disk and closes it: true when the download was whole and is on disk, as it
// must be before it takes its real name (a power cut must not leave a renamed file whose bytes
// never reached the disk).
[[nodiscard]] bool FinishFileDownload(FileDownload& download);
