"""The maintainer's commands beside publishing: keygen, status, mirror, and publish.py's
subcommand form."""

import hashlib
import io
import os
import stat
import subprocess
import sys

from korvantis_publish import mirror as mirroring, update_key
from launcher_fakes import fake_launcher
from test_publish import KEYS, TOOL, UPDATE, make_mod, run, token, tree


def command(*args):
    proc = subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True,
                          text=True)
    return proc.returncode, proc.stdout, proc.stderr


def test_help_and_the_subcommand_form(tmp_path):
    code, out, _ = command("--help")
    assert code == 0 and all(name in out for name in ("status", "keygen", "mirror", "--exclude"))
    root = tmp_path / "root"
    code, out, _ = command("publish", make_mod(tmp_path / "mod", {"xash3d.exe": b"x"}), root)
    assert code == 0 and "published 1 files" in out


def test_keygen_makes_a_pair_that_signs_what_a_launcher_built_with_it_checks(tmp_path):
    private, public = tmp_path / "imza.pem", tmp_path / "imza.pub"
    code, out, _ = command("keygen", private)
    assert code == 0
    assert stat.S_IMODE(private.stat().st_mode) == 0o600
    assert public.read_text() in out
    assert f"-DKORVANTIS_UPDATE_KEY={public}" in out and f"--sign {private}" in out
    before = private.read_bytes()
    code, _, err = command("keygen", private)
    assert code == 2 and "never written over" in err and private.read_bytes() == before

    exe = fake_launcher(key=update_key.read_p256_point(public.read_text()))
    mod = make_mod(tmp_path / "mod", {"Korvantis.exe": exe, "xash3d.exe": b"x"})
    code, _, err = run(mod, tmp_path / "root", "--sign", str(public))
    assert code == 2 and "is a public key; --sign needs the private key" in err
    assert run(mod, tmp_path / "root", "--sign", str(private))[0] == 0
    assert command("verify", public, tmp_path / "root")[0] == 0


def test_status_shows_serial_launcher_and_kept_manifests(tmp_path):
    root = tmp_path / "root"
    key = ["--sign", str(KEYS / "update-test.pem")]
    point = update_key.read_p256_point((KEYS / "update-test.pub").read_text())
    exe = fake_launcher(key=point)
    for i, wad in enumerate([b"wad 1", b"wad 2, longer"]):
        mod = make_mod(tmp_path / f"m{i}", {"Korvantis.exe": exe, "cstrike/a.wad": wad,
                                            **({"cstrike/b.wad": b"b"} if i else {})})
        assert run(mod, root, *key)[0] == 0
    code, out, _ = command("status", root)
    lines = out.splitlines()
    assert code == 0
    assert lines[1] == "served manifest: signed, serial 2, 3 files, %d bytes" % (len(exe) + 14)
    assert lines[2] == "highest serial ever served: 2"
    assert lines[3] == ("launcher: %d bytes, sha256 %s..., update host updates.korvantis.org, "
                        "key %s..." % (len(exe), hashlib.sha256(exe).hexdigest()[:16],
                                       point[:8].hex()))
    assert lines[4] == "kept manifests: 2"
    assert lines[5].split()[2:] == ["serial", "1", "+2", "~0", "-0"]
    assert lines[6].split()[2:] == ["serial", "2", "+1", "~1", "-0", "(served)"]
    assert command("status", tmp_path / "nothing")[0] == 2
    exe = fake_launcher("updates.korvantis.org,yedek.korvantis.org", point)
    assert run(make_mod(tmp_path / "m2", {"Korvantis.exe": exe}), root, *key, "--new-host")[0] == 0
    assert ("update host updates.korvantis.org (fallback hosts yedek.korvantis.org), key"
            in command("status", root)[1].splitlines()[3])


def test_mirror_copies_files_first_the_manifest_last_and_keeps_hard_links(tmp_path, monkeypatch):
    root, copy = tmp_path / "root", tmp_path / "copy"
    versions = [b"v1", b"v2 longer"]
    for i, data in enumerate(versions):
        assert run(make_mod(tmp_path / f"m{i}", {"a.txt": data, "b.txt": b"b"}), root)[0] == 0
    manifest = copy / UPDATE / "manifest.txt"
    real_replace = os.replace

    def replace(src, dst):
        if os.fspath(dst) == str(manifest):
            # Every file the manifest names is there before it is.
            for data in versions:
                assert (copy / UPDATE / "surumler" / token(data) / "a.txt").read_bytes() == data
            assert (copy / UPDATE / "dosyalar" / "a.txt").read_bytes() == versions[1]
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", replace)
    mirroring.mirror(str(root), str(copy), io.StringIO())
    monkeypatch.undo()

    def contents(folder):
        return {k: v[0] for k, v in tree(folder).items() if not k.endswith(".publish-lock")}

    assert contents(copy) == contents(root)
    assert os.path.samefile(copy / UPDATE / "dosyalar" / "a.txt",
                            copy / UPDATE / "surumler" / token(versions[1]) / "a.txt")
    # Pruning publications while the copy lags: it keeps what its previous manifest named one
    # round longer, for the launchers still fetching it.
    for i, data in enumerate([b"v3", b"v4"]):
        flags = ["--prune", "--keep", "1"] if i else []
        assert run(make_mod(tmp_path / f"n{i}", {"a.txt": data, "b.txt": b"b"}), root, *flags)[0] == 0
    assert not (root / UPDATE / "surumler" / token(versions[1])).exists()
    assert command("mirror", root, copy)[0] == 0
    assert (copy / UPDATE / "surumler" / token(versions[1]) / "a.txt").exists()
    assert not (copy / UPDATE / "surumler" / token(versions[0])).exists()
    code, out, _ = command("mirror", root, copy)
    assert code == 0 and "0 files copied" in out and "1 removed" in out
    assert contents(copy) == contents(root)
