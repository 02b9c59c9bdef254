"""The manifest: its entries, the order and bytes publish.py writes, and how a launcher reads it."""

from __future__ import annotations

import datetime
import hashlib
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field

from .names import is_launcher

DIGEST = re.compile(r"[0-9a-f]{64}")
READ_CHUNK_BYTES = 1 << 20
# Begins the line of a file placed once: the launcher puts it where the player has none and
# never replaces it after. A launcher that does not know the mark reads a comment.
ONCE_MARK = b"#ilk "


@dataclass(frozen=True)
class Entry:
    """One manifest line: a file's "/"-separated name, SHA-256 (hex), size in bytes, and
    whether it is placed once; for a file about to be published, where its bytes are."""
    name: str
    hash: str
    size: int
    once: bool = False
    source: str | None = field(default=None, compare=False, repr=False)


def file_chunks(path: str) -> Iterator[bytes]:
    with open(path, "rb") as f:
        while True:
            chunk = f.read(READ_CHUNK_BYTES)
            if not chunk:
                return
            yield chunk


def hash_file(path: str) -> tuple[str, int]:
    digest = hashlib.sha256()
    size = 0
    for chunk in file_chunks(path):
        digest.update(chunk)
        size += len(chunk)
    return digest.hexdigest(), size


def manifest_order(entries: Iterable[Entry]) -> list[Entry]:
    """Korvantis.exe first, then by UTF-8 bytes of the name (see the package notes)."""
    return sorted(entries, key=lambda e: (not is_launcher(e.name), e.name.encode("utf-8")))


def build_manifest(entries: Sequence[Entry], when: datetime.datetime) -> bytes:
    total = sum(e.size for e in entries)
    lines = ["# published by publish.py at %s (%d files, %d bytes)"
             % (when.strftime("%Y-%m-%dT%H:%M:%SZ"), len(entries), total)]
    for e in manifest_order(entries):
        lines.append("%s%s %d %s" % (ONCE_MARK.decode() if e.once else "", e.hash, e.size, e.name))
    return ("\n".join(lines) + "\n").encode("utf-8")


def read_size_field(text: bytes) -> int:
    """_atoi64's reading: leading white space, an optional sign, digits up to the first other byte."""
    text = text.lstrip(b" \t\n\v\f\r")
    sign = 1
    if text[:1] in (b"+", b"-"):
        sign = -1 if text[:1] == b"-" else 1
        text = text[1:]
    end = 0
    while end < len(text) and text[end:end + 1].isdigit():
        end += 1
    return sign * int(text[:end] or b"0")


def parse_manifest(body: bytes) -> list[Entry]:
    """Entries of an existing manifest, read the way the launcher reads them."""
    entries = []
    for line in body.split(b"\n"):
        line = line.rstrip(b"\r ")
        once = line.startswith(ONCE_MARK)
        if once:
            line = line[len(ONCE_MARK):]
        elif not line or line.startswith(b"#"):
            continue
        first = line.find(b" ")
        if first < 0:
            continue
        second = line.find(b" ", first + 1)
        if second < 0:
            continue
        name = line[second + 1:]
        if b".." in name or b":" in name or name[:1] in (b"/", b"\\"):
            continue
        entries.append(Entry(name=name.decode("utf-8", "replace"),
                             hash=line[:first].decode("ascii", "replace"),
                             size=read_size_field(line[first + 1:second]), once=once))
    return entries


def versioned_entries(body: bytes) -> list[Entry]:
    # Only a real digest makes a version path; anything else could name a folder outside.
    return [e for e in parse_manifest(body) if DIGEST.fullmatch(e.hash)]
