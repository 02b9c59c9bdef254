"""publish.py's command line: the older one-line form that scripts and maintainers' habits use
(--rollback and --verify as flags, publishing without a word), turned into the subcommands, which
it also takes directly (a mod folder of such a name is ./publish)."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from .__main__ import build_parser, keep_count, main as run_subcommand

USAGE = ("%(prog)s [--dry-run] [--prune [--keep N]] [--sign KEY.pem | --unsigned]\n"
         "           [--include PATTERN]... [--once PATTERN]... [--exclude PATTERN]...\n"
         "           [--test-host] [--new-host] [--rotate-key] MOD_FOLDER UPDATE_ROOT\n"
         "       %(prog)s --rollback [--to NUMBER] [--dry-run] [--sign KEY.pem] UPDATE_ROOT\n"
         "       %(prog)s --verify KEY.pub UPDATE_ROOT\n"
         "       %(prog)s COMMAND ... (publish, rollback, verify, status, keygen, mirror)")
COMMANDS = ("publish", "rollback", "verify", "status", "keygen", "mirror")


def subcommand_line(argv: Sequence[str]) -> list[str]:
    """The subcommand line that does what argv did. The mode flags may stand anywhere; --keep
    and --to were accepted, and ignored, where their mode did not use them."""
    old = argparse.ArgumentParser(prog="publish.py", usage=USAGE, add_help=False)
    old.add_argument("--rollback", action="store_true")
    old.add_argument("--verify", metavar="KEY.pub")
    old.add_argument("--to", type=int)
    old.add_argument("--keep", type=keep_count)
    mode, rest = old.parse_known_args(argv)
    to = ["--to", str(mode.to)] if mode.to is not None else []
    if mode.verify is not None:
        # Any flag left is one verify refuses.
        return ["verify", mode.verify, *(["--rollback"] if mode.rollback else []), *rest]
    if mode.rollback:
        return ["rollback", *to, *rest]
    return ["publish", *(["--keep", str(mode.keep)] if mode.keep else []), *to, *rest]


def main(argv: Sequence[str] | None = None) -> int:
    """argv: the arguments after the program's name (this run's when None)."""
    args = list(sys.argv[1:] if argv is None else argv)
    if args[:1] in (["-h"], ["--help"]):
        build_parser("publish.py", USAGE).print_help()
        return 0
    if args[:1] and args[0] in COMMANDS:
        return run_subcommand(args, prog="publish.py")
    return run_subcommand(subcommand_line(args), prog="publish.py", usage=USAGE)


if __name__ == "__main__":
    sys.exit(main())
