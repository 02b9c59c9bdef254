"""A player's launcher folder on drive D:, and the launcher run in it to its end."""

from __future__ import annotations

import re
import shutil
import subprocess
import threading
import time
from pathlib import Path

from korvantis_harness.korvantis import ENGINE_RECORD
from korvantis_harness.wine import WINE64

from .context import Context
from .wine import wait_with_usage


def launcher_folder(ctx: Context, folder: Path) -> Path:
    """Korvantis.exe with the stand-in engine beside it and a saved path to a game folder."""
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(ctx.build / "Korvantis.exe", folder / "Korvantis.exe")
    shutil.copyfile(ctx.build / "tests" / "helpers" / "stand_in_engine.exe", folder / "xash3d.exe")
    game = ctx.data / "game"
    (game / "cstrike").mkdir(parents=True, exist_ok=True)
    (game / "cstrike" / "liblist.gam").write_text('game "Counter-Strike"\n')
    (game / "valve").mkdir(exist_ok=True)
    (folder / "hl_yolu.txt").write_bytes(ctx.wine.win(game).encode("utf-16-le"))
    (folder / ENGINE_RECORD).unlink(missing_ok=True)
    return folder


def run_launcher(ctx: Context, folder: Path, peak: bool = False, timeout: float = 600) -> dict:
    """Runs the launcher in folder to its end. started: wall time before the start; engine: wall
    time the stand-in engine wrote its record (None if it never started); peak_kib: the wine
    process's peak resident set, its VmHWM polled every 10 ms (peak: True); rusage_kib: wait4's
    ru_maxrss, which also counts the programs it started and whatever ran before exec."""
    record = folder / ENGINE_RECORD
    record.unlink(missing_ok=True)
    out_path = ctx.work / "launcher-output.txt"
    hwm = [0]
    with open(out_path, "wb") as out:
        started = time.time()
        # wine64 itself becomes the Windows process, so its pid is the launcher's.
        proc = subprocess.Popen([WINE64, ctx.wine.win(folder / "Korvantis.exe")],
                                env=ctx.wine.env, cwd=folder, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        done = threading.Event()

        def poll() -> None:
            status = Path(f"/proc/{proc.pid}/status")
            while not done.is_set():
                try:
                    m = re.search(r"^VmHWM:\s+(\d+) kB", status.read_text(), re.M)
                    if m:
                        hwm[0] = max(hwm[0], int(m[1]))
                except OSError:
                    pass
                done.wait(0.01)

        poller = threading.Thread(target=poll, daemon=True)
        if peak:
            poller.start()
        try:
            _, usage = wait_with_usage(proc, timeout, "launcher")
        finally:
            done.set()
        ended = time.time()
    engine = None
    for _ in range(500):  # nobody waits for the engine; give it a moment
        if record.exists():
            engine = record.stat().st_mtime
            break
        time.sleep(0.01)
    output = out_path.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n")
    return {"started": started, "ended": ended, "engine": engine, "code": proc.returncode,
            "out": output, "peak_kib": hwm[0], "rusage_kib": usage.ru_maxrss}
