"""Every way in to the maintainers' tools still starts: the commands tools/pyproject.toml names,
the package's modules run with -m, and the scripts of the old names. Started with no arguments,
each answers with its usage, the script's name in it, and exit code 2."""

import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parents[2] / "tools"
ENTRY_POINTS = tomllib.loads((TOOLS / "pyproject.toml").read_text())["project"]["scripts"]
SCRIPTS = {
    "korvantis-publish": "publish.py",
    "korvantis-release-check": "release_check.py",
    "korvantis-build-identity": "build_identity.py",
    "korvantis-update-key": "update_key.py",
}


def started(*command, cwd):
    proc = subprocess.run([sys.executable, *map(str, command)], cwd=cwd, capture_output=True,
                          text=True)
    return proc.returncode, proc.stderr


def test_every_tool_has_an_entry_point():
    assert ENTRY_POINTS.keys() == SCRIPTS.keys()


@pytest.mark.parametrize("name", SCRIPTS)
def test_entry_point_module_and_script_start_alike(name, tmp_path):
    module, function = ENTRY_POINTS[name].split(":")
    # As the wrapper that pip writes for an entry point calls it.
    entry = started("-c", f"import sys; from {module} import {function}; sys.exit({function}())",
                    cwd=TOOLS)
    as_module = started("-m", module, cwd=TOOLS)
    script = started(TOOLS / SCRIPTS[name], cwd=tmp_path)
    assert script[0] == 2 and script[1].startswith("usage: " + SCRIPTS[name])
    assert entry == as_module == script
