"""A working launcher (engine beside it, valid saved path): what reaches the engine, and the
launcher's exit when the engine cannot be started."""

from types import SimpleNamespace

import pytest

from korvantis_harness.korvantis import (BANNER, ENGINE_FAILED, SAVED_PATH, UP_TO_DATE,
                                         engine_command_line, place_launcher, write_saved_path)


@pytest.fixture
def mod(prefix, launcher_exe, game_folder, server):
    """Launcher in C:\\Games\\Korvantis with hl_yolu.txt naming C:\\Oyun\\Half-Life; the update
    server lists nothing, so the update has nothing to do."""
    server.publish({})
    folder = prefix.drive_c / "Games" / "Korvantis"
    game = game_folder(prefix.drive_c / "Oyun" / "Half-Life")
    return SimpleNamespace(
        folder=folder,
        launcher=place_launcher(launcher_exe, folder),
        game=game,
        saved=write_saved_path(folder, prefix.win(game)),
        folder_win=prefix.win(folder) + "\\",
        game_win=prefix.win(game),
    )


@pytest.mark.parametrize("args, expected_tail, trailing", [
    ([], (), ""),
    # The launcher's split removes the grouping quotes and does not put them back.
    (["-x", "a b"], ("-x", "a", "b"), ""),
    # A saved path ending in "\\" (written by hand or another tool): doubled before the
    # closing quote, so the engine's split gives the folder back and the arguments after it.
    (["-x", "a b"], ("-x", "a", "b"), "\\"),
])
def test_valid_saved_path_starts_engine(prefix, mod, engine, engine_record, args, expected_tail,
                                        trailing):
    if trailing:
        mod.saved = write_saved_path(mod.folder, mod.game_win + trailing)
        mod.game_win += trailing * 2
    engine(mod.folder)
    saved_bytes = mod.saved.read_bytes()
    saved_mtime = mod.saved.stat().st_mtime_ns
    (mod.folder / "Korvantis.exe.eski").write_bytes(b"old launcher")

    result = prefix.run(mod.launcher, args, cwd=prefix.drive_c)
    prefix.wait_idle()

    assert result.code == 0, result
    assert result.out.startswith(BANNER), result
    assert "bulundu" not in result.out, "a valid saved path is used silently"
    assert mod.saved.read_bytes() == saved_bytes
    assert mod.saved.stat().st_mtime_ns == saved_mtime, "a valid saved path is not rewritten"
    assert not (mod.folder / "Korvantis.exe.eski").exists(), "old launcher copy not removed"
    record = engine_record(mod.folder)
    assert record is not None, f"engine not started; launcher said:\n{result.out}"
    assert record["command_line"] == engine_command_line(mod.folder_win, mod.game_win,
                                                         *expected_tail)
    assert record["cwd"].rstrip("\\").lower() == mod.folder_win.rstrip("\\").lower()


def test_engine_failing_at_once_still_counts_as_started(prefix, mod, engine, engine_record):
    engine(mod.folder)
    result = prefix.run(mod.launcher, env={"STAND_IN_ENGINE_EXIT_CODE": "3"})
    prefix.wait_idle()
    assert engine_record(mod.folder) is not None
    assert result.code == 0, result
    assert "baslatilamadi" not in result.out


def test_folder_named_like_engine_cannot_be_started(prefix, mod):
    # It passes the presence test (no self-installation) but cannot be run.
    (mod.folder / "xash3d.exe").mkdir()
    result = prefix.run(mod.launcher, stdin=b"\n")
    assert result.code == 1, result
    assert result.out.startswith(BANNER)
    assert result.out.endswith(ENGINE_FAILED), result
    assert "Kuruldu" not in result.out
    assert not (prefix.localappdata / "Korvantis").exists(), "installed itself"


def test_long_launcher_path_is_taken_whole(prefix, launcher_exe, game_folder, engine, server):
    # Over 260 units: a path cut at the old buffer size would name a parent folder, which
    # lacks the engine, and the launcher would install itself from there.
    folder = prefix.drive_c
    for letter in "kovan":
        folder = folder / (letter * 60)
    launcher = place_launcher(launcher_exe, folder)
    engine(folder)
    game = game_folder(prefix.drive_c / "Oyun" / "Half-Life")
    write_saved_path(folder, prefix.win(game))
    assert len(prefix.win(launcher)) > 300
    server.publish({"Korvantis.exe": launcher.read_bytes(), "xash3d.exe": (folder / "xash3d.exe").read_bytes()})

    result = prefix.run(launcher, cwd=prefix.drive_c)
    prefix.wait_idle()

    assert "Kuruldu" not in result.out, result
    assert not (prefix.localappdata / "Korvantis").exists()
    assert UP_TO_DATE in result.out, result  # every listed file found current in its folder
    assert [p for p in prefix.drive_c.rglob(SAVED_PATH)] == [folder / SAVED_PATH]
