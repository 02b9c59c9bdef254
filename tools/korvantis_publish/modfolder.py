"""The maintainer's mod folder: its files, and every reason to refuse them, found in one walk."""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence

from .errors import PublishError
from .layout import local_path
from .manifest import Entry, hash_file
from .names import case_conflicts, name_problems, show_name
from .unwanted import named_by, unwanted


def check_folders(mod: str, root: str) -> None:
    if not os.path.isdir(mod):
        raise PublishError("mod folder %s is not a folder" % show_name(mod))
    if os.path.exists(root) and not os.path.isdir(root):
        raise PublishError("update root %s is not a folder" % show_name(root))
    real_mod = os.path.normcase(os.path.realpath(mod))
    real_root = os.path.normcase(os.path.realpath(root))
    for inner, outer in ((real_root, real_mod), (real_mod, real_root)):
        if inner == outer or inner.startswith(outer.rstrip(os.sep) + os.sep):
            raise PublishError("the mod folder and the update root must not lie inside each other")


# In the mod folder: patterns of files to leave out, one a line; never published itself.
IGNORE_FILE = ".korvantisignore"
# Folders that hold the game's files, one level below the folder players' launchers hold.
GAME_FOLDERS = ("cstrike", "valve")


def ignore_patterns(mod: str) -> list[str]:
    """The patterns of the mod folder's ignore file: one a line, blank lines and "#" comments
    passed over."""
    try:
        with open(os.path.join(mod, IGNORE_FILE), encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    except (OSError, UnicodeDecodeError) as e:
        raise PublishError("cannot read %s: %s" % (show_name(os.path.join(mod, IGNORE_FILE)), e))
    return [line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#")]


def scan_mod_folder(mod: str, exclude: Sequence[str] = ()
                    ) -> tuple[list[bytes], list[tuple[bytes, str]], int]:
    """(names, problems, left out): every regular file as a "/"-joined bytes name, what was
    refused, and how many files the exclude patterns left out."""
    names = []
    problems = []
    left_out = [0]

    def excluded(rel: bytes) -> bool:
        return named_by(rel.decode("utf-8", "surrogateescape"), exclude)

    def walk(folder: bytes, prefix: bytes) -> None:
        try:
            with os.scandir(folder) as it:
                children = sorted(it, key=lambda e: e.name)
        except OSError as err:
            problems.append((prefix.rstrip(b"/") or b".", "cannot be read (%s)" % err.strerror))
            return
        for entry in children:
            rel = prefix + entry.name
            if rel == IGNORE_FILE.encode():
                continue
            if excluded(rel):
                left_out[0] += 1 if not entry.is_dir(follow_symlinks=False) else sum(
                    len(files) for _, _, files in os.walk(entry.path))
                continue
            is_junction = getattr(entry, "is_junction", lambda: False)()
            if entry.is_symlink() or is_junction:
                problems.append((rel, "is a symbolic link (the launcher can only receive plain "
                                      "files, and a link may point outside the mod folder)"))
            elif entry.is_dir(follow_symlinks=False):
                walk(entry.path, rel + b"/")
            elif entry.is_file(follow_symlinks=False):
                try:
                    os.close(os.open(entry.path, os.O_RDONLY | getattr(os, "O_BINARY", 0)))
                except OSError as err:
                    problems.append((rel, "cannot be read (%s)" % err.strerror))
                    continue
                names.append(rel)
            else:
                problems.append((rel, "is not a regular file (device, pipe or socket)"))

    walk(os.fsencode(mod), b"")
    return names, problems, left_out[0]


def folder_warnings(mod: str, names: Sequence[bytes]) -> list[str]:
    """Signs that mod is not the folder players' launchers hold."""
    top = {n.decode("utf-8", "replace").lower() for n in names if b"/" not in n}
    warnings = []
    if os.path.basename(os.path.normpath(mod)).lower() in GAME_FOLDERS:
        warnings.append("%s is a game folder; the mod folder is the one above it, which players' "
                        "launcher folders mirror (xash3d.exe, Korvantis.exe, cstrike/)"
                        % show_name(mod))
    elif names and not top & {"korvantis.exe", "xash3d.exe"}:
        warnings.append("%s holds neither Korvantis.exe nor xash3d.exe at its top: is it the "
                        "folder players' launcher folders mirror?" % show_name(mod))
    return warnings


def check_names(names: Sequence[bytes], problems: Iterable[tuple[bytes, str]],
                wanted: Sequence[str] = ()) -> list[str]:
    """All refusals as message lines, empty when everything may be published. wanted: the
    patterns that let files through that would be refused as unwanted."""
    lines = ["%s: %s" % (show_name(n), why) for n, why in problems]
    for raw in names:
        for why in name_problems(raw):
            lines.append("%s: %s" % (show_name(raw), why))
    decodable = []
    for raw in names:
        try:
            decodable.append(raw.decode("utf-8"))
        except UnicodeDecodeError:
            pass
    for group, why in case_conflicts(decodable):
        lines.append("%s: %s" % (", ".join(show_name(n) for n in sorted(set(group))), why))
    # A folder is listed once, however many files it holds.
    offending: dict[str, str] = {}
    for name in decodable:
        found = unwanted(name)
        if found and not named_by(name, wanted):
            offending.setdefault(*found)
    for path, what in offending.items():
        lines.append("%s: %s (--exclude or %s leaves it out; --include or --once publishes it)"
                     % (show_name(path), what, IGNORE_FILE))
    return lines


def read_entries(mod: str, raw_names: Iterable[bytes], once: Sequence[str] = ()) -> list[Entry]:
    """Entries of the files; those that a pattern of once names are placed once."""
    entries = []
    for raw in raw_names:
        name = raw.decode("utf-8")
        source = local_path(mod, name)
        digest, size = hash_file(source)
        entries.append(Entry(name=name, hash=digest, size=size, once=named_by(name, once),
                             source=source))
    return entries
