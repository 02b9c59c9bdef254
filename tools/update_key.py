#!/usr/bin/env python3
"""update_key.py KEY.pub OUTPUT.h: the update key's C++ header (korvantis_publish.update_key).
CMake runs it by this name while building."""

import sys

from korvantis_publish.update_key import main

if __name__ == "__main__":
    sys.exit(main())
