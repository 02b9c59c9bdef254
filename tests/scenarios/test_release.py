"""Releases: the tree builds to the same Korvantis.exe in any folder at any time (players fetch
a launcher only when it really changed), scripts/release.sh signs it reproducibly and publishes
only what it built, and a signed launcher replaces an unsigned one through a real update."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import time
from pathlib import Path

import pefile
import pytest

from korvantis_harness.https_server import MANIFEST_PATH
from korvantis_harness.korvantis import CHECKING, DONE
from test_resources import RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_VERSION, resources_of_type
from test_update_flow import Setup

REPO = Path(__file__).resolve().parents[2]
# The scenarios' update host is a reserved test name, which a real release refuses.
RELEASE = [REPO / "scripts" / "release.sh", "--test-host", "--yes"]
UPDATE_HOST = os.environ.get("KORVANTIS_UPDATE_HOST", "guncelleme.korvantis.example")
PUBLISHED = Path("korvantis") / "guncelleme"
SIGNING_TIME = 1700000000


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def run(command, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, **kwargs)


def ok(command, **kwargs) -> subprocess.CompletedProcess:
    result = run(command, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


@pytest.fixture(scope="module")
def builds(tmp_path_factory) -> list[Path]:
    """Two clean release builds of this tree, in folders of different names and depths, one
    after the other (the link times differ by the length of a build)."""
    base = tmp_path_factory.mktemp("release-builds")
    folders = [base / "a", base / "b" / "a-folder-with-a-longer-name"]
    for folder in folders:
        ok(["cmake", "--preset", "release", "-B", folder, f"-DKORVANTIS_UPDATE_HOST={UPDATE_HOST}"],
           cwd=REPO)
        ok(["cmake", "--build", folder, "--target", "Korvantis", "-j2"])
        time.sleep(1.1)  # never the same second, even on a machine fast enough
    return folders


def test_two_clean_builds_are_byte_identical(builds):
    first, second = (folder / "Korvantis.exe" for folder in builds)
    print("sha256", sha256(first), first)
    print("sha256", sha256(second), second)
    image = first.read_bytes()
    assert image == second.read_bytes()
    for path in (REPO, *builds):
        for text in (str(path).encode(), str(path).encode("utf-16-le")):
            assert text not in image, f"{path} is in the image"
    pe = pefile.PE(data=image)
    assert pe.FILE_HEADER.TimeDateStamp == 0
    assert pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum() != 0


def make_mod(folder: Path, engine_bytes: bytes) -> Path:
    (folder / "cstrike" / "maps").mkdir(parents=True)
    (folder / "xash3d.exe").write_bytes(engine_bytes)
    (folder / "cstrike" / "maps" / "de_korvantis.bsp").write_bytes(os.urandom(50_000))
    return folder


def test_release_dry_run_shows_the_launcher_and_publishes_only_what_it_built(
        builds, tmp_path, helper_exe):
    built = builds[0] / "Korvantis.exe"
    mod = make_mod(tmp_path / "mod", helper_exe("stand_in_engine").read_bytes())
    (mod / "Korvantis.exe").write_bytes(b"an older launcher")
    root = tmp_path / "root"

    lines = ok([*RELEASE, "--build-dir", builds[0], mod, root, "--dry-run"]).stdout.splitlines()
    size = built.stat().st_size
    launcher = f"launcher Korvantis.exe {size} bytes sha256 {sha256(built)}"
    assert f"update host {UPDATE_HOST}, no key" in lines[lines.index(launcher) + 1]
    assert launcher in lines and lines.index(launcher) < lines.index(
        f'added    "Korvantis.exe" {size} bytes'), lines
    assert "nothing published" in lines[-1]
    assert (mod / "Korvantis.exe").read_bytes() == b"an older launcher"
    assert not root.exists()

    # Without --yes it asks, and with no terminal to ask on it publishes nothing.
    asked = run([RELEASE[0], "--test-host", "--build-dir", builds[0], mod, root],
                stdin=subprocess.DEVNULL)
    assert asked.returncode == 1 and "--yes" in asked.stderr, asked.stdout + asked.stderr
    assert not (root / PUBLISHED / "manifest.txt").exists()

    # Something rewrites the mod folder's launcher while the maintainer reads the dry run: what
    # is published, and then left in the mod folder, is still the launcher just built.
    shim = tmp_path / "bin"
    shim.mkdir()
    (shim / "python3").write_text(f'#!/bin/sh\ncase " $* " in *" --dry-run "*) printf x >> '
                                  f'"{mod}/Korvantis.exe";; esac\nexec /usr/bin/python3 "$@"\n')
    (shim / "python3").chmod(0o755)
    ok([*RELEASE, "--build-dir", builds[0], mod, root],
       env=dict(os.environ, PATH=f"{shim}:{os.environ['PATH']}"))
    served = root / PUBLISHED / "dosyalar" / "Korvantis.exe"
    assert served.read_bytes() == built.read_bytes() == (mod / "Korvantis.exe").read_bytes()


TEST_KEY = REPO / "tests" / "keys" / "update-test.pem"
IDENTITY = b"KORVANTIS:BUILD\0"  # tools/build_identity.py: the host's 512 bytes lie at +88


def with_host(exe: bytes, host: str) -> bytes:
    at = exe.index(IDENTITY) + 88
    return exe[:at] + host.encode("utf-16-le").ljust(512, b"\0") + exe[at + 512:]


# (what the update root serves, --sign key, release.sh options, keyed build, refusal or None)
REFUSALS = [
    (None, None, [], False, "never reaches a real server"),
    ("other host", None, ["--test-host"], False, "--new-host if that is meant"),
    ("other host", None, ["--test-host", "--new-host"], False, None),
    (None, "test", ["--test-host"], False, "built without KORVANTIS_UPDATE_KEY"),
    (None, None, ["--test-host"], True, "publishing would not sign"),
    (None, "other", ["--test-host"], True, "is not the new launcher's"),
    ("keyless", "test", ["--test-host"], True, "--rotate-key if that is meant"),
    ("keyless", "test", ["--test-host", "--rotate-key"], True, None),
]


@pytest.mark.parametrize("served, sign, options, keyed, refusal", REFUSALS)
def test_release_refuses_a_launcher_that_does_not_fit_its_players(
        builds, tmp_path, helper_exe, served, sign, options, keyed, refusal):
    engine = helper_exe("stand_in_engine").read_bytes()
    root = tmp_path / "root"
    keyless = (builds[0] / "Korvantis.exe").read_bytes()
    if served:
        player = make_mod(tmp_path / "served", engine)
        (player / "Korvantis.exe").write_bytes(with_host(keyless, "updates.korvantis.org")
                                               if served == "other host" else keyless)
        ok([sys.executable, REPO / "tools" / "publish.py", player, root, "--test-host"])
    keys = {"test": TEST_KEY, "other": tmp_path / "other.pem"}
    if sign == "other":
        ok(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", keys["other"]])
    mod = make_mod(tmp_path / "mod", engine)
    before = sorted(p for p in root.rglob("*")) if root.exists() else []
    # The second build, once compared, becomes the keyed one: only the key library is rebuilt.
    env = dict(os.environ, KORVANTIS_UPDATE_KEY=str(TEST_KEY.with_suffix(".pub"))) if keyed else None
    command = [REPO / "scripts" / "release.sh", *options, "--build-dir", builds[1 if keyed else 0],
               mod, root, "--dry-run", *(["--sign", keys[sign]] if sign else [])]
    result = run(command, env=env)
    if refusal is None:
        assert result.returncode == 0, result.stdout + result.stderr
        return
    assert result.returncode == 1 and refusal in result.stderr, result.stdout + result.stderr
    assert "nothing published" in result.stderr
    assert not (mod / "Korvantis.exe").exists()
    assert (sorted(p for p in root.rglob("*")) if root.exists() else []) == before


MAKE_SIGNING_KEY = """
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout ca.key -out ca.pem \\
  -subj '/CN=Korvantis Test Code Signing CA' -addext basicConstraints=critical,CA:TRUE
openssl req -new -newkey rsa:2048 -nodes -keyout sign.key -out sign.csr -subj /CN=Pellumo
printf 'keyUsage=critical,digitalSignature\\nextendedKeyUsage=codeSigning\\n' > ext
openssl x509 -req -in sign.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext \\
  -out sign.crt
openssl pkcs12 -export -in sign.crt -inkey sign.key -out sign.p12 -passout file:password
"""


def test_signed_release_verifies_keeps_its_resources_and_updates_a_player(
        builds, tmp_path, prefix, server, launcher_exe, helper_exe, engine, game_folder,
        engine_record):
    keys = tmp_path / "keys"  # a throwaway code-signing CA and a certificate from it
    keys.mkdir()
    password = "gizli parola 1"
    (keys / "password").write_text(password + "\n")
    ok(["sh", "-ec", MAKE_SIGNING_KEY], cwd=keys)
    unsigned = builds[0] / "Korvantis.exe"
    mod = make_mod(tmp_path / "mod", helper_exe("stand_in_engine").read_bytes())
    root = tmp_path / "root"
    # A time of its own: a source archive has no commit to take it from.
    sign = [*RELEASE, "--build-dir", builds[0], "--pkcs12", keys / "sign.p12",
            "--signing-time", SIGNING_TIME]

    # Signed once with the password from a file (a dry run), once from the environment.
    ok([*sign, "--password-file", keys / "password", mod, root, "--dry-run"])
    signed_once = (builds[0] / "signed" / "Korvantis.exe").read_bytes()
    ok([*sign, mod, root], env=dict(os.environ, KORVANTIS_SIGN_PASSWORD=password))
    signed = mod / "Korvantis.exe"
    assert signed.read_bytes() == signed_once

    verified = ok(["osslsigncode", "verify", "-CAfile", keys / "ca.pem", "-in", signed]).stdout
    assert "Korvantis" in verified and "SHA256" in verified.upper()
    other_ca = Path(os.environ["KORVANTIS_CERT_DIR"]) / "ca.pem"
    assert run(["osslsigncode", "verify", "-CAfile", other_ca, "-in", signed]).returncode != 0
    # Without its signature it is the reproducible build again: checkable against a commit.
    ok(["osslsigncode", "remove-signature", "-in", signed, "-out", tmp_path / "stripped.exe"])
    assert (tmp_path / "stripped.exe").read_bytes() == unsigned.read_bytes()
    signed_pe, unsigned_pe = pefile.PE(str(signed)), pefile.PE(str(unsigned))
    for kind in (RT_GROUP_ICON, RT_ICON, RT_VERSION, RT_MANIFEST):
        assert resources_of_type(signed_pe, kind) == resources_of_type(unsigned_pe, kind) != {}

    # A player's unsigned launcher of the same tree meets the published release: it replaces
    # itself with the signed one, which restarts, finds everything current and starts the game.
    update = root / PUBLISHED
    server.put(MANIFEST_PATH, (update / "manifest.txt").read_bytes())
    for path in (update / "dosyalar").rglob("*"):
        if path.is_file():
            name = path.relative_to(update / "dosyalar").as_posix()
            server.put(server.file_path(name), path.read_bytes())
    setup = Setup(prefix, launcher_exe, engine, game_folder, prefix.drive_c / "Korvantis Mod")
    result = setup.run()
    assert result.code == 0 and CHECKING in result.out and DONE in result.out, result
    setup.prefix.wait_idle()
    assert setup.launcher.read_bytes() == signed.read_bytes()
    # Moved aside by the update, deleted by the restarted launcher at its start.
    assert not (setup.folder / "Korvantis.exe.eski").exists()
    # The second manifest request and the game's start come from the restarted, signed launcher.
    assert [r["path"].split("?")[0] for r in server.requests] == [
        MANIFEST_PATH, server.file_path("Korvantis.exe"),
        server.file_path("cstrike/maps/de_korvantis.bsp"), MANIFEST_PATH]
    assert engine_record(setup.folder) is not None, "the signed launcher did not start the game"
