"""finish: what follows a file's last byte up to its move, per file: the update's (flush, the
digest taken while the bytes were written, move) against a second read for the digest as
before, and against the flush and the move alone."""

from __future__ import annotations

import shutil

from .context import Context
from .host import make_random, sha256
from .output import Results, log
from .probes import timing
from .publish import serve
from .settings import Settings


def measure(settings: Settings, ctx: Context) -> Results:
    results = Results()
    kib, files = settings.finish_kib, settings.finish_files
    source = make_random(ctx.data / f"finish-{kib}k.bin", kib << 10)
    expected = sha256(source)
    server_path = serve(ctx, f"bench/finish-{kib}k.bin", source, expected)
    best: dict[str, float] = {}
    for i in range(settings.rounds):
        this_round: dict[str, float] = {}
        for how in ("inline", "reread", "flush"):
            folder = ctx.data / "finish"
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            r = timing(ctx, "finish", how, server_path, ctx.wine.win(folder), str(files))
            if not r["ok"] or r["bytes"] != files * (kib << 10):
                raise RuntimeError(f"finish {how} failed: {r}")
            if how != "flush" and r["digest"] != expected:
                raise RuntimeError(f"finish {how} took another digest")
            this_round[how] = r["seconds"] / files
            best[how] = min(best.get(how, this_round[how]), this_round[how])
        log(f"  finish round {i + 1}: "
            + ", ".join(f"{h} {t * 1000:.2f} ms" for h, t in this_round.items()))
    shown = lambda s: f"{s * 1000:.2f} ms/file"  # noqa: E731
    results.rows.append((f"last byte to move, {kib} KiB files: the update vs a second read",
                         shown(best["inline"]), shown(best["reread"]),
                         f"{best['inline'] / best['reread']:.2f}"))
    results.rows.append((f"last byte to move, {kib} KiB files: the update vs flush and move alone",
                         shown(best["inline"]), shown(best["flush"]),
                         f"{best['inline'] / best['flush']:.2f}"))
    return results
