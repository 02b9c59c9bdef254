"""tools/publish.py and its package: refusals, manifest format, atomic publication, --dry-run,
--prune, kept versions and --rollback."""

import fcntl
import hashlib
import io
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

from korvantis_publish import errors, manifest, modfolder, names, publishing, signing, update_key
from korvantis_publish.rollback import run_rollback
from launcher_fakes import fake_launcher

TOOL = Path(__file__).resolve().parents[2] / "tools" / "publish.py"

UPDATE = Path("korvantis") / "guncelleme"


def make_mod(base, files):
    """files: {name (str or bytes, "/"-separated): bytes}."""
    base.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        raw = name if isinstance(name, bytes) else name.encode("utf-8")
        path = os.path.join(os.fsencode(base), *raw.split(b"/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return base


def run(mod, root, *flags):
    """(exit code, stdout, stderr) of the real command line."""
    proc = subprocess.run([sys.executable, str(TOOL), *flags, str(mod), str(root)],
                          capture_output=True)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def launcher_entries(body):
    """The launcher's line rule, written independently of the tool."""
    out = []
    for line in body.split(b"\n"):
        while line[-1:] in (b"\r", b" "):
            line = line[:-1]
        if not line or line[:1] == b"#":
            continue
        first = line.find(b" ")
        second = line.find(b" ", first + 1) if first >= 0 else -1
        if second < 0:
            continue
        name = line[second + 1:]
        if b".." in name or b":" in name or name[:1] in (b"/", b"\\"):
            continue
        size_field = line[first + 1:second]
        out.append((line[:first], int(size_field) if size_field.isdigit() else 0, name))
    return out


def tree(root):
    """Snapshot of every file below root: {relative path: (bytes, mtime_ns)}."""
    snap = {}
    for dirpath, _, files in os.walk(root):
        for f in files:
            p = Path(dirpath) / f
            snap[p.relative_to(root).as_posix()] = (p.read_bytes(), p.stat().st_mtime_ns)
    return snap


# ---------------------------------------------------------------- refusals

NAME_TABLE = TOOL.parents[1] / "tests" / "data" / "entry_names.txt"


def name_table():
    """(verdict, name as bytes) of every case in the table the launcher's unit tests read too."""
    cases = []
    for line in NAME_TABLE.read_text(encoding="utf-8").split("\n"):
        if not line or line.startswith("#") or "\t" not in line:
            continue
        verdict, raw = line.split("\t", 1)
        cases.append((verdict, re.sub(rb"\\x([0-9A-Fa-f]{2})|\\\\",
                                      lambda m: bytes.fromhex(m[1].decode()) if m[1] else b"\\",
                                      raw.encode("utf-8"))))
    return cases


def test_publishes_exactly_the_names_the_launcher_takes():
    cases = name_table()
    assert {verdict for verdict, _ in cases} == {"take", "skip", "refuse"}
    wrong = [(verdict, name) for verdict, name in cases
             if (verdict == "take") != (modfolder.check_names([name], []) == [])]
    assert wrong == []


REFUSED = [
    # (file names to create, fragment of the message): one case per reason; the name table
    # above holds the verdicts.
    (["a..b.txt"], '".."'),
    (["x:y.txt"], '":"'),
    (["back\\slash.txt"], '"\\"'),
    (["trail .txt ", "sound/ok.wav"], "ends in a blank"),
    (["dir./f.txt"], "ends in a blank or a dot"),
    (["cr\rx"], "control characters"),
    (["q?.txt"], "Windows forbids"),
    (["NUL .tar.gz"], "reserved device name"),
    (["sub/lpt0"], "reserved device name"),
    ([b"\xff\xfe.bin"], "not valid UTF-8"),
    (["x" * 197 + ".txt"], "is 201 UTF-16 units long"),
    (["Readme.txt", "README.TXT"], "differ only in letter case"),
    (["\u015farki.wav", "\u015eARKI.wav"], "differ only in letter case"),
    (["maps", "MAPS/de.bsp"], "a file and a folder"),
    (["maps.INDIRILIYOR/de.bsp"], ".indiriliyor"),
    (["hl_yolu.txt/a/b.txt"], "a file the launcher folder holds"),
    (["KORVAN~1.EXE"], "Windows short name"),
    (["maps/DE_DUS~1.BSP"], "Windows short name"),
    # Litter and run-time writes: the offending file or folder, once.
    ([".git/HEAD", ".git/refs/x"], '".git": a version control folder'),
    (["maps/.svn/entries"], '"maps/.svn": a version control folder'),
    (["sub/.Hg/store"], '"sub/.Hg": a version control folder'),
    (["maps/THUMBS.DB"], '"maps/THUMBS.DB": Windows Explorer\'s thumbnail'),
    (["sound/Desktop.ini"], '"sound/Desktop.ini": Windows Explorer\'s folder'),
    ([".DS_Store"], '".DS_Store": macOS'),
    (["cstrike/Config.cfg"], '"cstrike/Config.cfg": the player\'s key bindings'),
    (["valve/config.cfg.bak"], '"valve/config.cfg.bak": the player\'s key bindings'),
    (["cstrike/video.cfg"], '"cstrike/video.cfg": the player\'s video mode'),
    (["cstrike/opengl.cfg"], '"cstrike/opengl.cfg": the player\'s renderer'),
    (["cstrike/ref_soft.cfg"], '"cstrike/ref_soft.cfg": the player\'s renderer'),
    (["cstrike/listenserver.cfg"], '"cstrike/listenserver.cfg": rewritten by the menu'),
    (["cstrike/xashcomm.lst"], '"cstrike/xashcomm.lst": the player\'s master server list'),
    (["cstrike/custom.hpk"], '"cstrike/custom.hpk": the engine\'s cache of the sprays'),
    (["cstrike/tempdecal.wad"], '"cstrike/tempdecal.wad": the player\'s own spray'),
    (["cstrike/save/a.sav", "cstrike/save/a.bmp"], '"cstrike/save": saved games'),
    (["cstrike/scrshots/de_dust_shot0000.png"], '"cstrike/scrshots": screenshots'),
    (["cstrike/logs/L0101000.log"], '"cstrike/logs": server logs'),
    (["cstrike/kayit.DEM"], '"cstrike/kayit.DEM": a recorded demo'),
    (["engine.log"], '"engine.log": the engine\'s log'),
    (["de_dust_0003.png"], '"de_dust_0003.png": a snapshot'),
    (["Korvantis.exe.eski"], "deleted by the launcher"),
    (["HL_Yolu.txt"], "saved game path"),
    (["Imza_Sirasi.TXT"], "highest manifest serial"),
    ([".publish-tmp-1-x"], "temporary files"),
]


@pytest.mark.parametrize("names,fragment", REFUSED, ids=[repr(c[0]) for c in REFUSED])
def test_refuses_names(tmp_path, names, fragment):
    mod = make_mod(tmp_path / "mod", {n: b"x" for n in names})
    code, out, err = run(mod, tmp_path / "root")
    assert code == 1
    assert fragment in err
    assert not (tmp_path / "root").exists()


@pytest.mark.parametrize("name", [
    "config.cfg", "save/x", "cstrike/maps/intro.dem", "cstrike/engine.log", "sub/.git.txt",
])
def test_accepts_what_only_looks_unwanted(name):
    assert modfolder.check_names([name.encode("utf-8")], []) == []


def test_include_publishes_what_would_be_refused(tmp_path):
    mod = make_mod(tmp_path / "mod", {"cstrike/save/a.sav": b"1", "cstrike/save/b.sav": b"2",
                                      ".git/HEAD": b"ref", "Thumbs.db": b"t", "xash3d.exe": b"x"})
    root = tmp_path / "root"
    code, _, err = run(mod, root, "--include", "cstrike/SAVE", "--include", "*.db")
    assert code == 1 and err.count('".git"') == 1 and "save" not in err and "Thumbs" not in err
    # The launcher must always be current, whatever the mod holds now.
    code, _, err = run(mod, root, "--once", "*")
    assert code == 1 and '"Korvantis.exe"' in err
    assert not root.exists()
    code, _, err = run(mod, root, "--include", "cstrike/save", "--include", "*.db",
                       "--include", ".git")
    assert (code, err) == (0, "")
    assert len(launcher_entries((root / UPDATE / "manifest.txt").read_bytes())) == 5


def test_lists_every_offending_file_in_one_message(tmp_path):
    mod = make_mod(tmp_path / "mod", {"ok.txt": b"1", "a..b": b"2", "q?": b"3", "nul.txt": b"4",
                                      "deep/trail.": b"5"})
    (mod / "link").symlink_to(mod / "ok.txt")
    (mod / "dirlink").symlink_to(mod / "deep")
    os.mkfifo(mod / "pipe")
    root = tmp_path / "root"
    make_mod(root / UPDATE, {"manifest.txt": b"# old\n"})
    code, out, err = run(mod, root)
    assert code == 1
    for name in ('"a..b"', '"q?"', '"nul.txt"', '"deep/trail."', '"link"', '"dirlink"', '"pipe"'):
        assert name in err
    assert "symbolic link" in err and "not a regular file" in err
    assert '"ok.txt"' not in err
    assert (root / UPDATE / "manifest.txt").read_bytes() == b"# old\n"
    assert not (root / UPDATE / "dosyalar").exists()


def test_lists_every_unreadable_file_and_folder_with_the_other_problems(tmp_path, monkeypatch):
    mod = make_mod(tmp_path / "mod", {"xash3d.exe": b"x", "a/kilitli.wad": b"1", "b/kilitli.bsp": b"2",
                                      "kapali/x.txt": b"3", "q?": b"4"})
    real_open, real_scandir = os.open, os.scandir

    def locked(path, *args, **kw):
        if b"kilitli" in os.fsencode(path):
            raise PermissionError(13, "Permission denied", path)
        return real_open(path, *args, **kw)

    def closed(path):
        if os.fsencode(path).endswith(b"kapali"):
            raise PermissionError(13, "Permission denied", path)
        return real_scandir(path)

    monkeypatch.setattr(os, "open", locked)
    monkeypatch.setattr(os, "scandir", closed)
    err = io.StringIO()
    assert publishing.publish(str(mod), str(tmp_path / "root"), out=io.StringIO(), err=err) == 1
    for line in ('"a/kilitli.wad": cannot be read (Permission denied)',
                 '"b/kilitli.bsp": cannot be read', '"kapali": cannot be read', '"q?"'):
        assert line in err.getvalue()
    assert not (tmp_path / "root").exists()


def test_exclude_and_the_ignore_file_leave_files_out(tmp_path):
    mod = make_mod(tmp_path / "mod", {
        "xash3d.exe": b"x", "cstrike/a.wad": b"a", "cstrike/b.wad": b"b", "notes.TXT": b"n",
        ".git/HEAD": b"ref", ".git/objects/ab/cd": b"o", "sub/.korvantisignore": b"kept",
        ".korvantisignore": b"# the working copy\n.git\n\n  *.txt  \n"})
    root = tmp_path / "root"
    code, out, err = run(mod, root, "--exclude", "cstrike/B*")
    assert (code, err) == (0, "") and "left out by --exclude and .korvantisignore: 4 files" in out
    names = [n for _, _, n in launcher_entries((root / UPDATE / "manifest.txt").read_bytes())]
    assert names == [b"cstrike/a.wad", b"sub/.korvantisignore", b"xash3d.exe"]


@pytest.mark.parametrize("folder,files,warned", [
    ("mod", {"cstrike/a.wad": b"a"}, "holds neither Korvantis.exe nor xash3d.exe"),
    ("cstrike", {"xash3d.exe": b"x"}, "is a game folder"),
    ("mod", {"xash3d.exe": b"x", "cstrike/a.wad": b"a"}, None),
])
def test_warns_of_a_folder_that_looks_wrong(tmp_path, folder, files, warned):
    code, _, err = run(make_mod(tmp_path / folder, files), tmp_path / "root", "--dry-run")
    assert code == 0 and (warned in err if warned else err == ""), err


def test_warns_of_an_update_root_others_cannot_enter(tmp_path):
    root = tmp_path / "root"
    root.mkdir(mode=0o700)
    root.chmod(0o700)
    code, _, err = run(make_mod(tmp_path / "mod", {"xash3d.exe": b"x"}), root)
    assert code == 0 and f'warning: others cannot enter "{root}" (mode 0700)' in err


# ---------------------------------------------------------------- manifest and round trip


def test_empty_mod_gives_comment_only(tmp_path):
    mod = tmp_path / "mod"
    mod.mkdir()
    (mod / "empty_folder").mkdir()
    code, _, _ = run(mod, tmp_path / "root")
    assert code == 0
    body = (tmp_path / "root" / UPDATE / "manifest.txt").read_bytes()
    lines = body.split(b"\n")
    assert len(lines) == 2 and lines[1] == b""
    assert lines[0].startswith(b"# ") and b"publish.py" in lines[0]
    assert launcher_entries(body) == []


def test_round_trip_through_the_launcher_rule(tmp_path):
    nfd = "cafe\u0301.txt"   # decomposed; must stay decomposed
    files = {
        "xash3d.exe": os.urandom(3000),
        "Korvantis.exe": fake_launcher(),
        "cstrike/sound/iki kelime.wav": b"two words",
        "cstrike/\u015fark\u0131 \u00e7al.wav": b"utf-8",
        nfd: b"nfd",
        "empty.cfg": b"",
        "bin/Korvantis.exe": b"a copy in a folder is an ordinary file",
        "trailing/-_.~#+%x": b"odd but allowed",
        "0 first by bytes.txt": b"sorts before the launcher's name",
        "Aaa/x.txt": b"so does this",
    }
    mod = make_mod(tmp_path / "mod", files)
    root = tmp_path / "root"
    code, out, err = run(mod, root)
    assert (code, err) == (0, "")
    body = (root / UPDATE / "manifest.txt").read_bytes()

    assert b"\r" not in body and body.endswith(b"\n")
    first = body.split(b"\n")[0].decode()
    assert re.fullmatch(r"# published by publish\.py at \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ .*", first)
    for line in body.split(b"\n")[1:-1]:
        assert re.fullmatch(rb"[0-9a-f]{64} (0|[1-9][0-9]*) \S.*", line)

    entries = launcher_entries(body)
    assert entries[0][2] == b"Korvantis.exe"
    rest = [e[2] for e in entries[1:]]
    assert rest == sorted(rest)
    assert sorted(e[2] for e in entries) == sorted(n.encode() for n in files)
    for digest, size, name in entries:
        want = files[name.decode("utf-8")]
        assert (digest, size) == (hashlib.sha256(want).hexdigest().encode(), len(want))
        stored = os.path.join(os.fsencode(root / UPDATE / "dosyalar"), *name.split(b"/"))
        with open(stored, "rb") as f:
            assert f.read() == want
    assert nfd.encode("utf-8") in body


@pytest.mark.parametrize("names,first", [
    (["A.txt", "korvantis.exe", "0.bin"], "korvantis.exe"),   # recognised case-blind, as the launcher does
    (["A.txt", "sub/Korvantis.exe", "0.bin"], "0.bin"),       # only the top-level one is the launcher
])
def test_launcher_leads_the_manifest(names, first):
    entries = [manifest.Entry(name=n, hash="0" * 64, size=1) for n in names]
    assert manifest.manifest_order(entries)[0].name == first


def test_files_and_folders_are_readable_by_the_web_server_whatever_the_umask(tmp_path):
    mod = make_mod(tmp_path / "mod", {"a/b.txt": b"1"})
    root = tmp_path / "root"
    old = os.umask(0o077)
    try:
        assert publishing.publish(str(mod), str(root), out=io.StringIO()) == 0
    finally:
        os.umask(old)
    modes = {p: oct(p.stat().st_mode & 0o777) for p in [root, *root.rglob("*")]}
    assert modes == {p: oct(0o755 if p.is_dir() else 0o644) for p in modes}


# ---------------------------------------------------------------- atomic publication


def test_manifest_is_renamed_into_place_last(tmp_path, monkeypatch):
    mod = make_mod(tmp_path / "mod", {"a.txt": b"new a", "sub/b.txt": b"new b"})
    root = tmp_path / "root"
    make_mod(root / UPDATE, {"manifest.txt": b"# old manifest\n", "dosyalar/a.txt": b"old a"})
    manifest = str(root / UPDATE / "manifest.txt")
    events = []
    real_replace, real_fsync, real_open = os.replace, os.fsync, os.open

    def fake_open(path, flags, *args, **kw):
        if os.fspath(path) == manifest and flags & (os.O_WRONLY | os.O_RDWR):
            events.append(("opened manifest for writing",))
        return real_open(path, flags, *args, **kw)

    def fake_replace(src, dst):
        src, dst = os.fspath(src), os.fspath(dst)
        assert os.path.dirname(src) == os.path.dirname(dst)
        if dst == manifest:
            # Until this rename the old list stays readable, and every file is already complete.
            assert Path(manifest).read_bytes() == b"# old manifest\n"
            for name, data in (("a.txt", b"new a"), ("sub/b.txt", b"new b")):
                assert (root / UPDATE / "dosyalar" / name).read_bytes() == data
                token = hashlib.sha256(data).hexdigest()[:12]
                assert (root / UPDATE / "surumler" / token / name).read_bytes() == data
            assert launcher_entries(Path(src).read_bytes())
        # A second name of a file already flushed needs no flush of its own.
        events.append(("replace", dst, os.stat(src).st_nlink > 1))
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", fake_replace)
    monkeypatch.setattr(os, "fsync", lambda fd: (events.append(("fsync",)), real_fsync(fd)))
    monkeypatch.setattr(os, "open", fake_open)
    assert publishing.publish(str(mod), str(root)) == 0

    replaces = [e[1] for e in events if e[0] == "replace"]
    assert replaces[-1] == manifest
    # Both versions and both plain names, the old and the new manifest kept, the manifest.
    assert len(replaces) == 7
    assert replaces[-2] == str(root / UPDATE / "gecmis" / "000002.txt")
    assert ("opened manifest for writing",) not in events
    for i, e in enumerate(events):
        if e[0] == "replace" and not e[2]:
            assert events[i - 1] == ("fsync",)   # flushed before it becomes visible
    leftovers = [p for p in (root / UPDATE).rglob("*") if p.name.startswith(".publish-tmp-")]
    assert leftovers == []


def test_failure_mid_publish_keeps_old_manifest_and_no_temp(tmp_path, monkeypatch):
    mod = make_mod(tmp_path / "mod", {"a.txt": b"A", "b.txt": b"B", "c.txt": b"C"})
    root = tmp_path / "root"
    make_mod(root / UPDATE, {"manifest.txt": b"# old\n"})
    real_replace = os.replace
    calls = []

    def failing_replace(src, dst):
        calls.append(dst)
        if len(calls) == 2:
            raise OSError(28, "No space left on device", dst)
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", failing_replace)
    err = io.StringIO()
    assert publishing.publish(str(mod), str(root), err=err) == 2
    assert "No space left" in err.getvalue()
    assert (root / UPDATE / "manifest.txt").read_bytes() == b"# old\n"
    assert [p.name for p in (root / UPDATE).rglob(".publish-tmp-*")] == []


def test_leftover_temp_of_a_crashed_run_is_removed(tmp_path):
    mod = make_mod(tmp_path / "mod", {"a.txt": b"A"})
    root = tmp_path / "root"
    make_mod(root / UPDATE, {"dosyalar/x/.publish-tmp-99-abc": b"half", ".publish-tmp-1-m": b"#"})
    assert run(mod, root)[0] == 0
    assert list((root / UPDATE).rglob(".publish-tmp-*")) == []


def test_republish_writes_only_what_changed_and_repairs_damage(tmp_path):
    mod = make_mod(tmp_path / "mod", {"same.txt": b"same", "edit.txt": b"v1", "hurt.txt": b"ok"})
    root = tmp_path / "root"
    assert run(mod, root)[0] == 0
    files = root / UPDATE / "dosyalar"
    same_mtime = (files / "same.txt").stat().st_mtime_ns
    (mod / "edit.txt").write_bytes(b"v2 longer")
    (files / "hurt.txt").write_bytes(b"no")       # same size, other bytes
    code, out, _ = run(mod, root)
    assert code == 0 and "2 written" in out
    assert (files / "same.txt").stat().st_mtime_ns == same_mtime
    assert (files / "edit.txt").read_bytes() == b"v2 longer"
    assert (files / "hurt.txt").read_bytes() == b"ok"


def test_file_turned_into_folder_and_back(tmp_path):
    root = tmp_path / "root"
    assert run(make_mod(tmp_path / "m1", {"maps": b"file"}), root)[0] == 0
    assert run(make_mod(tmp_path / "m2", {"maps/de.bsp": b"bsp"}), root)[0] == 0
    assert (root / UPDATE / "dosyalar" / "maps" / "de.bsp").read_bytes() == b"bsp"
    assert run(make_mod(tmp_path / "m3", {"maps": b"file again"}), root)[0] == 0
    assert (root / UPDATE / "dosyalar" / "maps").read_bytes() == b"file again"


# ---------------------------------------------------------------- dry run and prune


def test_dry_run_reports_changes_and_writes_nothing(tmp_path):
    root = tmp_path / "root"
    old = {"xash3d.exe": b"k", "edit.txt": b"12345", "gone/old.txt": b"1234567"}
    assert run(make_mod(tmp_path / "old", old), root)[0] == 0
    new = {"xash3d.exe": b"k", "edit.txt": b"123456789", "added one.txt": b"abc"}
    mod = make_mod(tmp_path / "new", new)
    before = tree(root)
    code, out, err = run(mod, root, "--dry-run", "--prune")
    assert (code, err) == (0, "")
    assert tree(root) == before
    lines = out.splitlines()
    assert 'added    "added one.txt" 3 bytes' in lines
    assert 'changed  "edit.txt" 9 bytes' in lines
    assert 'removed  "gone/old.txt" 7 bytes' in lines
    assert 'prune    "gone/old.txt"' in lines
    assert not any("xash3d.exe" in line for line in lines)
    assert lines[-2:] == ["players will download 2 files, 12 bytes (a new player 3 files, 13 bytes)",
                          "dry run: 1 added (3 bytes), 1 changed (9 bytes), 1 removed (7 bytes), "
                          "1 unchanged, 1 stored files to prune; nothing written"]


def test_dry_run_against_missing_root_creates_nothing(tmp_path):
    mod = make_mod(tmp_path / "mod", {"a.txt": b"12"})
    code, out, _ = run(mod, tmp_path / "root", "--dry-run")
    assert code == 0 and 'added    "a.txt" 2 bytes' in out
    assert not (tmp_path / "root").exists()


def test_dry_run_flags_missing_stored_copy(tmp_path):
    mod = make_mod(tmp_path / "mod", {"a.txt": b"12"})
    root = tmp_path / "root"
    assert run(mod, root)[0] == 0
    (root / UPDATE / "dosyalar" / "a.txt").unlink()
    out = run(mod, root, "--dry-run")[1]
    assert 'changed  "a.txt" 2 bytes (stored copy missing or different)' in out


@pytest.mark.parametrize("prune", [False, True])
def test_removed_files_stay_unless_pruned(tmp_path, prune):
    root = tmp_path / "root"
    assert run(make_mod(tmp_path / "old", {"a.txt": b"a", "old/deep/x.txt": b"x"}), root)[0] == 0
    flags = ["--prune"] if prune else []
    code, out, _ = run(make_mod(tmp_path / "new", {"a.txt": b"a"}), root, *flags)
    assert code == 0
    files = root / UPDATE / "dosyalar"
    assert (files / "old" / "deep" / "x.txt").exists() != prune
    assert (files / "old").exists() != prune        # emptied folders go too
    assert (files / "a.txt").exists()
    assert [e[2] for e in launcher_entries((root / UPDATE / "manifest.txt").read_bytes())] \
        == [b"a.txt"]


# ---------------------------------------------------------------- kept versions, prune, rollback


def rollback(root, *flags):
    proc = subprocess.run([sys.executable, str(TOOL), "--rollback", *flags, str(root)],
                          capture_output=True)
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def token(data):
    return hashlib.sha256(data).hexdigest()[:12]


def versions(root):
    """{(token, name)} of every kept version, checked to hold the bytes its token names."""
    found = set()
    store = root / UPDATE / "surumler"
    for p in store.rglob("*"):
        if p.is_file():
            tok, name = p.relative_to(store).as_posix().split("/", 1)
            assert token(p.read_bytes()) == tok, name
            found.add((tok, name))
    return found


@pytest.mark.parametrize("links", [True, False], ids=["hard links", "copies"])
def test_every_published_version_stays_under_its_token(tmp_path, monkeypatch, links):
    if not links:
        def no_links(src, dst):
            raise PermissionError(1, "Operation not permitted", dst)
        monkeypatch.setattr(os, "link", no_links)
    root = tmp_path / "root"
    # A root written before versions were kept: what it serves becomes its manifest's versions.
    old = {"a.txt": b"a1", "gone.txt": b"g", "sub/b b.txt": b"same"}
    make_mod(root / UPDATE, {"dosyalar/" + n: d for n, d in old.items()})
    (root / UPDATE / "manifest.txt").write_bytes(b"".join(
        b"%s %d %s\n" % (hashlib.sha256(d).hexdigest().encode(), len(d), n.encode())
        for n, d in old.items()))
    served = [(root / UPDATE / "manifest.txt").read_bytes()]
    mods = [{"a.txt": b"a2", "sub/b b.txt": b"same"}, {"a.txt": b"a3 is longer", "sub/b b.txt": b"same"}]
    for i, files in enumerate(mods):
        out = io.StringIO()
        assert publishing.publish(str(make_mod(tmp_path / f"m{i}", files)), str(root), out=out) == 0
        served.append((root / UPDATE / "manifest.txt").read_bytes())
    everything = [old, *mods]
    assert versions(root) == {(token(d), n) for files in everything for n, d in files.items()}
    # dosyalar/ holds the current version only, for hosts that ignore the query.
    files = root / UPDATE / "dosyalar"
    assert (files / "a.txt").read_bytes() == b"a3 is longer"
    assert (files / "gone.txt").read_bytes() == b"g"
    kept = sorted((root / UPDATE / "gecmis").iterdir())
    assert [p.name for p in kept] == ["000001.txt", "000002.txt", "000003.txt"]
    assert [p.read_bytes() for p in kept] == served


PRUNE = [
    # (a.txt of each publication, "R" for a rollback; --keep of the last one; a.txt versions left)
    (["1", "2", "3", "4", "5"], 3, {"3", "4", "5"}),
    # The manifest served until the new one stays whole: a launcher may be half-way through it.
    (["1", "2", "3", "4", "5"], 1, {"4", "5"}),
    (["1", "2", "3", "4", "R", "5"], 2, {"3", "4", "5"}),
]


@pytest.mark.parametrize("steps,keep,left", PRUNE, ids=["keep 3", "keep 1", "after rollback"])
def test_prune_keeps_the_versions_of_the_last_manifests(tmp_path, steps, keep, left):
    root = tmp_path / "root"
    for i, step in enumerate(steps):
        if step == "R":
            assert rollback(root)[0] == 0
            continue
        mod = make_mod(tmp_path / f"m{i}", {"a.txt": step.encode(), "b.txt": b"b"})
        if i < len(steps) - 1:
            assert run(mod, root)[0] == 0
            continue
        before = versions(root)
        code, out, _ = run(mod, root, "--dry-run", "--prune", "--keep", str(keep))
        assert code == 0
        listed = {line.split()[-1] for line in out.splitlines() if line.startswith("prune ")}
        assert run(mod, root, "--prune", "--keep", str(keep))[0] == 0
        gone = before - versions(root)
        assert {tok for tok, _ in gone} == listed          # the dry run told the truth
    assert versions(root) == {(token(v.encode()), "a.txt") for v in left} | {(token(b"b"), "b.txt")}
    kept = len(list((root / UPDATE / "gecmis").iterdir()))
    assert kept == len(left)
    assert [p for p in (root / UPDATE / "surumler").iterdir() if not any(p.iterdir())] == []


def test_rollback_puts_back_the_earlier_manifest_atomically_touching_no_file(tmp_path,
                                                                             monkeypatch):
    root = tmp_path / "root"
    bodies = []
    for i, data in enumerate([b"v1", b"v2 longer", b"v3"]):
        assert run(make_mod(tmp_path / f"m{i}", {"a.txt": data, "b.txt": b"b"}), root)[0] == 0
        bodies.append((root / UPDATE / "manifest.txt").read_bytes())
    manifest = str(root / UPDATE / "manifest.txt")
    files_before = {k: v for k, v in tree(root).items() if not k.endswith("manifest.txt")}
    events = []
    real_replace, real_fsync = os.replace, os.fsync

    def fake_replace(src, dst):
        assert os.fspath(dst) == manifest
        assert Path(src).read_bytes() == bodies[1]       # whole before it is visible
        assert Path(manifest).read_bytes() == bodies[2]
        events.append("replace")
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", fake_replace)
    monkeypatch.setattr(os, "fsync", lambda fd: (events.append("fsync"), real_fsync(fd)))
    for name in ("unlink", "link", "rename", "remove", "rmdir"):
        monkeypatch.setattr(os, name, lambda *a, name=name: pytest.fail(name + str(a)))
    out = io.StringIO()
    assert run_rollback(str(root), out=out) == 0
    monkeypatch.undo()

    assert (root / UPDATE / "manifest.txt").read_bytes() == bodies[1]   # byte for byte
    assert events[:2] == ["fsync", "replace"]
    assert {k: v for k, v in tree(root).items() if not k.endswith("manifest.txt")} == files_before
    # Once more steps back again; --to names any kept one.
    assert rollback(root)[0] == 0
    assert (root / UPDATE / "manifest.txt").read_bytes() == bodies[0]
    assert rollback(root, "--to", "3")[0] == 0
    assert (root / UPDATE / "manifest.txt").read_bytes() == bodies[2]


def test_rollback_refuses_what_it_cannot_serve(tmp_path):
    root = tmp_path / "root"
    assert run(make_mod(tmp_path / "m0", {"a.txt": b"only"}), root)[0] == 0
    code, _, err = rollback(root)
    assert code == 2 and "no manifest is kept from before" in err
    for i, data in enumerate([b"x1", b"x2", b"x3"]):
        flags = ["--prune", "--keep", "1"] if i == 2 else []
        assert run(make_mod(tmp_path / f"m{i + 1}", {"a.txt": data}), root, *flags)[0] == 0
    current = (root / UPDATE / "manifest.txt").read_bytes()
    for flags, fragment in ((["--to", "1"], "no kept manifest 1"),
                            (["--to", "9"], "no kept manifest 9 (kept: 3, 4)")):
        code, _, err = rollback(root, *flags)
        assert code == 2 and fragment in err, err
    # A version lost after all: the rollback is refused, nothing is put back.
    next((root / UPDATE / "surumler" / token(b"x2")).rglob("a.txt")).unlink()
    code, _, err = rollback(root)
    assert code == 2 and 'names 1 file version(s) no longer stored ("a.txt")' in err
    assert (root / UPDATE / "manifest.txt").read_bytes() == current


def test_a_retry_writes_no_manifest_and_leaves_the_rollback_alone(tmp_path):
    root = tmp_path / "root"
    manifest = root / UPDATE / "manifest.txt"
    first = make_mod(tmp_path / "m1", {"a.txt": b"v1", "b.txt": b"b"})
    second = make_mod(tmp_path / "m2", {"a.txt": b"v2", "b.txt": b"b"})
    assert run(first, root)[0] == 0
    assert run(second, root)[0] == 0
    served = manifest.read_bytes()
    (root / UPDATE / "dosyalar" / "b.txt").unlink()
    for i in range(3):
        code, out, _ = run(second, root, "--prune")
        assert code == 0 and "already names these 2 files" in out
        assert ("1 stored copies repaired" in out) == (i == 0)
    code, out, _ = run(second, root, "--dry-run")
    assert code == 0 and "no new manifest would be written" in out
    assert manifest.read_bytes() == served
    assert len(list((root / UPDATE / "gecmis").glob("*.txt"))) == 2
    assert rollback(root)[0] == 0
    assert launcher_entries(manifest.read_bytes())[0][0] == hashlib.sha256(b"v1").hexdigest().encode()
    # Asked for by number, the one already served changes nothing.
    code, out, _ = rollback(root, "--to", "1")
    assert code == 0 and "nothing written" in out


def test_rollback_passes_over_the_retries_an_older_publish_py_kept(tmp_path):
    root = tmp_path / "root"
    for i, data in enumerate([b"v1", b"v2"]):
        assert run(make_mod(tmp_path / f"m{i}", {"a.txt": data}), root)[0] == 0
    history = root / UPDATE / "gecmis"
    retried = (history / "000002.txt").read_bytes().replace(b"# published by", b"# (again) by")
    for number in (3, 4):
        (history / f"{number:06d}.txt").write_bytes(retried)
    (root / UPDATE / "manifest.txt").write_bytes(retried)
    code, out, _ = rollback(root)
    assert code == 0 and "kept manifest 1" in out


def test_once_files_are_marked_and_kept_like_any_other(tmp_path):
    root = tmp_path / "root"
    versions_of_cfg = [b"bind w +forward\n", b"bind w +back\n"]
    for i, data in enumerate(versions_of_cfg):
        mod = make_mod(tmp_path / f"m{i}", {"cstrike/config.cfg": data, "cstrike/a.wad": b"wad"})
        flags = ["--once", "*/CONFIG.cfg", "--sign", KEYS / "update-test.pem"]
        assert run(mod, root, *map(str, flags), *(["--prune", "--keep", "1"] if i else []))[0] == 0
        body = (root / UPDATE / "manifest.txt").read_bytes()
        assert b"#ilk %s %d cstrike/config.cfg" % (hashlib.sha256(data).hexdigest().encode(),
                                                    len(data)) in body.split(b"\n")
        assert [name for _, _, name in launcher_entries(body)] == [b"cstrike/a.wad"]
    # The pruning run kept the first version: the manifest served until then names it.
    assert {n for _, n in versions(root)} == {"cstrike/config.cfg", "cstrike/a.wad"}
    assert len(versions(root)) == 3
    assert rollback(root, "--sign", str(KEYS / "update-test.pem"))[0] == 0
    assert [(e.name, e.hash[:12], e.once) for e in manifest.parse_manifest(
        (root / UPDATE / "manifest.txt").read_bytes())] \
        == [("cstrike/a.wad", token(b"wad"), False),
            ("cstrike/config.cfg", token(versions_of_cfg[0]), True)]
    assert subprocess.run([sys.executable, str(TOOL), "--verify", str(KEYS / "update-test.pub"),
                           str(root)], capture_output=True).returncode == 0


def test_one_publication_prune_or_rollback_at_a_time(tmp_path):
    root = tmp_path / "root"
    mods = [make_mod(tmp_path / f"m{i}", {"a.txt": data}) for i, data in enumerate([b"1", b"2"])]
    for mod in mods:
        assert run(mod, root)[0] == 0
    lock = root / UPDATE / ".publish-lock"
    held = open(lock, "a")
    fcntl.flock(held, fcntl.LOCK_EX)
    before = tree(root)
    env = dict(os.environ, KORVANTIS_PUBLISH_LOCK_WAIT="0.3")
    for args in ([mods[0], root], ["--prune", mods[1], root], ["--rollback", root]):
        proc = subprocess.run([sys.executable, str(TOOL), *map(str, args)], env=env,
                              capture_output=True, text=True)
        assert proc.returncode == 1 and str(lock) in proc.stderr, proc.stderr
    assert tree(root) == before
    # A run that finds the lock held waits for it.
    env["KORVANTIS_PUBLISH_LOCK_WAIT"] = "30"
    waiting = subprocess.Popen([sys.executable, str(TOOL), "--rollback", str(root)], env=env)
    time.sleep(0.5)
    assert waiting.poll() is None
    held.close()
    assert waiting.wait(timeout=30) == 0


# ---------------------------------------------------------------- usage


@pytest.mark.parametrize("args", [
    [],
    ["only-one"],
    ["--bogus", "a", "b"],
    ["--rollback", "mod", "root"],
    ["--rollback", "--prune", "root"],
    ["--to", "1", "mod", "root"],
    ["--keep", "0", "mod", "root"],
])
def test_usage_errors_exit_2(args):
    proc = subprocess.run([sys.executable, str(TOOL), *args], capture_output=True)
    assert proc.returncode == 2


def test_io_errors_exit_2(tmp_path):
    mod = make_mod(tmp_path / "mod", {"a.txt": b"a"})
    assert run(tmp_path / "missing", tmp_path / "root")[0] == 2
    assert run(mod, mod / "root")[0] == 2          # update root inside the mod folder
    assert run(tmp_path, mod)[0] == 2              # mod folder around the root
    (tmp_path / "file").write_bytes(b"")
    code, _, err = run(mod, tmp_path / "file")
    assert code == 2 and "not a folder" in err


# ---------------------------------------------------------------- signatures

KEYS = TOOL.parents[1] / "tests" / "keys"
TEST_KEY = update_key.read_p256_point((KEYS / "update-test.pub").read_text())


def new_key(folder, curve="prime256v1"):
    private, public = folder / f"{curve}.pem", folder / f"{curve}.pub"
    subprocess.run(["openssl", "ecparam", "-name", curve, "-genkey", "-noout", "-out", str(private)],
                   check=True)
    subprocess.run(["openssl", "ec", "-in", str(private), "-pubout", "-out", str(public)], check=True,
                   capture_output=True)
    return private, public


def test_signed_manifest_verifies_and_nothing_else_does(tmp_path):
    exe = fake_launcher(key=TEST_KEY)
    mod = make_mod(tmp_path / "mod", {"Korvantis.exe": exe, "cstrike/a b.cfg": b"bind"})
    root = tmp_path / "root"
    code, out, err = run(mod, root, "--sign", str(KEYS / "update-test.pem"), "--dry-run")
    assert (code, err) == (0, "") and "signed" in out and "serial 1" in out and not root.exists()
    assert run(mod, root, "--sign", str(KEYS / "update-test.pem"))[0] == 0
    manifest = root / UPDATE / "manifest.txt"
    body = manifest.read_bytes()
    # The serial leads the signed bytes.
    assert re.fullmatch(rb"#sira 1\n# published by [^\n]*\n(.*\n)#imza [0-9a-f]{128}\n", body, re.S), body
    # A launcher without a key reads the same entries: the signature line is a comment.
    assert [name for _, _, name in launcher_entries(body)] == [b"Korvantis.exe", b"cstrike/a b.cfg"]

    def verify(key):
        proc = subprocess.run([sys.executable, str(TOOL), "--verify", str(key), str(root)],
                              capture_output=True, text=True)
        return proc.returncode, proc.stdout

    code, out = verify(KEYS / "update-test.pub")
    assert code == 0 and "serial 1" in out
    _, other = new_key(tmp_path)
    assert verify(other)[0] == 1
    manifest.write_bytes(body.replace(b" %d Korvantis.exe" % len(exe), b" 9 Korvantis.exe"))
    assert verify(KEYS / "update-test.pub")[0] == 1
    manifest.write_bytes(body + b"# after the signature\n")
    assert verify(KEYS / "update-test.pub")[0] == 1
    # Each publication one above the manifest it replaces.
    assert run(mod, root, "--sign", str(KEYS / "update-test.pem"))[0] == 0
    assert manifest.read_bytes().startswith(b"#sira 2\n# published by ")


@pytest.mark.parametrize("served,serial", [
    (None, 1),
    (b"# published by an older publish.py\n", 1),
    (b"# a comment\n#sira 5\n", 1),              # only the first line holds it
    (b"#sira 41\n# published by\n", 42),
    (b"#sira 9223372036854775806\n", 2 ** 63 - 1),
    (b"#sira 9223372036854775807\n", None),       # the next one no launcher accepts
    (b"#sira 07\n", None),                        # launchers refuse it: so does publishing over it
])
def test_serial_is_one_above_the_served_manifest(served, serial):
    if serial is None:
        with pytest.raises(errors.Refused):
            signing.next_serial(served)
    else:
        assert signing.next_serial(served) == serial


def test_serials_continue_past_unsigned_and_pruned_manifests(tmp_path):
    key = ["--sign", str(KEYS / "update-test.pem")]
    root = tmp_path / "root"

    def publish(data, *flags):
        code, out, err = run(make_mod(tmp_path / data.decode(), {"a.txt": data}), root, *flags)
        assert code == 0, err
        return out

    for data in (b"1", b"2", b"3"):
        publish(data, *key)
    publish(b"4", "--unsigned", "--prune", "--keep", "1")
    assert "signed as serial 4" in publish(b"5", *key)
    # A manifest put back byte for byte whose serial players have passed is refused.
    publish(b"6", "--unsigned")
    code, _, err = rollback(root, "--to", "3")
    assert code == 1 and "signed with serial 3, below the 4 served since" in err


def test_refuses_a_key_of_another_curve(tmp_path):
    private, _ = new_key(tmp_path, "secp384r1")
    mod = make_mod(tmp_path / "mod", {"a.txt": b"x"})
    code, _, err = run(mod, tmp_path / "root", "--sign", str(private))
    assert code == 2 and "P-256" in err
    assert not (tmp_path / "root").exists()


def test_subcommands_of_the_package(tmp_path):
    def command(*args):
        return subprocess.run([sys.executable, "-m", "korvantis_publish", *map(str, args)],
                              cwd=TOOL.parent, capture_output=True).returncode

    root = tmp_path / "root"
    key = ("--sign", KEYS / "update-test.pem")
    for i, data in enumerate([b"first", b"second"]):
        mod = make_mod(tmp_path / f"m{i}", {"a.txt": data})
        assert command("publish", *key, mod, root) == 0
    assert command("verify", KEYS / "update-test.pub", root) == 0
    assert command("rollback", "--prune", root) == 2       # each takes only its own options
    # Unsigned, or put back as it was (an older serial), every keyed player would refuse it.
    before = tree(root)
    assert [command("publish", mod, root), command("rollback", root)] == [1, 1]
    assert tree(root) == before
    assert command("rollback", *key, root) == 0
    served = (root / UPDATE / "manifest.txt").read_bytes()
    assert served.startswith(b"#sira 3\n") and launcher_entries(served)[0][0] \
        == hashlib.sha256(b"first").hexdigest().encode()
    assert command("verify", KEYS / "update-test.pub", root) == 0
    assert (root / UPDATE / "gecmis" / "000003.txt").read_bytes() == served
    # The signed copy stands where its original stood: nothing was kept before that.
    assert command("rollback", *key, root) == 2
    assert command("publish", "--unsigned", mod, root) == 0
