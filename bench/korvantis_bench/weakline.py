"""weakline: one file over a line that drops each connection after so many bytes: one start of
the launcher against curl -C - run again until it ends well, and the floor; each with the bytes
the line carried downstream."""

from __future__ import annotations

import re
import shutil
import subprocess
import time
from pathlib import Path

from korvantis_harness.korvantis import DONE
from korvantis_harness.nginx import Nginx

from .context import Context
from .host import MIB, sha256, warm
from .launcher import launcher_folder, run_launcher
from .line import Line, behind_relay
from .output import Results, log
from .publish import make_mod, publish_mod
from .settings import Settings

WEAK_TRIES = 100  # curl's loop gives up after so many


def answers_to(origin: Nginx, before: int, path: str) -> list[str]:
    """The statuses nginx logged for path after its first `before` log lines."""
    request = re.compile(r'"GET (\S+) HTTP/[0-9.]+" (\d{3}) ')
    return [m[2] for m in map(request.search, origin.log_lines()[before:]) if m and m[1] == path]


def weak_launcher(ctx: Context, entry: dict, player: Path, budget: float) -> dict:
    """One start of the launcher on a first install of the one file: seconds to the engine's
    record (to its end when the engine never started), and whether the file is there, whole."""
    shutil.rmtree(player, ignore_errors=True)
    launcher_folder(ctx, player)
    r = run_launcher(ctx, player, timeout=budget)
    got = player / entry["name"]
    arrived = (r["code"] == 0 and DONE in r["out"] and got.is_file()
               and got.stat().st_size == entry["size"] and sha256(got) == entry["digest"])
    end = r["engine"] if r["engine"] is not None else r["ended"]
    return {"arrived": arrived, "seconds": end - r["started"], "tries": 1,
            "out": r["out"], "codes": [r["code"]]}


def weak_curl(ctx: Context, entry: dict, budget: float) -> dict:
    """curl -C - again and again until it ends well (as a player's retry loop would), each try
    continuing the file the last one left."""
    out = ctx.work / "weak-curl.bin"
    out.unlink(missing_ok=True)
    command = ["curl", "-sS", "--fail", "-C", "-", "-o", str(out), ctx.url(entry["path"])]
    codes = []
    start = time.perf_counter()
    while len(codes) < WEAK_TRIES and time.perf_counter() - start < budget:
        r = subprocess.run(command, capture_output=True,
                           timeout=max(1.0, budget - (time.perf_counter() - start)))
        codes.append(r.returncode)
        if r.returncode == 0:
            break
    seconds = time.perf_counter() - start
    arrived = (codes[-1] == 0 and out.is_file() and out.stat().st_size == entry["size"]
               and sha256(out) == entry["digest"])
    out.unlink(missing_ok=True)
    return {"arrived": arrived, "seconds": seconds, "tries": len(codes), "codes": codes}


def measure(settings: Settings, ctx: Context) -> Results:
    results = Results()
    size = settings.weak_mb * MIB
    rate = settings.weak_mbit * 1e6 / 8
    floor = size / rate
    cut = settings.weak_drop_mb * MIB
    budget = 120 + 20 * floor
    mod = make_mod(ctx, "weak", [("cstrike_korvantis/haritalar/zayif_hat.bsp", size)])
    entry = mod["entries"][0]
    player = ctx.data / "wan-player" / "weak"
    runs: dict[str, list[dict]] = {"launcher": [], "curl -C -": []}
    with behind_relay(ctx, player) as origin:
        warm(mod["source"] / entry["name"])
        publish_mod(ctx, mod, player)
        for i in range(settings.rounds):
            for label, run in (("launcher", lambda: weak_launcher(ctx, entry, player, budget)),
                               ("curl -C -", lambda: weak_curl(ctx, entry, budget))):
                before = len(origin.log_lines())
                with Line(ctx.work, settings.wan_rtt_ms, settings.weak_mbit, budget + 60,
                          4 * size + 256 * MIB, cut) as line:
                    r = run()
                # Read once the line is closed: nginx logs a cut answer when it notices.
                r.update(wire=line.stats["down"], drops=line.stats["drops"],
                         connections=line.stats["connections"],
                         answers=answers_to(origin, before, entry["path"]))
                runs[label].append(r)
                if label == "launcher" and not r["arrived"]:
                    log(f"  launcher output (exit {r['codes'][0]}):\n{r['out'][-1500:]}")
            log(f"  weakline round {i + 1}: " + ", ".join(
                f"{label} {'arrived' if rs[-1]['arrived'] else 'NOT arrived'} "
                f"{rs[-1]['seconds']:.3f} s, wire {rs[-1]['wire'] / size:.3f}x size, "
                f"answers {' '.join(rs[-1]['answers'])}" for label, rs in runs.items())
                + f" (floor {floor:.3f} s)")

    def best(rs: list[dict]) -> dict:
        return min(rs, key=lambda r: (not r["arrived"], r["seconds"]))

    def cell(r: dict, tries: str) -> str:
        return (f"{'arrived' if r['arrived'] else 'NOT arrived'}, {r['seconds']:.3f} s "
                f"({r['seconds'] / floor:.2f}x floor), wire {r['wire'] / size:.3f}x size, "
                f"{r['tries']} {tries}, {len(r['answers'])} requests")

    def ratio(a: dict, b: dict) -> str:
        return f"{a['seconds'] / b['seconds']:.2f}" if a["arrived"] and b["arrived"] else "-"

    launcher, curl = best(runs["launcher"]), best(runs["curl -C -"])
    name = (f"weak line {settings.wan_rtt_ms} ms {settings.weak_mbit} Mbit/s, drops every "
            f"{settings.weak_drop_mb} MiB, one {settings.weak_mb} MiB file")
    results.rows.append((f"{name}: launcher vs floor", cell(launcher, "start"),
                         f"{floor:.3f} s (bytes / rate)",
                         ratio(launcher, {"arrived": True, "seconds": floor})))
    results.rows.append((f"{name}: launcher vs curl -C - in a loop", cell(launcher, "start"),
                         cell(curl, "tries"), ratio(launcher, curl)))
    results.rows.append((f"{name}: launcher's bytes on the line vs the file",
                         f"{launcher['wire']:,.0f} B", f"{size:,} B",
                         f"{launcher['wire'] / size:.3f}"))
    results.notes.append(
        f"weak line: the wan relay drops each connection once {settings.weak_drop_mb} MiB went "
        f"down it; bytes on the line = everything it carried downstream in that run "
        f"(manifest, TLS and headers included); the launcher's time runs from its start "
        f"to the engine's record (Wine's start included). Each round: " + "; ".join(
            f"{label} " + ", ".join(
                f"{r['seconds']:.1f} s {r['wire'] / size:.3f}x {r['connections']:.0f} "
                f"connections {r['drops']:.0f} drops answers "
                f"{'/'.join(r['answers'])} exits {'/'.join(map(str, r['codes']))}"
                for r in rs) for label, rs in runs.items()))
    return results
