"""--rollback: puts a kept manifest back in place."""

import contextlib
import os
import sys

from .errors import EXIT_OK, PublishError, Refused, report_failure
from .files import read_bytes, stored_copy_matches
from .history import kept_manifests, read_current_manifest, serve_manifest, write_manifest
from .launcher_check import Allowances, changed_launcher, refuse_stranding
from .layout import UpdateRoot
from .lock import update_lock
from .manifest import DIGEST, parse_manifest
from .names import show_name
from .signing import is_signed, public_key_of, sign_with_serial, unsigned_content


def missing_versions(paths, body):
    return [e.name for e in parse_manifest(body)
            if not DIGEST.fullmatch(e.hash) or not stored_copy_matches(paths.version(e), e)]


def rollback_target(paths, current, number):
    """(number, body) of the kept manifest to put back: `number`, or the one kept before the
    oldest copy of the current manifest's entries. A signed rollback keeps those entries again
    under a new serial, so the next rollback steps back past the original too."""
    kept = [(n, read_bytes(path)) for n, path in kept_manifests(paths)]
    if number is not None:
        for n, body in kept:
            if n == number:
                return n, body
        raise PublishError("no kept manifest %d (kept: %s)"
                           % (number, ", ".join(str(n) for n, _ in kept) or "none"))
    entries = None if current is None else unsigned_content(current)
    earlier = kept
    for i, (_, body) in enumerate(kept):
        if unsigned_content(body) == entries:
            earlier = kept[:i]
            break
    if not earlier:
        raise PublishError("no manifest is kept from before the current one")
    return earlier[-1]


def first_line(body):
    return unsigned_content(body).split(b"\n", 1)[0].decode("utf-8", "replace")


def rollback(paths, number=None, dry_run=False, out=sys.stdout, sign_key=None, allow=Allowances()):
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
        missing = missing_versions(paths, body)
        if missing:
            raise PublishError("kept manifest %d names %d file version(s) no longer stored (%s); "
                               "publish that mod folder again instead"
                               % (target, len(missing),
                                  ", ".join(show_name(n) for n in missing[:5])))
        launcher = changed_launcher(parse_manifest(body), current)
        refuse_stranding(paths, current, None if launcher is None else
                         read_bytes(paths.version(launcher)), sign_key, allow, out)
        signed = ""
        if sign_key:
            body, serial = sign_with_serial(unsigned_content(body), current, sign_key)
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


def run_rollback(root, number=None, dry_run=False, out=sys.stdout, err=sys.stderr, sign_key=None,
                 allow=Allowances()):
    """Runs one rollback; returns the exit code."""
    try:
        rollback(UpdateRoot(root), number, dry_run, out, sign_key, allow)
        return EXIT_OK
    except (PublishError, OSError) as e:
        return report_failure(e, err)
