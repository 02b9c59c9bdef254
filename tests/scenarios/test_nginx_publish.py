"""The update chain with the real server side: tools/publish.py writes an update root from a mod
folder, Debian's nginx serves it with server/nginx.conf (placeholders filled), and the launcher
under Wine brings an installed folder up to date from it, then finds it current."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from harness.korvantis import engine_command_line, place_launcher, write_saved_path
from harness.nginx import local_nginx_conf

REPO = Path(__file__).resolve().parents[2]
UPDATE_HOST = os.environ.get("KORVANTIS_UPDATE_HOST", "guncelleme.korvantis.example")
CHECKING = "  Guncellemeler kontrol ediliyor...\n"
DOWNLOADING = "  Guncelleme indiriliyor...\n"
DONE = "  Guncelleme tamam.\n"
UP_TO_DATE = "  Oyun guncel.\n"
USER_AGENT = "Korvantis-Baslatici/1.0"
FILES = "/korvantis/guncelleme/dosyalar/"
MANIFEST_REQUEST = re.compile(r"^/korvantis/guncelleme/manifest\.txt\?t=\d+$")
pytestmark = pytest.mark.skipif(shutil.which("nginx") is None, reason="nginx is not installed")
# nginx's default "combined" format.
ACCESS_LINE = re.compile(r'^\S+ \S+ \S+ \[[^\]]+\] "(\S+) (\S+) HTTP/[\d.]+" (\d+) (\d+) '
                         r'"[^"]*" "([^"]*)"$')


class Nginx:
    """nginx run by the test itself, with a copy of server/nginx.conf whose placeholders and
    Debian runtime paths point into its own folder."""

    def __init__(self, work: Path, root: Path, certs: Path):
        self.work = work
        conf = local_nginx_conf(work, root, certs, UPDATE_HOST)
        startup_log = str(work / "log" / "startup.log")
        self.proc = subprocess.Popen(["nginx", "-e", startup_log, "-c", str(conf),
                                      "-g", "daemon off;"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while not (work / "nginx.pid").exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise AssertionError("nginx did not start: "
                                     + Path(startup_log).read_text(errors="replace"))
            time.sleep(0.05)

    def requests(self) -> list[dict]:
        log = self.work / "log" / "access.log"
        if not log.exists():
            return []
        found = []
        for line in log.read_text(encoding="utf-8", errors="replace").splitlines():
            m = ACCESS_LINE.match(line)
            assert m, f"unexpected access log line: {line!r}"
            found.append(dict(method=m[1], path=m[2], status=int(m[3]), bytes=int(m[4]),
                              user_agent=m[5]))
        return found

    def close(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def work():
    # Outside pytest's private tmp (mode 0700): nginx's workers run as www-data.
    folder = Path(tempfile.mkdtemp(prefix="korvantis-nginx-publish-"))
    os.chmod(folder, 0o755)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def publish(mod: Path, root: Path) -> None:
    result = subprocess.run([sys.executable, str(REPO / "tools" / "publish.py"), str(mod), str(root)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_published_root_served_by_nginx_updates_then_stays_current(
        prefix, launcher_exe, helper_exe, game_folder, engine_record, work):
    mod_files = {
        "Korvantis.exe": launcher_exe.read_bytes(),  # the running launcher: current, not fetched
        "xash3d.exe": helper_exe("stand_in_engine").read_bytes(),
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
    server = Nginx(work / "nginx", root, Path(os.environ["KORVANTIS_CERT_DIR"]))
    try:
        first = prefix.run(launcher, stdin=b"\n", timeout=120)
        prefix.wait_idle()
        assert first.code == 0, first
        assert CHECKING + DOWNLOADING in first.out, first
        assert DONE in first.out, first
        for name, data in mod_files.items():
            assert (folder / name).read_bytes() == data, name
        assert sorted(p.name for p in folder.rglob("*.indiriliyor")) == []
        record = engine_record(folder)
        assert record is not None, "engine not started after the update"
        assert record["command_line"] == engine_command_line(prefix.win(folder) + "\\",
                                                             prefix.win(game))

        fetched = server.requests()
        assert [r["status"] for r in fetched] == [200] * len(fetched), fetched
        assert MANIFEST_REQUEST.match(fetched[0]["path"]), fetched[0]
        file_paths = sorted(r["path"].split("?")[0] for r in fetched[1:])
        assert file_paths == sorted([
            FILES + "cstrike/korvantis.cfg",
            FILES + "cstrike/maps/de_korvantis.bsp",
            FILES + "cstrike/sound/Yeni%20Klas%C3%B6r/a%C4%9F%C4%B1r%20ses.wav",
            FILES + "xash3d.exe",
        ])
        assert {r["user_agent"] for r in fetched} == {USER_AGENT}

        (folder / "engine_received.json").unlink()
        second = prefix.run(launcher, stdin=b"\n", timeout=120)
        prefix.wait_idle()
        assert second.code == 0, second
        assert CHECKING + UP_TO_DATE in second.out, second
        assert DOWNLOADING not in second.out
        (request,) = server.requests()[len(fetched):]
        assert request["method"] == "GET"
        assert MANIFEST_REQUEST.match(request["path"]), request
        assert request["status"] == 200
        assert request["user_agent"] == USER_AGENT
        assert engine_record(folder) is not None, "engine not started when up to date"
    finally:
        server.close()
