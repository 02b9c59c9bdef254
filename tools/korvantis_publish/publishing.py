"""One publication: the mod folder checked, then its files, then the manifest, then --prune."""

from __future__ import annotations

import datetime
import os
import sys
from collections.abc import Iterable, Sequence
from typing import List, TextIO, Tuple

from .errors import EXIT_OK, EXIT_REFUSED, PROG, PublishError, Refused, report_failure
from .files import (closed_folders, fsync_folder, make_folders, read_bytes,
                    remove_leftover_temps, stored_copy_matches)
from .history import highest_serial, read_current_manifest, write_manifest
from .launcher_check import Allowances, changed_launcher, refuse_stranding
from .layout import UpdateRoot
from .lock import update_lock
from .manifest import Entry, build_manifest, hash_file, manifest_order, parse_manifest
from .modfolder import (IGNORE_FILE, check_folders, check_names, folder_warnings, ignore_patterns,
                        read_entries, scan_mod_folder)
from .names import LAUNCHER_NAME, is_launcher, show_name, show_size
from .signing import is_signed, public_key_of, sign_with_serial, signed_with
from .store import keep_unkept_manifest, plan_prune, prune as remove_pruned, store_entry
from .unwanted import named_by

DEFAULT_KEEP = 3
# (entry, note) for each entry of one kind of change.
Changes = List[Tuple[Entry, str]]


def plan_changes(paths: UpdateRoot, entries: Sequence[Entry]
                 ) -> tuple[Changes, Changes, Changes, Changes]:
    """(added, changed, removed, unchanged) against the manifest and files already served, each
    a list of (entry, note)."""
    served = read_current_manifest(paths)
    old_entries = parse_manifest(served) if served is not None else []
    old = {e.name: e for e in old_entries}
    new_names = {e.name for e in entries}
    added, changed, unchanged = [], [], []
    for e in manifest_order(entries):
        before = old.get(e.name)
        note = "placed once" if e.once else ""
        if before is None:
            added.append((e, note))
        elif (before.hash, before.size, before.once) != (e.hash, e.size, e.once):
            changed.append((e, note))
        elif not stored_copy_matches(paths.plain(e.name), e):
            changed.append((e, "stored copy missing or different"))
        else:
            unchanged.append((e, ""))
    removed = [(e, "") for e in old_entries if e.name not in new_names]
    return added, changed, removed, unchanged


def print_dry_run(paths: UpdateRoot, entries: Sequence[Entry], manifest: bytes | None, prune: bool,
                  keep: int, out: TextIO) -> None:
    added, changed, removed, unchanged = plan_changes(paths, entries)
    for label, group in (("added", added), ("changed", changed), ("removed", removed)):
        for e, note in group:
            out.write("%-8s %s %d bytes%s\n"
                      % (label, show_name(e.name), e.size, " (%s)" % note if note else ""))
    pruned = 0
    if prune:
        # The run itself plans after keeping the new manifest; here it counts as kept already.
        plan = plan_prune(paths, entries, keep, read_current_manifest(paths), manifest)
        for name in plan.plain:
            out.write("%-8s %s\n" % ("prune", show_name(name)))
        for rel in plan.versions:
            token, name = rel.split("/", 1)
            out.write("%-8s %s version %s\n" % ("prune", show_name(name), token))
        pruned = plan.count()

    def total(group: Changes) -> str:
        return show_size(sum(e.size for e, _ in group))

    out.write(players_download(entries, read_current_manifest(paths)))
    out.write("dry run: %d added (%s), %d changed (%s), %d removed (%s), %d unchanged%s; nothing "
              "written\n"
              % (len(added), total(added), len(changed), total(changed), len(removed),
                 total(removed), len(unchanged),
                 ", %d stored files to prune" % pruned if prune else ""))


def players_download(entries: Sequence[Entry], served: bytes | None) -> str:
    """The line saying what this manifest makes players fetch: those holding the served one
    fetch what it does not name alike (a file placed once only where it is new), a new
    player everything."""
    before = {(e.name, e.hash, e.size) for e in parse_manifest(served or b"")}
    names = {e.name for e in parse_manifest(served or b"")}
    fetched = [e for e in entries if (e.name, e.hash, e.size) not in before
               and not (e.once and e.name in names)]
    return ("players will download %d files, %s (a new player %d files, %s)\n"
            % (len(fetched), show_size(sum(e.size for e in fetched)), len(entries),
               show_size(sum(e.size for e in entries))))


def final_manifest(content: bytes, served: bytes | None, sign_key: str | None,
                   unsigned: bool = False, floor: int = 0) -> tuple[bytes, int | None]:
    """(manifest, serial) that replaces served: content as it is, or signed with a serial above
    served's and floor."""
    if sign_key:
        return sign_with_serial(content, served, sign_key, floor)
    if is_signed(served) and not unsigned:
        raise Refused("the served manifest is signed: every launcher with a key would refuse an "
                      "unsigned one, and every update after it; give --sign KEY.pem "
                      "(--unsigned if that is meant)")
    return content, None


def already_served(entries: Sequence[Entry], served: bytes | None, sign_key: str | None) -> bool:
    """Whether served names exactly entries, signed as this run would sign: a retry, which
    must not take a place in the history."""
    if served is None or sorted(entries, key=lambda e: e.name) != sorted(
            parse_manifest(served), key=lambda e: e.name):
        return False
    if not sign_key:
        return not is_signed(served)
    return signed_with(served, sign_key)


def with_launcher(entries: Iterable[Entry], launcher: str) -> list[Entry]:
    """entries with the file at `launcher` as the top-level Korvantis.exe."""
    digest, size = hash_file(launcher)
    return [e for e in entries if not is_launcher(e.name)] + [
        Entry(name=LAUNCHER_NAME, hash=digest, size=size, source=launcher)]


def launcher_bytes(entries: Iterable[Entry], served: bytes | None) -> bytes | None:
    entry = changed_launcher(entries, served)
    return None if entry is None else read_bytes(entry.source)


def publish(mod: str, root: str, prune: bool = False, dry_run: bool = False,
            out: TextIO = sys.stdout, err: TextIO = sys.stderr,
            now: datetime.datetime | None = None, keep: int = DEFAULT_KEEP,
            sign_key: str | None = None, include: Sequence[str] = (), once: Sequence[str] = (),
            unsigned: bool = False, allow: Allowances = Allowances(), launcher: str | None = None,
            exclude: Sequence[str] = ()) -> int:
    """Runs one publication; returns the exit code. include: patterns naming files to publish
    although they look like litter or run-time writes; once: files to place once, which may be
    such files too; launcher: a file published as Korvantis.exe instead of the mod folder's;
    exclude: patterns naming files left out, as if the mod folder did not hold them."""
    try:
        for pattern in once:
            if named_by(LAUNCHER_NAME, [pattern]):
                # A launcher placed once would never be replaced; launchers ignore such a line.
                raise Refused("--once %s names %s: the launcher must always be the current one"
                              % (show_name(pattern), show_name(LAUNCHER_NAME)))
        check_folders(mod, root)
        raw_names, problems, left_out = scan_mod_folder(mod, [*exclude, *ignore_patterns(mod)])
        for warning in folder_warnings(mod, raw_names) + [
                "others cannot enter %s (mode %04o): a web server running as another user "
                "answers 404 for everything below it" % (show_name(folder), mode)
                for folder, mode in closed_folders(UpdateRoot(root).served_folders())]:
            err.write("%s: warning: %s\n" % (PROG, warning))
        if left_out:
            out.write("left out by --exclude and %s: %d files\n" % (IGNORE_FILE, left_out))
        refusals = check_names(raw_names, problems, [*include, *once])
        if refusals:
            err.write("%s: %d problem(s) with files in %s; nothing was written:\n"
                      % (PROG, len(refusals), show_name(mod)))
            for line in refusals:
                err.write("  " + line + "\n")
            return EXIT_REFUSED

        entries = read_entries(mod, raw_names, once)
        if launcher:
            entries = with_launcher(entries, launcher)
        content = build_manifest(entries, now or datetime.datetime.now(datetime.timezone.utc))
        if sign_key:
            # A key that does not work leaves the root as it was.
            public_key_of(sign_key)

        paths = UpdateRoot(root)
        # Checked before anything is written, and again under the lock if the served manifest
        # changed meanwhile.
        checked = read_current_manifest(paths)
        refuse_stranding(paths, checked, launcher_bytes(entries, checked), sign_key, allow, out)
        if dry_run:
            served = checked
            if already_served(entries, served, sign_key):
                print_dry_run(paths, entries, None, prune, keep, out)
                out.write("the served manifest already names these files%s: no new manifest "
                          "would be written\n" % (", signed with this key" if sign_key else ""))
                return EXIT_OK
            manifest, serial = final_manifest(content, served, sign_key, unsigned,
                                             highest_serial(paths, served))
            print_dry_run(paths, entries, manifest, prune, keep, out)
            if sign_key:
                out.write("the manifest would be signed with %s as serial %d\n"
                          % (show_name(sign_key), serial))
            return EXIT_OK

        make_folders(paths.update)
        with update_lock(paths):
            # The serial is read under the lock: two publications must not sign the same one.
            served = read_current_manifest(paths)
            if served != checked:
                refuse_stranding(paths, served, launcher_bytes(entries, served), sign_key, allow,
                                 out)
            retry = already_served(entries, served, sign_key)
            download = players_download(entries, served)
            if not retry:
                manifest, serial = final_manifest(content, served, sign_key, unsigned,
                                                 highest_serial(paths, served))
            make_folders(paths.files)
            remove_leftover_temps(paths.update)
            if served is not None:
                keep_unkept_manifest(paths, served)

            written = 0
            touched = set()
            for e in manifest_order(entries):
                changed = store_entry(paths, e)
                touched.update(changed)
                written += bool(changed)
            for folder in sorted(touched):
                fsync_folder(folder)

            if not retry:
                # Last, and atomically: a launcher must never read a list naming files not yet
                # in place.
                write_manifest(paths, manifest)

            pruned = 0
            if prune:
                plan = plan_prune(paths, entries, keep, served)
                remove_pruned(paths, plan)
                pruned = plan.count()

        if retry:
            out.write("the served manifest already names these %d files (%s): no new "
                      "manifest written%s%s\n"
                      % (len(entries), show_size(sum(e.size for e in entries)),
                         ", %d stored copies repaired" % written if written else "",
                         ", %d pruned" % pruned if prune else ""))
            return EXIT_OK
        out.write(download)
        out.write("published %d files (%s), %d written%s%s, to %s\n"
                  % (len(entries), show_size(sum(e.size for e in entries)), written,
                     ", %d pruned" % pruned if prune else "",
                     ", signed as serial %d" % serial if sign_key else "",
                     show_name(paths.update)))
        return EXIT_OK
    except (PublishError, OSError) as e:
        return report_failure(e, err)
