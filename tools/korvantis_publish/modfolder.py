"""The maintainer's mod folder: its files, and every reason to refuse them, found in one walk."""

import os

from .errors import PublishError
from .layout import local_path
from .manifest import Entry, hash_file
from .names import case_conflicts, name_problems, show_name
from .unwanted import named_by, unwanted


def check_folders(mod, root):
    if not os.path.isdir(mod):
        raise PublishError("mod folder %s is not a folder" % show_name(mod))
    if os.path.exists(root) and not os.path.isdir(root):
        raise PublishError("update root %s is not a folder" % show_name(root))
    real_mod = os.path.normcase(os.path.realpath(mod))
    real_root = os.path.normcase(os.path.realpath(root))
    for inner, outer in ((real_root, real_mod), (real_mod, real_root)):
        if inner == outer or inner.startswith(outer.rstrip(os.sep) + os.sep):
            raise PublishError("the mod folder and the update root must not lie inside each other")


def scan_mod_folder(mod):
    """(names, problems): every regular file as a "/"-joined bytes name, and what was refused."""
    names = []
    problems = []

    def walk(folder, prefix):
        try:
            with os.scandir(folder) as it:
                children = sorted(it, key=lambda e: e.name)
        except OSError as err:
            raise PublishError("cannot read folder %s: %s" % (show_name(folder), err.strerror))
        for entry in children:
            rel = prefix + entry.name
            is_junction = getattr(entry, "is_junction", lambda: False)()
            if entry.is_symlink() or is_junction:
                problems.append((rel, "is a symbolic link (the launcher can only receive plain "
                                      "files, and a link may point outside the mod folder)"))
            elif entry.is_dir(follow_symlinks=False):
                walk(entry.path, rel + b"/")
            elif entry.is_file(follow_symlinks=False):
                names.append(rel)
            else:
                problems.append((rel, "is not a regular file (device, pipe or socket)"))

    walk(os.fsencode(mod), b"")
    return names, problems


def check_names(names, problems, wanted=()):
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
    offending = {}
    for name in decodable:
        found = unwanted(name)
        if found and not named_by(name, wanted):
            offending.setdefault(*found)
    for path, what in offending.items():
        lines.append("%s: %s (--include or --once publishes it)" % (show_name(path), what))
    return lines


def read_entries(mod, raw_names, once=()):
    """Entries of the files; those that a pattern of once names are placed once."""
    entries = []
    for raw in raw_names:
        name = raw.decode("utf-8")
        source = local_path(mod, name)
        digest, size = hash_file(source)
        entries.append(Entry(name=name, hash=digest, size=size, once=named_by(name, once),
                             source=source))
    return entries
