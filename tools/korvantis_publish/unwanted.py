"""Files a mod folder picks up that no player should get: version control folders, what the
operating system leaves behind, and what the engine and the game write at run time, which a
published copy would put back over every player's own at each update. Each is refused, and
listed, unless a --include or --once pattern names it.

The run-time writes are the Xash3D engine's (and its menu's), relative to the game folder
(cstrike/, valve/, ...) unless marked as beside the engine.
"""

from __future__ import annotations

import fnmatch
from collections.abc import Iterable

# Where a pattern is matched: ANY part of a name; the part right below a GAME folder
# (cstrike/<part>), a file or a folder; the name of a file at the TOP of the launcher folder.
ANY, GAME, TOP = "any", "game", "top"

# (where, pattern: fnmatch, lower case, letter case of the name ignored, what it is)
UNWANTED = (
    (ANY, ".git", "a version control folder"),
    (ANY, ".svn", "a version control folder"),
    (ANY, ".hg", "a version control folder"),
    (ANY, "thumbs.db", "Windows Explorer's thumbnail cache"),
    (ANY, "desktop.ini", "Windows Explorer's folder settings"),
    (ANY, ".ds_store", "macOS Finder's folder settings"),
    # "*" takes in the .new and .bak the engine writes while it replaces a configuration.
    (GAME, "config.cfg*", "the player's key bindings and settings, rewritten by the engine "
                          "at every quit"),
    (GAME, "video.cfg*", "the player's video mode, rewritten by the engine"),
    (GAME, "opengl.cfg*", "the player's renderer settings, rewritten by the engine"),
    (GAME, "ref_soft.cfg*", "the player's renderer settings, rewritten by the engine"),
    (GAME, "listenserver.cfg*", "rewritten by the menu each time the player starts a server"),
    (GAME, "xashcomm.lst", "the player's master server list, written by the engine"),
    (GAME, "custom.hpk", "the engine's cache of the sprays it has seen"),
    (GAME, "tempdecal.wad", "the player's own spray, written by the engine"),
    (GAME, "save", "saved games"),
    (GAME, "scrshots", "screenshots"),
    (GAME, "logs", "server logs"),
    (GAME, "*.dem", "a recorded demo"),
    (TOP, "engine.log", "the engine's log, beside the engine"),
    (TOP, "*_[0-9][0-9][0-9][0-9].png", "a snapshot, which the engine saves beside itself"),
)


def unwanted(name: str) -> tuple[str, str] | None:
    """(the offending file or folder, what it is) for a "/"-separated name; None for none."""
    parts = name.split("/")
    for i, part in enumerate(parts):
        for where, pattern, what in UNWANTED:
            if (where == GAME and i != 1) or (where == TOP and len(parts) != 1):
                continue
            if fnmatch.fnmatchcase(part.lower(), pattern):
                return "/".join(parts[:i + 1]), what
    return None


def named_by(name: str, patterns: Iterable[str]) -> bool:
    """Whether one of patterns names the file or one of its folders, letter case ignored."""
    parts = name.lower().split("/")
    prefixes = ["/".join(parts[:i]) for i in range(1, len(parts) + 1)]
    return any(fnmatch.fnmatchcase(p, pattern.lower()) for pattern in patterns for p in prefixes)
