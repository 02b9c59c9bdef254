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

import sys

from korvantis_publish.old_form import main

if __name__ == "__main__":
    sys.exit(main())
