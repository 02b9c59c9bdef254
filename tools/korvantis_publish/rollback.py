"""--rollback: puts a kept manifest back in place."""

from __future__ import annotations

import contextlib
import os
import sys
from typing import TextIO

from .errors import EXIT_OK, PublishError, Refused, report_failure
from .files import read_bytes, stored_copy_matches
from .history import (highest_serial, kept_manifests, read_current_manifest, serve_manifest,
                      write_manifest)
from .launcher_check import Allowances, changed_launcher, refuse_stranding
from .layout import UpdateRoot
from .lock import update_lock
from .manifest import DIGEST, parse_manifest
from .names import show_name
from .signing import is_signed, public_key_of, read_serial, sign_with_serial, unsigned_content


def missing_versions(paths: UpdateRoot, body: bytes) -> list[str]:
    return [e.name for e in parse_manifest(body)
            if not DIGEST.fullmatch(e.hash) or not stored_copy_matches(paths.version(e), e)]


def same_entries(a: bytes, b: bytes) -> bool:
    return sorted(parse_manifest(a), key=lambda e: e.name) == sorted(parse_manifest(b),
                                                                     key=lambda e: e.name)


def rollback_target(paths: UpdateRoot, current: bytes | None, number: int | None
                    ) -> tuple[int, bytes]:
    """(number, body) of the kept manifest to put back: `number`, or the newest one kept before
    the served manifest whose entries differ from it. The served manifest stands where its
    oldest kept copy does (a signed rollback keeps the entries it put back again, under a new
    serial); retries that kept the same entries again are passed over."""
    kept = [(n, read_bytes(path)) for n, path in kept_manifests(paths)]
    if number is not None:
        for n, body in kept:
            if n == number:
                return n, body
        raise PublishError("no kept manifest %d (kept: %s)"
                           % (number, ", ".join(str(n) for n, _ in kept) or "none"))
    here = len(kept)
    if current is not None:
        for i, (_, body) in enumerate(kept):
            if unsigned_content(body) == unsigned_content(current):
                here = i
                break
    for n, body in reversed(kept[:here]):
        if current is None or not same_entries(body, current):
            return n, body
    raise PublishError("no manifest is kept from before the current one that names other files")


def first_line(body: bytes) -> str:
    return unsigned_content(body).split(b"\n", 1)[0].decode("utf-8", "replace")


def rollback(paths: UpdateRoot, number: int | None = None, dry_run: bool = False,
             out: TextIO = sys.stdout, sign_key: str | None = None,
             allow: Allowances = Allowances()) -> None:
    """Puts back a kept manifest: byte for byte, or with sign_key as a new manifest of its entries,
    signed and kept. Nothing under dosyalar/ or surumler/ is written, moved or removed."""
    if not os.path.isdir(paths.update):
        raise PublishError("%s holds no update" % show_name(paths.root))
    if sign_key:
        public_key_of(sign_key)
    with contextlib.nullcontext() if dry_run else update_lock(paths):
        current = read_current_manifest(paths)
        if not sign_key and is_signed(current):
            raise Refused("the served manifest is signed, and launchers with a key refuse an "
                          "older serial: give --sign KEY.pem to sign the one put back anew")
        target, body = rollback_target(paths, current, number)
        if current is not None and same_entries(body, current):
            out.write("kept manifest %d names the files the served manifest names; nothing "
                      "written\n" % target)
            return
        missing = missing_versions(paths, body)
        if missing:
            raise PublishError("kept manifest %d names %d file version(s) no longer stored (%s); "
                               "publish that mod folder again instead"
                               % (target, len(missing),
                                  ", ".join(show_name(n) for n in missing[:5])))
        highest = highest_serial(paths, current)
        if not sign_key and is_signed(body) and read_serial(body) < highest:
            raise Refused("kept manifest %d is signed with serial %d, below the %d served since, "
                          "which launchers with a key refuse: give --sign KEY.pem to sign it anew"
                          % (target, read_serial(body), highest))
        launcher = changed_launcher(parse_manifest(body), current)
        refuse_stranding(paths, current, None if launcher is None else
                         read_bytes(paths.version(launcher)), sign_key, allow, out)
        signed = ""
        if sign_key:
            body, serial = sign_with_serial(unsigned_content(body), current, sign_key, highest)
            signed = ", signed as serial %d" % serial
        if dry_run:
            for n, path in kept_manifests(paths):
                kept = read_bytes(path)
                mark = "<- rollback" if n == target else "current" if kept == current else ""
                out.write("%6d  %-11s %s\n" % (n, mark, first_line(kept)))
            out.write("dry run: would put back kept manifest %d%s; nothing written\n"
                      % (target, signed))
            return
        if sign_key:
            write_manifest(paths, body)
        else:
            serve_manifest(paths, body)
    out.write("rolled back to kept manifest %d (%s)%s; no file changed\n"
              % (target, first_line(body), signed))


def run_rollback(root: str, number: int | None = None, dry_run: bool = False,
                 out: TextIO = sys.stdout, err: TextIO = sys.stderr, sign_key: str | None = None,
                 allow: Allowances = Allowances()) -> int:
    """Runs one rollback; returns the exit code."""
    try:
        rollback(UpdateRoot(root), number, dry_run, out, sign_key, allow)
        return EXIT_OK
    except (PublishError, OSError) as e:
        return report_failure(e, err)
