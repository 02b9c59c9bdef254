"""wan: first installs over a wide-area line (bench/wan_relay.py): the launcher against curl over
one keep-alive connection, curl -Z over six, and the line's floor (bytes / rate)."""

from __future__ import annotations

import random
import re
import shutil
import subprocess
import time
from pathlib import Path

from korvantis_harness.korvantis import DONE
from korvantis_harness.nginx import Nginx

from .context import Context
from .host import MIB, make_random, sha256, wall, warm
from .launcher import launcher_folder, run_launcher
from .line import ORIGIN_PORT, Line, behind_relay
from .output import Results, log
from .publish import make_mod, publish_mod, serve
from .settings import Settings


def wan_mods(settings: Settings, ctx: Context) -> list[dict]:
    rng = random.Random("korvantis-wan")
    # Many small files, a few near 256 KiB: about 62 MiB in 1,000.
    small = [(f"cstrike_korvantis/sesler/{i // 100:02d}/ses_{i:04d}.wav",
              (2 << 10) + int((254 << 10) * rng.random() ** 3.2))
             for i in range(settings.wan_small)]
    medium = [(f"cstrike_korvantis/paketler/paket_{i:02d}.pak", 2 * MIB)
              for i in range(settings.wan_medium)]
    large = [(f"cstrike_korvantis/haritalar/harita_{i:02d}.bsp", 8 * MIB)
             for i in range(settings.wan_large)]
    return [m for m in (make_mod(ctx, "many", small + medium), make_mod(ctx, "large", large))
            if m["entries"]]


def wan_budget(settings: Settings, mod: dict) -> float:
    """Seconds any one run may take: far above a slow run, still an end."""
    floor = mod["bytes"] / settings.wan_rate
    return 120 + 20 * (floor + 4 * len(mod["entries"]) * settings.wan_rtt_ms / 1000)


def wan_line(settings: Settings, ctx: Context, mod: dict, rtt_ms: int | None = None,
             mbit: int | None = None, runs: int = 1) -> Line:
    """The configured line (or another rtt_ms and mbit) for `runs` runs of mod."""
    return Line(ctx.work, settings.wan_rtt_ms if rtt_ms is None else rtt_ms,
                settings.wan_mbit if mbit is None else mbit,
                runs * wan_budget(settings, mod) + 60, runs * 2 * mod["bytes"] + 256 * MIB)


def wan_curl_config(ctx: Context, mod: dict, out: Path) -> Path:
    """curl's list of the launcher's requests for mod, each to its own file below out."""
    config = ctx.work / f"wan-curl-{mod['label']}.txt"
    config.write_text("".join(f'url = "{ctx.url(e["path"])}"\noutput = "{out / e["name"]}"\n'
                              for e in mod["entries"]))
    return config


def wan_curl(settings: Settings, ctx: Context, mod: dict, parallel: int, check: bool,
             direct: bool = False) -> float:
    """Every file of mod fetched by one curl: over one keep-alive connection, or over
    `parallel` connections at once (curl -Z). Wall seconds; the files' sizes are checked, and
    their digests when check is set. direct: to nginx itself, past the relay."""
    out = ctx.work / "wan-curl"
    shutil.rmtree(out, ignore_errors=True)
    command = ["curl", "-sS", "--fail", "--create-dirs", "-K", str(wan_curl_config(ctx, mod, out))]
    if parallel > 1:
        command[1:1] = ["-Z", "--parallel-max", str(parallel)]
    if direct:
        command[1:1] = ["--connect-to", f"{ctx.host}:443:127.0.0.1:{ORIGIN_PORT}"]
    start = time.perf_counter()
    r = subprocess.run(command, capture_output=True, timeout=wan_budget(settings, mod))
    elapsed = time.perf_counter() - start
    if r.returncode != 0:
        raise RuntimeError(f"curl failed ({r.returncode}): {r.stderr.decode()[-500:]}")
    for e in mod["entries"]:
        got = out / e["name"]
        if got.stat().st_size != e["size"] or (check and sha256(got) != e["digest"]):
            raise RuntimeError(f"curl stored other bytes than served for {e['name']}")
    shutil.rmtree(out)
    return elapsed


def wan_install(settings: Settings, ctx: Context, mod: dict, player: Path, origin: Nginx,
                check: bool) -> float:
    """The launcher's first install of mod into a player folder with only the launcher and the
    engine: seconds from its start to the engine's record. check: its requests must be the
    ones curl makes."""
    shutil.rmtree(player, ignore_errors=True)
    launcher_folder(ctx, player)
    before = len(origin.log_lines())
    r = run_launcher(ctx, player, timeout=wan_budget(settings, mod))
    if r["code"] != 0 or r["engine"] is None or DONE not in r["out"]:
        raise RuntimeError(f"{mod['label']} install failed (exit {r['code']}):\n{r['out'][-1500:]}")
    for e in mod["entries"]:
        if (player / e["name"]).stat().st_size != e["size"]:
            raise RuntimeError(f"the launcher left {e['name']} with another size")
    if check:
        asked = {m[1] for m in map(re.compile(r'"GET (\S+) HTTP').search,
                                   origin.log_lines()[before:]) if m and "/dosyalar/" in m[1]}
        if asked != {e["path"] for e in mod["entries"]}:
            raise RuntimeError(f"the launcher asked for other files than curl does: "
                               f"{sorted(asked ^ {e['path'] for e in mod['entries']})[:5]}")
    return r["engine"] - r["started"]


def wan_relay_checks(settings: Settings, ctx: Context, mods: list[dict]) -> list[str]:
    """The relay set against nginx itself (no delay, a rate far above loopback's), then one big
    file over the configured line: its handshake, first byte and rate. Two notes."""
    notes = []
    check_mb = settings.wan_check_mb
    check = ctx.data / "wan-src" / f"check-{check_mb}.bin"
    size = check_mb * MIB
    make_random(check, size)
    path = serve(ctx, f"bench/wan-check-{check_mb}.bin", check, sha256(check))
    curl = ["curl", "-sS", "--fail", "-o", "/dev/null", "-w",
            "%{time_appconnect} %{time_starttransfer} %{time_total} %{size_download}",
            ctx.url(path)]

    def fetch(*extra: str) -> list[float]:
        _, r = wall([curl[0], *extra, *curl[1:]])
        times = [float(x) for x in r.stdout.decode().split()]
        if times[3] != size:
            raise RuntimeError("curl fetched a short check file")
        return times

    fastest = lambda runs: min(runs, key=lambda t: t[2])  # noqa: E731
    direct = fastest([fetch("--connect-to", f"{ctx.host}:443:127.0.0.1:{ORIGIN_PORT}")
                      for _ in range(3)])
    many = mods[0]
    many_direct = wan_curl(settings, ctx, many, 1, False, direct=True)
    with wan_line(settings, ctx, many, 0, 100_000, runs=2) as line:
        relayed = fastest([fetch() for _ in range(3)])
        many_relayed = wan_curl(settings, ctx, many, 1, False)
    notes.append(f"relay overhead (0 ms, 100 Gbit/s) against nginx itself: {check_mb} MiB "
                 f"curl {relayed[2]:.3f} s vs {direct[2]:.3f} s; {len(many['entries']):,} "
                 f"files over one connection {many_relayed:.3f} s vs {many_direct:.3f} s "
                 f"(+{1000 * (many_relayed - many_direct) / len(many['entries']):.2f} ms a file); "
                 f"relay CPU {line.stats['cpu_s']:.1f} s")
    rtt = settings.wan_rtt_ms / 1000
    rate = settings.wan_rate
    with Line(ctx.work, settings.wan_rtt_ms, settings.wan_mbit, 60 + 20 * size / rate,
              2 * size + 64 * MIB) as line:
        tls, first, total, _ = fetch()
    # curl loads its CA store while its first flight is on the way, so the handshake is set
    # against round trips alone; the request against the same step at 0 ms.
    ms = lambda t: f"{1000 * t:.1f} ms"  # noqa: E731
    notes.append(f"line check, one {check_mb} MiB curl over the relay: TLS ready at "
                 f"{ms(tls)} (2 RTT + {ms(tls - 2 * rtt)}; TLS 1.3 after the TCP handshake), "
                 f"first byte 1 RTT + {ms(first - tls - rtt)} later (at 0 ms: "
                 f"{ms(relayed[1] - relayed[0])}), body at "
                 f"{size / (total - first) * 8 / 1e6:.1f} Mbit/s, total {total:.3f} s vs "
                 f"size/rate + 3 RTT = {size / rate + 3 * rtt:.3f} s; releases late by "
                 f"{line.stats['late_ms_mean']:.3f} ms on average (p99 "
                 f"{line.stats['late_ms_p99']:.2f} ms)")
    return notes


def wan_rows(settings: Settings, ctx: Context, mod: dict, player: Path,
             origin: Nginx) -> Results:
    results = Results()
    publish_mod(ctx, mod, player)
    files = len(mod["entries"])
    floor = mod["bytes"] / settings.wan_rate
    times: dict[str, list[float]] = {"launcher": [], "curl": [], "curl -Z": []}
    lines: dict[str, dict] = {}
    for i in range(settings.rounds):
        for label, run in (
                ("launcher", lambda: wan_install(settings, ctx, mod, player, origin, i == 0)),
                ("curl", lambda: wan_curl(settings, ctx, mod, 1, i == 0)),
                ("curl -Z", lambda: wan_curl(settings, ctx, mod, 6, i == 0))):
            with wan_line(settings, ctx, mod) as line:
                times[label].append(run())
            lines[label] = line.stats
        log(f"  wan {mod['label']} round {i + 1}: "
            + ", ".join(f"{label} {t[-1]:.3f} s" for label, t in times.items())
            + f" (floor {floor:.3f} s)")
    best = {label: min(t) for label, t in times.items()}
    name = (f"wan {settings.wan_rtt_ms} ms {settings.wan_mbit} Mbit/s, install {files:,} files "
            f"{mod['bytes'] / MIB:.0f} MiB")
    x = lambda t: f"{t:.3f} s ({t / floor:.2f}x floor)"  # noqa: E731
    results.rows.append((f"{name}: launcher vs floor", x(best["launcher"]),
                         f"{floor:.3f} s (bytes / rate)", f"{best['launcher'] / floor:.2f}"))
    results.rows.append((f"{name}: launcher vs curl, 1 connection", x(best["launcher"]),
                         x(best["curl"]), f"{best['launcher'] / best['curl']:.2f}"))
    results.rows.append((f"{name}: launcher vs curl -Z, 6 connections", x(best["launcher"]),
                         x(best["curl -Z"]), f"{best['launcher'] / best['curl -Z']:.2f}"))
    results.notes.append(f"wan {mod['label']} ({files:,} files): connections / MiB on the line, "
                         f"last round: " + ", ".join(
                             f"{label} {s['connections']:.0f} / {s['down'] / MIB:.1f}"
                             for label, s in lines.items())
                         + f" (files {mod['bytes'] / MIB:.1f})")
    return results


def measure(settings: Settings, ctx: Context) -> Results:
    results = Results()
    mods = wan_mods(settings, ctx)
    players = {m["label"]: ctx.data / "wan-player" / m["label"] for m in mods}
    with behind_relay(ctx, players[mods[0]["label"]]) as origin:
        for mod in mods:
            warm(*(mod["source"] / e["name"] for e in mod["entries"]))
        results.notes += wan_relay_checks(settings, ctx, mods)
        for mod in mods:
            results.add(wan_rows(settings, ctx, mod, players[mod["label"]], origin))
    results.notes.append(f"wan: a relay (bench/wan_relay.py) between the clients and nginx adds "
                         f"{settings.wan_rtt_ms} ms round trips, one more for each new "
                         f"connection, and one {settings.wan_mbit} Mbit/s downstream rate shared "
                         f"by all connections; floor = the files' bytes / that rate. The "
                         f"launcher's time runs from its start to the engine's record: Wine's "
                         f"start and its pause after an update included")
    return results
