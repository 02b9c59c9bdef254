"""Reads what a Korvantis.exe was built for: its update hosts and the key it checks manifests with.

    build_identity.py Korvantis.exe

Prints "host=<update host>" and "key=<128 hex digits of X then Y>" or "key=none", then, for a
launcher with fallback hosts, "fallback_hosts=<host>,<host>" in the order they are tried. The
launcher keeps them all in one fixed block (update/build_identity.h), the very values it uses, so
this reads what the exe does, not what a build folder says. Standard library only.

Exit codes: 0 done, 1 no single readable block (not a launcher, or a damaged one), 2 usage or
I/O error.
"""

from __future__ import annotations

import struct
import sys
from collections.abc import Sequence
from dataclasses import dataclass

MAGIC = b"KORVANTIS:BUILD\0"
# Layout 1's fields keep their offsets in every later layout, which may only add bytes after them.
FIRST_LAYOUT = 1
BLOCK = struct.Struct("<16sII64s512s")  # magic, layout, key kind, key, host
# Layout 2 adds the fallback hosts after them.
FALLBACK_LAYOUT = 2
FALLBACKS = struct.Struct("<I512s512s512s")  # how many are used, then the hosts
MOST_FALLBACK_HOSTS = 3
NO_KEY, P256_KEY = 0, 1


@dataclass(frozen=True)
class BuildIdentity:
    host: str
    key: bytes | None  # X || Y, 64 bytes; None: manifests are taken unsigned
    fallback_hosts: tuple[str, ...] = ()

    @property
    def hosts(self) -> tuple[str, ...]:
        """Every host the launcher asks, in its order: the main one first."""
        return (self.host,) + self.fallback_hosts


def host_text(field: bytes) -> str:
    return field.decode("utf-16-le").split("\0", 1)[0]


def read_fallback_hosts(exe: bytes, at: int) -> tuple[str, ...]:
    if len(exe) - at < BLOCK.size + FALLBACKS.size:
        raise ValueError("build identity cut short before its fallback hosts")
    count, *fields = FALLBACKS.unpack_from(exe, at + BLOCK.size)
    if not 1 <= count <= MOST_FALLBACK_HOSTS:
        raise ValueError("build identity with %d fallback hosts, not 1 to %d"
                         % (count, MOST_FALLBACK_HOSTS))
    hosts = tuple(host_text(field) for field in fields[:count])
    if not all(hosts):
        raise ValueError("build identity with an empty fallback host")
    return hosts


def read_build_identity(exe: bytes) -> BuildIdentity:
    """The one block of a launcher's bytes, by layout 1's fields whatever its layout, and from
    layout 2 on also by the fallback hosts that layout adds; ValueError when there is none, more
    than one, or it is damaged."""
    at = exe.find(MAGIC)
    if at < 0:
        raise ValueError("no build identity: not a Korvantis launcher, or one built before it had one")
    if exe.find(MAGIC, at + 1) >= 0:
        raise ValueError("more than one build identity")
    if len(exe) - at < BLOCK.size:
        raise ValueError("build identity cut short")
    _, layout, kind, key, host = BLOCK.unpack_from(exe, at)
    if layout < FIRST_LAYOUT:
        raise ValueError("build identity of layout %d, older than any launcher" % layout)
    if kind not in (NO_KEY, P256_KEY) or (kind == NO_KEY and any(key)):
        raise ValueError("build identity with an unknown key kind %d" % kind)
    text = host_text(host)
    if not text:
        raise ValueError("build identity without an update host")
    fallbacks = read_fallback_hosts(exe, at) if layout >= FALLBACK_LAYOUT else ()
    return BuildIdentity(text, key if kind == P256_KEY else None, fallbacks)


def main(argv: Sequence[str] | None = None) -> int:
    """argv: the arguments after the program's name (this run's when None)."""
    args = sys.argv[1:] if argv is None else argv
    if len(args) != 1:
        print("usage: build_identity.py Korvantis.exe", file=sys.stderr)
        return 2
    try:
        with open(args[0], "rb") as f:
            exe = f.read()
    except OSError as err:
        print("build_identity.py: %s: %s" % (args[0], err.strerror), file=sys.stderr)
        return 2
    try:
        identity = read_build_identity(exe)
    except (ValueError, UnicodeDecodeError) as err:
        print("build_identity.py: %s: %s" % (args[0], err), file=sys.stderr)
        return 1
    print("host=%s" % identity.host)
    print("key=%s" % (identity.key.hex() if identity.key else "none"))
    # After the lines a one-host launcher prints, which stay as they always were.
    if identity.fallback_hosts:
        print("fallback_hosts=%s" % ",".join(identity.fallback_hosts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
