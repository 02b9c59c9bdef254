"""Writing below the update root: every file through a flushed temporary file renamed over its
target, so a reader sees either the old file or the complete new one."""

from __future__ import annotations

import hashlib
import os
import secrets
import shutil
import stat
from collections.abc import Callable, Iterable
from typing import BinaryIO, TypeVar

from .errors import PublishError
from .manifest import READ_CHUNK_BYTES, Entry, file_chunks, hash_file
from .names import TEMP_PREFIX, show_name

T = TypeVar("T")


def read_bytes(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def fsync_folder(folder: str) -> None:
    # Makes a rename durable on POSIX; Windows has no directory handles to flush.
    if os.name == "nt":
        return
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def make_folders(path: str) -> None:
    """os.makedirs(path, exist_ok=True), each folder it makes 0755 whatever the umask: the web
    server runs as another user and must get through every one."""
    if not path or os.path.isdir(path):
        return
    make_folders(os.path.dirname(path))
    try:
        os.mkdir(path)
    except FileExistsError:
        if os.path.isdir(path):
            return
        raise
    if os.name != "nt":
        os.chmod(path, 0o755)


def closed_folders(folders: Iterable[str]) -> list[tuple[str, int]]:
    """Those of folders (where they exist) that other users cannot enter, with their modes."""
    closed = []
    for folder in folders:
        try:
            mode = os.stat(folder).st_mode
        except OSError:
            continue
        if os.name != "nt" and not mode & stat.S_IXOTH:
            closed.append((folder, stat.S_IMODE(mode)))
    return closed


def temp_beside(target: str, make: Callable[[str], T]) -> tuple[str, T]:
    """(temporary name beside target, make(that name)), retried while the name is taken."""
    folder = os.path.dirname(target)
    while True:
        temp = os.path.join(folder, TEMP_PREFIX + "%d-%s" % (os.getpid(), secrets.token_hex(6)))
        try:
            return temp, make(temp)
        except FileExistsError:
            continue


def open_temp_beside(target: str) -> tuple[str, BinaryIO]:
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    temp, fd = temp_beside(target, lambda name: os.open(name, flags, 0o644))
    if os.name != "nt":
        # The web server usually runs as another user; a strict umask must not hide the file.
        os.fchmod(fd, 0o644)
    return temp, os.fdopen(fd, "wb")


def replace_atomically(target: str, write_body: Callable[[BinaryIO], T]) -> T:
    """Writes through a temporary file beside target, flushes it to disk and renames it over
    target; returns what write_body returned."""
    temp, f = open_temp_beside(target)
    try:
        with f:
            result = write_body(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    return result


def copy_verified(source: str, target: str, expected_hash: str) -> None:
    def body(out: BinaryIO) -> str:
        digest = hashlib.sha256()
        for chunk in file_chunks(source):
            digest.update(chunk)
            out.write(chunk)
        return digest.hexdigest()

    got = replace_atomically(target, body)
    if got != expected_hash:
        raise PublishError("%s changed while it was being published; run again"
                           % show_name(source))


def stats_match(a: str, b: str, fields: Iterable[str]) -> bool:
    """Whether both paths exist and their stats agree in fields."""
    try:
        sa, sb = os.stat(a), os.stat(b)
    except OSError:
        return False
    return all(getattr(sa, f) == getattr(sb, f) for f in fields)


def same_file(a: str, b: str) -> bool:
    return stats_match(a, b, ("st_dev", "st_ino"))


def link_beside(source: str, target: str) -> str | None:
    """A new hard link to source under a temporary name beside target; None where the file
    system has no hard links."""
    try:
        return temp_beside(target, lambda name: os.link(source, name))[0]
    except OSError:
        return None


def place_copy(source: str, target: str) -> None:
    """Makes target the file at source (already verified and flushed), atomically: a hard link
    where possible, else a flushed copy."""
    temp = link_beside(source, target)
    if temp is None:
        def body(out: BinaryIO) -> None:
            with open(source, "rb") as src:
                shutil.copyfileobj(src, out, READ_CHUNK_BYTES)
        replace_atomically(target, body)
        return
    try:
        os.replace(temp, target)
    except BaseException:
        os.unlink(temp)
        raise


def clear_way(files_root: str, target: str) -> None:
    """Removes stale server entries that stand where target must go: a folder at its name,
    or a file at the name of one of its folders (the mod changed a file into a folder)."""
    if os.path.isdir(target) and not os.path.islink(target):
        shutil.rmtree(target)
    parent = os.path.dirname(target)
    chain = []
    while os.path.normcase(parent) != os.path.normcase(files_root) and parent:
        chain.append(parent)
        parent = os.path.dirname(parent)
    for folder in reversed(chain):
        if os.path.lexists(folder) and not os.path.isdir(folder):
            os.unlink(folder)
    make_folders(os.path.dirname(target))


def stored_copy_matches(path: str, entry: Entry) -> bool:
    try:
        st = os.stat(path)
    except OSError:
        return False
    if not stat.S_ISREG(st.st_mode) or st.st_size != entry.size:
        return False
    return hash_file(path)[0] == entry.hash


def remove_leftover_temps(folder: str) -> None:
    if not os.path.isdir(folder):
        return
    for dirpath, _, filenames in os.walk(folder):
        for name in filenames:
            if name.startswith(TEMP_PREFIX):
                os.unlink(os.path.join(dirpath, name))


def file_ids(paths: Iterable[str]) -> set[tuple[int, int]]:
    """(st_dev, st_ino) of those paths that exist: a case-insensitive server disk may reach one
    file under several spellings, so files are compared by identity."""
    ids = set()
    for path in paths:
        try:
            st = os.lstat(path)
        except OSError:
            continue
        ids.add((st.st_dev, st.st_ino))
    return ids


def stray_files(folder: str, keep_ids: set[tuple[int, int]]) -> list[str]:
    """Files below folder that are none of keep_ids, as "/"-joined names."""
    stray: list[str] = []
    if not os.path.isdir(folder):
        return stray
    for dirpath, dirnames, filenames in os.walk(folder):
        dirnames.sort()
        for name in sorted(filenames):
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            if (st.st_dev, st.st_ino) not in keep_ids:
                stray.append(os.path.relpath(path, folder).replace(os.sep, "/"))
    return stray


def remove_empty_folders(files_root: str) -> None:
    for dirpath, _, _ in sorted(os.walk(files_root), key=lambda w: -len(w[0])):
        if os.path.normcase(dirpath) != os.path.normcase(files_root):
            try:
                os.rmdir(dirpath)
            except OSError:
                pass
