"""Launchers as the tools see them: bytes that carry a build identity block."""

import struct

# update/build_identity.h, written here on its own so that the reader is checked against it.
MAGIC = b"KORVANTIS:BUILD\0"


def fake_launcher(host="updates.korvantis.org", key=None, layout=1, kind=None, tail=b""):
    """A file that carries a build identity block as a launcher does; tail tells two builds of
    the same identity apart."""
    kind = (1 if key else 0) if kind is None else kind
    block = struct.pack("<16sII64s512s", MAGIC, layout, kind, key or bytes(64),
                        host.encode("utf-16-le"))
    return b"MZ" + bytes(30) + block + tail
