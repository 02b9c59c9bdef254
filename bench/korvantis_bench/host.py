"""The Linux side of a run: data files kept between runs, the page cache, digests, and the
anchors' commands timed on the wall clock."""

from __future__ import annotations

import hashlib
import os
import subprocess
import time
from pathlib import Path

MIB = 1 << 20


def make_random(path: Path, size: int) -> Path:
    """A file of random bytes (nothing for TLS or a file system to squeeze), kept between runs."""
    if path.is_file() and path.stat().st_size == size:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(path.name + ".part")
    with open(partial, "wb") as out:
        left = size
        while left:
            piece = min(left, 4 * MIB)
            out.write(os.urandom(piece))
            left -= piece
    partial.replace(path)
    return path


def link(source: Path, target: Path) -> None:
    target.parent.mkdir(parents=True, exist_ok=True)
    target.unlink(missing_ok=True)
    os.link(source, target)


def warm(*paths: Path) -> None:
    """Both sides read from the page cache: the bench compares code, not the disk."""
    for path in paths:
        with open(path, "rb") as f:
            while f.read(8 * MIB):
                pass


def sha256(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(8 * MIB):
            h.update(chunk)
    return h.hexdigest()


def wall(command: list[str], **kwargs) -> tuple[float, subprocess.CompletedProcess]:
    start = time.perf_counter()
    r = subprocess.run(command, capture_output=True, timeout=600, **kwargs)
    elapsed = time.perf_counter() - start
    if r.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({r.returncode}): {r.stderr.decode()[-500:]}")
    return elapsed, r
