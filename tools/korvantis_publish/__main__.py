"""Command line: publish, rollback, verify, status, keygen and mirror (tools/ on the module path).
publish.py's command line (old_form.py) also takes the older one-line form."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence

from .errors import PublishError, report_failure
from .launcher_check import Allowances
from .layout import UpdateRoot
from .mirror import mirror
from .publishing import DEFAULT_KEEP, publish
from .rollback import run_rollback
from .signing import keygen, verify_root
from .status import show_status


def keep_count(text: str) -> int:
    count = int(text)
    if count < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return count


def allowances(args: argparse.Namespace) -> Allowances:
    return Allowances(test_host=args.test_host, new_host=args.new_host, rotate_key=args.rotate_key)


def run_publish(args: argparse.Namespace) -> int:
    return publish(args.mod_folder, args.update_root, prune=args.prune, dry_run=args.dry_run,
                   keep=args.keep, sign_key=args.sign, include=args.include, once=args.once,
                   unsigned=args.unsigned, allow=allowances(args), launcher=args.launcher,
                   exclude=args.exclude)


def run_rollback_command(args: argparse.Namespace) -> int:
    return run_rollback(args.update_root, args.to, args.dry_run, sign_key=args.sign,
                        allow=allowances(args))


def add_allowances(sub: argparse.ArgumentParser) -> None:
    """The flags that let a launcher change through that would otherwise be refused."""
    sub.add_argument("--test-host", action="store_true",
                     help="allow a launcher whose update hosts reach no real server "
                          "(.example, .invalid, .test, .localhost)")
    sub.add_argument("--new-host", action="store_true",
                     help="allow a launcher that asks other hosts than the served one, or "
                          "the same in another order")
    sub.add_argument("--rotate-key", action="store_true",
                     help="allow another key than the served launcher's (sign with the served "
                          "launcher's key), or signing with another key than the served "
                          "manifest's")


def reported(action: Callable[[], int]) -> int:
    """Runs action(); its exit code, or that of the failure it reported."""
    try:
        return action()
    except (PublishError, OSError) as e:
        return report_failure(e, sys.stderr)


def run_verify(args: argparse.Namespace) -> int:
    return reported(lambda: verify_root(args.key, UpdateRoot(args.update_root), sys.stdout,
                                        sys.stderr))


def run_status(args: argparse.Namespace) -> int:
    return reported(lambda: show_status(UpdateRoot(args.update_root), sys.stdout) or 0)


def run_keygen(args: argparse.Namespace) -> int:
    return reported(lambda: keygen(args.key, sys.stdout) or 0)


def run_mirror(args: argparse.Namespace) -> int:
    return reported(lambda: mirror(args.update_root, args.dest, sys.stdout) or 0)


def build_parser(prog: str | None = None, usage: str | None = None) -> argparse.ArgumentParser:
    """prog and usage replace argparse's own in every message (the older entry's form)."""
    parser = argparse.ArgumentParser(
        prog=prog or "python3 -m korvantis_publish", usage=usage,
        description="Publish a mod folder as a Korvantis update root for a static web server, "
                    "put back an earlier manifest, check a signed one, show what a root "
                    "serves, make a signing key, or copy a root to another server.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, func: Callable[[argparse.Namespace], int],
                summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary, usage=usage,
                                  **({"prog": prog} if prog and usage else {}))
        sub.set_defaults(func=func)
        return sub

    def update_root(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("update_root", metavar="UPDATE_ROOT",
                         help="document root of the web server; "
                              "korvantis/guncelleme/ lies below it")

    sub = command("publish", run_publish, "write the mod folder's files and manifest")
    sub.add_argument("mod_folder", metavar="MOD_FOLDER",
                     help="folder whose files the launcher folder must hold")
    update_root(sub)
    sub.add_argument("--dry-run", action="store_true",
                     help="show what would change against the existing root; write nothing")
    sub.add_argument("--prune", action="store_true",
                     help="after the new manifest is in place, delete served files it no longer "
                          "names and versions no kept manifest names")
    sub.add_argument("--keep", type=keep_count, default=DEFAULT_KEEP, metavar="N",
                     help="with --prune: keep the versions of the last N manifests (default %d)"
                          % DEFAULT_KEEP)
    signed = sub.add_mutually_exclusive_group()
    signed.add_argument("--sign", metavar="KEY.pem",
                        help="sign the manifest with this P-256 private key (openssl), with a "
                             "serial one above the served manifest's")
    signed.add_argument("--unsigned", action="store_true",
                        help="publish unsigned although the served manifest is signed: every "
                             "launcher with a key then refuses every update")
    sub.add_argument("--include", action="append", default=[], metavar="PATTERN",
                     help="publish the files (or folders) this names although they look like "
                          "version control, system litter or what the game writes at run time: "
                          'fnmatch on the "/"-separated name, letter case ignored; repeatable')
    sub.add_argument("--once", action="append", default=[], metavar="PATTERN",
                     help='publish the files this names as placed once ("#ilk" lines): the '
                          "launcher puts them where the player has none and never replaces "
                          "them; matched as --include, which it implies")
    sub.add_argument("--exclude", action="append", default=[], metavar="PATTERN",
                     help="leave out the files (or folders) this names, as if the mod folder did "
                          "not hold them; matched as --include; repeatable. The mod folder's "
                          ".korvantisignore holds more, one a line")
    sub.add_argument("--launcher", metavar="EXE",
                     help="publish this file as Korvantis.exe instead of the mod folder's own")
    add_allowances(sub)

    sub = command("rollback", run_rollback_command,
                  "put back the newest manifest kept before the served one that names other "
                  "files; no mod file is touched")
    update_root(sub)
    sub.add_argument("--to", type=int, metavar="NUMBER",
                     help="the kept manifest gecmis/NUMBER.txt instead")
    sub.add_argument("--dry-run", action="store_true",
                     help="list the kept manifests and the one that would be put back")
    sub.add_argument("--sign", metavar="KEY.pem",
                     help="put back its entries as a new manifest signed with this key, with a "
                          "serial one above the served manifest's (needed where that is signed)")
    add_allowances(sub)

    sub = command("verify", run_verify, "check the signature of the root's manifest")
    sub.add_argument("key", metavar="KEY.pub", help="the maintainer's P-256 public key (PEM)")
    update_root(sub)

    sub = command("status", run_status, "show the served manifest, its launcher and the kept "
                                        "manifests")
    update_root(sub)

    sub = command("keygen", run_keygen, "make a signing key pair: KEY.pem (owner only) and "
                                        "KEY.pub beside it")
    sub.add_argument("key", metavar="KEY.pem", help="where the private key goes")

    sub = command("mirror", run_mirror, "copy the update root to another, right at every moment: "
                                        "files first, the manifest last, hard links kept")
    update_root(sub)
    sub.add_argument("dest", metavar="DEST", help="the update root of the copy")
    return parser


def main(argv: Sequence[str] | None = None, prog: str | None = None,
         usage: str | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        # A Windows console without UTF-8 must not crash on a name it cannot show.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    args = build_parser(prog, usage).parse_args(argv)  # usage errors exit with 2
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
