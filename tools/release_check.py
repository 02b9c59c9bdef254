#!/usr/bin/env python3
"""release_check.py BUILT_EXE UPDATE_ROOT [--sign KEY.pem] [--test-host] [--new-host] [--rotate-key]:
a launcher about to be released checked against its update root (korvantis_publish.release_check)."""

import sys

from korvantis_publish.release_check import main

if __name__ == "__main__":
    sys.exit(main())
