"""Checks a launcher about to be released against the update root it goes to, so that one slip
cannot reach every player: a launcher that asks the wrong host never finds a server again, and
one whose key does not match the manifests refuses every update (or, keyless, stops checking).

    release_check.py BUILT_EXE UPDATE_ROOT [--sign KEY.pem] [--test-host] [--new-host] [--rotate-key]

--sign is the key publish.py will sign with. The checks are publish.py's own, which it runs
whenever the served launcher would change (korvantis_publish/launcher_check.py); refused, each
with its reason:
  - an update host, main or fallback, that is empty or ends in .example, .invalid, .test or
    .localhost (names that never reach a real server), unless --test-host;
  - hosts other than those of the launcher the update root now serves, in their order (a host
    added, removed or moved), unless --new-host;
  - a launcher with a key published without --sign, or --sign for a keyless launcher;
  - a key other than that of the launcher the update root now serves, unless --rotate-key;
  - a --sign key that is not the launcher's, or with --rotate-key not the served launcher's
    (the key its players check);
  - on a signed root, a --sign key that did not sign the served manifest, unless --rotate-key.
A served launcher built before launchers carried their build identity is not compared.

Prints what the launcher is built for. Exit codes: 0 fine, 1 refused, 2 usage or I/O error.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path

from .build_identity import read_build_identity
from .errors import PublishError
from .history import read_current_manifest
from .launcher_check import Allowances, check_publication, describe, show_hosts
from .layout import UpdateRoot


def main(argv: Sequence[str] | None = None) -> int:
    """argv: the arguments after the program's name (this run's when None)."""
    parser = argparse.ArgumentParser(prog="release_check.py")
    parser.add_argument("built")
    parser.add_argument("root")
    parser.add_argument("--sign", metavar="KEY.pem")
    parser.add_argument("--test-host", action="store_true")
    parser.add_argument("--new-host", action="store_true")
    parser.add_argument("--rotate-key", action="store_true")
    args = parser.parse_args(argv)
    allow = Allowances(args.test_host, args.new_host, args.rotate_key)
    try:
        exe = Path(args.built).read_bytes()
        built = read_build_identity(exe)
        paths = UpdateRoot(args.root)
        found = check_publication(paths, read_current_manifest(paths), exe, args.sign, allow, print)
    except OSError as err:
        print("release_check.py: %s" % err, file=sys.stderr)
        return 2
    except (ValueError, PublishError) as err:
        print("release_check.py: %s" % err, file=sys.stderr)
        return 1
    for problem in found:
        print("release_check.py: refused: %s" % problem, file=sys.stderr)
    if found:
        return 1
    print("update host %s, %s" % (show_hosts(built), describe(built.key)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
