"""A launcher built with a maintainer's key (here tests/keys/update-test.pub): only manifests
signed with that key by tools/publish.py are acted on."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from harness import https_server as reply
from harness.korvantis import DONE, LAUNCHER, REFUSED, UNCHANGED
from test_update_flow import Setup, engine_started, file_requests

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
from korvantis_publish.signing import sign_manifest  # noqa: E402

KEY = REPO / "tests" / "keys" / "update-test.pem"


@pytest.fixture
def signed(prefix, helper_exe, engine, game_folder):
    launcher = helper_exe("stand_in_engine").parent / "signed" / LAUNCHER
    if not launcher.is_file():
        pytest.skip(f"{launcher} is not built (target signed_launcher)")
    setup = Setup(prefix, launcher, engine, game_folder, prefix.drive_c / "Korvantis Mod")
    setup.new_file = b"bind k kill\n"
    return setup


def publish_signed(server, setup, key=KEY, tamper=False):
    body = sign_manifest(server.publish({**setup.current_files(), "yeni.cfg": setup.new_file}),
                         str(key))
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


def test_refusal_is_one_yellow_line(signed, server):
    server.publish({**signed.current_files(), "yeni.cfg": signed.new_file})
    result = signed.prefix.run_pty(signed.launcher)
    assert result.colour_of(REFUSED.strip()) == "93", result.screen
