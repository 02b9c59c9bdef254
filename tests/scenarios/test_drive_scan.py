"""The last resort: the walk over every fixed drive, through the whole launcher under Wine. The
prefix maps no drive to /, so the walk sees only C: and the drives a test adds."""

from __future__ import annotations

import ctypes
import os
from pathlib import Path

import pytest

from korvantis_harness.korvantis import FOUND, LINE_WIPE, SCAN_LINE, SEARCHING
from test_locate_sources import assert_found, assert_missing, assert_outcome, run_launcher


class DirectoryOpens:
    """Tells whether anybody opened (listed) one of the given folders, through inotify."""

    IN_OPEN = 0x20

    def __init__(self, *folders: Path):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        assert self.fd >= 0, ctypes.get_errno()
        for folder in folders:
            assert self.libc.inotify_add_watch(self.fd, str(folder).encode(), self.IN_OPEN) >= 0

    def seen(self) -> bool:
        try:
            return len(os.read(self.fd, 65536)) > 0
        except BlockingIOError:
            return False

    def close(self):
        os.close(self.fd)


def drive(prefix, tmp_path, letter, kind="hd") -> Path:
    root = tmp_path / f"drive_{letter}"
    prefix.add_drive(letter, root, kind)
    return root


def test_found_three_levels_down_on_a_second_drive(prefix, launcher_exe, engine, game_folder,
                                                   tmp_path):
    d = drive(prefix, tmp_path, "d")
    (d / "Belgeler").mkdir(parents=True)
    (d / "Oyunlar" / "Eski").mkdir(parents=True)
    game = game_folder(d / "Oyunlar" / "Valve" / "Counter-Strike 1.6")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_found(result, saved, r"D:\Oyunlar\Valve\Counter-Strike 1.6")
    assert prefix.win(game) == r"D:\Oyunlar\Valve\Counter-Strike 1.6"
    out = result.out
    # Announced, shown while listing (the first listing always draws), wiped, then reported.
    announced = out.index(SEARCHING)
    first_line = out.index(SCAN_LINE)
    wiped = out.index(LINE_WIPE)
    found = out.index(FOUND)
    assert announced < first_line < wiped < found
    assert out.rindex(SCAN_LINE) < wiped
    assert f"{SCAN_LINE}C:{' ' * 70}" in out  # the first folder listed, padded to 72 columns


def test_announced_even_when_a_drive_root_is_the_game(prefix, launcher_exe, engine, game_folder,
                                                     tmp_path):
    d = drive(prefix, tmp_path, "d")
    game_folder(d)
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_found(result, saved, "D:")
    assert result.out.index(SEARCHING) < result.out.index(LINE_WIPE) < result.out.index(FOUND)


@pytest.mark.parametrize("levels, found", [(7, True), (8, False)])
def test_depth_budget_of_seven_levels(prefix, launcher_exe, engine, game_folder, tmp_path,
                                      levels, found):
    d = drive(prefix, tmp_path, "d")
    parts = [f"k{i}" for i in range(1, levels + 1)]
    game_folder(d.joinpath(*parts))
    result, saved = run_launcher(prefix, launcher_exe, engine)
    if found:
        assert_found(result, saved, "D:\\" + "\\".join(parts))
    else:
        assert_missing(result, saved)
        assert SEARCHING in result.out and LINE_WIPE in result.out


@pytest.mark.parametrize("relative, found", [
    ("Users/oyuncu/AppData/Local/CS16", False),
    ("appdata/CS16", False),
    ("Yedek/WINDOWS/CS16", False),
    ("a/b/c/.git/CS16", False),
    ("Oyunlar/.eski/CS16", False),
    ("Oyunlar/node_modules/CS16", False),
    ("Oyunlar/Recovery", False),          # the game folder itself bears a skipped name
    ("Oyunlar/WindowsOyunlari/CS16", True),  # a name that only begins like one is entered
])
def test_skipped_folders_at_any_depth(prefix, launcher_exe, engine, game_folder, tmp_path,
                                      relative, found):
    d = drive(prefix, tmp_path, "d")
    game_folder(d / relative)
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_outcome(result, saved, "D:\\" + relative.replace("/", "\\") if found else None)


@pytest.mark.parametrize("through_link", [True, False])
def test_reparse_points_are_not_followed(prefix, launcher_exe, engine, game_folder, tmp_path,
                                         through_link):
    d = drive(prefix, tmp_path, "d")
    outside = tmp_path / "not_a_drive" / "Oyunlar"  # on no drive of the prefix
    game_folder(outside / "CS16")
    (d / "Kisayol").mkdir(parents=True)
    if through_link:
        # Wine shows a Unix symlink to a directory as DIRECTORY|REPARSE_POINT, like a junction.
        (d / "Kisayol" / "Oyunlar").symlink_to(outside, target_is_directory=True)
    else:
        (d / "Kisayol" / "Oyunlar").mkdir()
        game_folder(d / "Kisayol" / "Oyunlar" / "CS16")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_outcome(result, saved, None if through_link else r"D:\Kisayol\Oyunlar\CS16")


@pytest.mark.parametrize("kind", ["cdrom", "network", "floppy", "ramdisk", "hd"])
def test_only_fixed_drives_are_scanned(prefix, launcher_exe, engine, game_folder, tmp_path, kind):
    e = drive(prefix, tmp_path, "e", kind)
    game_folder(e / "Oyunlar" / "CS16")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_outcome(result, saved, r"E:\Oyunlar\CS16" if kind == "hd" else None)


@pytest.mark.parametrize("game_on_d", [True, False])
def test_a_hit_leaves_later_letters_untouched(prefix, launcher_exe, engine, game_folder, tmp_path,
                                              game_on_d):
    d = drive(prefix, tmp_path, "d")
    e = drive(prefix, tmp_path, "e")
    (d / "Bos").mkdir()
    if game_on_d:
        game_folder(d / "Oyunlar" / "CS16")
    game_folder(e / "Oyunlar" / "CS16")
    watch = DirectoryOpens(e, e / "Oyunlar")
    try:
        result, saved = run_launcher(prefix, launcher_exe, engine)
        listed_e = watch.seen()
    finally:
        watch.close()
    if game_on_d:
        assert_found(result, saved, r"D:\Oyunlar\CS16")
        assert not listed_e
    else:  # the same watch does see E: listed when the walk gets there
        assert_found(result, saved, r"E:\Oyunlar\CS16")
        assert listed_e


def test_first_drive_in_letter_order_wins(prefix, launcher_exe, engine, game_folder, tmp_path):
    # Mapped in reverse order, so neither the mapping order nor the registry order can pass this.
    f = drive(prefix, tmp_path, "f")
    d = drive(prefix, tmp_path, "d")
    game_folder(f / "CS16")
    game_folder(d / "a" / "b" / "CS16")
    result, saved = run_launcher(prefix, launcher_exe, engine)
    assert_found(result, saved, r"D:\a\b\CS16")
