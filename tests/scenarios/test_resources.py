"""The executable's image and resources: what Explorer, the shortcuts and the loader see.

Reads Korvantis.exe from KORVANTIS_BUILD_DIR (default <repo>/build/mingw) with pefile, and
once more through the Windows API under Wine (tests/helpers/read_version.exe); the icon
sources are checked without the exe.
"""

import json
import os
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
import zlib
from pathlib import Path

import pefile
import pytest

from korvantis_harness.wine import base_env

REPO = Path(__file__).resolve().parents[2]
ICON_SIZES = [16, 32, 48, 64, 128, 256]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
WINDOWS_10_GUID = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
EXPECTED_STRINGS = {
    "CompanyName": "Pellumo",
    "FileDescription": "Korvantis",
    "ProductName": "Korvantis",
    "OriginalFilename": "Korvantis.exe",
    "FileVersion": "1.0",
    "ProductVersion": "1.0",
}
RT_ICON = pefile.RESOURCE_TYPE["RT_ICON"]
RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]


def build_dir():
    return Path(os.environ.get("KORVANTIS_BUILD_DIR", REPO / "build" / "mingw")).resolve()


@pytest.fixture(scope="module")
def exe_path():
    path = build_dir() / "Korvantis.exe"
    if not path.is_file():
        pytest.skip(f"{path} is not built (set KORVANTIS_BUILD_DIR or build the Korvantis target)")
    return path


@pytest.fixture(scope="module")
def pe(exe_path):
    image = pefile.PE(str(exe_path))
    yield image
    image.close()


def resources_of_type(image, type_id):
    """{resource id: [(language, bytes), ...]} for one resource type."""
    found = {}
    if not hasattr(image, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for type_entry in image.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            key = name_entry.id if name_entry.name is None else str(name_entry.name)
            for lang_entry in name_entry.directory.entries:
                rva, size = lang_entry.data.struct.OffsetToData, lang_entry.data.struct.Size
                found.setdefault(key, []).append((lang_entry.id, image.get_data(rva, size)))
    return found


def png_header(data):
    """(width, height, bit depth, colour type) of a PNG, or None when it is not one."""
    if not data.startswith(PNG_SIGNATURE) or data[12:16] != b"IHDR":
        return None
    width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
    return width, height, depth, colour


def png_rows(data):
    """The decompressed image data: compares pixels, not one zlib build's bytes."""
    pos, idat = 8, b""
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind = data[pos + 4:pos + 8]
        if kind == b"IDAT":
            idat += data[pos + 8:pos + 8 + length]
        pos += 12 + length
    return zlib.decompress(idat)


def ico_entries(data):
    """[(size from the directory, bit count, image bytes)] of an .ico file."""
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    assert (reserved, kind) == (0, 1)
    entries = []
    for i in range(count):
        width, height, _, _, _, bits, length, offset = struct.unpack(
            "<BBBBHHII", data[6 + 16 * i:22 + 16 * i])
        assert width == height
        entries.append((width or 256, bits, data[offset:offset + length]))
    return entries


# --- the icon sources ------------------------------------------------------------------

def test_ico_holds_the_six_pngs_smallest_first():
    entries = ico_entries((REPO / "resources" / "korvantis.ico").read_bytes())
    assert [size for size, _, _ in entries] == ICON_SIZES
    for size, bits, image in entries:
        assert bits == 32
        assert png_header(image) == (size, size, 8, 6), f"{size} px entry"
        assert image == (REPO / "resources" / "icon" / f"korvantis-{size}.png").read_bytes()


def test_generator_reproduces_the_committed_images(tmp_path):
    # The committed images must be what tools/make_icon.py draws, and drawing twice must agree.
    runs = []
    for name in ("a", "b"):
        out = tmp_path / name
        subprocess.run([sys.executable, str(REPO / "tools" / "make_icon.py"), str(out)], check=True)
        runs.append(out)
    for size in ICON_SIZES:
        first = (runs[0] / "icon" / f"korvantis-{size}.png").read_bytes()
        assert first == (runs[1] / "icon" / f"korvantis-{size}.png").read_bytes()
        committed = (REPO / "resources" / "icon" / f"korvantis-{size}.png").read_bytes()
        assert png_header(first) == png_header(committed)
        assert png_rows(first) == png_rows(committed), f"{size} px image is stale"


def test_images_are_transparent_around_an_opaque_emblem():
    for size in ICON_SIZES:
        data = (REPO / "resources" / "icon" / f"korvantis-{size}.png").read_bytes()
        raw = png_rows(data)
        stride = size * 4 + 1
        alpha = lambda x, y: raw[y * stride + 1 + 4 * x + 3]  # noqa: E731
        assert alpha(0, size - 1) == 0 and alpha(size - 1, size - 1) == 0, f"{size} px corners"
        assert alpha(size // 2, size // 2) == 255, f"{size} px centre"
        assert all(raw[y * stride] == 0 for y in range(size))


# --- the executable image ------------------------------------------------------------

def test_image_is_a_64_bit_console_program(pe):
    assert pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
    assert pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]


# DLLs that Windows always maps from the system folder (KnownDLLs): only these may be
# load-time imports. Any other one, winhttp and bcrypt above all, would be looked for beside the
# exe first (a Downloads folder) and run before main.
KNOWN_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "ole32.dll", "shell32.dll", "user32.dll",
              "gdi32.dll", "combase.dll", "rpcrt4.dll", "sechost.dll", "shlwapi.dll", "ws2_32.dll"}


def test_imports_only_dlls_windows_takes_from_the_system_folder(pe):
    dlls = sorted(entry.dll.decode("ascii").lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
    print("imported DLLs:", ", ".join(dlls))
    assert "kernel32.dll" in dlls
    # mingw's runtime DLLs (libstdc++-6, libgcc_s_seh-1, libwinpthread-1) fall out here too.
    assert [name for name in dlls if name not in KNOWN_DLLS] == []


def test_single_icon_group_lists_six_png_icons(pe):
    groups = resources_of_type(pe, RT_GROUP_ICON)
    # Index 0 of ExtractIcon and of a shortcut's icon location is the first group.
    assert list(groups) == [1]
    assert len(groups[1]) == 1
    group = groups[1][0][1]
    reserved, kind, count = struct.unpack("<HHH", group[:6])
    assert (reserved, kind, count) == (0, 1, len(ICON_SIZES))
    icons = {key: data for key, ((_, data), *_) in resources_of_type(pe, RT_ICON).items()}
    sizes = []
    for i in range(count):
        width, height, colours, _, planes, bits, length, icon_id = struct.unpack(
            "<BBBBHHIH", group[6 + 14 * i:20 + 14 * i])
        size = width or 256
        sizes.append(size)
        assert (height or 256, colours, planes, bits) == (size, 0, 1, 32), f"{size} px entry"
        assert icon_id in icons, f"{size} px entry points to missing icon {icon_id}"
        image = icons[icon_id]
        assert len(image) == length
        assert png_header(image) == (size, size, 8, 6), f"{size} px icon is not 32-bit RGBA PNG"
    assert sizes == ICON_SIZES
    assert len(icons) == len(ICON_SIZES)


def test_version_block(pe):
    assert hasattr(pe, "VS_FIXEDFILEINFO"), "no version block"
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x00010000, 0)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00010000, 0)
    assert fixed.FileOS == 0x00040004  # VOS_NT_WINDOWS32
    assert fixed.FileType == 1  # VFT_APP
    assert fixed.FileFlags & fixed.FileFlagsMask == 0  # no debug, pre-release or patched flag
    tables, translations = [], []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            tables += info.StringTable
        elif info.Key == b"VarFileInfo":
            # pefile gives the pair as text, e.g. "0x041f 0x04b0" (bytes in some versions).
            translations += [{key.decode(): value if isinstance(value, str) else value.decode()
                              for key, value in var.entry.items()} for var in info.Var]
    assert [table.LangID for table in tables] == [b"041F04B0"]
    strings = {key.decode(): value.decode() for key, value in tables[0].entries.items()}
    assert strings == EXPECTED_STRINGS
    assert translations == [{"Translation": "0x041f 0x04b0"}]
    assert len(resources_of_type(pe, RT_VERSION)) == 1


def test_manifest_runs_as_invoker_on_windows_10(pe):
    manifests = resources_of_type(pe, RT_MANIFEST)
    # One manifest, under the id the loader reads for an exe; a second one would be ignored.
    assert list(manifests) == [1] and len(manifests[1]) == 1
    root = ElementTree.fromstring(manifests[1][0][1])
    levels = [element.attrib for element in root.iter()
              if element.tag.endswith("}requestedExecutionLevel")]
    assert levels == [{"level": "asInvoker", "uiAccess": "false"}]
    systems = [element.attrib.get("Id", "").lower() for element in root.iter()
               if element.tag.endswith("}supportedOS")]
    assert WINDOWS_10_GUID in systems
    dependencies = [element for element in root.iter() if element.tag.endswith("}dependency")]
    assert dependencies == []


# --- the same, read back by Windows itself (under Wine) --------------------------------

@pytest.fixture(scope="module")
def windows_view(exe_path):
    helper = build_dir() / "tests" / "helpers" / "read_version.exe"
    if not helper.is_file():
        pytest.skip(f"{helper} is not built (target read_version)")
    if shutil.which("wine") is None:
        pytest.skip("wine is not installed")
    # A prefix of this module's own: stopping its wineserver cannot disturb other tests.
    home = build_dir() / "wineprefix-resources-home"
    home.mkdir(exist_ok=True)
    env = base_env(build_dir() / "wineprefix-resources", home)
    try:
        result = subprocess.run(["wine", str(helper), "Z:" + str(exe_path).replace("/", "\\")],
                                env=env, capture_output=True, timeout=180)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return json.loads(result.stdout)


def test_windows_reads_the_version_block(windows_view):
    assert windows_view["fileVersion"] == "1.0.0.0"
    assert windows_view["productVersion"] == "1.0.0.0"
    assert (windows_view["fileOS"], windows_view["fileType"]) == (0x00040004, 1)
    assert windows_view["translations"] == [[0x041F, 1200]]
    assert windows_view["strings"] == EXPECTED_STRINGS


def test_windows_makes_every_icon_size_from_the_first_group(windows_view):
    assert windows_view["iconGroups"] == 1
    # [asked, width, height, bits per pixel, centre alpha, corner alpha]
    assert windows_view["icons"] == [[size, size, size, 32, 255, 0] for size in ICON_SIZES]
