#!/usr/bin/env python3
"""Checks a launcher about to be released against the update root it goes to, so that one slip
cannot reach every player: a launcher that asks the wrong host never finds a server again, and
one whose key does not match the manifests refuses every update (or, keyless, stops checking).

    release_check.py BUILT_EXE UPDATE_ROOT [--sign KEY.pem] [--test-host] [--new-host] [--rotate-key]

--sign is the key publish.py will sign with. Refused, each with its reason:
  - an update host that is empty or ends in .example, .invalid, .test or .localhost (names that
    never reach a real server), unless --test-host;
  - a host other than that of the launcher the update root now serves, unless --new-host;
  - a launcher with a key published without --sign, --sign for a keyless launcher, or a --sign
    key whose public half is not the launcher's key;
  - a key other than that of the launcher the update root now serves, unless --rotate-key.
A served launcher built before launchers carried their build identity is not compared.

Prints what the launcher is built for. Exit codes: 0 fine, 1 refused, 2 usage or I/O error.
"""

import argparse
import hashlib
import os
import sys
from pathlib import Path

from build_identity import read_build_identity
from korvantis_publish.errors import PublishError
from korvantis_publish.layout import UpdateRoot
from korvantis_publish.manifest import parse_manifest
from korvantis_publish.names import is_launcher
from korvantis_publish.signing import public_key_of

NOWHERE_SUFFIXES = (".example", ".invalid", ".test", ".localhost")


def is_nowhere_host(host):
    """Reserved names (RFC 2606, RFC 6761) that no public server answers for."""
    name = host.lower().rstrip(".")
    return not name or any(name.endswith(s) or name == s[1:] for s in NOWHERE_SUFFIXES)


def served_launcher(root):
    """The launcher bytes that the root's manifest makes players fetch; None when it lists none."""
    update = UpdateRoot(str(root))
    try:
        with open(update.manifest, "rb") as f:
            manifest = f.read()
    except FileNotFoundError:
        return None
    for entry in parse_manifest(manifest):
        if entry.once or not is_launcher(entry.name):
            continue
        for path in (update.version(entry), update.plain(entry.name)):
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    data = f.read()
                if hashlib.sha256(data).hexdigest() == entry.hash:
                    return data
        raise OSError("the served %s (sha256 %s) is not in %s" % (entry.name, entry.hash, update.update))
    return None


def describe(key):
    return "key " + key.hex()[:16] + "..." if key else "no key"


def problems(built, served, sign_key, test_host, new_host, rotate_key):
    found = []
    if is_nowhere_host(built.host) and not test_host:
        found.append("update host %r never reaches a real server: build with KORVANTIS_UPDATE_HOST "
                     "(--test-host for a test server)" % built.host)
    if served and served.host != built.host and not new_host:
        found.append("the served launcher asks %s, this one %s: players would move to the new host "
                     "for good (--new-host if that is meant)" % (served.host, built.host))
    if built.key and sign_key is None:
        found.append("the launcher checks signatures (%s) but publishing would not sign: give "
                     "--sign KEY.pem to publish.py" % describe(built.key))
    if not built.key and sign_key is not None:
        found.append("--sign given, but the launcher was built without KORVANTIS_UPDATE_KEY: every "
                     "player would stop checking signatures")
    if built.key and sign_key is not None and sign_key != built.key:
        found.append("the --sign key (%s) is not the launcher's (%s)" % (describe(sign_key), describe(built.key)))
    if served and served.key != built.key and not rotate_key:
        found.append("the served launcher has %s, this one %s (--rotate-key if that is meant)"
                     % (describe(served.key), describe(built.key)))
    return found


def main(argv):
    parser = argparse.ArgumentParser(prog="release_check.py")
    parser.add_argument("built")
    parser.add_argument("root")
    parser.add_argument("--sign", metavar="KEY.pem")
    parser.add_argument("--test-host", action="store_true")
    parser.add_argument("--new-host", action="store_true")
    parser.add_argument("--rotate-key", action="store_true")
    args = parser.parse_args(argv[1:])
    try:
        built = read_build_identity(Path(args.built).read_bytes())
        served_bytes = served_launcher(args.root)
        served = None
        if served_bytes is not None:
            try:
                served = read_build_identity(served_bytes)
            except ValueError:
                print("the served launcher carries no build identity: host and key not compared")
        sign_key = public_key_of(args.sign) if args.sign else None
    except OSError as err:
        print("release_check.py: %s" % err, file=sys.stderr)
        return 2
    except (ValueError, PublishError) as err:
        print("release_check.py: %s" % err, file=sys.stderr)
        return 1
    found = problems(built, served, sign_key, args.test_host, args.new_host, args.rotate_key)
    for problem in found:
        print("release_check.py: refused: %s" % problem, file=sys.stderr)
    if found:
        return 1
    print("update host %s, %s" % (built.host, describe(built.key)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
