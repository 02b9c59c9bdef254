"""memory: the launcher's peak resident set updating a big file against updating a small one
(1: flat)."""

from __future__ import annotations

from korvantis_harness.korvantis import DONE

from .context import Context
from .host import MIB, make_random, sha256
from .launcher import launcher_folder, run_launcher
from .output import Results, log
from .publish import add_to_manifest, publish_manifest, serve
from .settings import Settings


def measure(settings: Settings, ctx: Context) -> Results:
    results = Results()
    folder = launcher_folder(ctx, ctx.data / "mem")
    peaks = {}
    for mb in (settings.mem_small_mb, settings.mem_big_mb):
        name = f"guncelleme-{mb}.bin"
        source = make_random(ctx.data / "payload" / name, mb * MIB)
        serve(ctx, name, source, sha256(source))
        for old in folder.glob("guncelleme-*"):
            old.unlink()
        publish_manifest(ctx, folder, ["Korvantis.exe", "xash3d.exe"])
        add_to_manifest(ctx, [f"{sha256(source)} {mb * MIB} {name}\n"])
        best = None
        for i in range(settings.mem_rounds):
            (folder / name).unlink(missing_ok=True)
            r = run_launcher(ctx, folder, peak=True)
            got = folder / name
            if (r["code"] != 0 or DONE not in r["out"] or not got.is_file()
                    or got.stat().st_size != mb * MIB or r["engine"] is None):
                raise RuntimeError(f"{mb} MiB update failed (exit {r['code']}):\n"
                                   f"{r['out'][-1500:]}")
            log(f"  memory, {mb} MiB update round {i + 1}: VmHWM {r['peak_kib'] / 1024:.1f} MiB "
                f"(wait4 ru_maxrss {r['rusage_kib'] / 1024:.1f} MiB); "
                f"run {r['ended'] - r['started']:.1f} s")
            best = r if best is None or r["peak_kib"] > best["peak_kib"] else best
            got.unlink()
        peaks[mb] = best["peak_kib"]
    big, small = peaks[settings.mem_big_mb], peaks[settings.mem_small_mb]
    results.rows.append((f"peak RSS, {settings.mem_big_mb} MiB update vs {settings.mem_small_mb} "
                         f"MiB update", f"{big / 1024:.1f} MiB", f"{small / 1024:.1f} MiB",
                         f"{big / small:.2f}"))
    return results
