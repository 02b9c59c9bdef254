"""The C++ probes of bench/probes run on drive D:: bench_timing (the launcher's own code, timed
in-process) and bench_floor (the platform's floor), and scratch builds of bench_timing."""

from __future__ import annotations

import re
import shutil
from pathlib import Path

from .context import Context
from .settings import Settings

PROBES = ("bench_timing.exe", "bench_floor.exe")


def timing_exe(ctx: Context) -> Path:
    return ctx.data / "tools" / "bench_timing.exe"


def floor_exe(ctx: Context) -> Path:
    return ctx.data / "tools" / "bench_floor.exe"


def install_probes(ctx: Context) -> None:
    """The probes of this build copied onto drive D:."""
    for name in PROBES:
        shutil.copyfile(ctx.build / "bench" / name, ctx.data / "tools" / name)


def timing(ctx: Context, *args: str, exe: Path | None = None) -> dict:
    """One run of a probe (bench_timing unless exe says otherwise); its RESULT line as a dict,
    with cpu: the process's user + system seconds."""
    exe = exe or timing_exe(ctx)
    code, out, cpu = ctx.wine.run(exe, args)
    m = re.search(r"RESULT seconds=([0-9.]+) bytes=(\d+) ok=([01]) digest=(\S+)", out)
    if not m:
        raise RuntimeError(f"bench_timing {args} gave no result (exit {code}):\n{out[-2000:]}")
    return {"seconds": float(m[1]), "bytes": int(m[2]), "ok": m[3] == "1", "digest": m[4],
            "cpu": cpu}


def variant_exes(ctx: Context, settings: Settings) -> list[tuple[str, Path]]:
    """The scratch builds named in VARIANTS, copied onto drive D:."""
    found = []
    for label, path in settings.variants:
        target = ctx.data / "tools" / f"variant-{len(found)}.exe"
        shutil.copyfile(path, target)
        found.append((label, target))
    return found
