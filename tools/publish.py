#!/usr/bin/env python3
"""Publish a mod folder as a Korvantis update root (see korvantis_publish for the details).

    publish.py [--dry-run] [--prune [--keep N]] [--sign KEY.pem | --unsigned]
               [--include PATTERN]... [--once PATTERN]... [--exclude PATTERN]...
               [--test-host] [--new-host] [--rotate-key] MOD_FOLDER UPDATE_ROOT
    publish.py --rollback [--to NUMBER] [--dry-run] [--sign KEY.pem] UPDATE_ROOT
    publish.py --verify KEY.pub UPDATE_ROOT
    publish.py COMMAND ...      publish, rollback, verify, status, keygen, mirror (--help)

Scripts and maintainers' habits use the first three forms; they are turned into the package's
subcommands, which the last form names directly (a mod folder of such a name is ./publish).
Exit codes: 0 done, 1 refused (nothing written): names or files, a launcher that would strand
players, lock held, signature refused or a signed root without --sign; 2 usage or I/O error.
"""

import argparse
import sys

from korvantis_publish.__main__ import build_parser, keep_count, main

USAGE = ("%(prog)s [--dry-run] [--prune [--keep N]] [--sign KEY.pem | --unsigned]\n"
         "           [--include PATTERN]... [--once PATTERN]... [--exclude PATTERN]...\n"
         "           [--test-host] [--new-host] [--rotate-key] MOD_FOLDER UPDATE_ROOT\n"
         "       %(prog)s --rollback [--to NUMBER] [--dry-run] [--sign KEY.pem] UPDATE_ROOT\n"
         "       %(prog)s --verify KEY.pub UPDATE_ROOT\n"
         "       %(prog)s COMMAND ... (publish, rollback, verify, status, keygen, mirror)")
COMMANDS = ("publish", "rollback", "verify", "status", "keygen", "mirror")


def subcommand_line(argv):
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


def run(argv):
    if argv[:1] in (["-h"], ["--help"]):
        build_parser("publish.py", USAGE).print_help()
        return 0
    if argv[:1] and argv[0] in COMMANDS:
        return main(argv, prog="publish.py")
    return main(subcommand_line(argv), prog="publish.py", usage=USAGE)


if __name__ == "__main__":
    sys.exit(run(sys.argv[1:]))
