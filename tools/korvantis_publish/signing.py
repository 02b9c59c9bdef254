"""Signed manifests: "#sira <serial>" as the first line and "#imza <128 hex digits>" as the last,
the ECDSA P-256 signature (r then s) over every byte before it, made and checked with openssl.
A launcher with a key refuses a serial lower than the highest it accepted, so an older signed
manifest cannot be served again."""

from __future__ import annotations

import os
import re
import subprocess
import tempfile
from typing import TYPE_CHECKING, TextIO

from . import update_key
from .errors import EXIT_OK, EXIT_REFUSED, PROG, PublishError, Refused
from .files import read_bytes
from .layout import UpdateRoot
from .names import show_name

if TYPE_CHECKING:
    from typing_extensions import TypeGuard  # only read by type checkers: typing has it from 3.10

SIGNATURE_PREFIX = b"#imza "
SIGNATURE_HEX_DIGITS = 128
SERIAL_PREFIX = b"#sira "
# Launchers hold the serial in a signed 64-bit integer and refuse any other spelling.
MAX_SERIAL = 2 ** 63 - 1
SERIAL_LINE = re.compile(rb"#sira ([1-9][0-9]{0,18})")


def run_openssl(args: list[str], data: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
    try:
        return subprocess.run(["openssl", *args], input=data, capture_output=True)
    except FileNotFoundError:
        raise PublishError("openssl is needed to sign and verify manifests")


def public_pem_of(key_path: str) -> bytes:
    """The public half (PEM) of a private key file."""
    done = run_openssl(["pkey", "-in", key_path, "-pubout"])
    if done.returncode != 0:
        try:
            with open(key_path, "rb") as f:
                public = b"PUBLIC KEY-----" in f.read()
        except OSError:
            public = False
        if public:
            raise PublishError("%s is a public key; --sign needs the private key it was made "
                               "with (the .pem that stays off the server)" % show_name(key_path))
        raise PublishError("cannot read the signing key %s: %s"
                           % (show_name(key_path), done.stderr.decode(errors="replace").strip()))
    return done.stdout


def public_key_of(key_path: str) -> bytes:
    """The P-256 point of a private key file, checked to be on that curve."""
    try:
        return update_key.read_p256_point(public_pem_of(key_path).decode("ascii"))
    except ValueError as e:
        raise PublishError("signing key %s: %s" % (show_name(key_path), e))


def write_new(path: str, data: bytes, mode: int) -> None:
    """Writes a file that must not exist yet, with mode whatever the umask."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), mode)
    try:
        if os.name != "nt":
            os.fchmod(fd, mode)
        os.write(fd, data)
    finally:
        os.close(fd)


def keygen(private_path: str, out: TextIO) -> None:
    """Makes a P-256 key pair: the private key at private_path (owner only), its public half
    beside it as .pub; prints how to build and sign with them."""
    public_path = os.path.splitext(private_path)[0] + ".pub"
    for path in (private_path, public_path):
        if os.path.lexists(path):
            raise PublishError("%s exists; a key is never written over" % show_name(path))
    done = run_openssl(["ecparam", "-name", "prime256v1", "-genkey", "-noout"])
    if done.returncode != 0:
        raise PublishError("openssl could not make a key: %s"
                           % done.stderr.decode(errors="replace").strip())
    write_new(private_path, done.stdout, 0o600)
    public = public_pem_of(private_path)
    write_new(public_path, public, 0o644)
    private_abs, public_abs = os.path.abspath(private_path), os.path.abspath(public_path)
    out.write("private key %s: owner only; keep it off the server and out of the repository, "
              "with a copy on offline media\n" % private_abs)
    out.write("public key %s:\n%s" % (public_abs, public.decode("ascii")))
    out.write("build the launcher with it:\n"
              "  KORVANTIS_UPDATE_KEY=%s scripts/release.sh MOD_FOLDER UPDATE_ROOT --sign %s\n"
              "  cmake --preset release -DKORVANTIS_UPDATE_KEY=%s\n"
              % (public_abs, private_abs, public_abs))


def der_to_raw(der: bytes) -> bytes:
    """r || s, 32 bytes each, of a DER ECDSA-Sig-Value."""
    def integer(at: int) -> tuple[bytes, int]:
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


def raw_to_der(raw: bytes) -> bytes:
    def integer(value: bytes) -> bytes:
        value = value.lstrip(b"\0") or b"\0"
        if value[0] & 0x80:
            value = b"\0" + value
        return bytes([0x02, len(value)]) + value

    body = integer(raw[:32]) + integer(raw[32:])
    return bytes([0x30, len(body)]) + body


def sign_manifest(manifest: bytes, key_path: str) -> bytes:
    """The manifest with its signature line; the key must be a P-256 private key."""
    public_key_of(key_path)
    done = run_openssl(["dgst", "-sha256", "-sign", key_path], manifest)
    if done.returncode != 0:
        raise PublishError("openssl could not sign with %s: %s"
                           % (show_name(key_path), done.stderr.decode(errors="replace").strip()))
    signature = der_to_raw(done.stdout).hex().encode("ascii")
    return manifest + SIGNATURE_PREFIX + signature + b"\n"


def read_serial(body: bytes | None) -> int:
    """The serial on the first line of a manifest; 0 for none (no manifest, or one made unsigned or
    before serials). A first line that starts like one but that launchers refuse is refused."""
    first = (body or b"").split(b"\n", 1)[0]
    if not first.startswith(SERIAL_PREFIX):
        return 0
    m = SERIAL_LINE.fullmatch(first)
    if not m or int(m.group(1)) > MAX_SERIAL:
        raise Refused("the served manifest's first line %s is not a serial that launchers accept"
                      % show_name(first))
    return int(m.group(1))


def next_serial(served: bytes | None, floor: int = 0) -> int:
    """One above the served manifest's serial and above floor (the highest served before)."""
    serial = max(read_serial(served), floor) + 1
    if serial > MAX_SERIAL:
        raise Refused("the served manifest has the highest serial launchers accept; no signed "
                      "manifest can follow it")
    return serial


def sign_with_serial(content: bytes, served: bytes | None, key_path: str,
                     floor: int = 0) -> tuple[bytes, int]:
    """(manifest, serial): content after a serial above served's and floor, signed."""
    serial = next_serial(served, floor)
    return sign_manifest(SERIAL_PREFIX + b"%d\n" % serial + content, key_path), serial


def unsigned_content(body: bytes) -> bytes:
    """body without the serial and signature lines that signing adds: what a rollback signs anew."""
    content = b"\n".join(line for line in body.split(b"\n")
                         if not line.startswith((SERIAL_PREFIX, SIGNATURE_PREFIX)))
    # The signature line must start a line of its own.
    return content if content.endswith(b"\n") or not content else content + b"\n"


def is_signed(body: bytes | None) -> TypeGuard[bytes]:
    return body is not None and split_signed(body) is not None


def split_signed(body: bytes) -> tuple[bytes, bytes] | None:
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


def signature_matches(content: bytes, raw: bytes, public_pem: bytes) -> bool:
    """Whether raw (r || s) signs content under the public key given as PEM bytes."""
    with tempfile.TemporaryDirectory() as scratch:
        signature = os.path.join(scratch, "imza.der")
        key = os.path.join(scratch, "anahtar.pub")
        with open(signature, "wb") as f:
            f.write(raw_to_der(raw))
        with open(key, "wb") as f:
            f.write(public_pem)
        done = run_openssl(["dgst", "-sha256", "-verify", key, "-signature", signature], content)
    return done.returncode == 0


def signed_with(body: bytes, key_path: str) -> bool:
    """Whether body carries a signature that the private key at key_path made."""
    parts = split_signed(body)
    return parts is not None and signature_matches(*parts, public_pem_of(key_path))


def verify_root(key_path: str, paths: UpdateRoot, out: TextIO, err: TextIO) -> int:
    """Checks the signature of the manifest served below paths; returns the exit code."""
    try:
        with open(key_path, "rb") as f:
            public_pem = f.read()
        update_key.read_p256_point(public_pem.decode("ascii"))
    except (ValueError, UnicodeDecodeError) as e:
        raise PublishError("public key %s: %s" % (show_name(key_path), e))
    path = paths.manifest
    parts = split_signed(read_bytes(path))
    if parts is None:
        err.write("%s: %s has no valid signature line as its last line\n" % (PROG, show_name(path)))
        return EXIT_REFUSED
    content, raw = parts
    if not signature_matches(content, raw, public_pem):
        err.write("%s: the signature of %s does not verify with %s\n"
                  % (PROG, show_name(path), show_name(key_path)))
        return EXIT_REFUSED
    serial = read_serial(content)
    out.write("signature of %s verified with %s; %s\n"
              % (show_name(path), show_name(key_path),
                 "serial %d" % serial if serial else "no serial line"))
    return EXIT_OK
