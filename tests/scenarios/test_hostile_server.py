"""Hostile and broken update servers against the whole launcher under Wine: an installed game
(engine present, saved path valid) must come through every one of them without crashing or
hanging beyond its time-outs, without writing outside its folder or losing a file, and the game
must still start."""

from __future__ import annotations

import hashlib
import os
import random
import re
import socket
import subprocess
import threading
from urllib.parse import quote

import pytest

from korvantis_harness import https_server as reply
from korvantis_harness.korvantis import (CHECKING, DONE, ENGINE, ENGINE_RECORD, LAUNCHER, PARTIAL,
                                         PROMPT, UNCHANGED, UP_TO_DATE)
from korvantis_harness.launcher_run import LauncherFolder, Run, changes, outside_snapshot

MANIFEST = reply.MANIFEST_PATH
MANIFEST_CAP = 64 << 20
# The launcher's longest wait on one network step (receive), plus start-up and exit.
RECEIVE_TIMEOUT = 30
SEED = int(os.environ.get("KORVANTIS_HOSTILE_SEED", "20240611"))


def line(name: bytes, data: bytes) -> bytes:
    return b"%s %d %s" % (hashlib.sha256(data).hexdigest().encode(), len(data), name)


def serve(server, name: bytes, data: bytes) -> None:
    server.put(reply.FILES_ROOT + quote(name, safe="-._/"), data)


def file_requests(server) -> list[str]:
    return [r["path"].split("?")[0] for r in server.requests if "/dosyalar/" in r["path"]]


class Scene:
    """The launcher folder, what lies outside it, and the checks every hostile run must pass."""

    def __init__(self, prefix, launcher_exe, helper_exe, game_folder):
        self.prefix = prefix
        self.home = LauncherFolder(prefix, launcher_exe.read_bytes(),
                                   helper_exe("stand_in_engine").read_bytes(), game_folder,
                                   prefix.drive_c / "Korvantis Mod")
        self.folder = self.home.folder
        (self.folder / "cstrike").mkdir()
        (self.folder / "cstrike" / "ayar.cfg").write_bytes(b"name oyuncu\n")
        self.current = {LAUNCHER: self.home.launcher.read_bytes(),
                        ENGINE: (self.folder / ENGINE).read_bytes(),
                        "cstrike/ayar.cfg": b"name oyuncu\n"}
        self.before_files = self.home.files()
        self.before_outside = outside_snapshot(prefix, self.folder)

    def current_lines(self) -> list[bytes]:
        return [line(n.encode(), d) for n, d in self.current.items()]

    def run(self, timeout: float = 90) -> tuple[Run, int]:
        run = Run(self.prefix, self.home.launcher)
        code = run.wait(timeout)
        return run, code

    def check_survived(self, run: Run, code: int, arrived: dict[bytes, bytes] = {}) -> None:
        assert code == 0, f"exit {code}:\n{run.out}"
        assert PROMPT not in run.out, run.out
        self.prefix.wait_idle(30)
        assert self.home.engine_started(), f"the game did not start:\n{run.out}"
        after = self.home.files()
        for name, data in self.before_files.items():
            assert after.get(name) == data, f"{name} lost or changed"
        for name, data in arrived.items():
            assert after.get(name.decode("utf-8")) == data, f"{name!r} did not arrive"
        assert not self.home.leftovers(), self.home.leftovers()
        assert changes(self.before_outside, outside_snapshot(self.prefix, self.folder)) == []


@pytest.fixture
def scene(prefix, launcher_exe, helper_exe, game_folder):
    made = Scene(prefix, launcher_exe, helper_exe, game_folder)
    yield made
    # A deep folder chain (see the long-path line) is too deep for shutil.rmtree.
    subprocess.run(["rm", "-rf", "--one-file-system", str(made.folder)], check=False)


def test_manifest_of_100000_lines(scene, server):
    # 20,000 lines name one current 4 MiB file: hashed once per line, 80 GB of hashing.
    big = os.urandom(4 << 20)
    (scene.folder / "cstrike" / "buyuk.wad").write_bytes(big)
    scene.before_files = scene.home.files()
    kinds = [
        lambda i: b"# satir %d" % i,
        lambda i: line(b"cstrike/buyuk.wad", big),
        lambda i: b"%064x" % i + (b" 12" if i % 2 else b""),  # lacks its fields
        lambda i: line(b"../disari%d.txt" % i, b"x"),
        lambda i: b" \r  \r",
    ]
    body = [kinds[i % len(kinds)](i) for i in range(100_000 - 4)]
    last = b"son satir \xc3\xa7.txt", b"read to the very end"
    body = b"\r\n".join(scene.current_lines() + body + [line(*last)])  # no final line end
    assert body.count(b"\n") + 1 == 100_000
    server.put(MANIFEST, body)
    serve(server, *last)
    run, code = scene.run()
    scene.check_survived(run, code, arrived={last[0]: last[1]})
    assert DONE in run.out
    assert file_requests(server) == [reply.FILES_ROOT + quote(last[0], safe="-._/")]
    print(f"\n100,000-line manifest ({len(body)} bytes): {run.elapsed():.1f} s")


@pytest.mark.parametrize("shape", ["no spaces", "long hash", "long name", "long path"])
def test_single_line_of_megabytes(scene, server, shape):
    size = 6 << 20
    if shape == "no spaces":
        big = b"a" * size
    elif shape == "long hash":
        big = b"f" * size + b" 5 uzun.txt"
    elif shape == "long name":
        big = b"%s 5 %s" % (b"0" * 64, b"n" * size)
    else:  # a path of very many folders
        big = b"%s 5 %s" % (b"0" * 64, b"k/" * (size // 2) + b"x")
    arriving = b"sonra.txt", b"after the long line"
    server.put(MANIFEST, b"\n".join(scene.current_lines() + [big, line(*arriving)]))
    serve(server, *arriving)
    # No network wait is involved: a minute is far more than reading the line needs.
    run, code = scene.run(timeout=60)
    scene.check_survived(run, code, arrived={arriving[0]: arriving[1]})
    # What the long line asks for cannot exist: the update is partial at worst.
    assert DONE in run.out or PARTIAL in run.out, run.out
    print(f"\n{shape}: {run.elapsed():.1f} s, requests {[p[:80] for p in file_requests(server)]}")


def test_binary_garbage(scene, server):
    rng = random.Random(SEED)
    print(f"\nseed {SEED}")
    garbage = bytes(rng.getrandbits(8) for _ in range(64 << 10))
    server.put(MANIFEST, garbage)
    run, code = scene.run(timeout=180)
    scene.check_survived(run, code)
    assert UP_TO_DATE in run.out or DONE in run.out or PARTIAL in run.out, run.out
    print(f"garbage manifest: {run.elapsed():.1f} s, {len(file_requests(server))} file requests")


# Names that leave the launcher folder, or name something other than a file in it.
ESCAPES = [
    b"../disari1.txt", b"..\\disari2.txt", b"alt/../../disari3.txt", b"alt\\..\\..\\disari4.txt",
    b"...\\disari5.txt", b"alt/..", b"/kok1.txt", b"\\kok2.txt", b"//sunucu/pay/unc1.txt",
    b"\\\\sunucu\\pay\\unc2.txt", b"\\\\?\\C:\\uzun1.txt", b"\\\\.\\C:\\aygit1.txt",
    b"\\\\?\\unix\\tmp\\korvantis_unix.txt", b"C:\\mutlak1.txt", b"c:/mutlak2.txt",
    b"C:goreli1.txt", b"D:goreli2.txt", b"alt/C:x.txt", b"dosya.txt:akis", b"Korvantis.exe::$DATA",
    b"ic.txt\x00/../../nul1.txt", b"\x00../nul2.txt", b"ic2.txt\x00", b"CON", b"con.txt", b"NUL",
    b"nul.tar.gz", b"alt/AUX", b"PRN.log", b"COM1", b"com9.bin", b"LPT1", b"lpt3.txt",
    b"COM\xc2\xb9", b"CONIN$", b"conout$", b"alt/nul .txt", b"nokta.", b"bosluk /x.txt", b"alt./x.txt",
    b". ./disari6.txt", b"./ic3.txt",
]
# Names that only look like a way out: they are files inside the folder.
LOOKALIKES = {
    b"%2e%2e/icerde1.txt": b"percent",
    b"\xef\xbc\x8e\xef\xbc\x8e/icerde2.txt": b"fullwidth dots",
    b"\xc0\xae\xc0\xae/icerde3.txt": b"overlong dots",
    b"alt/.gizli/icerde4.txt": b"hidden folder",
}


def test_names_leaving_the_folder(scene, server):
    lines = scene.current_lines()
    for name in ESCAPES:
        lines.append(line(name, b"kacak"))
        serve(server, name, b"kacak")
    for name, data in LOOKALIKES.items():
        lines.append(line(name, data))
        serve(server, name, data)
    server.put(MANIFEST, b"\n".join(lines) + b"\n")
    run, code = scene.run()
    scene.check_survived(run, code)
    assert DONE in run.out, run.out
    assert sorted(file_requests(server)) == sorted(
        reply.FILES_ROOT + quote(n, safe="-._/") for n in LOOKALIKES)
    new = sorted(set(scene.home.files()) - set(scene.before_files) - {ENGINE_RECORD})
    assert len(new) == len(LOOKALIKES), new
    for name, data in LOOKALIKES.items():
        leaf = name.rsplit(b"/", 1)[1].decode()
        (found,) = [n for n in new if n.endswith("/" + leaf)]
        assert scene.home.files()[found] == data
    assert "korvantis_unix.txt" not in os.listdir("/tmp")


class _Silent:
    """127.0.0.1:443 accepting connections and never sending a byte (not even its part of the
    TLS handshake)."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 443))
        self.sock.listen(8)
        self.sock.settimeout(0.05)
        self.accepted: list[socket.socket] = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self.accepted.append(conn)

    def close(self):
        self.stop.set()
        self.thread.join(2)
        self.sock.close()
        for conn in self.accepted:
            conn.close()


@pytest.mark.parametrize("silence", ["before TLS", "after request"])
def test_server_that_accepts_and_never_answers(request, scene, silence):
    if silence == "before TLS":
        silent = _Silent()
        close = silent.close
    else:
        server = request.getfixturevalue("server")
        server.on(MANIFEST, reply.hang())
        close = lambda: None  # noqa: E731 - the fixture ends the hang
    try:
        run, code = scene.run(timeout=float(os.environ.get("KORVANTIS_SILENT_LIMIT", 90)))
    finally:
        close()
    print(f"\nsilent server ({silence}): {run.elapsed():.1f} s until exit")
    scene.check_survived(run, code)
    assert CHECKING + UNCHANGED in run.out, run.out
    if silence == "before TLS":
        assert silent.accepted, "the launcher never connected"
    assert run.elapsed() < RECEIVE_TIMEOUT + 20


def test_file_that_stalls_after_its_headers(scene, server):
    new = {b"cstrike/yeni.wad": os.urandom(200_000), b"sonra.txt": b"arrives after the stall"}
    lines = scene.current_lines() + [line(n, d) for n, d in new.items()]
    server.put(MANIFEST, b"\n".join(lines) + b"\n")
    for name, data in new.items():
        serve(server, name, data)
    server.on(reply.FILES_ROOT + "cstrike/yeni.wad", reply.hang(after_headers=True))
    run, code = scene.run(timeout=RECEIVE_TIMEOUT + 60)
    scene.check_survived(run, code, arrived={b"sonra.txt": new[b"sonra.txt"]})
    assert PARTIAL in run.out, run.out
    assert not (scene.folder / "cstrike" / "yeni.wad").exists()
    print(f"\nstalled file: {run.elapsed():.1f} s until exit")
    assert run.elapsed() < RECEIVE_TIMEOUT + 20


@pytest.mark.parametrize("pace", ["small pieces", "long pauses"])
def test_trickling_server_still_delivers(scene, server, pace):
    data = os.urandom(96 << 10)
    name = b"cstrike/maps/yavas.bsp"
    manifest = b"\n".join(scene.current_lines() + [line(name, data)]) + b"\n"
    if pace == "small pieces":
        server.on(MANIFEST, reply.trickle(manifest, chunk=7, delay=0.005))
        server.on(reply.FILES_ROOT + "cstrike/maps/", reply.trickle(data, chunk=1024, delay=0.01))
    else:
        # Each pause well inside the receive time-out, together longer than it would be.
        server.put(MANIFEST, manifest)
        server.on(reply.FILES_ROOT + "cstrike/maps/", reply.trickle(data, chunk=len(data) // 3 + 1,
                                                                   delay=4))
    run, code = scene.run(timeout=120)
    scene.check_survived(run, code, arrived={name: data})
    assert DONE in run.out, run.out
    print(f"\ntrickle ({pace}): {run.elapsed():.1f} s")


@pytest.mark.parametrize("ranges,drops", [(True, None), (False, None), (False, 1)],
                         ids=["ranges honoured", "ranges ignored", "ranges ignored, one drop"])
def test_a_line_that_drops_every_few_hundred_kilobytes(scene, server, ranges, drops):
    """One start brings a file several times the stretch the line holds, each byte once, where
    the server continues where it broke; one that starts over is asked once more, not for ever,
    and the old file stays, unless that second answer is whole (its digest begun anew)."""
    name = b"cstrike/maps/buyuk.bsp"
    data = os.urandom(2 << 20)
    every = 384 << 10
    if not ranges:
        (scene.folder / "cstrike" / "maps").mkdir()
        (scene.folder / "cstrike" / "maps" / "buyuk.bsp").write_bytes(b"the map as it was")
        scene.before_files = scene.home.files()
    server.put(MANIFEST, b"\n".join(scene.current_lines() + [line(name, data)]) + b"\n")
    dropping = reply.dropping(data, every, ranges, drops)
    server.on(reply.FILES_ROOT + "cstrike/maps/", dropping)
    run, code = scene.run()
    asked = [r["headers"] for r in server.requests_to(reply.FILES_ROOT)]
    if drops:
        scene.before_files.pop("cstrike/maps/buyuk.bsp")
        scene.check_survived(run, code, arrived={name: data})
        assert DONE in run.out and [h.get("Range") for h in asked] == [None, f"bytes={every}-"], run.out
    elif ranges:
        scene.check_survived(run, code, arrived={name: data})
        assert DONE in run.out, run.out
        assert dropping.sent == len(data)
        assert [h.get("Range") for h in asked] == [None] + [f"bytes={n}-" for n in range(every, len(data), every)]
        assert all(h.get("If-Range") == dropping.etag for h in asked[1:]), asked
    else:
        scene.check_survived(run, code)
        assert PARTIAL in run.out, run.out
        assert [h.get("Range") for h in asked] == [None, f"bytes={every}-"]


def test_a_manifest_that_would_take_an_hour_is_given_up(scene, server):
    """1 KiB a second keeps well above the crawl rule (16 KiB in 30 s), and would still hold
    the player for an hour: the manifest has a minute."""
    filler = [b"# %04d %s" % (i, b"k" * 1015) for i in range(3600)]
    body = b"\n".join(scene.current_lines() + filler) + b"\n"
    server.on(MANIFEST, reply.trickle(body, chunk=1024, delay=1.0))
    run, code = scene.run(timeout=180)
    scene.check_survived(run, code)
    assert CHECKING + UNCHANGED in run.out, run.out
    print(f"\nhour-long manifest: {run.elapsed():.1f} s until exit")
    assert run.elapsed() < 60 + 20


@pytest.mark.parametrize("crawling", ["manifest", "file"])
def test_a_crawling_answer_is_given_up(scene, server, crawling):
    """A byte every few seconds keeps every read inside the receive time-out, yet would hold
    the launcher for ever: under 16 KiB in 30 s, the answer is given up."""
    data = os.urandom(64 << 10)
    name = b"cstrike/maps/yavas.bsp"
    manifest = b"\n".join(scene.current_lines() + [line(name, data)]) + b"\n"
    crawl = reply.trickle(manifest if crawling == "manifest" else data, chunk=1, delay=3)
    if crawling == "manifest":
        server.on(MANIFEST, crawl)
    else:
        server.put(MANIFEST, manifest)
        server.on(reply.FILES_ROOT + "cstrike/maps/", crawl)
    run, code = scene.run(timeout=120)
    scene.check_survived(run, code)
    assert (UNCHANGED if crawling == "manifest" else PARTIAL) in run.out, run.out
    assert not (scene.folder / "cstrike" / "maps" / "yavas.bsp").exists()
    print(f"\ncrawling {crawling}: {run.elapsed():.1f} s until exit")
    assert run.elapsed() < 2 * RECEIVE_TIMEOUT + 20


class _Endless(reply.Reply):
    """A manifest answer that never ends: chunked, or delimited by a close that never comes, or
    announcing a length beyond the cap. Sends until the client goes away."""

    def __init__(self, framing: str):
        self.framing = framing
        self.sent = 0

    def act(self, handler):
        handler.send_response(200)
        if self.framing == "chunked":
            handler.send_header("Transfer-Encoding", "chunked")
        elif self.framing == "length":
            handler.send_header("Content-Length", str(1 << 40))
        else:
            handler.send_header("Connection", "close")
        handler.end_headers()
        line_bytes = b"# " + b"k" * 1021 + b"\n"
        piece = line_bytes * 64
        if self.framing == "chunked":
            piece = b"%x\r\n" % len(piece) + piece + b"\r\n"
        try:
            while not handler.server.stopping.is_set():
                handler.wfile.write(piece)
                self.sent += len(piece)
        except OSError:
            pass
        handler.close_connection = True
        reply._hard_close(handler)


@pytest.mark.parametrize("framing", ["chunked", "close", "length"])
def test_file_that_never_ends(scene, server, framing):
    data = b"a mod file of 100 kB " * 5000
    name = b"cstrike/sonsuz.wad"
    server.put(MANIFEST, b"\n".join(scene.current_lines() + [line(name, data)]) + b"\n")
    endless = _Endless(framing)
    server.on(reply.FILES_ROOT + "cstrike/sonsuz.wad", endless)
    run, code = scene.run(timeout=60)
    scene.check_survived(run, code)
    assert PARTIAL in run.out, run.out
    assert not (scene.folder / "cstrike" / "sonsuz.wad").exists()
    # The progress line never counts more than its total.
    shown = [(float(d), float(t)) for d, t in re.findall(r"([\d.]+) / ([\d.]+) MB", run.out)]
    assert shown and all(done <= total for done, total in shown), shown
    print(f"\nendless file ({framing}): {run.elapsed():.1f} s, server sent "
          f"{endless.sent / 2**20:.1f} MiB")


@pytest.mark.parametrize("framing", ["chunked", "close", "length"])
def test_manifest_that_never_ends(scene, server, framing):
    endless = _Endless(framing)
    server.on(MANIFEST, endless)
    run, code = scene.run(timeout=120)
    scene.check_survived(run, code)
    assert CHECKING + UNCHANGED in run.out, run.out
    peak = max(run.peak_kib.values())
    print(f"\nendless manifest ({framing}): {run.elapsed():.1f} s, server sent "
          f"{endless.sent / 2**20:.1f} MiB, launcher peak resident {peak / 1024:.0f} MiB")
    assert not file_requests(server)
    if framing == "length":
        # Refused from its header: nothing like the cap is read.
        assert endless.sent < MANIFEST_CAP
    else:
        assert endless.sent >= MANIFEST_CAP
    # The cap bounds what is held: one body of at most 64 MiB, the string's growth and Wine's
    # own share (about 22 MiB measured here).
    assert peak < 3 * MANIFEST_CAP // 1024, peak
