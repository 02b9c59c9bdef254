"""status: what an update root serves, what it keeps, and the launcher its players get."""

from __future__ import annotations

import datetime
import hashlib
import os
import re
from typing import TextIO

from .build_identity import read_build_identity
from .errors import PublishError
from .files import read_bytes
from .history import highest_serial, kept_manifests, read_current_manifest
from .launcher_check import describe, launcher_entry, show_hosts, stored_launcher
from .layout import UpdateRoot
from .manifest import parse_manifest
from .names import show_name, show_size
from .signing import is_signed, read_serial, unsigned_content

PUBLISHED_AT = re.compile(rb"# published by [^\n]* at (\S+)")


def published_at(body: bytes, path: str) -> str:
    """The time the manifest's first comment gives, else its file's."""
    m = PUBLISHED_AT.match(unsigned_content(body))
    if m:
        return m.group(1).decode("ascii", "replace")
    when = datetime.datetime.fromtimestamp(os.stat(path).st_mtime, datetime.timezone.utc)
    return when.strftime("%Y-%m-%dT%H:%M:%SZ") + " (file time)"


def changes(before: bytes | None, after: bytes) -> str:
    """"+added ~changed -removed" from the entries of one manifest to those of the next."""
    old = {e.name: e for e in parse_manifest(before or b"")}
    new = {e.name: e for e in parse_manifest(after)}
    added = sum(name not in old for name in new)
    changed = sum(name in old and old[name] != e for name, e in new.items())
    removed = sum(name not in new for name in old)
    return "+%d ~%d -%d" % (added, changed, removed)


def describe_launcher(paths: UpdateRoot, served: bytes | None) -> str:
    entry = launcher_entry(served)
    if entry is None:
        return "none listed (players keep the launcher they have)"
    data = stored_launcher(paths, entry)
    if data is None:
        return "sha256 %s..., no longer stored below the root" % entry.hash[:16]
    text = "%s, sha256 %s..." % (show_size(len(data)), hashlib.sha256(data).hexdigest()[:16])
    try:
        identity = read_build_identity(data)
    except (ValueError, UnicodeDecodeError):
        return text + ", no build identity (host and key unknown)"
    return text + ", update host %s, %s" % (show_hosts(identity), describe(identity.key))


def show_status(paths: UpdateRoot, out: TextIO) -> None:
    if not os.path.isdir(paths.update):
        raise PublishError("%s holds no update" % show_name(paths.root))
    served = read_current_manifest(paths)
    out.write("update root %s\n" % show_name(paths.update))
    if served is None:
        out.write("served manifest: none\n")
    else:
        entries = parse_manifest(served)
        serial = read_serial(served) if is_signed(served) else 0
        out.write("served manifest: %s, %d files, %s\n"
                  % ("signed, serial %d" % serial if is_signed(served) else "unsigned",
                     len(entries), show_size(sum(e.size for e in entries))))
    out.write("highest serial ever served: %d\n" % highest_serial(paths, served))
    out.write("launcher: %s\n" % describe_launcher(paths, served))
    kept = kept_manifests(paths)
    out.write("kept manifests: %d\n" % len(kept))
    previous = None
    for number, path in kept:
        body = read_bytes(path)
        serial = read_serial(body) if is_signed(body) else 0
        out.write("  %06d  %-20s  %-10s  %s%s\n"
                  % (number, published_at(body, path),
                     "serial %d" % serial if serial else "unsigned", changes(previous, body),
                     "  (served)" if body == served else ""))
        previous = body
