"""mirror: copies an update root to another folder (a replica's, or one a mount reaches) so that
the copy is right at every moment: every version and file first, each renamed into place whole,
hard links kept, the manifest last; then what the source no longer holds, except what the
replica's previous manifest names, since its launchers may still be fetching it."""

from __future__ import annotations

import os
import shutil
from collections.abc import Iterator
from typing import BinaryIO, TextIO

from .errors import PublishError
from .files import (fsync_folder, make_folders, place_copy, remove_empty_folders,
                    replace_atomically, same_file, stats_match)
from .history import read_current_manifest, serve_manifest
from .layout import UpdateRoot
from .lock import update_lock
from .manifest import READ_CHUNK_BYTES, versioned_entries
from .names import TEMP_PREFIX, show_name, show_size


def source_files(paths: UpdateRoot) -> Iterator[tuple[str, str]]:
    """(relative path, full path) below the update folder, versions first, the manifest
    left out, nothing a run leaves behind."""
    for folder in (paths.store, paths.files, paths.history):
        for dirpath, dirnames, filenames in os.walk(folder):
            dirnames.sort()
            for name in sorted(filenames):
                if name.startswith(TEMP_PREFIX):
                    continue
                path = os.path.join(dirpath, name)
                yield os.path.relpath(path, paths.update), path


def copy_file(source: str, target: str) -> None:
    def body(out: BinaryIO) -> None:
        with open(source, "rb") as src:
            shutil.copyfileobj(src, out, READ_CHUNK_BYTES)

    make_folders(os.path.dirname(target))
    replace_atomically(target, body)
    shutil.copystat(source, target)


def mirror(root: str, dest: str, out: TextIO) -> None:
    source, copy = UpdateRoot(root), UpdateRoot(dest)
    if not os.path.isdir(source.update):
        raise PublishError("%s holds no update" % show_name(root))
    a, b = os.path.realpath(root), os.path.realpath(dest)
    if a == b or b.startswith(a.rstrip(os.sep) + os.sep) or a.startswith(b.rstrip(os.sep) + os.sep):
        raise PublishError("the update root and its mirror must not lie inside each other")
    make_folders(copy.update)
    with update_lock(source), update_lock(copy):
        before = read_current_manifest(copy)
        # (st_dev, st_ino) in the source -> where that file now is in the copy
        placed: dict[tuple[int, int], str] = {}
        wanted = set()
        copied = linked = same = size = 0
        for rel, path in source_files(source):
            target = os.path.join(copy.update, rel)
            wanted.add(os.path.normcase(target))
            st = os.stat(path)
            first = placed.get((st.st_dev, st.st_ino))
            if first is not None:
                if not same_file(first, target):
                    make_folders(os.path.dirname(target))
                    place_copy(first, target)
                    linked += 1
                else:
                    same += 1
                continue
            placed[(st.st_dev, st.st_ino)] = target
            # As rsync judges it: a copy keeps its source's time.
            if stats_match(path, target, ("st_size", "st_mtime_ns")):
                same += 1
            else:
                copy_file(path, target)
                copied += 1
                size += st.st_size
        for folder in {os.path.dirname(t) for t in placed.values()}:
            fsync_folder(folder)
        manifest = read_current_manifest(source)
        if manifest is not None:
            serve_manifest(copy, manifest)
        # What the replica served until now stays for the launchers still fetching it.
        for e in versioned_entries(before or b""):
            wanted.update(os.path.normcase(p) for p in (copy.version(e), copy.plain(e.name)))
        removed = 0
        for folder in (copy.store, copy.files, copy.history):
            for dirpath, _, filenames in os.walk(folder):
                for name in filenames:
                    path = os.path.join(dirpath, name)
                    if os.path.normcase(path) not in wanted and path != copy.serial_record:
                        os.unlink(path)
                        removed += 1
            remove_empty_folders(folder)
    out.write("mirrored %s to %s: %d files copied (%s), %d hard links, %d unchanged, the "
              "manifest last; %d removed\n"
              % (show_name(source.update), show_name(copy.update), copied, show_size(size),
                 linked, same, removed))
