"""Finding the game through Steam's registry values and library list, and through the game's own
registry keys: the whole launcher under Wine, with the update server out of reach."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest

from korvantis_harness.korvantis import FOUND, LAUNCHER, NOT_FOUND_LINES, SAVED_PATH, SEARCHING

STEAM_GAME = Path("steamapps", "common", "Half-Life")


def run_launcher(prefix, launcher_exe, engine, timeout=180):
    """Runs an installed launcher (engine beside it) from C:\\Korvantis; returns the result and
    the saved path file's bytes (None when there is none)."""
    folder = prefix.drive_c / "Korvantis"
    folder.mkdir(parents=True, exist_ok=True)
    exe = folder / LAUNCHER
    shutil.copyfile(launcher_exe, exe)
    engine(folder)
    result = prefix.run(exe, timeout=timeout)
    prefix.wait_idle()
    saved = folder / SAVED_PATH
    return result, (saved.read_bytes() if saved.exists() else None)


def assert_found(result, saved, windows_path: str):
    assert result.code == 0, result
    assert f"{FOUND}{windows_path}\n" in result.out, result.out
    # Raw UTF-16LE: no byte-order mark, no terminator, no line end.
    assert saved == windows_path.encode("utf-16-le")


def assert_missing(result, saved):
    assert result.code == 1, result
    assert NOT_FOUND_LINES[0] in result.out, result.out
    assert FOUND not in result.out
    assert saved is None


def assert_outcome(result, saved, windows_path: str | None):
    """Found at windows_path; None: nothing found."""
    if windows_path is None:
        assert_missing(result, saved)
    else:
        assert_found(result, saved, windows_path)


# Game folders the drive scan cannot reach (ProgramData is never entered): a find there is the
# registry's doing alone.
def hidden(prefix, *parts) -> Path:
    return prefix.drive_c.joinpath("ProgramData", *parts)


# ----- Steam -------------------------------------------------------------------------------
def test_steam_path_with_forward_slashes_and_a_library_from_the_vdf(prefix, launcher_exe, engine,
                                                                    game_folder, tmp_path):
    prefix.add_drive("d", tmp_path / "drive_d")
    steam = hidden(prefix, "Steam")
    (steam / "steamapps").mkdir(parents=True)
    library = tmp_path / "drive_d" / "ProgramData" / "SteamLibrary"
    game = game_folder(library / STEAM_GAME)
    (steam / "steamapps" / "libraryfolders.vdf").write_bytes(
        b'"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"C:\\\\ProgramData\\\\Steam"\n'
        b'\t\t"label"\t\t""\n\t}\n\t"1"\n\t{\n\t\t"path"\t\t"D:\\\\ProgramData\\\\SteamLibrary"\n'
        b'\t\t"apps"\n\t\t{\n\t\t\t"10"\t\t"0"\n\t\t}\n\t}\n}\n')
    prefix.add_reg("HKCU", r"Software\Valve\Steam", "SteamPath", "c:/programdata/steam/")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_found(result, saved, prefix.win(game))
    assert SEARCHING not in result.out


def test_library_with_a_utf8_name_after_a_missing_library(prefix, launcher_exe, engine,
                                                          game_folder, tmp_path):
    prefix.add_drive("d", tmp_path / "drive_d")
    steam = hidden(prefix, "Steam")
    (steam / "steamapps").mkdir(parents=True)
    game = game_folder(tmp_path / "drive_d" / "Oyunlar" / "\u00c7a\u011fr\u0131 K\u00fct\u00fcphanesi"
                       / STEAM_GAME)
    (steam / "steamapps" / "libraryfolders.vdf").write_bytes(
        '"libraryfolders"\n{\n\t"0"\n\t{\n\t\t"path"\t\t"D:\\\\Yok"\n\t}\n'
        '\t"1"\n\t{\n\t\t"path"\t\t"D:\\\\Oyunlar\\\\\u00c7a\u011fr\u0131 K\u00fct\u00fcphanesi"\n'
        '\t}\n}\n'.encode("utf-8"))
    prefix.add_reg("HKCU", r"Software\Valve\Steam", "SteamPath", r"C:\ProgramData\Steam")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_found(result, saved, prefix.win(game))
    assert SEARCHING not in result.out  # Steam's list found it, not the drive scan


def test_steam_path_normalised_text_is_the_folder_handed_on(prefix, launcher_exe, engine,
                                                           game_folder, engine_record):
    game_folder(hidden(prefix, "Steam") / STEAM_GAME)
    prefix.add_reg("HKCU", r"Software\Valve\Steam", "SteamPath", "c:/programdata/steam//")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    expected = r"c:\programdata\steam\steamapps\common\Half-Life"
    assert_found(result, saved, expected)
    record = engine_record(prefix.drive_c / "Korvantis")
    assert record is not None, result
    assert record["command_line"].endswith(f'-rodir "{expected}"'), record


@pytest.mark.parametrize("steam_path, via_machine", [
    (None, True),           # no SteamPath value at all
    ("", True),             # present but empty
    ("/\\/", True),         # separators only: empty once read
    (r"C:\Nowhere", False),  # a Steam folder without the game: the machine value is not asked
])
def test_machine_install_path_only_without_a_user_steam_path(prefix, launcher_exe, engine,
                                                             game_folder, steam_path,
                                                             via_machine):
    game = game_folder(hidden(prefix, "MachineSteam") / STEAM_GAME)
    if steam_path is not None:
        prefix.add_reg("HKCU", r"Software\Valve\Steam", "SteamPath", steam_path)
    prefix.add_reg("HKLM", r"SOFTWARE\Valve\Steam", "InstallPath", r"C:\ProgramData\MachineSteam")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    if via_machine:
        assert_found(result, saved, prefix.win(game))
    else:
        assert_missing(result, saved)


def test_machine_value_read_in_the_32_bit_view_first(prefix, launcher_exe, engine, game_folder):
    game_folder(hidden(prefix, "Native") / STEAM_GAME)
    wow = game_folder(hidden(prefix, "Wow") / STEAM_GAME)
    prefix.add_reg("HKLM", r"SOFTWARE\Valve\Steam", "InstallPath", r"C:\ProgramData\Native")
    prefix.add_reg("HKLM", r"SOFTWARE\Wow6432Node\Valve\Steam", "InstallPath",
                   r"C:\ProgramData\Wow")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_found(result, saved, prefix.win(wow))


# ----- the game's own registry keys -------------------------------------------------------
ROWS = [
    (r"Software\Valve\Half-Life", "InstallPath"),
    (r"SOFTWARE\Valve\Half-Life", "InstallPath"),
    (r"Software\Valve\CounterStrike", "InstallPath"),
    (r"SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Steam App 10", "InstallLocation"),
]


@pytest.mark.parametrize("row", range(4))
@pytest.mark.parametrize("roots", [("HKLM",), ("HKCU",), ("HKLM", "HKCU")])
def test_each_registry_row_user_before_machine(prefix, launcher_exe, engine, game_folder, row,
                                               roots):
    subkey, name = ROWS[row]
    folders = {}
    for root in roots:
        folders[root] = game_folder(hidden(prefix, f"CS16 {root}"))
        # Written as a player's tools might: forward slashes, a trailing separator.
        value = prefix.win(folders[root]).replace("\\", "/") + "/"
        prefix.add_reg(root, subkey, name, value)
    result, saved = run_launcher(prefix, launcher_exe, engine)
    winner = folders["HKCU"] if "HKCU" in folders else folders["HKLM"]
    assert_found(result, saved, prefix.win(winner))
    assert SEARCHING not in result.out


def test_registry_value_naming_no_game_moves_on(prefix, launcher_exe, engine, game_folder):
    game = game_folder(hidden(prefix, "Second"))
    prefix.add_reg("HKCU", ROWS[0][0], ROWS[0][1], r"C:\ProgramData\Nothing")
    prefix.add_reg("HKLM", ROWS[3][0], ROWS[3][1], r"C:\ProgramData\Second")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_found(result, saved, prefix.win(game))


@pytest.mark.parametrize("units, found", [(259, True), (260, False)])
def test_registry_value_of_260_units_reads_as_absent(prefix, launcher_exe, engine, game_folder,
                                                     units, found):
    # A real game folder's name, padded out with trailing separators (which reading drops).
    base = r"C:\ProgramData\Long"
    game = game_folder(hidden(prefix, "Long"))
    prefix.add_reg("HKCU", ROWS[0][0], ROWS[0][1], base + "\\" * (units - len(base)))
    result, saved = run_launcher(prefix, launcher_exe, engine)
    if found:
        assert_found(result, saved, prefix.win(game))
    else:
        assert_missing(result, saved)
