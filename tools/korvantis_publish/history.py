"""Kept manifests (gecmis/<number>.txt): every manifest put in place, for a later rollback."""

import os
import re

from .files import fsync_folder, make_folders, read_bytes, replace_atomically

KEPT_MANIFEST = re.compile(r"([0-9]+)\.txt")


def read_current_manifest(paths):
    try:
        return read_bytes(paths.manifest)
    except FileNotFoundError:
        return None


def kept_manifests(paths):
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


def keep_manifest(paths, body):
    """Keeps body as the newest of the kept manifests."""
    kept = kept_manifests(paths)
    make_folders(paths.history)
    replace_atomically(paths.kept(kept[-1][0] + 1 if kept else 1), lambda f: f.write(body))
    fsync_folder(paths.history)


def serve_manifest(paths, body):
    """Puts body in place as the served manifest, byte for byte and atomically."""
    replace_atomically(paths.manifest, lambda f: f.write(body))
    fsync_folder(paths.update)


def write_manifest(paths, body):
    """Serves body after keeping a copy of it for a later rollback."""
    keep_manifest(paths, body)
    serve_manifest(paths, body)
