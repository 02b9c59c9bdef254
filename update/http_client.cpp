#include "update/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "update/build_identity.h"
#include "update/http_text.h"
#include "update/sha256.h"

namespace {

constexpr wchar_t kUserAgent[] = L"Korvantis-Baslatici/1.0";
constexpr INTERNET_PORT kHttpsPort = 443;
constexpr DWORD kResolveTimeoutMs = 8000;
constexpr DWORD kConnectTimeoutMs = 8000;
constexpr DWORD kSendTimeoutMs = 15000;
constexpr DWORD kReceiveTimeoutMs = 30000;
constexpr DWORD kResponseChunkBytes = 65536;
constexpr DWORD kStatusOk = 200;
constexpr DWORD kStatusPartial = 206;
constexpr DWORD kStatusProxyLogin = 407;
// A body that brings less than this in any window of this length is given up: each read is
// bounded by the receive time-out, but a byte every 25 s would never end. A healthy slow line
// (tens of KiB/s) brings many times more.
constexpr ULONGLONG kCrawlWindowMs = 30000;
constexpr std::uint64_t kCrawlWindowMinBytes = 16 << 10;
// From this size on a body's digest is taken on a thread of its own, beside the receiving one.
constexpr std::uint64_t kDigestBehindBytes = 1 << 20;

bool PastDeadline(RequestDeadline deadline) { return deadline != kNoDeadline && GetTickCount64() >= deadline; }

// A wait of at most `longest` that also ends by the deadline. Each blocking call gets its own,
// so the deadline holds however long the server keeps quiet. (A close of the request from
// another thread would not do: Wine lets the blocked call run on for its full time-out, and
// hands the closed handle's value to the next request at once.)
DWORD WaitWithin(DWORD longest, RequestDeadline deadline) {
  if (deadline == kNoDeadline) return longest;
  const ULONGLONG now = GetTickCount64();
  if (now >= deadline) return 1;  // 0 would mean no limit at all
  return static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, longest));
}

void SetWaits(HINTERNET request, RequestDeadline deadline) {
  const auto wait = [deadline](DWORD longest) { return static_cast<int>(WaitWithin(longest, deadline)); };
  WinHttpSetTimeouts(request, wait(kResolveTimeoutMs), wait(kConnectTimeoutMs), wait(kSendTimeoutMs),
                     wait(kReceiveTimeoutMs));
  // Waiting for the response head has a time-out of its own, unlimited by default on some
  // platforms: a server that accepts and never answers must not hang the launcher.
  DWORD responseTimeoutMs = WaitWithin(kReceiveTimeoutMs, deadline);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeoutMs, sizeof(responseTimeoutMs));
}

// A response header as ASCII text; none when missing, too long, or holding anything else.
std::optional<std::string> QueryHeaderText(HINTERNET request, DWORD query) {
  wchar_t text[512] = {};
  DWORD bytes = sizeof(text) - sizeof(wchar_t);
  if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes, WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  std::string ascii;
  for (std::size_t i = 0; i < bytes / sizeof(wchar_t); ++i) {
    if (text[i] >= 0x80) return std::nullopt;
    ascii.push_back(static_cast<char>(text[i]));
  }
  return ascii;
}

// A string WinHTTP allocated for the caller, taken over and freed.
std::wstring TakeGlobalString(wchar_t* text) {
  if (text == nullptr) return std::wstring();
  std::wstring taken = text;
  GlobalFree(text);
  return taken;
}

// A proxy and its bypass list; an empty proxy for none.
struct ProxyRoute {
  std::wstring proxy;
  std::wstring bypass;
};

// Where a script (PAC, or one found by WPAD) sends the host's requests; none when it could not
// say.
std::optional<ProxyRoute> AskProxyScript(const std::wstring& host, const std::wstring& script, bool autoDetect) {
  const InternetHandle session(
      WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return std::nullopt;
  WINHTTP_AUTOPROXY_OPTIONS options{};
  options.dwFlags =
      (script.empty() ? 0 : WINHTTP_AUTOPROXY_CONFIG_URL) | (autoDetect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0);
  options.dwAutoDetectFlags = autoDetect ? WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A : 0;
  options.lpszAutoConfigUrl = script.empty() ? nullptr : script.c_str();
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO answer{};
  const std::wstring url = L"https://" + host + L"/";
  if (!WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &answer)) return std::nullopt;
  ProxyRoute route{TakeGlobalString(answer.lpszProxy), TakeGlobalString(answer.lpszProxyBypass)};
  if (answer.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) route.proxy.clear();
  return route;
}

HINTERNET OpenSession(DWORD accessType, const ProxyRoute& route = {}) {
  return WinHttpOpen(kUserAgent, accessType, route.proxy.empty() ? WINHTTP_NO_PROXY_NAME : route.proxy.c_str(),
                     route.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : route.bypass.c_str(), 0);
}

// The sessions, the way the player's settings say. Where they name a proxy or a script they are
// followed here, and the session is opened with the proxy they lead to (Wine takes a proxy only
// there, not set on a request): WinHTTP's automatic type reads them itself only from Windows 8.1
// on, and Wine's ignores them. Where they name nothing, the automatic type (WPAD included), or
// before Windows 8.1 the machine-wide setting.
bool OpenSessions(HttpClient& client) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
  const bool read = WinHttpGetIEProxyConfigForCurrentUser(&settings) != 0;
  const std::wstring fixed = TakeGlobalString(settings.lpszProxy);
  const std::wstring bypass = TakeGlobalString(settings.lpszProxyBypass);
  const std::wstring script = TakeGlobalString(settings.lpszAutoConfigUrl);
  const bool autoDetect = read && settings.fAutoDetect;
  if (fixed.empty() && script.empty()) {
    client.session.reset(OpenSession(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY));
    if (client.session) return true;
    if (!autoDetect) {
      client.session.reset(OpenSession(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY));
      return static_cast<bool>(client.session);
    }
  }
  std::optional<ProxyRoute> route;
  if (!script.empty() || autoDetect) route = AskProxyScript(client.host, script, autoDetect);
  if (!route) route = ProxyRoute{fixed, bypass};
  if (route->proxy.empty()) {
    client.session.reset(OpenSession(WINHTTP_ACCESS_TYPE_NO_PROXY));
    return static_cast<bool>(client.session);
  }
  client.session.reset(OpenSession(WINHTTP_ACCESS_TYPE_NAMED_PROXY, *route));
  client.directSession.reset(OpenSession(WINHTTP_ACCESS_TYPE_NO_PROXY));
  return client.session && client.directSession;
}

// Windows 7 offers TLS 1.0 unless asked, and the server takes 1.2 and 1.3 only. A system that
// knows neither flag keeps its own choice, and the server will tell.
void AskForModernTls(HINTERNET session) {
  constexpr DWORD kTls12 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  constexpr DWORD kTls13 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  for (DWORD protocols : {kTls12 | kTls13, kTls12}) {
    if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) return;
  }
}

// Sessions and connection handles are made by the first request of the run.
bool Connect(HttpClient& client) {
  if (!client.session) {
    if (!OpenSessions(client)) return false;
    AskForModernTls(client.session.get());
    if (client.directSession) AskForModernTls(client.directSession.get());
  }
  if (!client.connection) {
    client.connection.reset(WinHttpConnect(client.session.get(), client.host.c_str(), kHttpsPort, 0));
  }
  if (client.directSession && !client.directConnection) {
    client.directConnection.reset(WinHttpConnect(client.directSession.get(), client.host.c_str(), kHttpsPort, 0));
  }
  return client.connection && (!client.directSession || client.directConnection);
}

// The login schemes a proxy asked for when it refused the request; 0 when it was no proxy's
// refusal.
DWORD ProxyLoginSchemes(HINTERNET request) {
  DWORD supported = 0;
  DWORD first = 0;
  DWORD target = 0;
  if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY) return 0;
  return supported;
}

// A proxy that asks who is there gets the logged-on user, through Windows, and nothing typed
// in: only the schemes that can do that are answered. The update server is never answered.
bool AnswerProxyLogin(HINTERNET request, DWORD schemes) {
  for (const DWORD scheme : {DWORD{WINHTTP_AUTH_SCHEME_NEGOTIATE}, DWORD{WINHTTP_AUTH_SCHEME_NTLM}}) {
    if ((schemes & scheme) == 0) continue;
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy));
    return WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) != 0;
  }
  return false;
}

// A response's head; request is empty when no status was obtained.
struct Head {
  InternetHandle request;
  DWORD status = 0;
  std::optional<std::uint64_t> length;  // Content-Length
};

// One GET, extraHeaders empty or CRLF-ended lines, up to the response head; direct: without the
// proxy the settings name.
Head SendOnce(HttpClient& client, const std::wstring& path, const std::wstring& extraHeaders, RequestDeadline deadline,
              bool direct) {
  Head head;
  // Certificate checks and the redirect policy (never from HTTPS down to HTTP) stay the
  // platform's defaults: nothing here loosens them.
  HINTERNET connection = direct ? client.directConnection.get() : client.connection.get();
  InternetHandle request(WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!request) return head;
  SetWaits(request.get(), deadline);
  const wchar_t* headers = extraHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : extraHeaders.c_str();
  const DWORD headersLength = extraHeaders.empty() ? 0 : static_cast<DWORD>(-1);  // -1: up to the NUL
  for (bool loginAnswered = false;;) {
    if (WinHttpSendRequest(request.get(), headers, headersLength, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request.get(), nullptr)) {
      DWORD statusBytes = sizeof(head.status);
      if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &head.status, &statusBytes, WINHTTP_NO_HEADER_INDEX)) {
        head.status = 0;
        return head;
      }
    } else if (ProxyLoginSchemes(request.get()) != 0) {
      // Windows hands over the 407 of a tunnel the proxy refused; Wine fails the request, and
      // still tells what login the proxy asked for.
      head.status = kStatusProxyLogin;
    } else {
      return head;
    }
    if (head.status != kStatusProxyLogin || loginAnswered ||
        !AnswerProxyLogin(request.get(), ProxyLoginSchemes(request.get()))) {
      break;
    }
    loginAnswered = true;
  }
  if (const std::optional<std::string> length = QueryHeaderText(request.get(), WINHTTP_QUERY_CONTENT_LENGTH)) {
    head.length = ParseContentLength(*length);
  }
  head.request = std::move(request);
  return head;
}

Head SendRequest(HttpClient& client, const std::wstring& path, const std::wstring& extraHeaders,
                 RequestDeadline deadline) {
  if (!Connect(client)) return Head();
  const bool viaProxy = client.directSession && !client.proxyUnreachable;
  Head head = SendOnce(client, path, extraHeaders, deadline, client.directSession && !viaProxy);
  if (head.request || !viaProxy || PastDeadline(deadline)) return head;
  // The proxy the settings name may be out of reach (a laptop away from the school's network):
  // one try without it before the server counts as unreachable.
  head = SendOnce(client, path, extraHeaders, deadline, true);
  if (head.request) client.proxyUnreachable = true;
  return head;
}

// How a body ended. Cut: it broke off (a read error, or the connection closed before the
// announced length), which a new request may continue. Failed: nothing to continue: too long,
// crawling, past the deadline, or not stored.
enum class BodyEnd { Whole, Cut, Failed };
struct BodyRead {
  BodyEnd end = BodyEnd::Whole;
  std::uint64_t bytes = 0;  // taken in and stored
};

template <typename Writer>
BodyRead ReadBody(HINTERNET request, std::optional<std::uint64_t> announced, std::uint64_t room, Writer& writer,
                  RequestDeadline deadline) {
  std::vector<char> buffer(kResponseChunkBytes);
  BodyRead body;
  const auto broken = [&body, deadline] {
    body.end = PastDeadline(deadline) ? BodyEnd::Failed : BodyEnd::Cut;
    return body;
  };
  ULONGLONG windowStart = GetTickCount64();
  std::uint64_t windowStartBytes = 0;
  for (;;) {
    if (deadline != kNoDeadline) {
      if (PastDeadline(deadline)) return {BodyEnd::Failed, body.bytes};
      DWORD receiveMs = WaitWithin(kReceiveTimeoutMs, deadline);
      WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof(receiveMs));
    }
    // Asking what has arrived first makes a read return with what is there: a read of a whole
    // chunk may otherwise wait for all of it, whatever the pace of the bytes.
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return broken();
    if (available == 0) break;
    // Judged only while more is to come: a body whose last bytes are in is never given up.
    const std::uint64_t arrived = body.bytes + available;
    if (const ULONGLONG now = GetTickCount64(); now - windowStart >= kCrawlWindowMs) {
      if (!(announced && arrived >= *announced) && arrived - windowStartBytes < kCrawlWindowMinBytes) {
        return {BodyEnd::Failed, body.bytes};
      }
      windowStart = now;
      windowStartBytes = body.bytes;
    }
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer.data(), std::min(available, kResponseChunkBytes), &read)) return broken();
    if (read == 0) break;
    // Chunked or ended only by closing, a body has no announced end: stop at the limit.
    if (read > room - body.bytes) return {BodyEnd::Failed, body.bytes};
    if (!writer.Write(buffer.data(), read)) return {BodyEnd::Failed, body.bytes};
    body.bytes += read;
  }
  // A connection that drops mid-body usually ends like a whole body (0 bytes, no error):
  // only the announced length tells the two apart.
  if (announced && body.bytes != *announced) return broken();
  return body;
}

// Memory: appended as it comes, cut back to what it was when the body turns out broken.
class MemoryWriter {
 public:
  explicit MemoryWriter(const MemorySink& sink) : body_(sink.body), start_(sink.body.size()) {}
  bool Write(const char* data, DWORD bytes) {
    body_.append(data, bytes);
    return true;
  }
  void Discard() { body_.resize(start_); }

 private:
  std::string& body_;
  std::size_t start_;
};

class FileWriter {
 public:
  explicit FileWriter(const FileSink& sink) : sink_(sink) {}
  // Creates the file, or empties it for an answer that sends the whole body again; either way
  // the digest starts anew, on a thread of its own for a large body.
  bool StartOver(std::optional<std::uint64_t> length) {
    if (!output_) {
      output_ = OwnFile(
          CreateFileW(sink_.file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!output_) return false;
    } else {
      const LARGE_INTEGER start{};
      if (!SetFilePointerEx(output_.get(), start, nullptr, FILE_BEGIN) || !SetEndOfFile(output_.get())) return false;
    }
    if (written_ > 0 && sink_.written) sink_.written(-written_);
    written_ = 0;
    // Without the system's hashing the file still downloads, and then fails its check.
    (void)digest_.Start(length && *length >= kDigestBehindBytes);
    return true;
  }
  bool Write(const char* data, DWORD bytes) {
    DWORD done = 0;
    if (!WriteFile(output_.get(), data, bytes, &done, nullptr) || done != bytes) return false;
    digest_.Add(data, bytes);
    written_ += bytes;
    if (sink_.written) sink_.written(bytes);
    return true;
  }
  FileDownload Result(const HttpResult& http) {
    FileDownload download;
    download.http = http;
    download.bytes = static_cast<std::uint64_t>(written_);
    download.digest = digest_.Finish();
    download.file = std::move(output_);
    return download;
  }

 private:
  const FileSink& sink_;
  FileHandle output_;
  std::int64_t written_ = 0;
  Sha256Behind digest_;
};

std::wstring RangeHeaders(std::uint64_t from, const std::string& entityTag) {
  std::wstring headers = L"Range: bytes=" + std::to_wstring(from) + L"-\r\n";
  // Without a tag to pin the version, what follows may belong to a newer file; the digest check
  // before the move then refuses the mix.
  if (!entityTag.empty()) headers += L"If-Range: " + std::wstring(entityTag.begin(), entityTag.end()) + L"\r\n";
  return headers;
}

}  // namespace

HttpResult DownloadToMemory(HttpClient& client, const std::wstring& path, const MemorySink& sink,
                            RequestDeadline deadline) {
  const Head head = SendRequest(client, path, std::wstring(), deadline);
  if (!head.request) return {};
  if (head.status != kStatusOk) return {false, static_cast<std::int32_t>(head.status)};
  // A body longer than the caller can use would only fill memory.
  if (head.length && *head.length > sink.maxBodyBytes) return {};
  MemoryWriter writer(sink);
  if (ReadBody(head.request.get(), head.length, sink.maxBodyBytes, writer, deadline).end != BodyEnd::Whole) {
    writer.Discard();
    return {};
  }
  return {true, static_cast<std::int32_t>(head.status)};
}

FileDownload DownloadToFile(HttpClient& client, const std::wstring& path, const FileSink& sink,
                            RequestDeadline deadline) {
  FileWriter writer(sink);
  std::uint64_t held = 0;              // bytes in the file, all of one version of it
  std::optional<std::uint64_t> total;  // that version's length, from the answer that began the file
  std::string entityTag;               // and its tag, when it gave a usable one
  for (;;) {
    const Head head = SendRequest(client, path, held == 0 ? std::wstring() : RangeHeaders(held, entityTag), deadline);
    if (!head.request) return writer.Result({});
    const HttpResult refused{false, static_cast<std::int32_t>(head.status)};
    const std::uint64_t before = held;
    if (head.status == kStatusOk) {
      // A body longer than the caller can use would only fill the disk.
      if (head.length && *head.length > sink.maxBodyBytes) return writer.Result({});
      // Opened (or emptied) only now, so a refused request never truncates an old file.
      if (!writer.StartOver(head.length)) return writer.Result(refused);
      held = 0;
      total = head.length;
      const std::optional<std::string> tag = QueryHeaderText(head.request.get(), WINHTTP_QUERY_ETAG);
      entityTag = tag && IsUsableEntityTag(*tag) ? *tag : std::string();
    } else if (head.status == kStatusPartial && held > 0) {
      // Only the rest of the same file, from the very byte asked for, is appended.
      const std::optional<std::string> text = QueryHeaderText(head.request.get(), WINHTTP_QUERY_CONTENT_RANGE);
      const std::optional<ContentRange> range = text ? ParseContentRange(*text) : std::nullopt;
      if (!range || range->first != held || range->total != *total || !head.length ||
          *head.length != range->last - range->first + 1) {
        return writer.Result(refused);
      }
    } else {
      return writer.Result(refused);
    }
    const BodyRead body = ReadBody(head.request.get(), head.length, sink.maxBodyBytes - held, writer, deadline);
    held += body.bytes;
    if (body.end == BodyEnd::Failed) return writer.Result({});
    if (body.end == BodyEnd::Whole && (!total || held == *total)) return writer.Result({true, refused.status});
    // Broken off, or a range that stopped short: asked again only while the file grows, so a
    // server that ignores ranges and breaks at the same byte costs one more request, not a loop.
    if (!total || held <= before || PastDeadline(deadline)) return writer.Result({});
  }
}

bool FinishFileDownload(FileDownload& download) {
  const bool flushed = download.file && FlushFileBuffers(download.file.get()) != 0;
  download.file.reset();
  return download.http.ok && flushed;
}

bool OpenHttpClient(HttpClient& client) { return Connect(client); }
