#include "update/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <optional>
#include <vector>

#include "console/console.h"
#include "launcher/handles.h"
#include "update/manifest_text.h"
#include "update/update_host.h"

std::int32_t LastHttpStatus = 0;

namespace {

constexpr wchar_t kUserAgent[] = L"Korvantis-Baslatici/1.0";
constexpr INTERNET_PORT kHttpsPort = 443;
constexpr int kResolveTimeoutMs = 8000;
constexpr int kConnectTimeoutMs = 8000;
constexpr int kSendTimeoutMs = 15000;
constexpr int kReceiveTimeoutMs = 30000;
constexpr DWORD kReadChunkBytes = 65536;
constexpr DWORD kStatusOk = 200;

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

}  // namespace

bool DownloadToFile(const std::wstring& path, std::string* body, const std::wstring* file,
                    std::uint64_t maxBodyBytes) {
  const InternetHandle session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return false;
  const InternetHandle connection(WinHttpConnect(session.get(), kUpdateHost, kHttpsPort, 0));
  if (!connection) return false;
  // Certificate checks and the redirect policy (never from HTTPS down to HTTP) stay the
  // platform's defaults: nothing here loosens them.
  const InternetHandle request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                  WINHTTP_FLAG_SECURE));
  if (!request) return false;
  WinHttpSetTimeouts(request.get(), kResolveTimeoutMs, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs);
  // Waiting for the response head has a time-out of its own, unlimited by default on some
  // platforms: a server that accepts and never answers must not hang the launcher.
  DWORD responseTimeoutMs = kReceiveTimeoutMs;
  WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeoutMs,
                   sizeof(responseTimeoutMs));

  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    LastHttpStatus = 0;
    return false;
  }
  DWORD status = 0;
  DWORD statusBytes = sizeof(status);
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes, WINHTTP_NO_HEADER_INDEX)) {
    LastHttpStatus = 0;
    return false;
  }
  LastHttpStatus = static_cast<std::int32_t>(status);
  if (status != kStatusOk) return false;

  // A body longer than the caller can use would only fill memory or the disk.
  const std::optional<std::uint64_t> announced = QueryContentLength(request.get());
  if (announced && *announced > maxBodyBytes) {
    LastHttpStatus = 0;
    return false;
  }

  // Opened only now, so a refused request never truncates an old file. Declared after the
  // request so that it is closed first.
  FileHandle output;
  if (file) {
    output = OwnFile(CreateFileW(file->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    if (!output) return false;
  }

  const std::size_t bodyStart = body ? body->size() : 0;
  std::vector<char> buffer(kReadChunkBytes);
  std::uint64_t received = 0;
  bool broken = false;
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), buffer.data(), kReadChunkBytes, &read)) {
      broken = true;
      break;
    }
    if (read == 0) break;
    received += read;
    // Chunked or ended only by closing, a body has no announced end: stop at the limit.
    if (received > maxBodyBytes) {
      broken = true;
      break;
    }
    if (output) {
      DWORD written = 0;
      if (!WriteFile(output.get(), buffer.data(), read, &written, nullptr) || written != read) return false;
      DrawProgress(static_cast<std::int64_t>(read), false);
    } else if (body) {
      body->append(buffer.data(), read);
    }
  }
  // A connection that drops mid-body usually ends like a whole body (0 bytes, no error):
  // only the announced length tells the two apart.
  if (broken || (announced && received != *announced)) {
    if (body) body->resize(bodyStart);
    LastHttpStatus = 0;
    return false;
  }
  // On disk before the caller gives the file its real name: a power cut must not leave a
  // renamed file whose bytes never reached the disk.
  return !output || FlushFileBuffers(output.get()) != 0;
}
