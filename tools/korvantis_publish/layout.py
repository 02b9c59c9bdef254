"""Where everything lies below an update root; every path is built here and nowhere else."""

from __future__ import annotations

import os

from .manifest import Entry

ROOT_PARTS = ("korvantis", "guncelleme")
MANIFEST_NAME = "manifest.txt"
FILES_FOLDER = "dosyalar"
STORE_FOLDER = "surumler"
HISTORY_FOLDER = "gecmis"
# In the history folder: the highest serial ever served, which kept manifests may be pruned of.
SERIAL_RECORD_NAME = "en-yuksek-sira.txt"
# Beside the manifest, where no server configuration serves anything but the manifest; a plain
# host that does serves an empty file. Not a temporary file's name, which a run removes.
LOCK_NAME = ".publish-lock"
# The launcher sends "?v=" and this many leading digits of the entry's digest.
TOKEN_DIGITS = 12


def local_path(folder: str, name: str) -> str:
    return os.path.join(folder, *name.split("/"))


def version_token(digest: str) -> str:
    return digest[:TOKEN_DIGITS]


class UpdateRoot:
    def __init__(self, root: str) -> None:
        self.root = root
        self.update = os.path.join(root, *ROOT_PARTS)
        self.manifest = os.path.join(self.update, MANIFEST_NAME)
        self.files = os.path.join(self.update, FILES_FOLDER)
        self.store = os.path.join(self.update, STORE_FOLDER)
        self.history = os.path.join(self.update, HISTORY_FOLDER)
        self.lock = os.path.join(self.update, LOCK_NAME)
        self.serial_record = os.path.join(self.history, SERIAL_RECORD_NAME)

    def served_folders(self) -> list[str]:
        """The folders a web server walks through to reach every file it serves."""
        return [self.root, os.path.dirname(self.update), self.update, self.files, self.store]

    def plain(self, name: str) -> str:
        """dosyalar/<name>: the current version, for hosts that ignore "?v="."""
        return local_path(self.files, name)

    def version(self, entry: Entry) -> str:
        """Where the version of entry that its "?v=" token names is kept. Two versions of one name
        share a folder only if their digests share 12 digits; the later one then replaces the
        other."""
        return local_path(os.path.join(self.store, version_token(entry.hash)), entry.name)

    def kept(self, number: int) -> str:
        return os.path.join(self.history, "%06d.txt" % number)
