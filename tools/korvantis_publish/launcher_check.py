"""The checks that keep one publication, rollback or release from stranding every player: a
launcher that asks a host no server answers, or other hosts than players use now, one whose key
does not match the key that signs, and a signing key that players' launchers cannot check.
publish.py runs them whenever the served Korvantis.exe would change; release_check.py always."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import TextIO

from .build_identity import BuildIdentity, read_build_identity
from .files import read_bytes, stored_copy_matches
from .history import kept_manifests
from .layout import UpdateRoot
from .manifest import DIGEST, Entry, parse_manifest
from .names import is_launcher
from .errors import Refused
from .signing import is_signed, public_key_of, signed_with

NOWHERE_SUFFIXES = (".example", ".invalid", ".test", ".localhost")


@dataclass(frozen=True)
class Allowances:
    """What the maintainer said is meant: --test-host, --new-host, --rotate-key."""
    test_host: bool = False
    new_host: bool = False
    rotate_key: bool = False


def is_nowhere_host(host: str) -> bool:
    """Reserved names (RFC 2606, RFC 6761) that no public server answers for."""
    name = host.lower().rstrip(".")
    return not name or any(name.endswith(s) or name == s[1:] for s in NOWHERE_SUFFIXES)


def same_host(a: str, b: str) -> bool:
    # DNS names know no letter case, nor does WinHTTP.
    return a.lower().rstrip(".") == b.lower().rstrip(".")


def same_hosts(a: Sequence[str], b: Sequence[str]) -> bool:
    """Whether two host lists are one: the same hosts in the same order, which is the order the
    launcher tries them in."""
    return len(a) == len(b) and all(same_host(x, y) for x, y in zip(a, b))


def show_hosts(identity: BuildIdentity) -> str:
    """"a" for a launcher with one host, "a (fallback hosts b, c)" for one with more."""
    if not identity.fallback_hosts:
        return identity.host
    return "%s (fallback hosts %s)" % (identity.host, ", ".join(identity.fallback_hosts))


def describe(key: bytes | None) -> str:
    return "key " + key.hex()[:16] + "..." if key else "no key"


def launcher_entry(body: bytes | None) -> Entry | None:
    """The top-level launcher entry of a manifest; None where it names none."""
    for entry in parse_manifest(body or b""):
        if not entry.once and is_launcher(entry.name) and DIGEST.fullmatch(entry.hash):
            return entry
    return None


def stored_launcher(paths: UpdateRoot, entry: Entry) -> bytes | None:
    """The bytes the root holds for a launcher entry, checked against its digest; None where
    they are gone."""
    for path in (paths.version(entry), paths.plain(entry.name)):
        if stored_copy_matches(path, entry):
            return read_bytes(path)
    return None


def players_launcher(paths: UpdateRoot, served: bytes | None
                     ) -> tuple[Entry, bytes | None] | tuple[None, None]:
    """(entry, bytes) of the launcher players run now: the one the served manifest names, or,
    where it names none, the newest kept manifest that does. (None, None) for a root that never
    served one; bytes None where the root no longer holds them."""
    entry = launcher_entry(served)
    if entry is None:
        for _, path in reversed(kept_manifests(paths)):
            entry = launcher_entry(read_bytes(path))
            if entry is not None:
                break
    return (None, None) if entry is None else (entry, stored_launcher(paths, entry))


def launcher_problems(built: BuildIdentity, served: BuildIdentity | None, sign_point: bytes | None,
                      allow: Allowances) -> list[str]:
    """Why the launcher `built` (a BuildIdentity) may not replace `served` (None: not known),
    with manifests signed by sign_point (None: unsigned)."""
    found = []
    for i, host in enumerate(built.hosts):
        if is_nowhere_host(host) and not allow.test_host:
            found.append("%s %r never reaches a real server: build with KORVANTIS_UPDATE_HOST "
                         "(--test-host for a test server)"
                         % ("fallback host" if i else "update host", host))
    if served and not same_hosts(served.hosts, built.hosts) and not allow.new_host:
        several = len(served.hosts) > 1 or len(built.hosts) > 1
        # A keyed launcher built before layout 2 takes no launcher of another layout than 1.
        first_fallbacks = built.fallback_hosts and not served.fallback_hosts
        found.append("the served launcher asks %s, this one %s: players would move to the new %s "
                     "for good (--new-host if that is meant%s)"
                     % (show_hosts(served), show_hosts(built), "hosts" if several else "host",
                        "; a launcher built before fallback hosts existed may refuse one that "
                        "has them" if first_fallbacks else ""))
    if built.key and sign_point is None:
        found.append("the launcher checks signatures (%s) but publishing would not sign: give "
                     "--sign KEY.pem" % describe(built.key))
    if not built.key and sign_point is not None:
        found.append("--sign given, but the launcher was built without KORVANTIS_UPDATE_KEY: every "
                     "player would stop checking signatures")
    if served and served.key != built.key and not allow.rotate_key:
        found.append("the served launcher has %s, this one %s (--rotate-key if that is meant)"
                     % (describe(served.key), describe(built.key)))
    if built.key and sign_point is not None:
        # While the key changes, players still hold the served launcher: only its key reaches them.
        rotating = allow.rotate_key and served and served.key
        wanted = served.key if rotating else built.key
        if sign_point != wanted:
            found.append("the --sign key (%s) is not the %s launcher's (%s)%s"
                         % (describe(sign_point), "served" if rotating else "new",
                            describe(wanted),
                            ": sign with the old key while players change launchers" if rotating
                            else ""))
    return found


def identity_problem(data: bytes) -> tuple[BuildIdentity, None] | tuple[None, str]:
    try:
        return read_build_identity(data), None
    except (ValueError, UnicodeDecodeError) as e:
        return None, str(e)


def check_publication(paths: UpdateRoot, served: bytes | None, new_launcher: bytes | None,
                      sign_key: str | None, allow: Allowances, note: Callable[[str], object]
                      ) -> list[str]:
    """Every reason why serving new_launcher (its bytes; None: players keep theirs) with
    manifests signed by sign_key (a private key file, None: unsigned) in place of the manifest
    `served` would strand players. note(text) hears what could not be compared."""
    sign_point = public_key_of(sign_key) if sign_key else None
    found = []
    if new_launcher is not None:
        built, why = identity_problem(new_launcher)
        if built is None:
            found.append("the new Korvantis.exe has no readable build identity (%s): it is no "
                         "launcher of this tree, and nothing says which host and key it uses"
                         % why)
        else:
            entry, old = players_launcher(paths, served)
            served_identity, why = identity_problem(old) if old is not None else (None, None)
            if entry is not None and old is None:
                note("the served launcher is no longer stored below the root: host and key not "
                     "compared")
            elif why:
                note("the served launcher carries no build identity: host and key not compared")
            found += launcher_problems(built, served_identity, sign_point, allow)
    if sign_key and is_signed(served) and not allow.rotate_key and not signed_with(served, sign_key):
        found.append("the served manifest's signature does not verify with the --sign key %s: "
                     "players' launchers check the key that signed it, and would refuse every "
                     "manifest from now on (--rotate-key if the key is changing)"
                     % os.path.basename(sign_key))
    return found


def changed_launcher(entries: Iterable[Entry], served: bytes | None) -> Entry | None:
    """The launcher entry of entries where players would fetch it in place of the served one's,
    else None."""
    new = next((e for e in entries if is_launcher(e.name) and not e.once), None)
    old = launcher_entry(served)
    return None if new is None or (old is not None and old.hash == new.hash) else new


def refuse_stranding(paths: UpdateRoot, served: bytes | None, new_launcher: bytes | None,
                     sign_key: str | None, allow: Allowances, out: TextIO) -> None:
    """Raises Refused, listing every reason, where check_publication finds any."""
    problems = check_publication(paths, served, new_launcher, sign_key, allow,
                                 lambda text: out.write(text + "\n"))
    if problems:
        raise Refused("\n".join("refused: " + p for p in problems))
