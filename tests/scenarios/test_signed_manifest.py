"""A launcher built with a maintainer's key (here tests/keys/update-test.pub): only manifests
signed with that key by tools/publish.py are acted on."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest

from korvantis_harness import https_server as reply
from korvantis_harness.korvantis import (DONE, DOWNLOAD_SUFFIX, LAUNCHER, PARTIAL, PROMPT, REFUSED,
                                         SERIAL_STATE, SERIAL_UNREADABLE, SERIAL_UNWRITABLE,
                                         SIGNATURE_STOP, UNCHANGED)
from korvantis_publish.signing import sign_manifest
from test_update_flow import Setup, engine_started, file_requests

REPO = Path(__file__).resolve().parents[2]

KEY = REPO / "tests" / "keys" / "update-test.pem"
KEY_B = REPO / "tests" / "keys" / "update-test-b.pem"


def keyed_launcher(helper_exe, folder="signed"):
    launcher = helper_exe("stand_in_engine").parent / folder / LAUNCHER
    if not launcher.is_file():
        pytest.skip(f"{launcher} is not built (targets signed_launcher*)")
    return launcher


@pytest.fixture
def signed(prefix, helper_exe, engine, game_folder):
    setup = Setup(prefix, keyed_launcher(helper_exe), engine, game_folder, prefix.drive_c / "Korvantis Mod")
    setup.new_file = b"bind k kill\n"
    return setup


def publish_signed(server, setup, key=KEY, tamper=False, serial=None, files=None, extra_lines=()):
    """Signs what server.publish() wrote, after a "#sira" first line when serial is given."""
    files = files or {**setup.current_files(), "yeni.cfg": setup.new_file}
    body = server.publish(files, extra_lines)
    body = sign_manifest((b"#sira %d\n" % serial if serial is not None else b"") + body, str(key))
    if tamper:
        body = body.replace(b" yeni.cfg\n", b" yeni.cfh\n")
    server.put(reply.MANIFEST_PATH, body)


def test_signed_manifest_updates_as_ever(signed, server, engine_record):
    publish_signed(server, signed)
    result = signed.run()
    assert result.code == 0, result
    assert DONE in result.out and REFUSED not in result.out, result
    assert (signed.folder / "yeni.cfg").read_bytes() == signed.new_file
    assert engine_started(signed, engine_record)


@pytest.mark.parametrize("manifest", ["unsigned", "tampered", "another key"])
def test_manifest_not_signed_by_the_key_is_refused(signed, server, engine_record, tmp_path, manifest):
    if manifest == "unsigned":
        server.publish({**signed.current_files(), "yeni.cfg": signed.new_file})
    elif manifest == "tampered":
        publish_signed(server, signed, tamper=True)
    else:
        other = tmp_path / "baska.pem"
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out",
                        str(other)], check=True)
        publish_signed(server, signed, key=other)
    result = signed.run()
    assert result.code == 0, result
    assert REFUSED + UNCHANGED in result.out, result
    assert file_requests(server) == []
    assert not (signed.folder / "yeni.cfg").exists() and not (signed.folder / "yeni.cfh").exists()
    assert engine_started(signed, engine_record)


def test_refusal_without_an_engine_says_so(prefix, helper_exe, engine, game_folder, server):
    # The installed launcher's first start: no engine beside it yet.
    fresh = Setup(prefix, keyed_launcher(helper_exe), engine, game_folder, prefix.localappdata / "Korvantis",
                  with_engine=False)
    server.publish({"xash3d.exe": b"an engine"})
    result = fresh.run()
    assert result.code == 1, result
    assert result.out.endswith(REFUSED + SIGNATURE_STOP + "\n" + PROMPT), result.out


def test_refusal_is_one_yellow_line(signed, server):
    server.publish({**signed.current_files(), "yeni.cfg": signed.new_file})
    result = signed.prefix.run_pty(signed.launcher)
    assert result.colour_of(REFUSED.strip()) == "93", result.screen


def test_older_signed_manifests_cannot_be_served_again(signed, server, engine_record):
    state = signed.folder / SERIAL_STATE
    steps = [  # (serial, content of yeni.cfg, accepted)
        (5, b"first\n", True),
        (4, b"older\n", False),     # replayed: an older serial
        (None, b"older\n", False),  # signed, but without the serial a newer one carried
        (5, b"again\n", True),      # the same serial: that manifest fetched again
        (6, b"first\n", True),      # a rollback, re-signed with a higher serial
    ]
    held = None
    for serial, content, accepted in steps:
        signed.new_file = content
        # The state file is the launcher's own: a manifest naming it is never acted on.
        publish_signed(server, signed, serial=serial,
                       extra_lines=[server.manifest_line(SERIAL_STATE, b"#sira 1\n")])
        server.requests.clear()
        result = signed.run()
        assert result.code == 0, result
        assert (REFUSED not in result.out) == accepted, (serial, result.out)
        if accepted:
            held = content
            assert state.read_bytes() == b"#sira %d\n" % serial
        else:
            assert REFUSED + UNCHANGED in result.out and file_requests(server) == []
        assert (signed.folder / "yeni.cfg").read_bytes() == held
        assert not any(SERIAL_STATE in path for path in server.paths())
    assert engine_started(signed, engine_record)


@pytest.mark.parametrize("state", ["damaged", "a folder", "cannot be written"])
def test_a_serial_that_cannot_be_kept_refuses_the_run(signed, server, engine_record, state):
    """Only a missing serial file means "none yet": one that cannot be read would let any older
    manifest back in, and a serial that cannot be written would let the floor sink."""
    path = signed.folder / SERIAL_STATE
    if state == "damaged":
        path.write_bytes(b"\x00\x17 not a serial")
    elif state == "a folder":
        path.mkdir()
    else:
        (signed.folder / (SERIAL_STATE + DOWNLOAD_SUFFIX)).mkdir()  # where it is written first
    publish_signed(server, signed, serial=5)
    result = signed.run()
    assert result.code == 0, result
    refusal = SERIAL_UNWRITABLE if state == "cannot be written" else SERIAL_UNREADABLE
    assert refusal + UNCHANGED in result.out and file_requests(server) == [], result.out
    assert not (signed.folder / "yeni.cfg").exists()
    assert engine_started(signed, engine_record)


@pytest.mark.parametrize("new_launcher", ["keyless", "key B"])
def test_a_keyed_launcher_is_replaced_only_by_a_keyed_one(
        prefix, signed, server, engine_record, helper_exe, launcher_exe, new_launcher):
    """Rotation: a launcher built with key B, published under key A, reaches A-players; from
    its restart on only B-signed manifests count, and the serial carries on. A launcher without
    a key is never taken."""
    replacement = (launcher_exe if new_launcher == "keyless" else keyed_launcher(helper_exe, "signed_b"))
    old = signed.launcher.read_bytes()
    files = {**signed.current_files(), LAUNCHER: replacement.read_bytes(), "yeni.cfg": signed.new_file}
    publish_signed(server, signed, serial=3, files=files)
    result = signed.run()
    assert result.code == 0, result
    prefix.wait_idle()
    assert (signed.folder / "yeni.cfg").read_bytes() == signed.new_file
    if new_launcher == "keyless":
        assert PARTIAL in result.out and signed.launcher.read_bytes() == old
        assert not (signed.folder / (LAUNCHER + ".eski")).exists()
        assert engine_started(signed, engine_record)
        return
    # The restarted B launcher refused the A-signed manifest it was served.
    assert DONE in result.out and REFUSED + UNCHANGED in result.out, result.out
    assert signed.launcher.read_bytes() == replacement.read_bytes()
    assert engine_started(signed, engine_record)
    for key, serial, accepted in ((KEY_B, 2, False), (KEY_B, 3, True), (KEY, 4, False)):
        publish_signed(server, signed, key=key, serial=serial, files=files)
        assert (REFUSED not in signed.run().out) == accepted, (key, serial)
