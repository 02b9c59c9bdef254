"""The inside part of scripts/screenshot.sh (run in its private namespace): the installed
launcher under Wine in a tmux pane finds the game on D: and updates from nginx; the pane is
captured with its colours while the progress line runs, and rendered to a PNG by headless
Chromium.

    screenshot.py BUILD_DIR WORK_DIR CERT_DIR OUT_PNG
"""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

import ansi_html
from demo import DemoFailed, nginx_conf, start_nginx
from korvantis_harness.korvantis import DONE
from korvantis_harness.wine import WINE64, Prefix, ensure_template

COLUMNS, ROWS = 88, 16  # wide enough for the scan line (85 columns) not to wrap
RATE_MB = 4
PERCENT = re.compile(r"\]\s+(\d+)%")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--hide-scrollbars"]


def capture(tmux: list[str], colours: bool) -> str:
    args = [*tmux, "capture-pane", "-p", "-t", "shot"] + (["-e"] if colours else [])
    return subprocess.run(args, capture_output=True, text=True).stdout


def chromium(work: Path, *args: str) -> str:
    profile = work / "chromium-profile"
    shutil.rmtree(profile, ignore_errors=True)
    result = subprocess.run(["chromium", *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *args],
                            capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise DemoFailed("chromium failed:\n" + result.stderr[-2000:])
    return result.stdout


def render(screen: str, out_png: Path, work: Path) -> None:
    rows = len(screen.rstrip("\n").split("\n")) + 1
    page = ansi_html.page(screen, "Korvantis", COLUMNS, rows)
    # First pass: let Chromium lay the page out and report the window's size.
    probe = page.replace("</body>", "<script>document.title = "
                         "document.querySelector('.window').offsetWidth + 'x' + "
                         "document.querySelector('.window').offsetHeight;</script></body>")
    html_file = work / "console.html"
    html_file.write_text(probe, encoding="utf-8")
    dom = chromium(work, "--dump-dom", html_file.as_uri())
    m = re.search(r"<title>(\d+)x(\d+)</title>", dom)
    if not m:
        raise DemoFailed("could not measure the page")
    html_file.write_text(page, encoding="utf-8")
    out_png.parent.mkdir(parents=True, exist_ok=True)
    chromium(work, f"--screenshot={out_png}", f"--window-size={m[1]},{m[2]}", html_file.as_uri())


def main() -> int:
    build_dir, work, certs, out_png = (Path(a) for a in sys.argv[1:5])
    template = ensure_template(build_dir / "scenario-cache")
    prefix = Prefix(template, work / "wine")
    d_drive = work / "drive-d"
    prefix.add_drive("d", d_drive)
    game = d_drive / "Oyunlar" / "Valve" / "Counter-Strike 1.6"
    (game / "cstrike").mkdir(parents=True)
    (game / "cstrike" / "liblist.gam").write_text('game "Counter-Strike"\n')
    (game / "valve").mkdir()
    folder = prefix.localappdata / "Korvantis"
    folder.mkdir(parents=True)
    shutil.copyfile(build_dir / "Korvantis.exe", folder / "Korvantis.exe")

    mod = work / "mod"
    for name, data in {
        "xash3d.exe": (build_dir / "tests" / "helpers" / "stand_in_engine.exe").read_bytes(),
        "cstrike/maps/korvantis_kale.bsp": os.urandom(40 << 20),
        "cstrike/korvantis.cfg": b'bind k "+use"\n',
    }.items():
        (mod / name).parent.mkdir(parents=True, exist_ok=True)
        (mod / name).write_bytes(data)
    www = work / "www"
    subprocess.run([sys.executable, str(Path(__file__).resolve().parents[2] / "tools" / "publish.py"),
                    "--test-host", str(mod), str(www)], check=True, stdout=subprocess.DEVNULL)
    nginx = start_nginx(nginx_conf(work / "nginx", www, certs, RATE_MB), work / "nginx")
    tmux = ["tmux", "-S", str(work / "tmux.sock")]
    try:
        prefix.start()
        subprocess.run([WINE64, "cmd", "/c", "exit"], env=prefix.env, cwd=prefix.drive_c,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env = [f"{k}={v}" for k, v in prefix.env.items() if k.startswith(("WINE", "HOME", "LANG", "PATH"))]
        program = prefix.win(folder / "Korvantis.exe")
        command = (f"cd {shlex.quote(str(folder))} && env TERM=xterm-256color "
                   + " ".join(shlex.quote(e) for e in env)
                   + f" setsid -w {WINE64} {shlex.quote(program)}; sleep 600")
        subprocess.run([*tmux, "new-session", "-d", "-s", "shot", "-x", str(COLUMNS), "-y", str(ROWS),
                        command], check=True)
        shot = None
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            plain = capture(tmux, colours=False)
            m = PERCENT.search(plain)
            if m and 55 <= int(m[1]) <= 80:
                shot = capture(tmux, colours=True)
                if PERCENT.search(ansi_html.SGR.sub("", shot)):
                    break
            if DONE.strip() in plain:
                shot = capture(tmux, colours=True)  # a fast machine: the finished line instead
                break
            time.sleep(0.1)
        if shot is None:
            raise DemoFailed("the progress line never showed:\n" + capture(tmux, colours=False))
    finally:
        subprocess.run([*tmux, "kill-server"], stderr=subprocess.DEVNULL)
        prefix.close()
        nginx.close()
    lines = shot.rstrip().split("\n")
    # tmux leaves the colour of the last cell open; the page resets it per line anyway.
    render("\n".join(lines), out_png, work)
    shown = PERCENT.search(ansi_html.SGR.sub("", shot))
    print(f"{out_png}: the pane at {shown[1] if shown else '?'}% of the update")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except DemoFailed as failure:
        print(f"screenshot failed: {failure}", file=sys.stderr)
        sys.exit(1)
