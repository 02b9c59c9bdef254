"""Kept manifests (gecmis/<number>.txt): every manifest put in place, for a later rollback; and
the highest serial ever served (gecmis/en-yuksek-sira.txt), which --prune cannot take away."""

from __future__ import annotations

import os
import re

from .errors import PublishError, Refused
from .files import fsync_folder, make_folders, read_bytes, replace_atomically
from .layout import UpdateRoot
from .names import show_name
from .signing import read_serial

KEPT_MANIFEST = re.compile(r"([0-9]+)\.txt")


def read_current_manifest(paths: UpdateRoot) -> bytes | None:
    try:
        return read_bytes(paths.manifest)
    except FileNotFoundError:
        return None


def kept_manifests(paths: UpdateRoot) -> list[tuple[int, str]]:
    """[(number, path)] of the kept manifests, oldest first."""
    try:
        names = os.listdir(paths.history)
    except FileNotFoundError:
        return []
    found = []
    for name in names:
        m = KEPT_MANIFEST.fullmatch(name)
        if m:
            found.append((int(m.group(1)), os.path.join(paths.history, name)))
    return sorted(found)


def keep_manifest(paths: UpdateRoot, body: bytes) -> None:
    """Keeps body as the newest of the kept manifests."""
    kept = kept_manifests(paths)
    make_folders(paths.history)
    replace_atomically(paths.kept(kept[-1][0] + 1 if kept else 1), lambda f: f.write(body))
    fsync_folder(paths.history)


def serial_of(body: bytes | None) -> int:
    """The serial of a manifest once served; 0 for none or one that launchers would refuse."""
    try:
        return read_serial(body)
    except Refused:
        return 0


def recorded_serial(paths: UpdateRoot) -> int:
    try:
        text = read_bytes(paths.serial_record)
    except FileNotFoundError:
        return 0
    if not text.strip().isdigit():
        raise PublishError("%s holds no serial; put the highest serial this root served in it"
                           % show_name(paths.serial_record))
    return int(text)


def highest_serial(paths: UpdateRoot, served: bytes | None) -> int:
    """The highest serial of any manifest served from this root: the one served now, those kept,
    and the record, which outlives pruned ones."""
    return max([serial_of(served), recorded_serial(paths)]
               + [serial_of(read_bytes(path)) for _, path in kept_manifests(paths)])


def serve_manifest(paths: UpdateRoot, body: bytes) -> None:
    """Puts body in place as the served manifest, byte for byte and atomically, after recording
    the highest serial it and the one it replaces carry."""
    serial = max(serial_of(body), serial_of(read_current_manifest(paths)))
    if serial > recorded_serial(paths):
        make_folders(paths.history)
        replace_atomically(paths.serial_record, lambda f: f.write(b"%d\n" % serial))
        fsync_folder(paths.history)
    replace_atomically(paths.manifest, lambda f: f.write(body))
    fsync_folder(paths.update)


def write_manifest(paths: UpdateRoot, body: bytes) -> None:
    """Serves body after keeping a copy of it for a later rollback."""
    keep_manifest(paths, body)
    serve_manifest(paths, body)
