"""The update chain with the real server side: tools/publish.py writes an update root from a mod
folder, Debian's nginx serves it with server/korvantis-site.conf (placeholders filled), and the
launcher under Wine brings an installed folder up to date from it, then finds it current. Then the
same behind a caching reverse proxy standing as a CDN edge, through a publication during an update,
a rollback and a second origin that lags one publication behind."""

from __future__ import annotations

import hashlib
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from korvantis_harness.korvantis import (CHECKING, DONE, DOWNLOAD_SUFFIX, DOWNLOADING, ENGINE,
                                         ENGINE_RECORD, FILES_ROOT, LAUNCHER, MANIFEST_PATH,
                                         MANIFEST_REQUEST, UP_TO_DATE, USER_AGENT,
                                         engine_command_line, place_launcher, write_saved_path)
from korvantis_harness.launcher_run import LauncherFolder, Run
from korvantis_harness.nginx import Nginx, edge_nginx_conf, local_nginx_conf, origin_port

REPO = Path(__file__).resolve().parents[2]
UPDATE_HOST = os.environ.get("KORVANTIS_UPDATE_HOST", "guncelleme.korvantis.example")
pytestmark = pytest.mark.skipif(shutil.which("nginx") is None, reason="nginx is not installed")
# nginx's default "combined" format.
ACCESS_LINE = re.compile(r'^\S+ \S+ \S+ \[[^\]]+\] "(\S+) (\S+) HTTP/[\d.]+" (\d+) (\d+) '
                         r'"[^"]*" "([^"]*)"$')


def requests(server: Nginx) -> list[dict]:
    found = []
    for line in server.log_lines():
        m = ACCESS_LINE.match(line)
        assert m, f"unexpected access log line: {line!r}"
        found.append(dict(method=m[1], path=m[2], status=int(m[3]), bytes=int(m[4]),
                          user_agent=m[5]))
    return found


@pytest.fixture
def work():
    # Outside pytest's private tmp (mode 0700): nginx's workers run as www-data.
    folder = Path(tempfile.mkdtemp(prefix="korvantis-nginx-publish-"))
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def publish(*args) -> None:
    # The launcher published here asks the test host.
    result = subprocess.run([sys.executable, str(REPO / "tools" / "publish.py"), "--test-host",
                             *map(str, args)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_published_root_served_by_nginx_updates_then_stays_current(
        prefix, launcher_exe, helper_exe, game_folder, engine_record, work):
    mod_files = {
        LAUNCHER: launcher_exe.read_bytes(),  # the running launcher: current, not fetched
        ENGINE: helper_exe("stand_in_engine").read_bytes(),
        "cstrike/maps/de_korvantis.bsp": os.urandom(700_000),
        "cstrike/sound/Yeni Klas\u00f6r/a\u011f\u0131r ses.wav": b"RIFF" + os.urandom(5000),
        "cstrike/korvantis.cfg": b'bind k "+use"\n',
    }
    mod = work / "mod"
    for name, data in mod_files.items():
        (mod / name).parent.mkdir(parents=True, exist_ok=True)
        (mod / name).write_bytes(data)
    root = work / "root"
    publish(mod, root)

    # The installed launcher's first start: no engine yet, a saved path to the game.
    folder = prefix.localappdata / "Korvantis"
    launcher = place_launcher(launcher_exe, folder)
    game = game_folder(prefix.drive_c / "Oyunlar" / "Counter-Strike 1.6")
    write_saved_path(folder, prefix.win(game))

    (work / "nginx").mkdir()
    certs = Path(os.environ["KORVANTIS_CERT_DIR"])
    server = Nginx(work / "nginx", local_nginx_conf(work / "nginx", root, certs, UPDATE_HOST))
    try:
        first = prefix.run(launcher, stdin=b"\n", timeout=120)
        prefix.wait_idle()
        assert first.code == 0, first
        assert CHECKING + DOWNLOADING in first.out, first
        assert DONE in first.out, first
        for name, data in mod_files.items():
            assert (folder / name).read_bytes() == data, name
        assert sorted(p.name for p in folder.rglob("*" + DOWNLOAD_SUFFIX)) == []
        record = engine_record(folder)
        assert record is not None, "engine not started after the update"
        assert record["command_line"] == engine_command_line(prefix.win(folder) + "\\",
                                                             prefix.win(game))

        fetched = requests(server)
        assert [r["status"] for r in fetched] == [200] * len(fetched), fetched
        assert MANIFEST_REQUEST.match(fetched[0]["path"]), fetched[0]
        file_paths = sorted(r["path"].split("?")[0] for r in fetched[1:])
        assert file_paths == sorted([
            FILES_ROOT + "cstrike/korvantis.cfg",
            FILES_ROOT + "cstrike/maps/de_korvantis.bsp",
            FILES_ROOT + "cstrike/sound/Yeni%20Klas%C3%B6r/a%C4%9F%C4%B1r%20ses.wav",
            FILES_ROOT + ENGINE,
        ])
        assert {r["user_agent"] for r in fetched} == {USER_AGENT}

        (folder / ENGINE_RECORD).unlink()
        second = prefix.run(launcher, stdin=b"\n", timeout=120)
        prefix.wait_idle()
        assert second.code == 0, second
        assert CHECKING + UP_TO_DATE in second.out, second
        assert DOWNLOADING not in second.out
        (request,) = requests(server)[len(fetched):]
        assert request["method"] == "GET"
        assert MANIFEST_REQUEST.match(request["path"]), request
        assert request["status"] == 200
        assert request["user_agent"] == USER_AGENT
        assert engine_record(folder) is not None, "engine not started when up to date"
    finally:
        server.close()


# ----- behind a cache ------------------------------------------------------------------------
PORT_A, PORT_B = 8441, 8442
BIG = "cstrike/maps/buyuk.bsp"       # after Korvantis.exe, the first file the launcher fetches
CHANGING = ("cstrike/sound/giris.wav", "cstrike/yeni.cfg")
SHORT = "public, max-age=10"


def token(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()[:12]


def through_edge(path: str) -> tuple[int, dict, bytes]:
    """GET through the edge, as any client (not held to the launcher's rate)."""
    conn = http.client.HTTPSConnection(UPDATE_HOST, 443, timeout=30)
    try:
        conn.request("GET", path, headers={"User-Agent": "edge-check"})
        resp = conn.getresponse()
        return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
    finally:
        conn.close()


def check_edge(edge: Nginx) -> list[dict]:
    """Every answer the edge gave so far, judged: a version's bytes begin with its token (read
    back from the edge's cache, where every such answer was stored for good), a 404 is kept
    briefly, the manifest never. Returns the launcher's requests."""
    lines = [json.loads(line) for line in edge.log_lines()]
    judged = set()
    for r in lines:
        if r["uri"].startswith(MANIFEST_PATH):
            assert r["cache_control"] == "no-store" and r["cache"] != "HIT", r
            continue
        if "?v=" not in r["uri"] or r["uri"] in judged:
            continue
        if r["status"] == 404:
            assert r["cache_control"] == SHORT, r
            continue
        assert r["status"] == 200, r
        judged.add(r["uri"])
        status, headers, body = through_edge(r["uri"])
        assert (status, headers["x-edge-cache"]) == (200, "HIT"), (r, headers)
        assert hashlib.sha256(body).hexdigest().startswith(r["uri"].split("?v=")[1]), r
    return [r for r in lines if r["agent"] == USER_AGENT]


def test_edge_cache_stays_right_through_publish_rollback_and_lagging_origin(
        prefix, launcher_exe, helper_exe, game_folder, work):
    engine = helper_exe("stand_in_engine").read_bytes()
    big = os.urandom(5 << 20)

    def version(n: int) -> dict[str, bytes]:
        return {LAUNCHER: launcher_exe.read_bytes(), ENGINE: engine, BIG: big,
                CHANGING[0]: b"RIFF" + os.urandom(150_000 + n), CHANGING[1]: b"surum %d\n" % n}

    v1, v2, v3, v4 = (version(n) for n in range(1, 5))
    mods = {}
    for n, files in enumerate((v1, v2, v3, v4), 1):
        mods[n] = work / f"mod{n}"
        for name, data in files.items():
            (mods[n] / name).parent.mkdir(parents=True, exist_ok=True)
            (mods[n] / name).write_bytes(data)
    certs = Path(os.environ["KORVANTIS_CERT_DIR"])
    root_a, root_b = work / "root-a", work / "root-b"
    root_b.symlink_to(root_a)        # the second origin in step until the lag begins
    publish(mods[1], root_a)
    servers = []
    try:
        for name, root, port in (("a", root_a, PORT_A), ("b", root_b, PORT_B)):
            conf = local_nginx_conf(work / name, root, certs, UPDATE_HOST, origin_port(port))
            servers.append(Nginx(work / name, conf))
        # Manifest from the first origin; files from the second, then the first after a 404.
        edge = Nginx(work / "edge", edge_nginx_conf(work / "edge", certs, UPDATE_HOST, [PORT_A],
                                                    [PORT_B, PORT_A], launcher_rate="2m"))
        servers.append(edge)
        player = LauncherFolder(prefix, v1[LAUNCHER], engine, game_folder,
                                prefix.drive_c / "Korvantis")

        def start(home: LauncherFolder, expected: dict[str, bytes], label: str) -> None:
            run = Run(prefix, home.launcher)
            code = run.wait(90)
            prefix.wait_idle()
            assert code == 0 and DONE in run.out, f"{label}: exit {code}\n{run.out}"
            files = {n: d for n, d in home.files().items() if n in expected}
            assert files == expected, f"{label}: folder differs from what its manifest names"

        # 1. A publication while the launcher is half-way through the update of v1.
        run = Run(prefix, player.launcher)
        partial = player.folder / (BIG + DOWNLOAD_SUFFIX)
        deadline = time.monotonic() + 60
        while not partial.exists():
            assert time.monotonic() < deadline and run.proc.poll() is None, run.out
            time.sleep(0.02)
        publish(mods[2], root_a)
        assert partial.exists(), "the big download ended before the publication did"
        code = run.wait(90)
        prefix.wait_idle()
        assert code == 0 and DONE in run.out, run.out
        assert {n: player.files()[n] for n in v1} == v1
        asked = [r["uri"] for r in check_edge(edge)]
        for name in CHANGING:   # requested after the publication, with the old tokens
            assert any(u.endswith("/" + name + "?v=" + token(v1[name]))
                       for u in asked), asked
        start(player, v2, "the start after the publication")

        # 2. A rollback: the old versions come back, from the edge's cache.
        publish("--rollback", root_a)
        seen = len(check_edge(edge))
        start(player, v1, "the start after the rollback")
        rolled = [r for r in check_edge(edge)[seen:] if "?v=" in r["uri"]]
        assert {r["cache"] for r in rolled} == {"HIT"}, rolled

        # 3. The second origin lags one publication behind: it has never seen v3.
        lag = work / "root-b-lag"
        subprocess.run(["cp", "-a", str(root_a), str(lag)], check=True)
        (work / "root-b.new").symlink_to(lag)
        os.replace(work / "root-b.new", root_b)
        not_yet = FILES_ROOT + CHANGING[1] + "?v=" + token(v4[CHANGING[1]])
        status, headers, _ = through_edge(not_yet)
        missed_at = time.monotonic()
        assert (status, headers.get("cache-control")) == (404, SHORT)
        publish(mods[3], root_a)
        seen = len(check_edge(edge))
        start(player, v3, "the start behind the lagging origin")
        failed_over = [r for r in check_edge(edge)[seen:] if "?v=" in r["uri"]]
        assert {r["upstream"] for r in failed_over} == {"404, 200"}, failed_over
        newcomer = LauncherFolder(prefix, v1[LAUNCHER], engine, game_folder,
                                  prefix.drive_c / "Korvantis Yeni")
        start(newcomer, v3, "a new player behind the lagging origin")

        # A version asked for before it was published is missing no longer than the short life.
        publish(mods[4], root_a)
        time.sleep(max(0.0, missed_at + 11 - time.monotonic()))
        status, _, body = through_edge(not_yet)
        assert (status, body) == (200, v4[CHANGING[1]])
        check_edge(edge)
    finally:
        for server in reversed(servers):
            server.close()
