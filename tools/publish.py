#!/usr/bin/env python3
"""Publish a mod folder as a Korvantis update root.

    publish.py [--dry-run] [--prune [--keep N]] [--sign KEY.pem] MOD_FOLDER UPDATE_ROOT
    publish.py --rollback [--to NUMBER] [--dry-run] UPDATE_ROOT
    publish.py --verify KEY.pub UPDATE_ROOT

Writes UPDATE_ROOT/korvantis/guncelleme/manifest.txt and every file of MOD_FOLDER under
UPDATE_ROOT/korvantis/guncelleme/dosyalar/, ready for a static web server whose document
root is UPDATE_ROOT. Standard library only, so it runs wherever Python 3.8+ does.

Every version ever published also stays under surumler/<token>/<name>, where <token> is the
"?v=" value the launcher sends (the first 12 digits of the file's SHA-256), hard-linked to the
dosyalar/ copy where the file system allows. server/nginx.conf answers "?v=" from there, so a
URL that names a version only ever yields that version, whatever was published since. Every
manifest put in place is kept as gecmis/<number>.txt; --rollback puts back the one before the
current one (or --to NUMBER) and touches no file. --prune removes the versions that neither the
last N kept manifests (--keep, 3) nor the manifest served until then name.

Manifest order: "Korvantis.exe" first, then every other file sorted by its UTF-8 name.
The launcher keeps going through the whole list after replacing itself and restarts only
at the end, so where the launcher sits does not change what a complete run installs; it
matters when a run is cut short (window closed, connection lost during a large file).
Placed first, the new launcher is in place after a few seconds, and the next start runs
it, with whatever fixes it carries, to fetch the rest. Placed last, a player whose runs
keep being cut short stays on the old launcher indefinitely.

--sign ends the manifest with "#imza <128 hex digits>": the ECDSA P-256 signature (r then s)
over every byte before that line, made with openssl and the maintainer's private key, which
never needs to be on the server. A launcher built with the matching public key
(KORVANTIS_UPDATE_KEY) refuses every manifest without it. --verify checks a published root.

Exit codes: 0 done, 1 names refused (nothing written) or signature refused, 2 usage or I/O error.
"""

import argparse
import datetime
import hashlib
import os
import re
import secrets
import shutil
import stat
import subprocess
import sys
import tempfile
import unicodedata

import update_key

EXIT_OK = 0
EXIT_REFUSED = 1
EXIT_USAGE = 2

LAUNCHER_NAME = "Korvantis.exe"
ROOT_PARTS = ("korvantis", "guncelleme")
MANIFEST_NAME = "manifest.txt"
FILES_FOLDER = "dosyalar"
STORE_FOLDER = "surumler"
HISTORY_FOLDER = "gecmis"
# The launcher sends "?v=" and this many leading digits of the entry's digest.
TOKEN_DIGITS = 12
DEFAULT_KEEP = 3
DIGEST = re.compile(r"[0-9a-f]{64}")
KEPT_MANIFEST = re.compile(r"([0-9]+)\.txt")
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

READ_CHUNK_BYTES = 1 << 20
WINDOWS_FORBIDDEN = '<>:"|?*'
DEVICE_NAMES = frozenset(
    ["CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"]
    + ["COM" + d for d in "123456789\u00b9\u00b2\u00b3"]
    + ["LPT" + d for d in "123456789\u00b9\u00b2\u00b3"]
)


class PublishError(Exception):
    """An I/O or usage problem that ends the run with exit code 2."""


# ---------------------------------------------------------------- names


def show_name(raw):
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


def windows_fold(text):
    """Case folding close to NTFS's upper-case table: one character maps to one character."""
    out = []
    for ch in text:
        up = ch.upper()
        out.append(up if len(up) == 1 else ch)
    return "".join(out)


def name_problems(raw):
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
    components = name.split("/")
    if any(c == "" for c in components) and name:
        reasons.append("has an empty folder name")
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
    if components[-1].lower().endswith(DOWNLOAD_SUFFIX):
        reasons.append('ends in "%s", the launcher\'s own download name' % DOWNLOAD_SUFFIX)
    if name.lower() == OLD_LAUNCHER_NAME.lower():
        reasons.append("is deleted by the launcher at every start")
    if name.lower() == SAVED_PATH_NAME.lower():
        reasons.append("is the player's saved game path, which the launcher keeps for itself")
    return reasons


def case_conflicts(names):
    """Groups of names that one Windows folder cannot hold side by side."""
    files = {}
    for name in names:
        files.setdefault(windows_fold(name), []).append(name)
    folders = {}
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


# ---------------------------------------------------------------- mod folder


def scan_mod_folder(mod):
    """(names, problems): every regular file as a "/"-joined bytes name, and what was refused."""
    names = []
    problems = []

    def walk(folder, prefix):
        try:
            with os.scandir(folder) as it:
                children = sorted(it, key=lambda e: e.name)
        except OSError as err:
            raise PublishError("cannot read folder %s: %s" % (show_name(folder), err.strerror))
        for entry in children:
            rel = prefix + entry.name
            is_junction = getattr(entry, "is_junction", lambda: False)()
            if entry.is_symlink() or is_junction:
                problems.append((rel, "is a symbolic link (the launcher can only receive plain "
                                      "files, and a link may point outside the mod folder)"))
            elif entry.is_dir(follow_symlinks=False):
                walk(entry.path, rel + b"/")
            elif entry.is_file(follow_symlinks=False):
                names.append(rel)
            else:
                problems.append((rel, "is not a regular file (device, pipe or socket)"))

    walk(os.fsencode(mod), b"")
    return names, problems


def check_names(names, problems):
    """All refusals as message lines, empty when everything may be published."""
    lines = ["%s: %s" % (show_name(n), why) for n, why in problems]
    for raw in names:
        for why in name_problems(raw):
            lines.append("%s: %s" % (show_name(raw), why))
    decodable = []
    for raw in names:
        try:
            decodable.append(raw.decode("utf-8"))
        except UnicodeDecodeError:
            pass
    for group, why in case_conflicts(decodable):
        lines.append("%s: %s" % (", ".join(show_name(n) for n in sorted(set(group))), why))
    return lines


def file_chunks(path):
    with open(path, "rb") as f:
        while True:
            chunk = f.read(READ_CHUNK_BYTES)
            if not chunk:
                return
            yield chunk


def hash_file(path):
    digest = hashlib.sha256()
    size = 0
    for chunk in file_chunks(path):
        digest.update(chunk)
        size += len(chunk)
    return digest.hexdigest(), size


def is_launcher(name):
    # The launcher recognises itself with a case-blind compare of the whole name.
    return name.lower() == LAUNCHER_NAME.lower()


def manifest_order(entries):
    """Korvantis.exe first, then by UTF-8 bytes of the name (see the module notes)."""
    return sorted(entries, key=lambda e: (not is_launcher(e["name"]), e["name"].encode("utf-8")))


def build_manifest(entries, when):
    total = sum(e["size"] for e in entries)
    lines = ["# published by publish.py at %s (%d files, %d bytes)"
             % (when.strftime("%Y-%m-%dT%H:%M:%SZ"), len(entries), total)]
    for e in manifest_order(entries):
        lines.append("%s %d %s" % (e["hash"], e["size"], e["name"]))
    return ("\n".join(lines) + "\n").encode("utf-8")


def read_size_field(text):
    """_atoi64's reading: leading white space, an optional sign, digits up to the first other byte."""
    text = text.lstrip(b" \t\n\v\f\r")
    sign = 1
    if text[:1] in (b"+", b"-"):
        sign = -1 if text[:1] == b"-" else 1
        text = text[1:]
    end = 0
    while end < len(text) and text[end:end + 1].isdigit():
        end += 1
    return sign * int(text[:end] or b"0")


def parse_manifest(body):
    """Entries of an existing manifest, read the way the launcher reads them."""
    entries = []
    for line in body.split(b"\n"):
        line = line.rstrip(b"\r ")
        if not line or line.startswith(b"#"):
            continue
        first = line.find(b" ")
        if first < 0:
            continue
        second = line.find(b" ", first + 1)
        if second < 0:
            continue
        name = line[second + 1:]
        if b".." in name or b":" in name or name[:1] in (b"/", b"\\"):
            continue
        entries.append({"hash": line[:first].decode("ascii", "replace"),
                        "size": read_size_field(line[first + 1:second]),
                        "name": name.decode("utf-8", "replace")})
    return entries


# ---------------------------------------------------------------- signatures

SIGNATURE_PREFIX = b"#imza "
SIGNATURE_HEX_DIGITS = 128


def run_openssl(args, data=None):
    try:
        done = subprocess.run(["openssl", *args], input=data, capture_output=True)
    except FileNotFoundError:
        raise PublishError("openssl is needed to sign and verify manifests")
    return done


def public_key_of(key_path):
    """The P-256 point of a private key file, checked to be on that curve."""
    done = run_openssl(["pkey", "-in", key_path, "-pubout"])
    if done.returncode != 0:
        raise PublishError("cannot read the signing key %s: %s"
                           % (show_name(key_path), done.stderr.decode(errors="replace").strip()))
    try:
        return update_key.read_p256_point(done.stdout.decode("ascii"))
    except ValueError as e:
        raise PublishError("signing key %s: %s" % (show_name(key_path), e))


def der_to_raw(der):
    """r || s, 32 bytes each, of a DER ECDSA-Sig-Value."""
    def integer(at):
        if der[at] != 0x02 or der[at + 1] > 33:
            raise ValueError
        end = at + 2 + der[at + 1]
        value = der[at + 2:end].lstrip(b"\0")
        if len(value) > 32:
            raise ValueError
        return value.rjust(32, b"\0"), end

    try:
        if der[0] != 0x30 or der[1] != len(der) - 2:
            raise ValueError
        r, at = integer(2)
        s, at = integer(at)
        if at != len(der):
            raise ValueError
    except (IndexError, ValueError):
        raise PublishError("openssl gave a signature that is not ECDSA P-256")
    return r + s


def raw_to_der(raw):
    def integer(value):
        value = value.lstrip(b"\0") or b"\0"
        if value[0] & 0x80:
            value = b"\0" + value
        return bytes([0x02, len(value)]) + value

    body = integer(raw[:32]) + integer(raw[32:])
    return bytes([0x30, len(body)]) + body


def sign_manifest(manifest, key_path):
    """The manifest with its signature line; the key must be a P-256 private key."""
    public_key_of(key_path)
    done = run_openssl(["dgst", "-sha256", "-sign", key_path], manifest)
    if done.returncode != 0:
        raise PublishError("openssl could not sign with %s: %s"
                           % (show_name(key_path), done.stderr.decode(errors="replace").strip()))
    signature = der_to_raw(done.stdout).hex().encode("ascii")
    return manifest + SIGNATURE_PREFIX + signature + b"\n"


def split_signed(body):
    """(signed bytes, r || s) read the way a launcher with a key reads them; None when the
    manifest carries no single valid signature line as its last line."""
    line_length = len(SIGNATURE_PREFIX) + SIGNATURE_HEX_DIGITS + 1
    start = len(body) - line_length
    if start < 0 or not body.endswith(b"\n") or (start > 0 and body[start - 1:start] != b"\n"):
        return None
    line = body[start:-1]
    content = body[:start]
    hex_digits = line[len(SIGNATURE_PREFIX):]
    if not line.startswith(SIGNATURE_PREFIX) or any(c not in b"0123456789abcdef" for c in hex_digits):
        return None
    if any(earlier.startswith(SIGNATURE_PREFIX) for earlier in content.split(b"\n")):
        return None
    return content, bytes.fromhex(hex_digits.decode("ascii"))


def verify_root(key_path, root, out, err):
    try:
        with open(key_path, encoding="ascii") as f:
            update_key.read_p256_point(f.read())
    except (ValueError, UnicodeDecodeError) as e:
        raise PublishError("public key %s: %s" % (show_name(key_path), e))
    path = os.path.join(update_folder(root), MANIFEST_NAME)
    with open(path, "rb") as f:
        body = f.read()
    parts = split_signed(body)
    if parts is None:
        err.write("publish.py: %s has no valid signature line as its last line\n" % show_name(path))
        return EXIT_REFUSED
    content, raw = parts
    with tempfile.TemporaryDirectory() as scratch:
        signature = os.path.join(scratch, "imza.der")
        with open(signature, "wb") as f:
            f.write(raw_to_der(raw))
        done = run_openssl(["dgst", "-sha256", "-verify", key_path, "-signature", signature], content)
    if done.returncode != 0:
        err.write("publish.py: the signature of %s does not verify with %s\n"
                  % (show_name(path), show_name(key_path)))
        return EXIT_REFUSED
    out.write("signature of %s verified with %s\n" % (show_name(path), show_name(key_path)))
    return EXIT_OK


# ---------------------------------------------------------------- writing


def update_folder(root):
    return os.path.join(root, *ROOT_PARTS)


def files_folder(root):
    return os.path.join(update_folder(root), FILES_FOLDER)


def local_path(folder, name):
    return os.path.join(folder, *name.split("/"))


def store_folder(root):
    return os.path.join(update_folder(root), STORE_FOLDER)


def history_folder(root):
    return os.path.join(update_folder(root), HISTORY_FOLDER)


def manifest_path(root):
    return os.path.join(update_folder(root), MANIFEST_NAME)


def version_token(digest):
    return digest[:TOKEN_DIGITS]


def version_path(root, entry):
    """Where the version of entry that its "?v=" token names is kept. Two versions of one name
    share a folder only if their digests share 12 digits; the later one then replaces the other."""
    return local_path(os.path.join(store_folder(root), version_token(entry["hash"])), entry["name"])


def fsync_folder(folder):
    # Makes a rename durable on POSIX; Windows has no directory handles to flush.
    if os.name == "nt":
        return
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def open_temp_beside(target):
    folder = os.path.dirname(target)
    while True:
        temp = os.path.join(folder, TEMP_PREFIX + "%d-%s" % (os.getpid(), secrets.token_hex(6)))
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0),
                         0o644)
        except FileExistsError:
            continue
        if os.name != "nt":
            # The web server usually runs as another user; a strict umask must not hide the file.
            os.fchmod(fd, 0o644)
        return temp, os.fdopen(fd, "wb")


def replace_atomically(target, write_body):
    """Writes through a temporary file beside target, flushes it to disk and renames it over
    target, so a reader sees either the old file or the complete new one."""
    temp, f = open_temp_beside(target)
    try:
        with f:
            result = write_body(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    return result


def copy_verified(source, target, expected_hash):
    def body(out):
        digest = hashlib.sha256()
        for chunk in file_chunks(source):
            digest.update(chunk)
            out.write(chunk)
        return digest.hexdigest()

    got = replace_atomically(target, body)
    if got != expected_hash:
        raise PublishError("%s changed while it was being published; run again"
                           % show_name(source))


def same_file(a, b):
    try:
        sa, sb = os.stat(a), os.stat(b)
    except OSError:
        return False
    return (sa.st_dev, sa.st_ino) == (sb.st_dev, sb.st_ino)


def link_beside(source, target):
    """A new hard link to source under a temporary name beside target; None where the file
    system has no hard links."""
    folder = os.path.dirname(target)
    while True:
        temp = os.path.join(folder, TEMP_PREFIX + "%d-%s" % (os.getpid(), secrets.token_hex(6)))
        try:
            os.link(source, temp)
            return temp
        except FileExistsError:
            continue
        except OSError:
            return None


def place_copy(source, target):
    """Makes target the file at source (already verified and flushed), atomically: a hard link
    where possible, else a flushed copy."""
    temp = link_beside(source, target)
    if temp is None:
        def body(out):
            with open(source, "rb") as src:
                shutil.copyfileobj(src, out, READ_CHUNK_BYTES)
        replace_atomically(target, body)
        return
    try:
        os.replace(temp, target)
    except BaseException:
        os.unlink(temp)
        raise


def store_entry(mod, root, entry):
    """Puts entry's bytes at its version path and at dosyalar/<name>; returns the folders it
    changed. The version is written first: it is what "?v=" requests are answered from."""
    kept = version_path(root, entry)
    plain = local_path(files_folder(root), entry["name"])
    changed = []
    if not stored_copy_matches(kept, entry):
        clear_way(store_folder(root), kept)
        copy_verified(local_path(mod, entry["name"]), kept, entry["hash"])
        changed.append(os.path.dirname(kept))
    if not same_file(kept, plain) and not stored_copy_matches(plain, entry):
        clear_way(files_folder(root), plain)
        place_copy(kept, plain)
        changed.append(os.path.dirname(plain))
    return changed


def clear_way(files_root, target):
    """Removes stale server entries that stand where target must go: a folder at its name,
    or a file at the name of one of its folders (the mod changed a file into a folder)."""
    if os.path.isdir(target) and not os.path.islink(target):
        shutil.rmtree(target)
    parent = os.path.dirname(target)
    chain = []
    while os.path.normcase(parent) != os.path.normcase(files_root) and parent:
        chain.append(parent)
        parent = os.path.dirname(parent)
    for folder in reversed(chain):
        if os.path.lexists(folder) and not os.path.isdir(folder):
            os.unlink(folder)
    os.makedirs(os.path.dirname(target), exist_ok=True)


def stored_copy_matches(path, entry):
    try:
        st = os.stat(path)
    except OSError:
        return False
    if not stat.S_ISREG(st.st_mode) or st.st_size != entry["size"]:
        return False
    return hash_file(path)[0] == entry["hash"]


def remove_leftover_temps(folder):
    if not os.path.isdir(folder):
        return
    for dirpath, _, filenames in os.walk(folder):
        for name in filenames:
            if name.startswith(TEMP_PREFIX):
                os.unlink(os.path.join(dirpath, name))


def stray_files(files_root, keep_ids):
    """Stored files that the new manifest does not name, as "/"-joined names."""
    stray = []
    if not os.path.isdir(files_root):
        return stray
    for dirpath, dirnames, filenames in os.walk(files_root):
        dirnames.sort()
        for name in sorted(filenames):
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            # Compared by file identity, so a case-insensitive server disk keeps its files.
            if (st.st_dev, st.st_ino) not in keep_ids:
                stray.append(os.path.relpath(path, files_root).replace(os.sep, "/"))
    return stray


def remove_empty_folders(files_root):
    for dirpath, _, _ in sorted(os.walk(files_root), key=lambda w: -len(w[0])):
        if os.path.normcase(dirpath) != os.path.normcase(files_root):
            try:
                os.rmdir(dirpath)
            except OSError:
                pass


# ---------------------------------------------------------------- kept versions and manifests


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def read_current_manifest(root):
    try:
        return read_bytes(manifest_path(root))
    except FileNotFoundError:
        return None


def kept_manifests(root):
    """[(number, path)] of the kept manifests, oldest first."""
    try:
        names = os.listdir(history_folder(root))
    except FileNotFoundError:
        return []
    found = []
    for name in names:
        m = KEPT_MANIFEST.fullmatch(name)
        if m:
            found.append((int(m.group(1)), os.path.join(history_folder(root), name)))
    return sorted(found)


def keep_manifest(root, body):
    """Keeps body as the newest of the kept manifests."""
    kept = kept_manifests(root)
    number = kept[-1][0] + 1 if kept else 1
    os.makedirs(history_folder(root), exist_ok=True)
    replace_atomically(os.path.join(history_folder(root), "%06d.txt" % number),
                       lambda f: f.write(body))
    fsync_folder(history_folder(root))


def write_manifest(root, body):
    """Puts body in place as the served manifest, byte for byte and atomically, after keeping a
    copy of it for a later rollback."""
    keep_manifest(root, body)
    replace_atomically(manifest_path(root), lambda f: f.write(body))
    fsync_folder(update_folder(root))


def versioned_entries(body):
    # Only a real digest makes a version path; anything else could name a folder outside.
    return [e for e in parse_manifest(body) if DIGEST.fullmatch(e["hash"])]


def keep_unkept_manifest(root, body):
    """A manifest served before versions were kept (or put there by hand): its files that
    dosyalar/ still holds become its versions and it joins the kept manifests, so that launchers
    that read it and a later rollback find them."""
    if any(read_bytes(path) == body for _, path in kept_manifests(root)):
        return
    for e in versioned_entries(body):
        kept = version_path(root, e)
        plain = local_path(files_folder(root), e["name"])
        if not os.path.lexists(kept) and stored_copy_matches(plain, e):
            clear_way(store_folder(root), kept)
            place_copy(plain, kept)
    keep_manifest(root, body)


def prune_plan(root, keep, served, new_body=None):
    """(version files, kept manifests) that --prune removes: all but those of the last `keep`
    kept manifests and of `served`, the manifest served when the run began (launchers may be
    half-way through it). With new_body (a dry run), that body counts as kept already."""
    kept = kept_manifests(root)
    split = max(0, len(kept) - (keep if new_body is None else keep - 1))
    recent = [read_bytes(path) for _, path in kept[split:]]
    if new_body is not None:
        recent.append(new_body)
    old = kept[:split]
    wanted = set()
    for body in recent + ([served] if served is not None else []):
        for e in versioned_entries(body):
            try:
                st = os.lstat(version_path(root, e))
            except OSError:
                continue
            # By file identity, so a case-insensitive server disk keeps its files.
            wanted.add((st.st_dev, st.st_ino))
    return (stray_files(store_folder(root), wanted),
            [path for _, path in old if served is None or read_bytes(path) != served])


def prune_versions(root, keep, served):
    """Removes what prune_plan names; returns how many version files went."""
    versions, manifests = prune_plan(root, keep, served)
    for rel in versions:
        os.unlink(local_path(store_folder(root), rel))
    for path in manifests:
        os.unlink(path)
    remove_empty_folders(store_folder(root))
    return len(versions)


def missing_versions(root, body):
    return [e["name"] for e in parse_manifest(body)
            if not DIGEST.fullmatch(e["hash"]) or not stored_copy_matches(version_path(root, e), e)]


def rollback_target(root, current, number):
    """(number, body) of the kept manifest to put back: `number`, or the one kept before the
    newest copy of the current manifest that differs from it."""
    kept = [(n, read_bytes(path)) for n, path in kept_manifests(root)]
    if number is not None:
        for n, body in kept:
            if n == number:
                return n, body
        raise PublishError("no kept manifest %d (kept: %s)"
                           % (number, ", ".join(str(n) for n, _ in kept) or "none"))
    positions = [i for i, (_, body) in enumerate(kept) if body == current]
    earlier = [(n, body) for n, body in kept[:positions[-1] if positions else len(kept)]
               if body != current]
    if not earlier:
        raise PublishError("no manifest is kept from before the current one")
    return earlier[-1]


def first_line(body):
    return body.split(b"\n", 1)[0].decode("utf-8", "replace")


def rollback(root, number=None, dry_run=False, out=sys.stdout):
    """Puts back a kept manifest, byte for byte; no file is written, moved or removed."""
    if not os.path.isdir(update_folder(root)):
        raise PublishError("%s holds no update" % show_name(root))
    current = read_current_manifest(root)
    target, body = rollback_target(root, current, number)
    missing = missing_versions(root, body)
    if missing:
        raise PublishError("kept manifest %d names %d file version(s) no longer stored (%s); "
                           "publish that mod folder again instead"
                           % (target, len(missing), ", ".join(show_name(n) for n in missing[:5])))
    if dry_run:
        for n, path in kept_manifests(root):
            kept = read_bytes(path)
            mark = "<- rollback" if n == target else "current" if kept == current else ""
            out.write("%6d  %-11s %s\n" % (n, mark, first_line(kept)))
        out.write("dry run: would put back kept manifest %d; nothing written\n" % target)
        return
    replace_atomically(manifest_path(root), lambda f: f.write(body))
    fsync_folder(update_folder(root))
    out.write("rolled back to kept manifest %d (%s); no file changed\n" % (target, first_line(body)))


# ---------------------------------------------------------------- the run


def read_old_manifest(root):
    try:
        with open(os.path.join(update_folder(root), MANIFEST_NAME), "rb") as f:
            return parse_manifest(f.read())
    except FileNotFoundError:
        return []


def plan_changes(entries, old_entries, root):
    """(added, changed, removed, unchanged) against the manifest and files already served."""
    old = {e["name"]: e for e in old_entries}
    new_names = {e["name"] for e in entries}
    added, changed, unchanged = [], [], []
    for e in manifest_order(entries):
        before = old.get(e["name"])
        if before is None:
            added.append(e)
        elif (before["hash"], before["size"]) != (e["hash"], e["size"]):
            changed.append(e)
        elif not stored_copy_matches(local_path(files_folder(root), e["name"]), e):
            changed.append(dict(e, note="stored copy missing or different"))
        else:
            unchanged.append(e)
    removed = [e for e in old_entries if e["name"] not in new_names]
    return added, changed, removed, unchanged


def print_dry_run(entries, root, prune, keep, out):
    added, changed, removed, unchanged = plan_changes(entries, read_old_manifest(root), root)
    for label, group in (("added", added), ("changed", changed), ("removed", removed)):
        for e in group:
            note = " (%s)" % e["note"] if e.get("note") else ""
            out.write("%-8s %s %d bytes%s\n" % (label, show_name(e["name"]), e["size"], note))
    names = {e["name"] for e in entries}
    pruned = []
    if prune and os.path.isdir(files_folder(root)):
        keep_ids = set()
        for name in names:
            try:
                st = os.lstat(local_path(files_folder(root), name))
                keep_ids.add((st.st_dev, st.st_ino))
            except OSError:
                pass
        pruned = stray_files(files_folder(root), keep_ids)
        for name in pruned:
            out.write("%-8s %s\n" % ("prune", show_name(name)))
    if prune:
        new_body = build_manifest(entries, datetime.datetime.now(datetime.timezone.utc))
        versions, _ = prune_plan(root, keep, read_current_manifest(root), new_body)
        for rel in versions:
            token, name = rel.split("/", 1)
            out.write("%-8s %s version %s\n" % ("prune", show_name(name), token))
        pruned += versions

    def total(group):
        return sum(e["size"] for e in group)

    out.write("dry run: %d added (%d bytes), %d changed (%d bytes), %d removed (%d bytes), "
              "%d unchanged%s; nothing written\n"
              % (len(added), total(added), len(changed), total(changed), len(removed),
                 total(removed), len(unchanged),
                 ", %d stored files to prune" % len(pruned) if prune else ""))


def check_folders(mod, root):
    if not os.path.isdir(mod):
        raise PublishError("mod folder %s is not a folder" % show_name(mod))
    if os.path.exists(root) and not os.path.isdir(root):
        raise PublishError("update root %s is not a folder" % show_name(root))
    real_mod = os.path.normcase(os.path.realpath(mod))
    real_root = os.path.normcase(os.path.realpath(root))
    for inner, outer in ((real_root, real_mod), (real_mod, real_root)):
        if inner == outer or inner.startswith(outer.rstrip(os.sep) + os.sep):
            raise PublishError("the mod folder and the update root must not lie inside each other")


def publish(mod, root, prune=False, dry_run=False, out=sys.stdout, err=sys.stderr, now=None,
            keep=DEFAULT_KEEP, sign_key=None):
    """Runs one publication; returns the exit code."""
    try:
        check_folders(mod, root)
        raw_names, problems = scan_mod_folder(mod)
        refusals = check_names(raw_names, problems)
        if refusals:
            err.write("publish.py: %d problem(s) with names in %s; nothing was written:\n"
                      % (len(refusals), show_name(mod)))
            for line in refusals:
                err.write("  " + line + "\n")
            return EXIT_REFUSED

        entries = []
        for raw in raw_names:
            name = raw.decode("utf-8")
            digest, size = hash_file(local_path(mod, name))
            entries.append({"name": name, "hash": digest, "size": size})

        # Signed before anything is written, so a key that does not work leaves the root as it was.
        when = now or datetime.datetime.now(datetime.timezone.utc)
        manifest = build_manifest(entries, when)
        if sign_key:
            manifest = sign_manifest(manifest, sign_key)

        if dry_run:
            print_dry_run(entries, root, prune, keep, out)
            if sign_key:
                out.write("the manifest would be signed with %s\n" % show_name(sign_key))
            return EXIT_OK

        update_root = update_folder(root)
        files_root = files_folder(root)
        os.makedirs(files_root, exist_ok=True)
        remove_leftover_temps(update_root)
        served = read_current_manifest(root)
        if served is not None:
            keep_unkept_manifest(root, served)

        written = 0
        touched = set()
        for e in manifest_order(entries):
            changed = store_entry(mod, root, e)
            touched.update(changed)
            written += bool(changed)
        for folder in sorted(touched):
            fsync_folder(folder)

        # Last, and atomically: a launcher must never read a list naming files not yet in place.
        write_manifest(root, manifest)

        pruned = 0
        if prune:
            keep_ids = set()
            for e in entries:
                st = os.lstat(local_path(files_root, e["name"]))
                keep_ids.add((st.st_dev, st.st_ino))
            stray = stray_files(files_root, keep_ids)
            for name in stray:
                os.unlink(local_path(files_root, name))
            remove_empty_folders(files_root)
            pruned = len(stray) + prune_versions(root, keep, served)

        out.write("published %d files (%d bytes), %d written%s%s, to %s\n"
                  % (len(entries), sum(e["size"] for e in entries), written,
                     ", %d pruned" % pruned if prune else "", ", signed" if sign_key else "",
                     show_name(update_root)))
        return EXIT_OK
    except (PublishError, OSError) as e:
        return report_failure(e, err)


def report_failure(error, err):
    """The one message of a run that could not be done; its exit code."""
    if isinstance(error, OSError):
        where = " (%s)" % show_name(error.filename) if error.filename else ""
        err.write("publish.py: %s%s\n" % (error.strerror or error, where))
    else:
        err.write("publish.py: %s\n" % error)
    return EXIT_USAGE


def run_rollback(root, number=None, dry_run=False, out=sys.stdout, err=sys.stderr):
    """Runs one rollback; returns the exit code."""
    try:
        rollback(root, number, dry_run, out)
        return EXIT_OK
    except (PublishError, OSError) as e:
        return report_failure(e, err)


def main(argv=None):
    for stream in (sys.stdout, sys.stderr):
        # A Windows console without UTF-8 must not crash on a name it cannot show.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    parser = argparse.ArgumentParser(
        prog="publish.py",
        usage="%(prog)s [--dry-run] [--prune [--keep N]] [--sign KEY.pem] MOD_FOLDER UPDATE_ROOT\n"
              "       %(prog)s --rollback [--to NUMBER] [--dry-run] UPDATE_ROOT\n"
              "       %(prog)s --verify KEY.pub UPDATE_ROOT",
        description="Publish a mod folder as a Korvantis update root for a static web server, "
                    "or put back an earlier manifest.")
    parser.add_argument("mod_folder", nargs="?", help="folder whose files the launcher folder "
                                                      "must hold (not with --rollback or --verify)")
    parser.add_argument("update_root", help="document root of the web server; "
                                            "korvantis/guncelleme/ is written below it")
    parser.add_argument("--dry-run", action="store_true",
                        help="show what would change against the existing root; write nothing")
    parser.add_argument("--prune", action="store_true",
                        help="after the new manifest is in place, delete served files it "
                             "no longer names and versions no kept manifest names")
    parser.add_argument("--keep", type=int, default=DEFAULT_KEEP, metavar="N",
                        help="with --prune: keep the versions of the last N manifests "
                             "(default %d)" % DEFAULT_KEEP)
    parser.add_argument("--rollback", action="store_true",
                        help="put back the manifest kept before the current one; no file "
                             "is touched")
    parser.add_argument("--to", type=int, metavar="NUMBER",
                        help="with --rollback: the kept manifest gecmis/NUMBER.txt instead")
    parser.add_argument("--sign", metavar="KEY.pem",
                        help="sign the manifest with this P-256 private key (openssl)")
    parser.add_argument("--verify", metavar="KEY.pub",
                        help="check the signature of the root's manifest with this public key")
    args = parser.parse_args(argv)  # usage errors exit with 2
    if args.keep < 1:
        parser.error("--keep must be at least 1")
    if args.verify:
        if args.mod_folder is not None or args.sign or args.dry_run or args.prune or args.rollback:
            parser.error("--verify takes only UPDATE_ROOT")
        try:
            return verify_root(args.verify, args.update_root, sys.stdout, sys.stderr)
        except (PublishError, OSError) as e:
            return report_failure(e, sys.stderr)
    if args.rollback:
        if args.mod_folder is not None or args.prune or args.sign:
            parser.error("--rollback takes only UPDATE_ROOT (and --to, --dry-run)")
        return run_rollback(args.update_root, args.to, args.dry_run)
    if args.mod_folder is None:
        parser.error("MOD_FOLDER and UPDATE_ROOT are required")
    if args.to is not None:
        parser.error("--to goes with --rollback")
    return publish(args.mod_folder, args.update_root, prune=args.prune, dry_run=args.dry_run,
                   keep=args.keep, sign_key=args.sign)


if __name__ == "__main__":
    sys.exit(main())
