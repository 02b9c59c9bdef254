"""The update as the player meets it: the whole launcher under Wine against the local update
server, from the manifest request to the files in the launcher folder and the engine start."""

from __future__ import annotations

import hashlib
import os
import random
import re
import shutil
import time

import pytest

from korvantis_harness import https_server as reply
from korvantis_harness.korvantis import (CHECKING, DONE, DOWNLOAD_SUFFIX, DOWNLOADING, ENGINE,
                                         ENGINE_RECORD, LAUNCHER, MANIFEST_REQUEST, OLD_SUFFIX,
                                         PARTIAL, PROMPT, SAVED_PATH, UNCHANGED, UP_TO_DATE,
                                         USER_AGENT, WAITING, place_launcher, write_saved_path)
from korvantis_harness.launcher_run import Run
from korvantis_harness.wine import WINE_ENV


class Setup:
    """A working launcher folder: Korvantis.exe, the stand-in engine (unless left out), and a
    saved path naming a Counter-Strike folder."""

    def __init__(self, prefix, launcher_exe, engine, game_folder, folder, with_engine=True):
        self.prefix = prefix
        self.folder = folder
        folder.mkdir(parents=True, exist_ok=True)
        self.launcher = folder / LAUNCHER
        shutil.copyfile(launcher_exe, self.launcher)
        if with_engine:
            engine(folder)
        self.game = game_folder(prefix.drive_c / "Oyunlar" / "Counter-Strike 1.6")
        (folder / SAVED_PATH).write_bytes(prefix.win(self.game).encode("utf-16-le"))

    def current_files(self) -> dict[str, bytes]:
        """What the folder holds now, as a manifest would list it."""
        files = {LAUNCHER: self.launcher.read_bytes()}
        if (self.folder / ENGINE).exists():
            files[ENGINE] = (self.folder / ENGINE).read_bytes()
        return files

    def run(self, args=(), stdin=b"\n", timeout=90):
        return self.prefix.run(self.launcher, args, stdin=stdin, timeout=timeout)

    def leftovers(self):
        return sorted(p.relative_to(self.folder).as_posix() for p in self.folder.rglob("*" + DOWNLOAD_SUFFIX))


@pytest.fixture
def setup(prefix, launcher_exe, engine, game_folder):
    return Setup(prefix, launcher_exe, engine, game_folder, prefix.drive_c / "Korvantis Mod")


def file_requests(server):
    return [r["path"] for r in server.requests if "/dosyalar/" in r["path"]]


def engine_started(setup, engine_record):
    setup.prefix.wait_idle()
    return engine_record(setup.folder) is not None


def test_up_to_date_start_costs_one_request(setup, server, engine_record):
    server.publish(setup.current_files())
    result = setup.run()
    assert result.code == 0, result
    assert CHECKING + UP_TO_DATE in result.out
    (request,) = server.requests
    assert MANIFEST_REQUEST.match(request["path"]), request["path"]
    assert request["method"] == "GET"
    assert request["user_agent"] == USER_AGENT
    assert engine_started(setup, engine_record)


def test_update_of_several_files(setup, server, engine_record):
    (setup.folder / "cstrike").mkdir()
    (setup.folder / "cstrike" / "eski.txt").write_bytes(b"old version")
    new_files = {
        "cstrike/eski.txt": b"new version " * 1000,
        "cstrike/yeni.cfg": b"bind k kill\n",
        "Yeni Klas\u00f6r/ses dosyas\u0131.wav": bytes(range(256)) * 400,
    }
    server.publish({**setup.current_files(), **new_files})
    result = setup.run()
    assert result.code == 0, result
    assert CHECKING + DOWNLOADING in result.out
    assert DONE in result.out and PARTIAL not in result.out
    for name, data in new_files.items():
        assert (setup.folder / name).read_bytes() == data, name
    assert setup.leftovers() == []

    requested = file_requests(server)
    assert len(requested) == 3
    assert "/korvantis/guncelleme/dosyalar/Yeni%20Klas%C3%B6r/ses%20dosyas%C4%B1.wav" in [
        p.split("?")[0] for p in requested]
    for path in requested:
        assert re.search(r"\?v=[0-9a-f]{12}$", path), path
    assert engine_started(setup, engine_record)


def test_placed_once_file_is_fetched_while_missing_and_then_left_to_the_player(setup, server):
    name = "cstrike/varsayilan.cfg"
    first, newer, players = b"bind k kill\n", b"bind k kill\nbind j jump\n", b"sensitivity 3\n"

    def publish(data):
        server.publish(setup.current_files(), [f"#ilk {server.manifest_line(name, data)}"])
        server.put(server.file_path(name), data)

    publish(first)
    result = setup.run()
    assert result.code == 0 and DONE in result.out, result
    assert (setup.folder / name).read_bytes() == first
    assert [p.split("?")[0] for p in file_requests(server)] == [server.file_path(name)]

    # The player's own change, then a newer version published: neither is fetched, both runs
    # are up to date (the line counts nowhere once the file is there).
    (setup.folder / name).write_bytes(players)
    for data in (first, newer):
        publish(data)
        server.requests.clear()
        result = setup.run()
        assert result.code == 0 and UP_TO_DATE in result.out, result
        assert file_requests(server) == []
        assert (setup.folder / name).read_bytes() == players


@pytest.mark.parametrize("failure", ["404", "wrong digest", "cut body"])
def test_failed_file_leaves_old_target(setup, server, engine_record, failure):
    (setup.folder / "valve.dll").write_bytes(b"the old library")
    good = b"a file that arrives"
    wanted = b"the new library " * 5000
    server.publish({**setup.current_files(), "iyi.txt": good, "valve.dll": wanted})
    path = server.file_path("valve.dll")
    if failure == "404":
        server.on(path, reply.status(404))
    elif failure == "wrong digest":
        server.put(path, wanted[:-1] + b"X")
    else:
        server.on(path, reply.cut(wanted, len(wanted) // 2))
    result = setup.run()
    assert result.code == 0, result
    assert PARTIAL in result.out and DONE not in result.out
    assert (setup.folder / "valve.dll").read_bytes() == b"the old library"
    assert (setup.folder / "iyi.txt").read_bytes() == good
    assert setup.leftovers() == []
    assert engine_started(setup, engine_record)


def test_hundreds_of_files_side_by_side_fail_apart(setup, server, engine_record):
    rng = random.Random(21)
    files = {f"cstrike/paket/{i:03d}.dat": rng.randbytes(rng.randint(1, 60_000)) for i in range(300)}
    server.publish({**setup.current_files(), **files})
    broken = ["cstrike/paket/013.dat", "cstrike/paket/150.dat", "cstrike/paket/299.dat"]
    server.on(server.file_path(broken[0]), reply.status(404))
    wrong = files[broken[1]]
    server.put(server.file_path(broken[1]), wrong[:-1] + bytes([wrong[-1] ^ 1]))  # the same size
    server.on(server.file_path(broken[2]), reply.cut(files[broken[2]], len(files[broken[2]]) // 2))
    result = setup.run()
    assert result.code == 0, result
    assert PARTIAL in result.out and DONE not in result.out
    # One line, drawn by one thread: never past 100 %, and it ends there.
    shown = [(int(p), float(d), float(t)) for p, d, t in
             re.findall(r"\]\s+(\d+)%\s+([\d.]+) / ([\d.]+) MB", result.out)]
    assert shown and all(p <= 100 and d <= t for p, d, t in shown) and shown[-1][0] == 100, shown
    for name, data in files.items():
        assert (setup.folder / name).exists() == (name not in broken), name
        if name not in broken:
            assert (setup.folder / name).read_bytes() == data, name
    assert setup.leftovers() == []
    requested = sorted(p.split("?")[0] for p in file_requests(server))
    # Each once, but the cut one: asked again from where it broke, it started over and broke at
    # the same byte, which ends it.
    assert requested == sorted([server.file_path(name) for name in files] + [server.file_path(broken[2])])
    assert engine_started(setup, engine_record)


def test_names_leaving_the_folder_are_never_requested(setup, server, engine_record):
    hostile = ["../disarida.txt", "..\\disarida2.txt", "alt/../../disarida3.txt", "C:/kok.txt",
               "C:kok2.txt", "/kok3.txt", "\\kok4.txt", "\\\\sunucu\\pay\\x.txt", "NUL", "alt/CON.txt",
               "com1.txt", "nokta.", "bosluk /x.txt", ". ./disarida4.txt",
               # The launcher's own files: the saved game path, the old copy, a download, the
               # serial; taken for folders, which would block them for good; a short-name alias.
               "hl_yolu.txt", "HL_YOLU.TXT", "Korvantis.exe.eski", "izinli.txt.indiriliyor",
               "imza_sirasi.txt", "Korvantis.exe.indiriliyor/a.txt", "Korvantis.exe.eski/b.txt",
               "hl_yolu.txt/c.txt", "xash3d.exe/d.txt", "KORVAN~1.EXE"]
    digest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
    server.publish({**setup.current_files(), "izinli.txt": b"fine"},
                   extra_lines=[f"{digest} 5 {name}" for name in hostile])
    saved_path = (setup.folder / "hl_yolu.txt").read_bytes()
    before = sorted(p for p in setup.prefix.drive_c.rglob("*") if "windows" not in p.parts)
    result = setup.run()
    assert result.code == 0, result
    assert DONE in result.out
    assert [p.split("?")[0] for p in file_requests(server)] == ["/korvantis/guncelleme/dosyalar/izinli.txt"]
    assert engine_started(setup, engine_record)
    after = sorted(p for p in setup.prefix.drive_c.rglob("*") if "windows" not in p.parts)
    created = [p.relative_to(setup.prefix.drive_c).as_posix() for p in after if p not in before]
    assert created == ["Korvantis Mod/engine_received.json", "Korvantis Mod/izinli.txt"]
    assert (setup.folder / "hl_yolu.txt").read_bytes() == saved_path


def test_dlls_planted_beside_the_launcher_are_never_loaded(setup, server, build_dir, engine_record):
    # With this override Wine searches for these two as Windows does: the exe's folder first.
    planted = build_dir / "tests" / "helpers" / "planted"
    for dll in ("winhttp.dll", "bcrypt.dll"):
        shutil.copyfile(planted / dll, setup.folder / dll)
    server.publish({**setup.current_files(), "yeni.txt": b"hashed after download"})
    overrides = WINE_ENV["WINEDLLOVERRIDES"] + ";winhttp,bcrypt=n,b"
    result = setup.prefix.run(setup.launcher, stdin=b"\n", env={"WINEDLLOVERRIDES": overrides})
    assert sorted(p.name for p in setup.folder.glob("*.loaded")) == []
    assert result.code == 0, result
    assert DONE in result.out, result
    assert engine_started(setup, engine_record)


def test_self_update_restarts_with_same_arguments(setup, server, launcher_exe, engine_record):
    new_launcher = launcher_exe.read_bytes() + b"\0yeni surum"
    files = setup.current_files()
    files["Korvantis.exe"] = new_launcher
    server.publish(files)
    args = ["+connect", "10.0.0.5:27015", "-dev"]
    result = setup.run(args)
    assert result.code == 0, result
    setup.prefix.wait_idle()
    assert setup.launcher.read_bytes() == new_launcher
    record = engine_record(setup.folder)
    assert record is not None, "the restarted launcher did not start the engine"
    assert record["command_line"].endswith(" +connect 10.0.0.5:27015 -dev"), record
    # The engine inherits what the player's launcher had, and no mark of the restart.
    inherited = sorted(k for k in setup.prefix.env if k.upper().startswith("KORVANTIS"))
    assert sorted(record["korvantis_variables"]) == inherited, record
    manifests = [r for r in server.requests if MANIFEST_REQUEST.match(r["path"])]
    assert len(manifests) == 2
    assert [p.split("?")[0] for p in file_requests(server)] == ["/korvantis/guncelleme/dosyalar/Korvantis.exe"]


def test_a_new_launcher_that_cannot_start_gives_way_to_the_old_one(setup, server, engine_record):
    """A verified Korvantis.exe that is no program (a broken build, a quarantined file): the
    working launcher goes back under its name and starts the game; each start tries once."""
    old = setup.launcher.read_bytes()
    files = {**setup.current_files(), "Korvantis.exe": os.urandom(300_000)}
    server.publish(files)
    for start in range(2):
        server.requests.clear()
        engine_record_path = setup.folder / ENGINE_RECORD
        engine_record_path.unlink(missing_ok=True)
        result = setup.run(["-dev"])
        assert result.code == 0 and DONE in result.out, result
        assert engine_started(setup, engine_record), start
        assert engine_record(setup.folder)["command_line"].endswith(" -dev")
        assert setup.launcher.read_bytes() == old
        assert not (setup.folder / ("Korvantis.exe" + OLD_SUFFIX)).exists()
        assert [p.split("?")[0] for p in file_requests(server)] == [server.file_path("Korvantis.exe")]


def test_a_new_launcher_that_ends_without_confirming_is_kept(setup, server, helper_exe, engine_record):
    """A working program that says nothing back (a later launcher whose hand-over changed, a
    scanner's sandbox) is no broken launcher: it stays, and the old one does not start the game
    a second time."""
    newer = helper_exe("stand_in_engine").read_bytes()  # ends with 0 at once
    server.publish({**setup.current_files(), LAUNCHER: newer})
    result = setup.run(["-dev"])
    assert result.code == 0 and DONE in result.out, result
    setup.prefix.wait_idle()
    assert setup.launcher.read_bytes() == newer
    record = engine_record(setup.folder)
    assert record is not None and record["module"].lower().endswith("\\" + LAUNCHER.lower()), record


def test_two_launchers_a_moment_apart_on_a_first_install(prefix, launcher_exe, helper_exe, game_folder, server):
    """A double click too many on the first start: the second launcher waits for the first to
    finish, then finds everything current. Every file arrives once, whole."""
    folder = prefix.localappdata / "Korvantis"
    launcher = place_launcher(launcher_exe, folder)
    write_saved_path(folder, prefix.win(game_folder(prefix.drive_c / "Oyunlar" / "Counter-Strike 1.6")))
    rng = random.Random(24)
    files = {LAUNCHER: launcher.read_bytes(), ENGINE: helper_exe("stand_in_engine").read_bytes()}
    files |= {f"cstrike/sound/s{i:03d}.wav": rng.randbytes(20_000) for i in range(200)}
    server.publish(files)
    server.on(reply.FILES_ROOT, lambda request: time.sleep(0.05))  # a first install takes a while
    first = Run(prefix, launcher)
    time.sleep(0.5)
    second = Run(prefix, launcher)
    codes = (first.wait(120), second.wait(180))
    out = first.out + second.out
    assert codes == (0, 0) and PARTIAL not in out and PROMPT not in out, out
    waited = [run.out for run in (first, second) if WAITING in run.out]
    assert len(waited) == 1 and UP_TO_DATE in waited[0] and out.count(DONE) == 1, out
    for name, data in files.items():
        assert (folder / name).read_bytes() == data, name
    assert not list(folder.rglob("*" + DOWNLOAD_SUFFIX))
    requested = sorted(p.split("?")[0] for p in file_requests(server))
    assert requested == sorted(server.file_path(name) for name in files if name != LAUNCHER)


@pytest.mark.parametrize("fault", ["size off by one", "two names in other letter case"])
def test_a_launcher_line_that_never_settles_restarts_at_most_once(setup, server, launcher_exe,
                                                                  engine_record, fault):
    one = launcher_exe.read_bytes() + b"\0surum bir"
    two = launcher_exe.read_bytes() + b"\0surum iki"
    files = setup.current_files()
    del files["Korvantis.exe"]
    if fault == "size off by one":
        lines = [f"{hashlib.sha256(one).hexdigest()} {len(one) + 1} Korvantis.exe"]
        server.put(server.file_path("Korvantis.exe"), one)
    else:
        lines = [server.manifest_line("Korvantis.exe", one), server.manifest_line("KORVANTIS.EXE", two)]
        server.put(server.file_path("Korvantis.exe"), one)
        server.put(server.file_path("KORVANTIS.EXE"), two)
    server.publish(files, extra_lines=lines)
    result = setup.run(["-dev"])
    assert result.code == 0, result
    setup.prefix.wait_idle()
    record = engine_record(setup.folder)
    assert record is not None, "the game never started"
    assert record["command_line"].endswith(" -dev"), record
    manifests = [r for r in server.requests if MANIFEST_REQUEST.match(r["path"])]
    if fault == "size off by one":
        # Not what the line says it is: never put in place, so nothing to restart for.
        assert len(manifests) == 1
        assert PARTIAL in result.out
        assert setup.launcher.read_bytes() == launcher_exe.read_bytes()
    else:
        assert len(manifests) == 2


@pytest.mark.parametrize("answer", ["none", "cut manifest"])
def test_unreachable_server_with_engine_starts_game(request, setup, engine_record, answer):
    if answer == "cut manifest":
        # A manifest that breaks off is no manifest: nothing of it may be acted on.
        server = request.getfixturevalue("server")
        manifest = server.publish({**setup.current_files(), "yeni.txt": b"new"})
        server.on(reply.MANIFEST_PATH, reply.cut(manifest, len(manifest) - 20))
    result = setup.run()
    assert result.code == 0, result
    assert CHECKING + UNCHANGED in result.out
    assert not (setup.folder / "yeni.txt").exists()
    assert PROMPT not in result.out
    assert engine_started(setup, engine_record)


@pytest.mark.parametrize("answer, message", [
    (None, "\n  Indirme sunucusuna ulasilamadi. Internet baglantini kontrol et.\n"),
    ("cut", "\n  Indirme sunucusuna ulasilamadi. Internet baglantini kontrol et.\n"),
    (403, "\n  Indirme sunucusu baglantini engelledi (403).\n  Biraz sonra tekrar dene; olmazsa modemini "
          "kapatip ac ya da baska bir internetle dene.\n"),
    (404, "\n  Indirme sunucusu hata verdi (404). Biraz sonra tekrar dene.\n"),
])
def test_unreachable_server_without_engine_is_fatal(request, prefix, launcher_exe, engine, game_folder,
                                                    answer, message):
    # The installed launcher's first start: no engine beside it yet.
    setup = Setup(prefix, launcher_exe, engine, game_folder, prefix.localappdata / "Korvantis",
                  with_engine=False)
    if answer == "cut":
        server = request.getfixturevalue("server")
        manifest = server.publish({"xash3d.exe": b"engine bytes"})
        server.on(reply.MANIFEST_PATH, reply.cut(manifest, 10))
    elif answer is not None:
        server = request.getfixturevalue("server")
        server.on("/korvantis/", reply.status(answer))
    result = setup.run()
    assert result.code == 1, result
    assert result.out.endswith(CHECKING + message + "\n" + PROMPT), result.out


def test_engine_in_use_is_counted_as_not_arrived(setup, server, engine_record):
    old_engine = (setup.folder / "xash3d.exe").read_bytes()
    playing = setup.prefix.spawn(setup.folder / "xash3d.exe", env={"STAND_IN_ENGINE_STAY_MS": "30000"})
    try:
        deadline = time.monotonic() + 20
        while engine_record(setup.folder) is None and time.monotonic() < deadline:
            time.sleep(0.1)
        (setup.folder / "engine_received.json").unlink()
        new_engine = old_engine + b"\0yeni motor"
        server.publish({**setup.current_files(), "xash3d.exe": new_engine, "harita.bsp": b"map"})
        result = setup.run()
    finally:
        playing.proc.kill()  # the player closes the game
        playing.proc.wait()
    assert result.code == 0, result
    assert PARTIAL in result.out and DONE not in result.out
    assert (setup.folder / "xash3d.exe").read_bytes() == old_engine
    assert (setup.folder / "harita.bsp").read_bytes() == b"map"
    assert setup.leftovers() == []
    assert engine_started(setup, engine_record)
    # The next start, with the game closed, fetches what did not arrive.
    setup.prefix.wait_idle()
    server.requests.clear()
    result = setup.run()
    assert DONE in result.out, result
    assert (setup.folder / "xash3d.exe").read_bytes() == new_engine
