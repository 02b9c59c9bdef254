"""Colours, seen once through a pseudo-terminal, where Wine's console turns attributes into
ANSI colours: 12 (light red) -> 91, 10 (light green) -> 92, 7 (normal) -> default."""

from korvantis_harness.korvantis import ENGINE_FAILED, place_launcher, write_saved_path

RED, GREEN, NORMAL = "91", "92", ""


def test_banner_and_fatal_message_are_red(prefix, launcher_exe, game_folder, server):
    server.publish({})
    folder = prefix.drive_c / "Korvantis"
    launcher = place_launcher(launcher_exe, folder)
    write_saved_path(folder, prefix.win(game_folder(prefix.drive_c / "Oyun" / "Half-Life")))
    (folder / "xash3d.exe").mkdir()  # present, but cannot be started

    result = prefix.run_pty(launcher)

    assert result.code == 1, result.screen_text
    assert result.colour_of("KORVANTIS") == RED, result.screen
    for line in ENGINE_FAILED.strip().splitlines():
        assert result.colour_of(line.strip()) == RED, result.screen


def test_found_line_is_green(prefix, launcher_exe, game_folder, engine, server, tmp_path):
    server.publish({})
    prefix.add_drive("g", tmp_path / "cdrom", kind="cdrom")
    game_folder(tmp_path / "cdrom" / "Half-Life")
    prefix.add_reg("HKCU", r"Software\Valve\Half-Life", "InstallPath", "G:\\Half-Life")
    folder = prefix.drive_c / "Korvantis"
    launcher = place_launcher(launcher_exe, folder)
    engine(folder)

    result = prefix.run_pty(launcher)

    assert result.code == 0, result.screen_text
    assert result.colour_of("Counter-Strike 1.6 bulundu: G:\\Half-Life") == GREEN, result.screen
    assert result.colour_of("KORVANTIS") == RED, result.screen
