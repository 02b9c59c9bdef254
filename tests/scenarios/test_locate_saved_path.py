"""The saved path file hl_yolu.txt and the report when no source finds the game.

The game lies on a CD-ROM drive (G:), which the drive walk never visits, so the saved path is
the only source that can find it."""

import codecs

import pytest

from korvantis_harness.korvantis import (BANNER, FOUND, NOT_FOUND_LINES, STEAM_INSTALL_LINK,
                                         engine_command_line, place_launcher,
                                         register_steam_recorder, steam_requests, write_saved_path)

GAME_DIR = "Oyunlar/Counter-Strike 1.6"


@pytest.fixture
def setup(prefix, launcher_exe, helper_exe, game_folder, engine, server, tmp_path):
    server.publish({})
    cd = prefix.add_drive("g", tmp_path / "cdrom", kind="cdrom")
    game = game_folder(tmp_path / "cdrom" / GAME_DIR)
    folder = prefix.drive_c / "Korvantis"
    launcher = place_launcher(launcher_exe, folder)
    engine(folder)
    recorder = register_steam_recorder(prefix, helper_exe("url_recorder"))
    return dict(folder=folder, launcher=launcher, game=game, recorder=recorder,
                game_win=cd + GAME_DIR.replace("/", "\\"))


def encodings(game_win):
    return {
        "utf16le": game_win.encode("utf-16-le"),
        "utf16le_with_bom": codecs.BOM_UTF16_LE + game_win.encode("utf-16-le"),
        "utf8": game_win.encode("utf-8"),
        "cp1254": game_win.encode("cp1254"),
        "empty": b"",
    }


@pytest.mark.parametrize("encoding, accepted", [
    ("utf16le", True),
    ("utf16le_with_bom", False),
    ("utf8", False),
    ("cp1254", False),
    ("empty", False),
])
def test_saved_path_encoding(prefix, setup, server, engine_record, encoding, accepted):
    content = encodings(setup["game_win"])[encoding]
    saved = write_saved_path(setup["folder"], content)

    result = prefix.run(setup["launcher"], stdin=b"\n", timeout=120)
    prefix.wait_idle()

    assert result.out.startswith(BANNER), result
    assert saved.read_bytes() == content, "nothing found, so the saved file stays as it was"
    if accepted:
        assert result.code == 0, result
        assert "bulundu" not in result.out
        record = engine_record(setup["folder"])
        assert record and record["command_line"] == engine_command_line(
            prefix.win(setup["folder"]) + "\\", setup["game_win"])
        return
    assert result.code == 1, result
    assert engine_record(setup["folder"]) is None
    assert not server.requests, "no update when the game is missing"
    at = 0
    for line in NOT_FOUND_LINES:
        found = result.out.find(line, at)
        assert found >= 0, f"missing or out of order: {line!r}\n{result.out}"
        at = found + len(line)
    assert result.out.endswith(NOT_FOUND_LINES[-1]), "the prompt ends the output"
    assert steam_requests(setup["recorder"]) == [STEAM_INSTALL_LINK]


TURKISH_DIR = "Oyunlar/Öğrenci Şahin İçin/Half-Life"


@pytest.mark.parametrize("saved_before", [None, "utf16le_with_bom"])
def test_found_by_registry_is_shown_and_saved(prefix, setup, engine_record, tmp_path,
                                              game_folder, saved_before):
    # A game folder with Turkish letters, known only to HKCU\Software\Valve\Half-Life.
    game = game_folder(tmp_path / "cdrom" / TURKISH_DIR)
    game_win = "G:\\" + TURKISH_DIR.replace("/", "\\")
    prefix.add_reg("HKCU", r"Software\Valve\Half-Life", "InstallPath", game_win)
    saved = setup["folder"] / "hl_yolu.txt"
    if saved_before:
        saved.write_bytes(encodings(game_win)[saved_before])

    result = prefix.run(setup["launcher"], stdin=b"\n")
    prefix.wait_idle()

    assert result.code == 0, result
    # Standard output on a pipe carries the path as UTF-8, whole.
    assert f"{FOUND}{game_win}\n" in result.out, result
    assert saved.read_bytes() == game_win.encode("utf-16-le"), "saved raw, without a mark"
    record = engine_record(setup["folder"])
    assert record and record["command_line"] == engine_command_line(
        prefix.win(setup["folder"]) + "\\", game_win)
    assert game.exists()
