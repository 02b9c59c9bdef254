"""scan: ScanForGame against a bare FindFirstFileExW walk and find over a tree without the
game."""

from __future__ import annotations

import itertools
import os
import shutil
from pathlib import Path

from .context import Context
from .host import wall
from .output import Results, log
from .probes import floor_exe, timing, variant_exes
from .settings import Settings

SCAN_DEPTH = 7  # the launcher's own depth below a drive's root


def scan_tree(ctx: Context) -> Path:
    """10 x 10 x 10 x 10 x 4 = 40,000 leaves, 51,110 folders in all, five levels deep, no game."""
    tree = ctx.data / "tree"
    done = ctx.data / "tree.done"
    if not done.exists():
        shutil.rmtree(tree, ignore_errors=True)
        for a, b, c, d in itertools.product(range(10), repeat=4):
            for e in range(4):
                (tree / f"klasor_{a:02d}" / f"alt_{b:02d}" / f"dizin {c:02d}" / f"seviye_{d:02d}"
                 / f"yaprak-{e}").mkdir(parents=True)
        done.write_text("1")
    return tree


def measure(settings: Settings, ctx: Context) -> Results:
    results = Results()
    if not settings.scan:
        results.notes.append("drive scan skipped (SCAN=0)")
        return results
    tree = scan_tree(ctx)
    where = ctx.wine.win(tree)
    folders = sum(len(dirs) for _, dirs, _ in os.walk(tree))
    scan, walk, find = [], [], []
    for i in range(settings.rounds):
        r = timing(ctx, "scan", where, str(SCAN_DEPTH))
        assert r["ok"], r
        scan.append(r["seconds"])
        r = timing(ctx, "walk", where, str(SCAN_DEPTH), exe=floor_exe(ctx))
        if not r["ok"] or r["bytes"] != folders:
            raise RuntimeError(f"the bare walk saw {r['bytes']} of {folders} folders")
        walk.append(r["seconds"])
        t, _ = wall(["find", str(tree), "-maxdepth", str(SCAN_DEPTH), "-type", "d"])
        find.append(t)
        log(f"  scan round {i + 1}: ScanForGame {scan[-1]:.3f} s, FindFirstFileExW walk "
            f"{walk[-1]:.3f} s, find {find[-1]:.3f} s")
    rate = lambda t: f"{t:.3f} s ({folders / t:,.0f} folders/s)"  # noqa: E731
    name = f"drive scan {folders:,} folders"
    results.rows.append((f"{name}: ScanForGame vs bare FindFirstFileExW walk",
                         rate(min(scan)), rate(min(walk)), f"{min(scan) / min(walk):.2f}"))
    results.rows.append((f"{name}: ScanForGame vs find", rate(min(scan)), rate(min(find)),
                         f"{min(scan) / min(find):.2f}"))
    for label, exe in variant_exes(ctx, settings):
        t = min(timing(ctx, "scan", where, str(SCAN_DEPTH), exe=exe)["seconds"]
                for _ in range(settings.rounds))
        results.rows.append((f"{name}: {label} (scratch) vs bare FindFirstFileExW walk",
                             rate(t), rate(min(walk)), f"{t / min(walk):.2f}"))
    return results
