"""download: DownloadToFile against a bare WinHTTP loop and curl, one file from the update
server."""

from __future__ import annotations

from .context import Context
from .host import MIB, make_random, sha256, wall
from .output import Results, log, seconds_and_rate
from .probes import floor_exe, timing, timing_exe, variant_exes
from .publish import serve
from .settings import Settings


def measure(settings: Settings, ctx: Context) -> Results:
    results = Results()
    download_mb = settings.download_mb
    size = download_mb * MIB
    source = make_random(ctx.data / f"download-{download_mb}.bin", size)
    expected = sha256(source)
    server_path = serve(ctx, f"bench/download-{download_mb}.bin", source, expected)
    out_dir = ctx.data / "downloads"
    out_dir.mkdir(exist_ok=True)
    floor = floor_exe(ctx)
    clients = [("DownloadToFile", timing_exe(ctx)), ("WinHTTP loop", floor),
               *variant_exes(ctx, settings)]
    times: dict[str, list[float]] = {label: [] for label, _ in clients}
    cpu: dict[str, list[float]] = {label: [] for label, _ in clients}
    curl = []
    for i in range(settings.rounds):
        for label, exe in clients:
            target = out_dir / "launcher.bin"
            args = (ctx.host, server_path) if exe == floor else (server_path,)
            r = timing(ctx, "download", *args, ctx.wine.win(target), exe=exe)
            if not r["ok"] or r["bytes"] != size:
                raise RuntimeError(f"{label} failed: {r}")
            if i == 0 and sha256(target) != expected:
                raise RuntimeError(f"{label} stored other bytes than served")
            target.unlink()
            times[label].append(r["seconds"])
            cpu[label].append(r["cpu"])
        target = out_dir / "curl.bin"
        _, o = wall(["curl", "-sS", "--fail", "-o", str(target), "-w", "%{time_total}",
                     ctx.url(server_path)])
        if target.stat().st_size != size:
            raise RuntimeError("curl fetched a short file")
        target.unlink()
        curl.append(float(o.stdout.decode()))
        log(f"  download round {i + 1}: "
            + ", ".join(f"{label} {t[-1]:.3f} s (process CPU {cpu[label][-1]:.2f} s)"
                        for label, t in times.items())
            + f", curl {curl[-1]:.3f} s")
    bare = min(times.pop("WinHTTP loop"))
    for label, t in times.items():
        name = "DownloadToFile" if label == "DownloadToFile" else f"{label} (scratch)"
        results.rows.append((f"download {download_mb} MiB: {name} vs bare WinHTTP loop",
                             seconds_and_rate(min(t), size), seconds_and_rate(bare, size),
                             f"{min(t) / bare:.2f}"))
    best = min(times["DownloadToFile"])
    results.rows.append((f"download {download_mb} MiB: DownloadToFile vs curl",
                         seconds_and_rate(best, size), seconds_and_rate(min(curl), size),
                         f"{best / min(curl):.2f}"))
    return results
