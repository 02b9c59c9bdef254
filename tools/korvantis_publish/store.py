"""Files below the update root: each version under surumler/<token>/<name>, the current one at
dosyalar/<name>, and what --prune removes."""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass

from .files import (clear_way, copy_verified, file_ids, place_copy, read_bytes,
                    remove_empty_folders, same_file, stored_copy_matches, stray_files)
from .history import keep_manifest, kept_manifests
from .layout import UpdateRoot, local_path
from .manifest import Entry, versioned_entries


def store_entry(paths: UpdateRoot, entry: Entry) -> list[str]:
    """Puts entry's bytes (from entry.source) at its version path and at dosyalar/<name>; returns
    the folders it changed. The version is written first: it is what "?v=" requests are answered
    from."""
    kept = paths.version(entry)
    plain = paths.plain(entry.name)
    changed = []
    if not stored_copy_matches(kept, entry):
        clear_way(paths.store, kept)
        copy_verified(entry.source, kept, entry.hash)
        changed.append(os.path.dirname(kept))
    if not same_file(kept, plain) and not stored_copy_matches(plain, entry):
        clear_way(paths.files, plain)
        place_copy(kept, plain)
        changed.append(os.path.dirname(plain))
    return changed


def keep_unkept_manifest(paths: UpdateRoot, body: bytes) -> None:
    """A manifest served before versions were kept (or put there by hand): its files that
    dosyalar/ still holds become its versions and it joins the kept manifests, so that launchers
    that read it and a later rollback find them."""
    if any(read_bytes(path) == body for _, path in kept_manifests(paths)):
        return
    for e in versioned_entries(body):
        kept = paths.version(e)
        plain = paths.plain(e.name)
        if not os.path.lexists(kept) and stored_copy_matches(plain, e):
            clear_way(paths.store, kept)
            place_copy(plain, kept)
    keep_manifest(paths, body)


@dataclass
class PrunePlan:
    plain: list[str]       # names under dosyalar/ that the new manifest does not name
    versions: list[str]    # "<token>/<name>" under surumler/ that no manifest still kept names
    manifests: list[str]   # kept manifests that go

    def count(self) -> int:
        return len(self.plain) + len(self.versions)


def plan_prune(paths: UpdateRoot, entries: Iterable[Entry], keep: int, served: bytes | None,
               new_body: bytes | None = None) -> PrunePlan:
    """What --prune removes: the plain files that entries do not name, and all versions but
    those of the last `keep` kept manifests and of `served`, the manifest served when the run
    began (launchers may be half-way through it). With new_body (a dry run, before the new
    manifest is kept), that body counts as kept already."""
    kept = kept_manifests(paths)
    split = max(0, len(kept) - (keep if new_body is None else keep - 1))
    recent = [read_bytes(path) for _, path in kept[split:]]
    if new_body is not None:
        recent.append(new_body)
    wanted = file_ids(paths.version(e) for body in recent + ([served] if served is not None else [])
                      for e in versioned_entries(body))
    return PrunePlan(
        plain=stray_files(paths.files, file_ids(paths.plain(e.name) for e in entries)),
        versions=stray_files(paths.store, wanted),
        manifests=[path for _, path in kept[:split]
                   if served is None or read_bytes(path) != served])


def prune(paths: UpdateRoot, plan: PrunePlan) -> None:
    for name in plan.plain:
        os.unlink(paths.plain(name))
    remove_empty_folders(paths.files)
    for rel in plan.versions:
        os.unlink(local_path(paths.store, rel))
    for path in plan.manifests:
        os.unlink(path)
    remove_empty_folders(paths.store)
