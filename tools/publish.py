#!/usr/bin/env python3
"""Publish a mod folder as a Korvantis update root (see korvantis_publish for the details).

    publish.py [--dry-run] [--prune [--keep N]] [--sign KEY.pem | --unsigned]
               [--include PATTERN]... [--once PATTERN]... MOD_FOLDER UPDATE_ROOT
    publish.py --rollback [--to NUMBER] [--dry-run] [--sign KEY.pem] UPDATE_ROOT
    publish.py --verify KEY.pub UPDATE_ROOT

Scripts and maintainers' habits use this form; it is turned into the package's subcommands.
Exit codes: 0 done, 1 names refused (nothing written), lock held, signature refused or a signed
root without --sign, 2 usage or I/O error.
"""

import argparse
import sys

from korvantis_publish.__main__ import keep_count, main

USAGE = ("%(prog)s [--dry-run] [--prune [--keep N]] [--sign KEY.pem | --unsigned]\n"
         "           [--include PATTERN]... [--once PATTERN]... MOD_FOLDER UPDATE_ROOT\n"
         "       %(prog)s --rollback [--to NUMBER] [--dry-run] [--sign KEY.pem] UPDATE_ROOT\n"
         "       %(prog)s --verify KEY.pub UPDATE_ROOT")


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


if __name__ == "__main__":
    sys.exit(main(subcommand_line(sys.argv[1:]), prog="publish.py", usage=USAGE))
