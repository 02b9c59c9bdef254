"""start: an up-to-date mod's start to the engine against fetching its manifest with curl and
hashing its files with openssl; a Wine program's own start as a note."""

from __future__ import annotations

import shutil
import time

from korvantis_harness.korvantis import ENGINE_RECORD, UP_TO_DATE

from .context import Context
from .host import MIB, make_random, wall, warm
from .launcher import launcher_folder, run_launcher
from .output import Results, log
from .publish import UPDATE_ROOT, publish_manifest
from .settings import Settings


def mod_names(settings: Settings) -> list[str]:
    return [f"cstrike_korvantis/pak{i:03d}.bin" for i in range(settings.mod_files)]


def measure(settings: Settings, ctx: Context) -> Results:
    results = Results()
    folder = launcher_folder(ctx, ctx.data / "mod")
    names = mod_names(settings)
    size = settings.mod_mb * MIB
    for i, name in enumerate(names):
        part = size // settings.mod_files + (1 if i < size % settings.mod_files else 0)
        make_random(folder / name, part)
    for stale in (folder / "cstrike_korvantis").glob("*.bin"):
        if str(stale.relative_to(folder)) not in names:
            stale.unlink()
    listed = ["Korvantis.exe", "xash3d.exe", *names]
    publish_manifest(ctx, folder, listed)
    files = [folder / n for n in listed]
    warm(*files)

    def launcher_round() -> float:
        r = run_launcher(ctx, folder)
        if r["code"] != 0 or r["engine"] is None or UP_TO_DATE not in r["out"]:
            raise RuntimeError(f"up-to-date start failed (exit {r['code']}):\n{r['out'][-1500:]}")
        return r["engine"] - r["started"]

    def anchor_round() -> tuple[float, float]:
        fetch, _ = wall(["curl", "-sS", "--fail", "-o", "/dev/null",
                         ctx.url(f"/{UPDATE_ROOT}/manifest.txt?t={time.time_ns()}")])
        digest, _ = wall(["openssl", "dgst", "-sha256", *map(str, files)], cwd=folder)
        return fetch, digest

    launcher_round()  # the first start of a prefix loads and maps Wine's DLLs
    anchor_round()
    launcher, anchor = [], []
    for i in range(settings.rounds):
        launcher.append(launcher_round())
        fetch, digest = anchor_round()
        anchor.append(fetch + digest)
        log(f"  start round {i + 1}: launcher to engine {launcher[-1]:.3f} s; curl manifest "
            f"{fetch:.3f} s + openssl {digest:.3f} s")
    results.rows.append((f"start to engine, up-to-date {settings.mod_mb} MiB mod "
                         f"({len(listed)} files)",
                         f"{min(launcher):.3f} s", f"{min(anchor):.3f} s (curl+openssl)",
                         f"{min(launcher) / min(anchor):.2f}"))

    # What any Wine program pays before its first line runs: the stand-in engine alone.
    empty = ctx.data / "empty"
    empty.mkdir(exist_ok=True)
    shutil.copyfile(folder / "xash3d.exe", empty / "xash3d.exe")
    starts = []
    for _ in range(settings.rounds):
        (empty / ENGINE_RECORD).unlink(missing_ok=True)
        started = time.time()
        ctx.wine.run(empty / "xash3d.exe", cwd=empty, timeout=60)
        starts.append((empty / ENGINE_RECORD).stat().st_mtime - started)
    results.notes.append(f"a Wine program's own start (the stand-in engine started alone, to its "
                         f"record): {min(starts):.3f} s of the launcher's {min(launcher):.3f} s")
    return results
