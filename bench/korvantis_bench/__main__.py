"""Runs the benchmarks ONLY selects, in their fixed order, and prints the one table."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable

from . import download, finish, hashing, memory, scan, start, wan, weakline
from .context import Context, make_context
from .output import Results, log, print_table
from .probes import install_probes
from .settings import Settings, read_settings

# By ONLY's names, in the order they run.
MEASURES: dict[str, Callable[[Settings, Context], Results]] = {
    "hash": hashing.measure, "download": download.measure, "start": start.measure,
    "memory": memory.measure, "scan": scan.measure, "finish": finish.measure,
    "wan": wan.measure, "weakline": weakline.measure,
}


def main() -> int:
    settings = read_settings()
    started = time.monotonic()
    ctx = make_context(settings)
    for folder in (ctx.data / "tools", ctx.www, ctx.work / "home"):
        folder.mkdir(parents=True, exist_ok=True)
    install_probes(ctx)
    ctx.wine.prepare()
    ctx.server.start()
    ctx.wine.start()
    results = Results()
    try:
        for name, measure in MEASURES.items():
            if not settings.selected(name):
                continue
            log(f"{name} ...")
            t = time.monotonic()
            results.add(measure(settings, ctx))
            log(f"{name}: {time.monotonic() - t:.0f} s")
    finally:
        ctx.wine.stop()
        ctx.server.close()
    print_table(results, settings)
    print(f"whole bench: {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
