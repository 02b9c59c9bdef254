"""Self-installation: a launcher started where no engine lies copies itself into
%LOCALAPPDATA%\\Korvantis\\, saves two shortcuts and starts the installed copy."""

import pytest

from korvantis_harness.korvantis import (BANNER, ENGINE_FAILED, INSTALLED, PROMPT,
                                         engine_command_line, place_launcher, read_shortcut,
                                         write_saved_path)


@pytest.fixture
def install(prefix):
    folder = prefix.localappdata / "Korvantis"
    return dict(folder=folder, launcher=folder / "Korvantis.exe",
                folder_win=prefix.win(prefix.localappdata) + "\\Korvantis\\",
                desktop_lnk=prefix.desktop / "Korvantis.lnk",
                programs_lnk=prefix.programs / "Korvantis.lnk")


def prepare_installed_side(prefix, install, engine, game_folder):
    """What a previous run left in the install folder: the engine and a valid saved path, so
    the installed copy, started headless, runs through to the engine."""
    game = game_folder(prefix.drive_c / "Oyun" / "Half-Life")
    install["folder"].mkdir(parents=True)
    engine(install["folder"])
    write_saved_path(install["folder"], prefix.win(game))
    return game


def test_install_from_downloads(prefix, launcher_exe, helper_exe, install, engine,
                                engine_record, game_folder, server):
    server.publish({})
    game = prepare_installed_side(prefix, install, engine, game_folder)
    first = place_launcher(launcher_exe, prefix.downloads)
    install["desktop_lnk"].write_bytes(b"an older file of that name")

    result = prefix.run(first, ["-x", "y"], stdin=b"")
    prefix.wait_idle()

    assert result.code == 0, result
    assert result.out == BANNER + INSTALLED
    assert install["launcher"].read_bytes() == launcher_exe.read_bytes()
    installed_win = install["folder_win"] + "Korvantis.exe"
    for lnk in (install["desktop_lnk"], install["programs_lnk"]):
        link = read_shortcut(prefix, helper_exe("read_shortcut"), lnk)
        assert link is not None, f"{lnk} missing or unreadable"
        assert link["target"].lower() == installed_win.lower()
        assert link["working_folder"].lower() == install["folder_win"].lower()
        assert link["working_folder"].endswith("\\")
        assert link["icon"].lower() == installed_win.lower()
        assert link["icon_index"] == 0
        assert link["description"] == "Korvantis"
        assert link["arguments"] == ""
    # The installed copy ran (headless) and dropped the first copy's arguments.
    record = engine_record(install["folder"])
    assert record is not None, "installed copy not started, or it did not reach the engine"
    assert record["command_line"] == engine_command_line(install["folder_win"], prefix.win(game))
    assert not (prefix.downloads / "engine_received.json").exists()


def test_installed_launcher_in_other_letter_case_works_in_place(prefix, launcher_exe, install,
                                                                game_folder, server):
    server.publish({})
    game = game_folder(prefix.drive_c / "Oyun" / "Half-Life")
    place_launcher(launcher_exe, install["folder"])
    write_saved_path(install["folder"], prefix.win(game))
    # No engine in the install folder: it is recognised as installed all the same, goes on,
    # and reports the engine it cannot start.
    shouted = (install["folder_win"] + "Korvantis.exe").upper()

    result = prefix.run(shouted, stdin=b"\n")

    assert result.code == 1, result
    assert "Kuruldu" not in result.out
    assert result.out.endswith(ENGINE_FAILED), result
    assert not install["desktop_lnk"].exists()


def test_localappdata_missing(prefix, launcher_exe, helper_exe, install):
    first = place_launcher(launcher_exe, prefix.downloads)
    result = prefix.run(prefix.tool(helper_exe("without_localappdata")), [prefix.win(first)],
                        stdin=b"\n")
    assert result.code == 1, result
    assert result.out == BANNER, "nothing is printed after the banner"
    assert not install["folder"].exists()


def test_copy_impossible_without_installed_launcher(prefix, launcher_exe, install):
    # A file where the install folder should be: the folder cannot be made, the copy fails,
    # and no installed launcher exists.
    install["folder"].write_bytes(b"in the way")
    first = place_launcher(launcher_exe, prefix.downloads)

    result = prefix.run(first, stdin=b"\n")

    assert result.code == 1, result
    assert result.out == BANNER + f"  Kurulamadi: {install['folder_win']}\n" + PROMPT
    assert not install["desktop_lnk"].exists()
    assert not install["programs_lnk"].exists()


def test_second_start_while_installed_launcher_runs(prefix, launcher_exe, helper_exe, install,
                                                    game_folder, server):
    server.publish({})
    game = game_folder(prefix.drive_c / "Oyun" / "Half-Life")
    running = place_launcher(launcher_exe, install["folder"])
    write_saved_path(install["folder"], prefix.win(game))
    # The installed launcher, without an engine, stops at its key wait and keeps its file busy.
    busy = prefix.spawn(running)
    busy.wait_for_output(PROMPT)
    newer = launcher_exe.read_bytes() + b"\0a newer build"
    first = prefix.downloads / "Korvantis.exe"
    first.write_bytes(newer)

    result = prefix.run(first, stdin=b"")

    assert result.code == 0, result
    assert result.out == BANNER + INSTALLED
    assert install["launcher"].read_bytes() == launcher_exe.read_bytes(), "running file replaced?"
    assert read_shortcut(prefix, helper_exe("read_shortcut"), install["desktop_lnk"])
    assert read_shortcut(prefix, helper_exe("read_shortcut"), install["programs_lnk"])
    assert busy.finish().code == 1


@pytest.mark.parametrize("read_only", ["downloaded copy", "installed copy"])
def test_read_only_launcher_still_updates_itself_twice(prefix, launcher_exe, install, engine,
                                                       engine_record, game_folder, server, read_only):
    # Copied from a CD or an ISO, or unpacked by some archive tools: the file is read-only.
    prepare_installed_side(prefix, install, engine, game_folder)
    server.publish({})
    if read_only == "downloaded copy":
        first = place_launcher(launcher_exe, prefix.downloads)
        first.chmod(0o444)
        assert prefix.run(first, stdin=b"").code == 0
        prefix.wait_idle()
        assert install["launcher"].stat().st_mode & 0o200, "the installed copy is read-only"
    else:
        place_launcher(launcher_exe, install["folder"]).chmod(0o444)
    engine_bytes = (install["folder"] / "xash3d.exe").read_bytes()
    for version in (b"\0surum bir", b"\0surum iki"):
        newer = launcher_exe.read_bytes() + version
        server.publish({"Korvantis.exe": newer, "xash3d.exe": engine_bytes})
        (install["folder"] / "engine_received.json").unlink(missing_ok=True)
        assert prefix.run(install["launcher"], stdin=b"\n").code == 0
        prefix.wait_idle()
        assert install["launcher"].read_bytes() == newer, version
        assert engine_record(install["folder"]) is not None
    # The restarted launcher removed the copy it replaced.
    assert not (install["folder"] / "Korvantis.exe.eski").exists()
