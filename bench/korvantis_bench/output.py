"""What a benchmark hands back (its rows and notes), progress on standard error, and the one
table on standard output."""

from __future__ import annotations

import sys
from dataclasses import dataclass, field

from .host import MIB
from .settings import Settings

# benchmark, launcher, anchor, ratio
Row = tuple[str, str, str, str]


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def add(self, other: Results) -> None:
        self.rows += other.rows
        self.notes += other.notes


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def seconds_and_rate(seconds: float, size: int) -> str:
    return f"{seconds:.3f} s ({size / MIB / seconds:,.0f} MiB/s)"


def print_table(results: Results, settings: Settings) -> None:
    rows = results.rows
    header = ("benchmark", "launcher", "anchor", "ratio")
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(4)]
    line = lambda r: "  ".join(c.ljust(w) if i < 3 else c.rjust(w)
                               for i, (c, w) in enumerate(zip(r, widths)))
    print()
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    print("\nratio: launcher / anchor (time: above 1 means slower; memory: 1 means flat).")
    print(f"best of {settings.rounds} rounds (memory: {settings.mem_rounds}); files read from the "
          f"page cache.")
    for n in results.notes:
        print("- " + n)
