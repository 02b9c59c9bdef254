#!/usr/bin/env python3
"""build_identity.py Korvantis.exe: what a launcher was built for (korvantis_publish.build_identity)."""

import sys

from korvantis_publish.build_identity import main

if __name__ == "__main__":
    sys.exit(main())
