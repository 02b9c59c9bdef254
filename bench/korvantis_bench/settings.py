"""Every setting of a bench run, read from the environment bench/run.sh passes on (the sizes and
names it documents), once, before anything runs."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class Settings:
    build: Path  # BUILD_DIR, the cross-build folder
    host: str  # KORVANTIS_UPDATE_HOST
    certs: Path  # BENCH_CERT_DIR, the throwaway CA's certificates
    hash_mb: int
    download_mb: int
    mod_mb: int
    mod_files: int
    mem_big_mb: int
    mem_small_mb: int
    rounds: int
    mem_rounds: int
    scan: bool
    # The wide-area line of the wan rows, and their two mods: wan_small files of 2-256 KiB and
    # wan_medium of 2 MiB in the first, wan_large of 8 MiB in the second.
    wan_rtt_ms: int
    wan_mbit: int
    wan_small: int
    wan_medium: int
    wan_large: int
    wan_check_mb: int
    # The weak line: one weak_mb file over weak_mbit that drops every connection after
    # weak_drop_mb.
    weak_mb: int
    weak_mbit: int
    weak_drop_mb: int
    finish_files: int
    finish_kib: int
    # The benchmarks to run, by name (hash download start memory scan finish wan weakline);
    # empty: all of them.
    only: tuple[str, ...]
    # Scratch builds of bench_timing (a changed copy of the product code linked in), timed beside
    # the real one in the hash, download and scan benchmarks: (label, path of the exe).
    variants: tuple[tuple[str, ...], ...]

    @property
    def wan_rate(self) -> float:
        """The wan line's downstream rate in bytes a second."""
        return self.wan_mbit * 1e6 / 8

    def selected(self, name: str) -> bool:
        return not self.only or name in self.only


def read_settings(environ: Mapping[str, str] = os.environ) -> Settings:
    def number(name: str, default: int) -> int:
        value = int(environ.get(name, default))
        if value < 0:
            raise SystemExit(f"{name} must not be negative")
        return value

    return Settings(
        build=Path(environ["BUILD_DIR"]).resolve(),
        host=environ.get("KORVANTIS_UPDATE_HOST", "guncelleme.korvantis.example"),
        certs=Path(environ["BENCH_CERT_DIR"]),
        hash_mb=number("HASH_MB", 1024),
        download_mb=number("DOWNLOAD_MB", 200),
        mod_mb=number("MOD_MB", 500),
        mod_files=max(1, number("MOD_FILES", 50)),
        mem_big_mb=number("MEM_BIG_MB", 1024),
        mem_small_mb=number("MEM_SMALL_MB", 10),
        rounds=max(1, number("ROUNDS", 3)),
        mem_rounds=max(1, number("MEM_ROUNDS", 1)),
        scan=number("SCAN", 1) != 0,
        wan_rtt_ms=number("WAN_RTT_MS", 40),
        wan_mbit=max(1, number("WAN_MBIT", 100)),
        wan_small=number("WAN_SMALL", 1000),
        wan_medium=number("WAN_MEDIUM", 10),
        wan_large=number("WAN_LARGE", 20),
        wan_check_mb=max(1, number("WAN_CHECK_MB", 50)),
        weak_mb=max(1, number("WEAK_MB", 40)),
        weak_mbit=max(1, number("WEAK_MBIT", 20)),
        weak_drop_mb=max(1, number("WEAK_DROP_MB", 8)),
        finish_files=max(1, number("FINISH_FILES", 200)),
        finish_kib=max(1, number("FINISH_KIB", 72)),
        only=tuple(n for n in environ.get("ONLY", "").split(",") if n),
        variants=tuple(tuple(v.split("=", 1)) for v in environ.get("VARIANTS", "").split(",")
                       if v),
    )
