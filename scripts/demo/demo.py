"""The demo's inside part: run by scripts/demo.sh within its private mount and network namespace
(update host -> 127.0.0.1, throwaway CA trusted). Plays the chain a player lives through with
the real launcher under Wine, its console drawn in this terminal, against a real nginx.

    demo.py BUILD_DIR WORK_DIR CERT_DIR
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

from korvantis_harness.korvantis import (ENGINE_RECORD, FILES_ROOT, MANIFEST_REQUEST, USER_AGENT,
                                         register_steam_recorder)
from korvantis_harness.nginx import Nginx, local_nginx_conf
from korvantis_harness.wine import WINE64, Prefix, ensure_template
from korvantis_harness.wine import prefix_programs as harness_prefix_programs

REPO = Path(__file__).resolve().parents[2]

UPDATE_HOST = os.environ.get("KORVANTIS_UPDATE_HOST", "guncelleme.korvantis.example")
# Slow enough that the progress line can be watched, in the demo's copy of the configuration only.
RATE_MB = 8
BIG_FILE_MB = 48
# "\r  Taraniyor: %-72ls" and its wipe, "\r%-86ls\r".
SCAN_LINE_COLUMNS = 86
GAME_UNDER_D = ("Oyunlar", "Valve", "Counter-Strike 1.6")

COLOUR = sys.stdout.isatty() and os.environ.get("TERM", "dumb") != "dumb" and "NO_COLOR" not in os.environ
INTERACTIVE = sys.stdin.isatty()
WIDTH = min(80, shutil.get_terminal_size((80, 24)).columns)
TICK, CROSS = ("\u2713", "\u2717") if (sys.stdout.encoding or "").lower().startswith("utf") else ("ok", "FAIL")


def sgr(code: str, text: str) -> str:
    return f"\x1b[{code}m{text}\x1b[0m" if COLOUR else text


def say(text: str = "") -> None:
    print(text, flush=True)


def heading(text: str) -> None:
    say()
    say(sgr("1;36", text))


def note(text: str, indent: str = "   ") -> None:
    """Narration, wrapped to the terminal (at most 80 columns)."""
    for line in textwrap.wrap(text, WIDTH - 1, initial_indent=indent, subsequent_indent=indent,
                              break_long_words=False, break_on_hyphens=False):
        say(sgr("36", line))


def command(text: str) -> None:
    say(sgr("2", "   > " + text))


class DemoFailed(Exception):
    pass


# ----- the update server -------------------------------------------------------------------
def make_mod(folder: Path, launcher: Path, engine: Path) -> tuple[dict[str, bytes], bytes]:
    """The mod as its maintainer keeps it; the launcher in it is a newer build (the built exe
    with bytes appended: still valid, and different)."""
    newer = launcher.read_bytes() + b"\0Korvantis demo: a newer build\0" + os.urandom(4096)
    files = {
        "Korvantis.exe": newer,
        "xash3d.exe": engine.read_bytes(),
        "cstrike/maps/korvantis_kale.bsp": os.urandom(BIG_FILE_MB << 20),
        "cstrike/sound/korvantis/\u00e7a\u011fr\u0131.wav": b"RIFF" + os.urandom(300_000),
        "cstrike/korvantis.cfg": b'echo "Korvantis"\nbind k "+use"\n',
    }
    for name, data in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)
    return files, newer


def nginx_conf(work: Path, root: Path, certs: Path, rate_mb: int = RATE_MB) -> Path:
    limit = ("    sendfile on;\n",
             f"    sendfile on;\n    limit_rate {rate_mb}m;  # demo only: a watchable progress line\n")
    try:
        return local_nginx_conf(work, root, certs, UPDATE_HOST, extra=(limit,))
    except ValueError as error:
        raise DemoFailed(str(error)) from None


def start_nginx(conf: Path, work: Path) -> Nginx:
    try:
        return Nginx(work, conf)
    except RuntimeError as error:
        raise DemoFailed(str(error)) from None


ACCESS_LINE = re.compile(r'"(\S+) (\S+) HTTP/[\d.]+" (\d+) (\d+) "[^"]*" "([^"]*)"')


def access_log(work: Path) -> list[tuple[str, str, int, int, str]]:
    path = work / "log" / "access.log"
    if not path.exists():
        return []
    out = []
    for line in path.read_text(errors="replace").splitlines():
        m = ACCESS_LINE.search(line)
        if m:
            out.append((m[1], m[2], int(m[3]), int(m[4]), m[5]))
    return out


# ----- Wine --------------------------------------------------------------------------------
def prefix_programs(prefix: Prefix) -> list[tuple[int, str]]:
    """(pid, command line) of the programs running in the prefix, Wine's own services aside."""
    return harness_prefix_programs(prefix.root)


def wait_idle(prefix: Prefix, timeout: float) -> None:
    deadline = time.monotonic() + timeout
    while prefix_programs(prefix):
        if time.monotonic() > deadline:
            raise DemoFailed("still running: " + "; ".join(c for _, c in prefix_programs(prefix)))
        time.sleep(0.05)


def run_in_terminal(prefix: Prefix, program_win: str, cwd: Path, timeout: float) -> int:
    """Runs a program of the prefix with this terminal as its console and waits until it and
    every process it started have ended. Its own session: the terminal is nobody's controlling
    terminal, so a child that shares the console survives its parent (the restart)."""
    stdin = None if INTERACTIVE else subprocess.DEVNULL
    proc = subprocess.Popen([WINE64, program_win], cwd=cwd, env=prefix.env, stdin=stdin,
                            start_new_session=True)
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        raise DemoFailed(f"{program_win} still running after {timeout} s") from None
    wait_idle(prefix, timeout)
    return code


def stop_headless_copy(prefix: Prefix, installed: Path) -> str:
    """The installed copy that the first one started in a console of its own: it shows nothing
    here, so it is stopped as soon as it is seen, with whatever it started (its console host,
    the steam: handler). Returns what became of it."""
    name = prefix.win(installed).lower()
    stopped = seen = False
    deadline = time.monotonic() + 15
    quiet_since = None
    while time.monotonic() < deadline:
        programs = prefix_programs(prefix)
        for pid, cmdline in programs:
            ours = name in cmdline.lower()
            seen = seen or ours
            try:
                os.kill(pid, signal.SIGKILL)
                stopped = stopped or ours
            except ProcessLookupError:
                pass
        if programs:
            quiet_since = None
        elif quiet_since is None:
            quiet_since = time.monotonic()
        elif time.monotonic() - quiet_since > 0.3:
            break
        time.sleep(0.02)
    wait_idle(prefix, 15)
    if stopped:
        return "stopped"
    return "seen" if seen else "gone"


def read_lnk(lnk: Path) -> dict[str, str]:
    """Target and working folder as Debian's lnkinfo, an independent reader, sees them."""
    if not lnk.exists():
        raise DemoFailed(f"no shortcut {lnk}")
    out = subprocess.run(["lnkinfo", str(lnk)], capture_output=True, text=True).stdout
    fields = {}
    for line in out.splitlines():
        key, _, value = line.strip().partition(":")
        fields.setdefault(key.strip(), value.strip())
    return {"target": fields.get("Local path", ""), "folder": fields.get("Working directory", "")}


def same(a: Path, b_data: bytes) -> bool:
    return a.is_file() and hashlib.sha256(a.read_bytes()).digest() == hashlib.sha256(b_data).digest()


# ----- the demo ----------------------------------------------------------------------------
def main() -> int:
    build_dir, work, certs = (Path(a) for a in sys.argv[1:4])
    launcher = build_dir / "Korvantis.exe"
    engine = build_dir / "tests" / "helpers" / "stand_in_engine.exe"
    recorder = build_dir / "tests" / "helpers" / "url_recorder.exe"
    for product in (launcher, engine, recorder):
        if not product.is_file():
            raise DemoFailed(f"{product} is not built")
    started = time.monotonic()
    checks: list[tuple[bool, str]] = []
    times: list[str] = []

    # --- set-up, quietly ---
    template_cache = build_dir / "scenario-cache"
    if not (template_cache / "prefix-template" / "harness-ready").exists():
        note("Making a Wine prefix template (first run only, about 20 s)...")
    template = ensure_template(template_cache)
    prefix = Prefix(template, work / "wine")
    d_drive = work / "drive-d"
    prefix.add_drive("d", d_drive)
    register_steam_recorder(prefix, recorder)
    downloaded = prefix.downloads / "Korvantis.exe"
    shutil.copyfile(launcher, downloaded)
    # The game waits outside D: until the headless copy (below) is gone.
    staging = work / "game-later"
    game_unix = staging.joinpath(*GAME_UNDER_D)
    (game_unix / "cstrike").mkdir(parents=True)
    (game_unix / "cstrike" / "liblist.gam").write_text('game "Counter-Strike"\n')
    (game_unix / "valve").mkdir()

    mod = work / "mod"
    files, newer = make_mod(mod, launcher, engine)
    www = work / "www"
    publish = subprocess.run([sys.executable, str(REPO / "tools" / "publish.py"), "--test-host",
                              str(mod), str(www)],
                             capture_output=True, text=True)
    if publish.returncode != 0:
        raise DemoFailed("publish.py failed:\n" + publish.stdout + publish.stderr)
    nginx = start_nginx(nginx_conf(work / "nginx", www, certs), work / "nginx")
    try:
        prefix.start()
        # Wine's services start now, detached from the terminal.
        subprocess.run([WINE64, "cmd", "/c", "exit"], env=prefix.env, cwd=prefix.drive_c,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(f"set-up {time.monotonic() - started:.0f} s")
        total_mb = sum(len(d) for d in files.values()) / (1 << 20)
        note(f"Set up: a fresh Wine prefix; nginx with server/korvantis-site.conf serving what "
             f"tools/publish.py made, on 127.0.0.1:443 of a private network in which "
             f"{UPDATE_HOST} is this machine.")
        columns = shutil.get_terminal_size((0, 0)).columns
        if COLOUR and 0 < columns < SCAN_LINE_COLUMNS:
            note(f"(Wine draws the console {columns} columns wide, like this terminal; the drive "
                 f"scan's line needs {SCAN_LINE_COLUMNS}, so it wraps and leaves a trace.)")

        # --- 1: the downloaded copy installs itself ---
        stage = time.monotonic()
        heading("1/3  Korvantis.exe, downloaded and double-clicked, installs itself")
        command(prefix.win(downloaded))
        code = _first_run(prefix, downloaded)
        installed = prefix.localappdata / "Korvantis" / "Korvantis.exe"
        headless = stop_headless_copy(prefix, installed)
        times.append(f"install {time.monotonic() - stage:.0f} s")
        installed_win = prefix.win(installed)
        install_folder_win = installed_win[:-len("Korvantis.exe")]
        checks.append((code == 0 and same(installed, launcher.read_bytes()),
                       "installed itself in %LOCALAPPDATA%\\Korvantis"))
        links = {"Desktop": read_lnk(prefix.desktop / "Korvantis.lnk"),
                 "Start Menu\\Programs": read_lnk(prefix.programs / "Korvantis.lnk")}
        say()
        if links["Desktop"] == links["Start Menu\\Programs"]:
            note("Desktop\\Korvantis.lnk and Start Menu\\Programs\\Korvantis.lnk, read back "
                 "with lnkinfo:")
            note("target  " + links["Desktop"]["target"], "     ")
            note("in      " + links["Desktop"]["folder"], "     ")
        else:
            for label, link in links.items():
                note(f"{label}\\Korvantis.lnk (lnkinfo): {link['target']} in {link['folder']}")
        checks.append((all(l["target"].lower() == installed_win.lower() and
                           l["folder"].lower() == install_folder_win.lower()
                           for l in links.values()),
                       "a shortcut on the desktop and one in the Start menu"))
        what = {"stopped": "stopped", "seen": "it ended by itself",
                "gone": "it had ended"}[headless]
        note(f"Wine ran the installed copy headless: {what}; the shortcut starts it below.")

        # --- 2: the installed launcher, from the shortcut ---
        stage = time.monotonic()
        heading("2/3  From the shortcut: find the game, update, restart, start the engine")
        staging.joinpath(GAME_UNDER_D[0]).rename(d_drive / GAME_UNDER_D[0])
        game_win = prefix.win(d_drive.joinpath(*GAME_UNDER_D))
        note(f"Counter-Strike 1.6 lies in {game_win}; nothing tells the launcher so. The server "
             f"offers {len(files)} files, {total_mb:.0f} MB: the engine, the mod and a newer "
             f"Korvantis.exe. nginx is held to {RATE_MB} MB/s here (demo only) so that the "
             f"progress line can be watched.")
        target = links["Desktop"]["target"]
        command(target)
        run_in_terminal(prefix, target, prefix.unix(links["Desktop"]["folder"]), 300)
        times.append(f"update and start {time.monotonic() - stage:.0f} s")

        # --- 3: what the engine received ---
        folder = installed.parent
        record_file = folder / ENGINE_RECORD
        heading("3/3  The engine (a stand-in xash3d.exe) received")
        record = json.loads(record_file.read_text(encoding="utf-8")) if record_file.exists() else None
        if record:
            note("command line:")
            say(sgr("36", "     " + record["command_line"]))
            note("working folder:")
            say(sgr("36", "     " + record["cwd"]))
        else:
            note("nothing: the engine was not started.")

        # --- checks for the summary ---
        saved = folder / "hl_yolu.txt"
        checks.append((saved.exists() and saved.read_bytes().decode("utf-16-le", "replace")
                       == game_win, "Counter-Strike 1.6 found by the drive scan, saved in hl_yolu.txt"))
        arrived = [name for name, data in files.items() if same(folder / name, data)]
        checks.append((len(arrived) == len(files),
                       f"{len(arrived)} of {len(files)} files fetched over HTTPS, byte-identical "
                       f"to the published ones"))
        requests = access_log(work / "nginx")
        manifests = [r for r in requests if MANIFEST_REQUEST.match(r[1]) and r[2] == 200]
        fetched = [r for r in requests if r[1].startswith(FILES_ROOT) and r[2] == 200]
        agents = sorted({r[4] for r in requests})
        others = len(requests) - len(manifests) - len(fetched)
        checks.append((len(manifests) == 2 and len(fetched) == len(files) and others == 0
                       and agents == [USER_AGENT],
                       f"nginx log: {len(manifests)} manifest, {len(fetched)} file requests"
                       + (f" and {others} others" if others else "")
                       + f", all from {', '.join(agents)}"))
        old = folder / "Korvantis.exe.eski"
        checks.append((same(installed, newer),
                       "the launcher replaced itself with the newer build and restarted"
                       + (" (old build kept as Korvantis.exe.eski until the next start)"
                          if old.exists() else "")))
        expected_line = (f'"{install_folder_win}xash3d.exe" -game cstrike -nointro -rodir '
                         f'"{game_win}"')
        checks.append((record is not None and record["command_line"] == expected_line,
                       "the engine was started from the install folder with the game folder"))
    finally:
        prefix.close()
        nginx.close()

    passed = all(ok for ok, _ in checks)
    heading(f"Summary: {'all as expected' if passed else 'SOMETHING WENT WRONG'} "
            f"({', '.join(times)})")
    for ok, text in checks:
        mark = sgr("1;32", TICK) if ok else sgr("1;31", CROSS)
        lines = textwrap.wrap(text, WIDTH - 6, break_long_words=False, break_on_hyphens=False)
        say(f"   {mark} {lines[0]}")
        for line in lines[1:]:
            say(f"     {line}")
    note("Wine and nginx are stopped; the private network ends with this script.")
    return 0 if passed else 1


def _first_run(prefix: Prefix, downloaded: Path) -> int:
    """The downloaded copy ends as soon as it has started the installed one, which Wine runs in
    a console of its own: only the first process is waited for here."""
    stdin = None if INTERACTIVE else subprocess.DEVNULL
    proc = subprocess.Popen([WINE64, prefix.win(downloaded)], cwd=downloaded.parent,
                            env=prefix.env, stdin=stdin, start_new_session=True)
    try:
        return proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        raise DemoFailed("the downloaded copy still runs after 60 s") from None


if __name__ == "__main__":
    try:
        sys.exit(main())
    except DemoFailed as failure:
        say(sgr("1;31", f"\nDemo failed: {failure}"))
        sys.exit(1)
    except KeyboardInterrupt:
        say("\nInterrupted; Wine and nginx are stopped.")
        sys.exit(130)
