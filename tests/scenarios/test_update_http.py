"""The launcher's HTTPS client against a local server, driven through http_probe.exe (which runs
DownloadToFile / HashFileSha256 of the launcher's own code and reports LastHttpStatus and the
progress counter)."""

from __future__ import annotations

import os
import re
import shutil

import pytest

from korvantis_harness import https_server as reply
from korvantis_harness.korvantis import USER_AGENT

PROBE_PATH = "/korvantis/guncelleme/dosyalar/probe.bin?v=0123456789ab"
RESULT = re.compile(r"RESULT ok=(\d) status=(-?\d+) done=(-?\d+) bytes=(\d+)\s*$")
MAX_MANIFEST = 64 << 20


def probe_exe(prefix, helper_exe):
    """The probe copied into the prefix (programs must lie on one of its drives)."""
    target = prefix.drive_c / "probe" / "http_probe.exe"
    if not target.exists():
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(helper_exe("http_probe"), target)
    return target


def probe(prefix, helper_exe, *args, timeout=90, env=None):
    result = prefix.run(probe_exe(prefix, helper_exe), list(args), timeout=timeout, env=env)
    assert result.code == 0, result
    before, _, last = result.out.rpartition("\nRESULT ")
    match = RESULT.search("RESULT " + last)
    assert match, result.out
    ok, status, done, size = (int(g) for g in match.groups())
    return {"ok": bool(ok), "status": status, "done": done, "bytes": size, "drawn": before}


def local(prefix, name):
    path = prefix.drive_c / "probe" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    return path


class _HeadersOnly(reply.Reply):
    """200 announcing a body length, then nothing."""

    def __init__(self, length):
        self.length = length

    def act(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Length", str(self.length))
        handler.end_headers()
        reply._hard_close(handler)


class _Endless(reply.Reply):
    """200 with a body that never ends (until the client goes away): chunked, or with no
    length at all, ended only by closing."""

    def __init__(self, chunked=True):
        self.chunked = chunked

    def act(self, handler):
        handler.send_response(200)
        if self.chunked:
            handler.send_header("Transfer-Encoding", "chunked")
        handler.end_headers()
        data = b"a" * 65536
        chunk = b"%x\r\n" % len(data) + data + b"\r\n" if self.chunked else data
        try:
            for _ in range(4 * MAX_MANIFEST // 65536):
                handler.wfile.write(chunk)
        except OSError:
            pass
        reply._hard_close(handler)


def test_memory_200_takes_whole_body_and_draws_nothing(prefix, helper_exe, server):
    body = os.urandom(150_000) + b"\0tail"
    server.put("/korvantis/guncelleme/manifest.txt", body)
    got = probe(prefix, helper_exe, "mem", "/korvantis/guncelleme/manifest.txt?t=123")
    assert got == {"ok": True, "status": 200, "done": 0, "bytes": len(body), "drawn": ""}
    (request,) = server.requests
    assert request["method"] == "GET"
    assert request["path"] == "/korvantis/guncelleme/manifest.txt?t=123"
    assert request["user_agent"] == USER_AGENT


def test_file_200_counts_every_byte(prefix, helper_exe, server):
    body = os.urandom(200_000)
    server.put(PROBE_PATH, body)
    target = local(prefix, "probe.bin")
    target.write_bytes(b"old content that is longer than nothing")
    got = probe(prefix, helper_exe, "file", PROBE_PATH, prefix.win(target))
    assert got["ok"] and got["status"] == 200
    assert got["done"] == 200_000
    assert target.read_bytes() == body
    assert "\r  [" in got["drawn"]
    assert server.paths() == [PROBE_PATH]


@pytest.mark.parametrize("code", [404, 403, 500])
def test_refused_status_creates_and_truncates_nothing(prefix, helper_exe, server, code):
    server.on("/korvantis/", reply.status(code, b"refused body"))
    existing = local(prefix, "existing.bin")
    existing.write_bytes(b"keep me")
    fresh = local(prefix, "fresh.bin")
    for target in (existing, fresh):
        got = probe(prefix, helper_exe, "file", PROBE_PATH, prefix.win(target))
        assert (got["ok"], got["status"], got["done"]) == (False, code, 0)
    assert existing.read_bytes() == b"keep me"
    assert not fresh.exists()
    got = probe(prefix, helper_exe, "mem", "/korvantis/guncelleme/manifest.txt?t=1")
    assert (got["ok"], got["status"], got["bytes"]) == (False, code, 0)


def test_empty_200(prefix, helper_exe, server):
    server.put(PROBE_PATH, b"")
    target = local(prefix, "empty.bin")
    got = probe(prefix, helper_exe, "file", PROBE_PATH, prefix.win(target))
    assert (got["ok"], got["status"], got["done"]) == (True, 200, 0)
    assert target.read_bytes() == b""
    got = probe(prefix, helper_exe, "mem", PROBE_PATH)
    assert (got["ok"], got["status"], got["bytes"]) == (True, 200, 0)


def test_no_server_gives_status_zero(prefix, helper_exe):
    got = probe(prefix, helper_exe, "mem", "/korvantis/guncelleme/manifest.txt?t=1")
    assert (got["ok"], got["status"]) == (False, 0)
    target = local(prefix, "none.bin")
    got = probe(prefix, helper_exe, "file", PROBE_PATH, prefix.win(target))
    assert (got["ok"], got["status"]) == (False, 0)
    assert not target.exists()


CHUNKED_CUT_UNDETECTABLE = pytest.mark.xfail(
    strict=True,
    reason="Wine ends a chunked body cut inside a chunk like a whole one (ReadData TRUE, 0 bytes) "
           "and there is no announced length to compare; a file is still caught by its digest")


@pytest.mark.parametrize("how", ["length", pytest.param("chunked", marks=CHUNKED_CUT_UNDETECTABLE), "drop"])
def test_broken_body_is_a_failure(prefix, helper_exe, server, how):
    body = os.urandom(200_000)
    if how == "drop":
        server.on("/korvantis/", reply.drop())
    else:
        server.on("/korvantis/", reply.cut(body, 70_000, chunked=how == "chunked"))
    got = probe(prefix, helper_exe, "mem", PROBE_PATH)
    assert (got["ok"], got["status"], got["bytes"]) == (False, 0, 0)
    target = local(prefix, "cut.bin")
    got = probe(prefix, helper_exe, "file", PROBE_PATH, prefix.win(target))
    assert (got["ok"], got["status"]) == (False, 0)


def test_untrusted_certificate_is_refused(prefix, helper_exe, untrusted_server):
    untrusted_server.put(PROBE_PATH, b"should never arrive")
    target = local(prefix, "untrusted.bin")
    got = probe(prefix, helper_exe, "file", PROBE_PATH, prefix.win(target))
    assert (got["ok"], got["status"]) == (False, 0)
    assert not target.exists()
    assert untrusted_server.requests == []


def test_certificate_for_other_host_is_refused(prefix, helper_exe, wrong_host_server):
    wrong_host_server.put(PROBE_PATH, b"should never arrive")
    got = probe(prefix, helper_exe, "mem", PROBE_PATH)
    assert (got["ok"], got["status"], got["bytes"]) == (False, 0, 0)
    assert wrong_host_server.requests == []


def test_redirect_to_plain_http_is_not_followed(prefix, helper_exe, server):
    server.on("/korvantis/", reply.redirect("http://127.0.0.1/korvantis/guncelleme/x"))
    got = probe(prefix, helper_exe, "mem", PROBE_PATH)
    assert not got["ok"]
    assert got["status"] != 200


@pytest.mark.parametrize("kind", ["announced", "endless", "closed"])
def test_body_over_its_limit_is_refused(prefix, helper_exe, server, kind):
    endless = {"announced": None, "endless": _Endless(), "closed": _Endless(chunked=False)}[kind]
    server.on("/korvantis/", _HeadersOnly(MAX_MANIFEST + 1) if kind == "announced" else endless)
    got = probe(prefix, helper_exe, "mem", "/korvantis/guncelleme/manifest.txt?t=1", timeout=180)
    assert (got["ok"], got["status"], got["bytes"]) == (False, 0, 0)
    # A file is held to its entry's size: nothing past it is written or counted.
    if kind == "announced":
        server.on("/korvantis/", _HeadersOnly(100_001))
    target = local(prefix, "limited.bin")
    got = probe(prefix, helper_exe, "file", PROBE_PATH, prefix.win(target), timeout=180,
                env={"HTTP_PROBE_MAX_BYTES": "100000"})
    assert (got["ok"], got["status"]) == (False, 0)
    assert got["done"] <= 100_000 and got["bytes"] <= 100_000, got


def test_probe_hash_of_missing_file_is_empty(prefix, helper_exe):
    result = prefix.run(probe_exe(prefix, helper_exe), ["hash", prefix.win(prefix.drive_c / "nothing.bin")])
    assert result.out.strip() == "RESULT hash="
