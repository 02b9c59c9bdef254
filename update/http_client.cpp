#include "update/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "update/build_identity.h"
#include "update/manifest_text.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Korvantis-Baslatici/1.0";
constexpr INTERNET_PORT kHttpsPort = 443;
constexpr int kResolveTimeoutMs = 8000;
constexpr int kConnectTimeoutMs = 8000;
constexpr int kSendTimeoutMs = 15000;
constexpr int kReceiveTimeoutMs = 30000;
constexpr DWORD kResponseChunkBytes = 65536;
constexpr DWORD kStatusOk = 200;
// A body that brings less than this in any window of this length is given up: each read is
// bounded by the receive time-out, but a byte every 25 s would never end. A healthy slow line
// (tens of KiB/s) brings many times more.
constexpr ULONGLONG kCrawlWindowMs = 30000;
constexpr std::uint64_t kCrawlWindowMinBytes = 16 << 10;

// The announced body length; none when the response gives none (chunked) or an unreadable one.
std::optional<std::uint64_t> QueryContentLength(HINTERNET request) {
  wchar_t text[32] = {};
  DWORD bytes = sizeof(text);
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  const std::size_t length = bytes / sizeof(wchar_t);
  std::size_t i = 0;
  while (i < length && text[i] == L' ') ++i;
  std::string digits;
  for (; i < length && text[i] >= L'0' && text[i] <= L'9'; ++i) digits.push_back(static_cast<char>(text[i]));
  while (i < length && text[i] == L' ') ++i;
  if (digits.empty() || i != length) return std::nullopt;
  // Digits only, so never negative; a length past the int64 range saturates, beyond any limit.
  return static_cast<std::uint64_t>(ParseSizeField(digits));
}

// The session and the connection handle are made by the first request of the run.
bool Connect(HttpClient& client) {
  if (!client.session) {
    client.session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, 0));
    if (!client.session) return false;
    // Windows 7 offers TLS 1.0 unless asked, and the server takes 1.2 and 1.3 only. A system
    // that knows neither flag keeps its own choice, and the server will tell.
    constexpr DWORD kTls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    constexpr DWORD kTls13 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    for (DWORD protocols : {kTls12 | kTls13, kTls12}) {
      if (WinHttpSetOption(client.session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
        break;
      }
    }
  }
  if (!client.connection) {
    client.connection.reset(WinHttpConnect(client.session.get(), BuiltIdentity.host, kHttpsPort, 0));
  }
  return static_cast<bool>(client.connection);
}

// Memory: appended as it comes, cut back to what it was when the body turns out broken.
class MemoryWriter {
 public:
  explicit MemoryWriter(const MemorySink& sink) : body_(sink.body), start_(sink.body.size()) {}
  bool Open() { return true; }
  bool Write(const char* data, DWORD bytes) {
    body_.append(data, bytes);
    return true;
  }
  bool Finish() { return true; }
  void Discard() { body_.resize(start_); }

 private:
  std::string& body_;
  std::size_t start_;
};

class FileWriter {
 public:
  explicit FileWriter(const FileSink& sink) : sink_(sink) {}
  bool Open() {
    output_ = OwnFile(CreateFileW(sink_.file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    return static_cast<bool>(output_);
  }
  bool Write(const char* data, DWORD bytes) {
    DWORD written = 0;
    if (!WriteFile(output_.get(), data, bytes, &written, nullptr) || written != bytes) return false;
    if (sink_.written) sink_.written(bytes);
    return true;
  }
  // On disk before the caller gives the file its real name: a power cut must not leave a
  // renamed file whose bytes never reached the disk.
  bool Finish() { return FlushFileBuffers(output_.get()) != 0; }
  void Discard() {}

 private:
  const FileSink& sink_;
  FileHandle output_;
};

template <typename Writer>
HttpResult Download(HttpClient& client, const std::wstring& path, std::uint64_t maxBodyBytes, Writer& writer) {
  if (!Connect(client)) return {};
  // Certificate checks and the redirect policy (never from HTTPS down to HTTP) stay the
  // platform's defaults: nothing here loosens them.
  const InternetHandle request(WinHttpOpenRequest(client.connection.get(), L"GET", path.c_str(), nullptr,
                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                  WINHTTP_FLAG_SECURE));
  if (!request) return {};
  WinHttpSetTimeouts(request.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
  // Waiting for the response head has a time-out of its own, unlimited by default on some
  // platforms: a server that accepts and never answers must not hang the launcher.
  DWORD responseTimeoutMs = kReceiveTimeoutMs;
  WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeoutMs,
                   sizeof(responseTimeoutMs));

  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    return {};
  }
  DWORD status = 0;
  DWORD statusBytes = sizeof(status);
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  HttpResult refused{false, static_cast<std::int32_t>(status)};
  if (status != kStatusOk) return refused;

  // A body longer than the caller can use would only fill memory or the disk.
  const std::optional<std::uint64_t> announced = QueryContentLength(request.get());
  if (announced && *announced > maxBodyBytes) return {};

  // Opened only now, so a refused request never truncates an old file.
  if (!writer.Open()) return refused;

  std::vector<char> buffer(kResponseChunkBytes);
  std::uint64_t received = 0;
  bool broken = false;
  ULONGLONG windowStart = GetTickCount64();
  std::uint64_t windowStartBytes = 0;
  for (;;) {
    // Asking what has arrived first makes a read return with what is there: a read of a whole
    // chunk may otherwise wait for all of it, whatever the pace of the bytes.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.get(), &available)) {
      broken = true;
      break;
    }
    if (available == 0) break;
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), buffer.data(), std::min(available, kResponseChunkBytes), &read)) {
      broken = true;
      break;
    }
    if (read == 0) break;
    received += read;
    if (const ULONGLONG now = GetTickCount64(); now - windowStart >= kCrawlWindowMs) {
      if (received - windowStartBytes < kCrawlWindowMinBytes) {
        broken = true;
        break;
      }
      windowStart = now;
      windowStartBytes = received;
    }
    // Chunked or ended only by closing, a body has no announced end: stop at the limit.
    if (received > maxBodyBytes) {
      broken = true;
      break;
    }
    if (!writer.Write(buffer.data(), read)) return refused;
  }
  // A connection that drops mid-body usually ends like a whole body (0 bytes, no error):
  // only the announced length tells the two apart.
  if (broken || (announced && received != *announced)) {
    writer.Discard();
    return {};
  }
  return {writer.Finish(), static_cast<std::int32_t>(status)};
}

}  // namespace

HttpResult DownloadToMemory(HttpClient& client, const std::wstring& path, const MemorySink& sink) {
  MemoryWriter writer(sink);
  return Download(client, path, sink.maxBodyBytes, writer);
}

HttpResult DownloadToFile(HttpClient& client, const std::wstring& path, const FileSink& sink) {
  FileWriter writer(sink);
  return Download(client, path, sink.maxBodyBytes, writer);
}
