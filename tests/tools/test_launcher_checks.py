"""What a launcher is built for (tools/build_identity.py), and the checks that keep a publication
or rollback from stranding its players: host, key, and the key that signs."""

import os
import struct

import pytest

from build_identity import MAGIC, read_build_identity


def fake_launcher(host="updates.korvantis.org", key=None, layout=1, kind=None, tail=b""):
    """A file that carries a build identity block as a launcher does; random bytes around it
    make every one a new launcher."""
    kind = (1 if key else 0) if kind is None else kind
    block = struct.pack("<16sII64s512s", MAGIC, layout, kind, key or bytes(64),
                        host.encode("utf-16-le"))
    return b"MZ" + os.urandom(30) + block + tail + os.urandom(30)


KEY_A = bytes(range(64))

IDENTITIES = [
    # (launcher bytes, (host, key) read, or a fragment of the refusal)
    (fake_launcher("a.example.org"), ("a.example.org", None)),
    (fake_launcher("b.example.org", KEY_A), ("b.example.org", KEY_A)),
    # A later layout keeps layout 1's fields where they are and adds after them.
    (fake_launcher("c.example.org", KEY_A, layout=2, tail=b"later fields"), ("c.example.org", KEY_A)),
    (fake_launcher(layout=0), "layout 0"),
    (fake_launcher(kind=7), "unknown key kind 7"),
    (fake_launcher(host=""), "without an update host"),
    (b"MZ" + MAGIC + bytes(40), "cut short"),
    (fake_launcher() + fake_launcher(), "more than one"),
    (b"MZ not a launcher", "no build identity"),
]


@pytest.mark.parametrize("exe,expected", IDENTITIES)
def test_build_identity_of_every_layout(exe, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            read_build_identity(exe)
    else:
        identity = read_build_identity(exe)
        assert (identity.host, identity.key) == expected
