"""Fixtures for the whole-program scenarios (run them through tests/scenarios/run.sh)."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

import pytest

from korvantis_harness import https_server
from korvantis_harness.korvantis import ENGINE, ENGINE_RECORD, LAUNCHER
from korvantis_harness.wine import Prefix, ensure_template

REPO = Path(__file__).resolve().parents[2]
UPDATE_HOST = os.environ.get("KORVANTIS_UPDATE_HOST", "guncelleme.korvantis.example")
FALLBACK_HOST = os.environ.get("KORVANTIS_FALLBACK_HOST", "yedek.korvantis.example")


def pytest_configure(config):
    if os.environ.get("KORVANTIS_IN_NAMESPACE") != "1":
        raise pytest.UsageError(
            "run the scenarios through tests/scenarios/run.sh: they need the private network "
            "namespace it sets up")


# ----- build products ----------------------------------------------------------------------
@pytest.fixture(scope="session")
def build_dir() -> Path:
    return Path(os.environ.get("KORVANTIS_BUILD_DIR", REPO / "build" / "mingw")).resolve()


@pytest.fixture(scope="session")
def launcher_exe(build_dir) -> Path:
    exe = build_dir / LAUNCHER
    if not exe.is_file():
        pytest.skip(f"{exe} is not built")
    return exe


@pytest.fixture(scope="session")
def helper_exe(build_dir):
    """helper_exe(name) -> Path of tests/helpers/<name>.exe in the build folder."""

    def find(name: str) -> Path:
        for candidate in (build_dir / "tests" / "helpers" / f"{name}.exe",
                          build_dir / f"{name}.exe"):
            if candidate.is_file():
                return candidate
        pytest.skip(f"helper {name}.exe is not built in {build_dir}")

    return find


# ----- Wine --------------------------------------------------------------------------------
@pytest.fixture(scope="session")
def wine_template(build_dir) -> Path:
    return ensure_template(build_dir / "scenario-cache")


@pytest.fixture
def prefix(wine_template, tmp_path):
    p = Prefix(wine_template, tmp_path / "wine")
    try:
        yield p
    finally:
        p.close()
        if os.environ.get("KORVANTIS_KEEP_PREFIXES") != "1":
            shutil.rmtree(p.workdir, ignore_errors=True)


@pytest.fixture
def game_folder():
    """game_folder(base) -> base, made into a Counter-Strike 1.6 folder (cstrike/liblist.gam
    and valve/)."""

    def make(base: Path) -> Path:
        base = Path(base)
        (base / "cstrike").mkdir(parents=True, exist_ok=True)
        (base / "cstrike" / "liblist.gam").write_text('game "Counter-Strike"\n')
        (base / "valve").mkdir(exist_ok=True)
        return base

    return make


@pytest.fixture
def engine(helper_exe):
    """engine(folder) -> Path of the stand-in engine placed there as xash3d.exe."""

    def place(folder: Path) -> Path:
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        target = folder / ENGINE
        shutil.copyfile(helper_exe("stand_in_engine"), target)
        return target

    return place


@pytest.fixture
def engine_record():
    """engine_record(folder) -> None, or {"command_line": str, "cwd": str} as the stand-in
    engine in that folder received them. Call prefix.wait_idle() first: nobody waits for the
    engine."""

    def read(folder: Path):
        record = Path(folder) / ENGINE_RECORD
        if not record.exists():
            return None
        return json.loads(record.read_text(encoding="utf-8"))

    return read


# ----- update server -----------------------------------------------------------------------
def _cert_dir() -> Path:
    return Path(os.environ["KORVANTIS_CERT_DIR"])


def _start_server(chain: str, host: str = UPDATE_HOST, address: str = "127.0.0.1"):
    certs = _cert_dir()
    server = https_server.HttpsServer(certs / f"{chain}.chain.pem", certs / f"{chain}.key", host,
                                      address=address)
    server.reply = https_server  # server.reply.status(404), .cut(...), .drop(), ...
    return server


def _server_fixture(name: str, doc: str, chain: str, host: str = UPDATE_HOST, address: str = "127.0.0.1"):
    """A fixture of that name: the server for the scenario, closed after it."""

    def serve():
        s = _start_server(chain, host, address)
        yield s
        s.close()

    serve.__doc__ = doc
    return pytest.fixture(serve, name=name)


server = _server_fixture(
    "server", "HTTPS on 127.0.0.1:443 with a certificate for the update host that the namespace trusts.",
    "server")
untrusted_server = _server_fixture(
    "untrusted_server", "Same, but its certificate comes from a CA that nobody trusts.", "untrusted")
wrong_host_server = _server_fixture(
    "wrong_host_server", "Same, but with a trusted certificate for another host name.", "wrong-host")
fallback_server = _server_fixture(
    "fallback_server", "The two-host launcher's second host, on 127.0.0.2 (run.sh maps its name there).",
    "fallback", FALLBACK_HOST, "127.0.0.2")
server_elsewhere = _server_fixture(
    "server_elsewhere", "The update host's server on 127.0.0.2, where its name does not lead: only a proxy "
    "that resolves the name its own way reaches it.", "server", UPDATE_HOST, "127.0.0.2")
