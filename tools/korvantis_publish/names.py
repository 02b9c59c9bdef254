"""Which names a mod may hold: what the launcher skips, what Windows cannot hold, and the names
the launcher keeps for itself."""

from __future__ import annotations

import re
import unicodedata
from collections.abc import Sequence

LAUNCHER_NAME = "Korvantis.exe"
# Temporary files live beside their targets so os.replace never crosses a file system.
# The server configuration hides this prefix; a leftover one is removed by the next run.
TEMP_PREFIX = ".publish-tmp-"
# The launcher downloads into target + ".indiriliyor" and deletes "Korvantis.exe.eski" at
# every start, so mod files with those names would be overwritten or deleted on the player's side.
DOWNLOAD_SUFFIX = ".indiriliyor"
OLD_LAUNCHER_NAME = LAUNCHER_NAME + ".eski"
# The player's saved game path, beside the launcher: a copy of the maintainer's own would
# replace it at every update.
SAVED_PATH_NAME = "hl_yolu.txt"
# The highest manifest serial the player's launcher accepted: a published copy would reset it,
# letting an older signed manifest through again.
SERIAL_STATE_NAME = "imza_sirasi.txt"
# Files a launcher folder holds: a mod name that takes one of them for a folder cannot be
# written on a player's disk.
LAUNCHER_FOLDER_FILES = (LAUNCHER_NAME, OLD_LAUNCHER_NAME, SAVED_PATH_NAME, SERIAL_STATE_NAME,
                         "xash3d.exe")
# The shape of a Windows 8.3 alias (KORVAN~1.EXE, PROGRA~1). Where the player's disk makes such
# aliases, a mod file of that name may be written over another file of its folder: the launcher
# or its files at the top.
SHORT_NAME = re.compile(r"[^.~]{1,7}~[0-9]{1,7}(\.[^.]{1,3})?")
# The launcher writes <folder>\<name>.indiriliyor below C:\Users\<user>\AppData\Local\Korvantis\
# without long-path support, so the whole path must stay within 259 UTF-16 units: 200 for the
# name leaves 47 for the folder, enough for user folder names of up to 13 characters.
MAX_NAME_UNITS = 200

WINDOWS_FORBIDDEN = '<>:"|?*'
DEVICE_NAMES = frozenset(
    ["CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"]
    + ["COM" + d for d in "0123456789\u00b9\u00b2\u00b3"]
    + ["LPT" + d for d in "0123456789\u00b9\u00b2\u00b3"]
)


def show_name(raw: str | bytes) -> str:
    """A name fit for a message: quoted, undecodable bytes and control characters escaped."""
    if isinstance(raw, bytes):
        raw = raw.decode("utf-8", "backslashreplace")
    out = []
    for ch in raw:
        if unicodedata.category(ch) == "Cc":
            out.append("\\x%02x" % ord(ch) if ord(ch) < 0x100 else "\\u%04x" % ord(ch))
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def show_size(size: int) -> str:
    """A size as maintainers read it: bytes below a megabyte, else megabytes (2**20 bytes, as
    Windows counts them)."""
    return "%d bytes" % size if size < 1 << 20 else "%.1f MB" % (size / (1 << 20))


def windows_fold(text: str) -> str:
    """Case folding close to NTFS's upper-case table: one character maps to one character."""
    out = []
    for ch in text:
        up = ch.upper()
        out.append(up if len(up) == 1 else ch)
    return "".join(out)


def name_problems(raw: bytes) -> list[str]:
    """Reasons why a "/"-separated name (bytes) cannot be published; empty when it can."""
    try:
        name = raw.decode("utf-8")
    except UnicodeDecodeError:
        return ["is not valid UTF-8 (the manifest and the launcher need UTF-8 names)"]
    reasons = []
    if not name:
        reasons.append("is empty")
    if ".." in name:
        reasons.append('contains ".." (the launcher skips such names)')
    if ":" in name:
        reasons.append('contains ":" (the launcher skips such names)')
    if name.startswith(("/", "\\")):
        reasons.append('begins with "/" or "\\" (the launcher skips such names)')
    if "\\" in name:
        reasons.append('contains "\\" (a folder separator on Windows but %5C on the server)')
    if any(unicodedata.category(ch) == "Cc" for ch in name):
        reasons.append("contains control characters (CR, LF, tab, ...)")
    bad = sorted({ch for ch in name if ch in WINDOWS_FORBIDDEN and ch != ":"})
    if bad:
        reasons.append("contains characters Windows forbids in names: " + " ".join(bad))
    units = len(name.encode("utf-16-le")) // 2
    if units > MAX_NAME_UNITS:
        reasons.append("is %d UTF-16 units long; a Windows path below the player's launcher folder "
                       "holds names of at most %d" % (units, MAX_NAME_UNITS))
    components = name.split("/")
    if any(c == "" for c in components) and name:
        reasons.append("has an empty folder name or ends in a separator")
    for comp in components:
        if comp and comp[-1] in " .":
            reasons.append("part %s ends in a blank or a dot (Windows drops it)" % show_name(comp))
        # Windows ignores the extension and trailing blanks of a device name: "nul.txt", "CON .a".
        stem = comp.split(".", 1)[0].rstrip(" ")
        if stem.upper() in DEVICE_NAMES:
            reasons.append("part %s is a reserved device name on Windows" % show_name(comp))
        if comp.startswith(TEMP_PREFIX):
            reasons.append('part %s begins with "%s", kept for publish.py\'s temporary files'
                           % (show_name(comp), TEMP_PREFIX))
        if comp.lower().endswith(DOWNLOAD_SUFFIX):
            reasons.append('part %s ends in "%s", the launcher\'s own download name'
                           % (show_name(comp), DOWNLOAD_SUFFIX))
        if SHORT_NAME.fullmatch(comp) and len(comp.split(".")[0]) <= 8:
            reasons.append("part %s has the shape of a Windows short name (KORVAN~1.EXE), which "
                           "may be another name of a file in its folder" % show_name(comp))
    if len(components) > 1 and components[0].lower() in (n.lower() for n in LAUNCHER_FOLDER_FILES):
        reasons.append("takes %s, a file the launcher folder holds, for a folder"
                       % show_name(components[0]))
    if name.lower() == OLD_LAUNCHER_NAME.lower():
        reasons.append("is deleted by the launcher at every start")
    if name.lower() == SAVED_PATH_NAME.lower():
        reasons.append("is the player's saved game path, which the launcher keeps for itself")
    if name.lower() == SERIAL_STATE_NAME.lower():
        reasons.append("is where the launcher keeps the highest manifest serial it accepted")
    return reasons


def case_conflicts(names: Sequence[str]) -> list[tuple[list[str], str]]:
    """Groups of names that one Windows folder cannot hold side by side."""
    files: dict[str, list[str]] = {}
    for name in names:
        files.setdefault(windows_fold(name), []).append(name)
    folders: dict[str, str] = {}
    for name in names:
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            prefix = "/".join(parts[:i])
            folders.setdefault(windows_fold(prefix), name)
    problems = []
    for group in files.values():
        if len(group) > 1:
            problems.append((group, "differ only in letter case"))
    for folded, group in files.items():
        if folded in folders:
            problems.append((group + [folders[folded]],
                             "a file and a folder whose names differ only in letter case"))
    return problems


def is_launcher(name: str) -> bool:
    # The launcher recognises itself with a case-blind compare of the whole name.
    return name.lower() == LAUNCHER_NAME.lower()
