"""A scriptable HTTPS server on 127.0.0.1:443 for the update engine's scenarios.

It runs in the pytest process (one per scenario), inside the private network namespace that
run.sh sets up. Files are put at paths; any path prefix can be scripted with a reply (status,
cut body, dropped connection, hang, redirect, trickle). Every request is logged.

    server.publish({"xash3d.exe": data})           # manifest + dosyalar/...
    server.on("/korvantis/guncelleme/dosyalar/", status(404))
    server.requests  # [{"method", "path", "headers", "user_agent"}, ...]
"""

from __future__ import annotations

import hashlib
import http.server
import socket
import socketserver
import ssl
import threading
import time
from typing import Callable
from urllib.parse import quote

from .korvantis import FILES_ROOT, MANIFEST_PATH


# ----- scripted replies ------------------------------------------------------------------
class Reply:
    """A scripted answer; act() writes it to the connection."""

    def act(self, handler: "_Handler") -> None:
        raise NotImplementedError


class _Status(Reply):
    def __init__(self, code: int, body: bytes, headers: dict):
        self.code, self.body, self.headers = code, body, headers

    def act(self, handler):
        handler.send_response(self.code)
        for k, v in self.headers.items():
            handler.send_header(k, v)
        handler.send_header("Content-Length", str(len(self.body)))
        handler.end_headers()
        if handler.command != "HEAD":
            handler.wfile.write(self.body)


class _Cut(Reply):
    def __init__(self, body: bytes, sent: int, chunked: bool):
        self.body, self.sent, self.chunked = body, sent, chunked

    def act(self, handler):
        handler.send_response(200)
        if self.chunked:
            handler.send_header("Transfer-Encoding", "chunked")
            handler.end_headers()
            # One chunk announcing the whole body, cut inside it.
            handler.wfile.write(b"%x\r\n" % len(self.body) + self.body[:self.sent])
        else:
            handler.send_header("Content-Length", str(len(self.body)))
            handler.end_headers()
            handler.wfile.write(self.body[:self.sent])
        handler.wfile.flush()
        handler.close_connection = True
        _hard_close(handler)


class _Drop(Reply):
    def act(self, handler):
        handler.close_connection = True
        _hard_close(handler)


class _Hang(Reply):
    def __init__(self, seconds: float | None, after_headers: bool):
        self.seconds, self.after_headers = seconds, after_headers

    def act(self, handler):
        if self.after_headers:
            handler.send_response(200)
            handler.send_header("Content-Length", "1000000")
            handler.end_headers()
            handler.wfile.flush()
        deadline = None if self.seconds is None else time.monotonic() + self.seconds
        stop = handler.server.stopping
        while not stop.is_set() and (deadline is None or time.monotonic() < deadline):
            stop.wait(0.05)
        handler.close_connection = True
        _hard_close(handler)


class _Trickle(Reply):
    def __init__(self, body: bytes, chunk: int, delay: float):
        self.body, self.chunk, self.delay = body, chunk, delay

    def act(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Length", str(len(self.body)))
        handler.end_headers()
        for at in range(0, len(self.body), self.chunk):
            if handler.server.stopping.is_set():
                break
            handler.wfile.write(self.body[at:at + self.chunk])
            handler.wfile.flush()
            time.sleep(self.delay)


class _Dropping(Reply):
    """A line that drops: every answer breaks off after `every` bytes of body."""

    def __init__(self, body: bytes, every: int, ranges: bool, drops: int | None):
        self.body, self.every, self.ranges, self.drops = body, every, ranges, drops
        self.etag = '"%s"' % hashlib.sha256(body).hexdigest()[:16]
        self.sent = 0  # body bytes written, over all answers

    def act(self, handler):
        start = 0
        asked = handler.headers.get("Range", "")
        if_range = handler.headers.get("If-Range")
        if self.ranges and asked.startswith("bytes=") and asked.endswith("-") and if_range in (None, self.etag):
            start = int(asked[len("bytes="):-1])
        if start:
            handler.send_response(206)
            handler.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(self.body) - 1, len(self.body)))
        else:
            handler.send_response(200)
        handler.send_header("ETag", self.etag)
        handler.send_header("Content-Length", str(len(self.body) - start))
        handler.end_headers()
        every = self.every if self.drops is None or self.drops > 0 else len(self.body)
        piece = self.body[start:start + every]
        handler.wfile.write(piece)
        self.sent += len(piece)
        if start + len(piece) < len(self.body):
            if self.drops is not None:
                self.drops -= 1
            handler.close_connection = True
            _hard_close(handler)


def dropping(body: bytes, every: int, ranges: bool = True, drops: int | None = None) -> Reply:
    """Status 200 (or 206 for "Range: bytes=N-" when ranges, unless If-Range names another
    entity tag) for body, every answer cut after `every` bytes (the first `drops` answers only,
    when given); .sent counts what went out."""
    return _Dropping(body, every, ranges, drops)


def status(code: int, body: bytes = b"", headers: dict | None = None) -> Reply:
    """A complete answer with this status and body."""
    return _Status(code, body, headers or {})


def cut(body: bytes, sent: int, chunked: bool = False) -> Reply:
    """Status 200 announcing the whole body (Content-Length, or one chunk when chunked), of
    which only the first `sent` bytes are sent before the connection is closed."""
    return _Cut(body, sent, chunked)


def drop() -> Reply:
    """Closes the connection without any answer."""
    return _Drop()


def hang(seconds: float | None = None, after_headers: bool = False) -> Reply:
    """Sends nothing (or only the headers) for `seconds` (None: until the scenario ends)."""
    return _Hang(seconds, after_headers)


def redirect(location: str, code: int = 302) -> Reply:
    """A redirect to location (a full URL, e.g. http://... to test a downgrade)."""
    return _Status(code, b"", {"Location": location})


def trickle(body: bytes, chunk: int = 4096, delay: float = 0.05) -> Reply:
    """Status 200 and the whole body, sent `chunk` bytes at a time with a pause between."""
    return _Trickle(body, chunk, delay)


def _hard_close(handler) -> None:
    try:
        handler.wfile.flush()
    except OSError:
        pass
    try:
        handler.connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


# ----- the server ------------------------------------------------------------------------
class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "KorvantisTest/1.0"

    def log_message(self, format, *args):  # noqa: A002 - silence the default stderr log
        pass

    def _serve(self):
        srv: _TlsServer = self.server
        owner: HttpsServer = srv.owner
        # Through a proxy's tunnel Wine asks for the absolute form, "https://host:443/path".
        if self.path.startswith(("https://", "http://")):
            self.path = "/" + self.path.split("://", 1)[1].partition("/")[2]
        owner._log(self)
        reply = owner._reply_for(self.path, self)
        reply.act(self)

    do_GET = _serve
    do_HEAD = _serve
    do_POST = _serve


class _TlsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, owner, address, context):
        self.owner = owner
        self.context = context
        self.stopping = threading.Event()
        super().__init__(address, _Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a stalled client cannot
        # hold up the others.
        request.settimeout(60)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as error:
            self.owner.handshake_failures.append(str(error))
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass
        finally:
            try:
                tls.close()
            except OSError:
                pass


class HttpsServer:
    """One scenario's update server. Certificates: `cert_file`/`key_file` (a chain the test
    namespace trusts, or not, for the update host or another)."""

    def __init__(self, cert_file, key_file, host: str, port: int = 443,
                 address: str = "127.0.0.1"):
        self.host = host
        self.port = port
        self.files: dict[str, bytes] = {}
        self.scripts: list[tuple[str, Reply | Callable]] = []
        self.requests: list[dict] = []
        self.handshake_failures: list[str] = []
        self._lock = threading.Lock()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(str(cert_file), str(key_file))
        self._server = _TlsServer(self, (address, port), context)
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05}, daemon=True)
        self._thread.start()

    # ----- content -----------------------------------------------------------------------
    def put(self, path: str, data: bytes) -> None:
        """Serves data at path (query strings in requests are ignored for files)."""
        assert path.startswith("/"), path
        with self._lock:
            self.files[path.split("?", 1)[0]] = bytes(data)

    def remove(self, path: str) -> None:
        with self._lock:
            self.files.pop(path, None)

    @staticmethod
    def manifest_line(name: str, data: bytes) -> str:
        return f"{hashlib.sha256(data).hexdigest()} {len(data)} {name}"

    def publish(self, files: dict[str, bytes], extra_lines=()) -> bytes:
        """Writes the manifest (one "<sha256> <size> <name>" line per file, then extra_lines)
        and the files below dosyalar/, names percent-encoded as the launcher requests them.
        Returns the manifest body."""
        lines = [self.manifest_line(name, data) for name, data in files.items()]
        lines += list(extra_lines)
        body = "".join(line + "\n" for line in lines).encode("utf-8")
        self.put(MANIFEST_PATH, body)
        for name, data in files.items():
            self.put(self.file_path(name), data)
        return body

    @staticmethod
    def file_path(name: str) -> str:
        """Server path of a manifest name, without the ?v= query."""
        return FILES_ROOT + quote(name.encode("utf-8"), safe="-._/")

    def on(self, path_prefix: str, reply: Reply | Callable) -> None:
        """Scripts the answer for every request whose path starts with path_prefix (the query
        is ignored unless the prefix itself holds a "?"). reply is a Reply, or a callable given
        the request dict and returning a Reply, bytes (served with 200) or None (normal
        handling). The latest matching script wins."""
        with self._lock:
            self.scripts.append((path_prefix, reply))

    def clear_scripts(self) -> None:
        with self._lock:
            self.scripts.clear()

    # ----- inspection --------------------------------------------------------------------
    def paths(self) -> list[str]:
        """Paths (with query) of all requests so far, in order."""
        return [r["path"] for r in self.requests]

    def requests_to(self, path_prefix: str) -> list[dict]:
        return [r for r in self.requests if r["path"].startswith(path_prefix)]

    # ----- internals ---------------------------------------------------------------------
    def _log(self, handler) -> None:
        entry = {
            "method": handler.command,
            "path": handler.path,
            "headers": dict(handler.headers.items()),
            "user_agent": handler.headers.get("User-Agent"),
            "time": time.monotonic(),
        }
        with self._lock:
            self.requests.append(entry)
        handler._entry = entry

    def _reply_for(self, path: str, handler) -> Reply:
        bare = path.split("?", 1)[0]
        with self._lock:
            scripts = list(self.scripts)
            data = self.files.get(bare)
        for prefix, reply in reversed(scripts):
            subject = path if "?" in prefix else bare
            if not subject.startswith(prefix):
                continue
            if isinstance(reply, Reply):
                return reply
            outcome = reply(handler._entry)
            if outcome is None:
                break
            return outcome if isinstance(outcome, Reply) else status(200, bytes(outcome))
        if data is None:
            return status(404, b"not found")
        return status(200, data)

    def close(self) -> None:
        self._server.stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)
