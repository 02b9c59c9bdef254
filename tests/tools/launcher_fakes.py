"""Launchers as the tools see them: bytes that carry a build identity block."""

import struct

# update/build_identity.h, written here on its own so that the reader is checked against it.
MAGIC = b"KORVANTIS:BUILD\0"


def fake_launcher(host="updates.korvantis.org", key=None, layout=None, kind=None, tail=b"",
                  fallback_count=None):
    """A file that carries a build identity block as a launcher does; tail tells two builds of
    the same identity apart. host is a list as KORVANTIS_UPDATE_HOST takes it, the first the main
    host: with more than one, the block has layout 2 and lists the rest (fallback_count, when
    given, is written in place of their number)."""
    main, *fallbacks = host.split(",")
    layout = (2 if fallbacks else 1) if layout is None else layout
    kind = (1 if key else 0) if kind is None else kind
    block = struct.pack("<16sII64s512s", MAGIC, layout, kind, key or bytes(64),
                        main.encode("utf-16-le"))
    if layout >= 2:
        count = len(fallbacks) if fallback_count is None else fallback_count
        block += struct.pack("<I512s512s512s", count,
                             *(h.encode("utf-16-le") for h in (fallbacks + ["", "", ""])[:3]))
    return b"MZ" + bytes(30) + block + tail
