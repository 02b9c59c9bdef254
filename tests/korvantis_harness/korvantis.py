"""The launcher's fixed texts, file names and requests, the one copy every scenario, the soak, the
tool tests, the demo and the benchmarks compare against (byte for byte); and small set-up steps
shared by the scenarios."""

from __future__ import annotations

import json
import re
import shutil
from pathlib import Path

BANNER = "\n  KORVANTIS\n"
CHECKING = "  Guncellemeler kontrol ediliyor...\n"
UP_TO_DATE = "  Oyun guncel.\n"
DOWNLOADING = "  Guncelleme indiriliyor...\n"
DONE = "  Guncelleme tamam.\n"
PARTIAL = ("  Guncellemenin bir kismi inmedi (oyun acik mi?), bir sonraki acilista tekrar "
           "denenecek.\n")
UNCHANGED = "  Sunucuya ulasilamadi, oyun oldugu gibi aciliyor.\n"
REFUSED = "  Guncelleme imzasi reddedildi.\n"
SERIAL_UNREADABLE = "  Imza sirasi dosyasi (imza_sirasi.txt) okunamadi, guncelleme reddedildi.\n"
SERIAL_UNWRITABLE = "  Imza sirasi dosyasi (imza_sirasi.txt) yazilamadi, guncelleme reddedildi.\n"
PROXY_REFUSED = "  Vekil sunucu (proxy) baglantiyi reddetti (407).\n"
WAITING = "  Korvantis zaten acik, onun guncellemesi bekleniyor...\n"
SIGNATURE_STOP = ("\n  Guncellemenin imzasi gecersiz, oyun dosyalari indirilmedi.\n"
                  "  Biraz sonra tekrar dene; olmazsa Korvantis'i yeniden indir.\n")
PROMPT = "  Kapatmak icin bir tusa bas..."
SEARCHING = "  Counter-Strike 1.6 bilgisayarda araniyor (biraz surebilir)...\n"
SCAN_LINE = "\r  Taraniyor: "
LINE_WIPE = "\r" + " " * 86 + "\r"
FOUND = "  Counter-Strike 1.6 bulundu: "  # then the folder and "\n"
NOT_FOUND_LINES = (
    "\n  Bilgisayarda Counter-Strike 1.6 bulunamadi.\n",
    "  Steam'den Counter-Strike 1.6'yi kur, bitince Korvantis'i tekrar ac.\n",
    "  Steam kurulum penceresi aciliyor...\n\n" + PROMPT,
)
ENGINE_FAILED = "\n  Oyun baslatilamadi (xash3d.exe eksik mi?).\n" + PROMPT
INSTALLED = "  Kuruldu. Masaustunde Korvantis kisayolu var.\n"
STEAM_INSTALL_LINK = "steam://install/10"

LAUNCHER = "Korvantis.exe"
ENGINE = "xash3d.exe"
SAVED_PATH = "hl_yolu.txt"
SERIAL_STATE = "imza_sirasi.txt"
DOWNLOAD_SUFFIX = ".indiriliyor"
OLD_SUFFIX = ".eski"
ENGINE_RECORD = "engine_received.json"  # written by the stand-in engine, not the launcher

USER_AGENT = "Korvantis-Baslatici/1.0"
UPDATE_ROOT = "/korvantis/guncelleme/"
MANIFEST_PATH = UPDATE_ROOT + "manifest.txt"
FILES_ROOT = UPDATE_ROOT + "dosyalar/"
MANIFEST_REQUEST = re.compile("^" + re.escape(MANIFEST_PATH) + r"\?t=\d+$")


def place_launcher(launcher_exe: Path, folder: Path, name: str = LAUNCHER) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / name
    shutil.copyfile(launcher_exe, target)
    return target


def write_saved_path(folder: Path, content: str | bytes) -> Path:
    """hl_yolu.txt in folder: a str is written as the launcher writes it (raw UTF-16LE, no
    byte-order mark), bytes as given."""
    data = content.encode("utf-16-le") if isinstance(content, str) else content
    path = folder / SAVED_PATH
    path.write_bytes(data)
    return path


def engine_command_line(launcher_folder_win: str, game_folder_win: str, *args: str) -> str:
    """The command line the engine must receive (arguments appended as the launcher's
    CommandLineToArgvW split gave them, without quotes)."""
    line = (f'"{launcher_folder_win}{ENGINE}" -game cstrike -nointro -rodir '
            f'"{game_folder_win}"')
    return line + "".join(" " + a for a in args)


def register_steam_recorder(prefix, recorder_exe: Path) -> Path:
    """Registers the url recorder as the steam: protocol handler of the prefix (HKLM: Wine 8
    ignores HKCU\\Software\\Classes for protocols). Returns the folder where its record
    (url_received.txt) appears. Must be called before the prefix's first program start."""
    folder = prefix.drive_c / "SteamRecorder"
    folder.mkdir(exist_ok=True)
    target = folder / "url_recorder.exe"
    shutil.copyfile(recorder_exe, target)
    key = r"Software\Classes\steam"
    prefix.add_reg("HKLM", key, "", "URL:Steam Protocol")
    prefix.add_reg("HKLM", key, "URL Protocol", "")
    prefix.add_reg("HKLM", key + r"\shell\open\command", "", f'"{prefix.win(target)}" "%1"')
    return folder


def steam_requests(recorder_folder: Path) -> list[str]:
    """The links the recorder received, in order, without the quotes of its command."""
    record = recorder_folder / "url_received.txt"
    if not record.exists():
        return []
    links = []
    for line in record.read_text(encoding="utf-8").splitlines():
        links.append(json.loads(line)["argument"].strip().strip('"'))
    return links


def read_shortcut(prefix, reader_exe: Path, lnk: Path) -> dict | None:
    """Target, working_folder, icon, icon_index, description, arguments of a .lnk, read back
    through IShellLinkW in the prefix; None when it is missing or not a shell link."""
    if not lnk.exists():
        return None
    result = prefix.run(prefix.tool(reader_exe), [prefix.win(lnk)], stdin=None)
    if result.code != 0:
        return None
    return json.loads(result.out)
