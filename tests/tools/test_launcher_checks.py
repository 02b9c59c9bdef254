"""What a launcher is built for (tools/build_identity.py), and the checks that keep a publication
or rollback from stranding its players: host, key, and the key that signs."""

import subprocess
import sys

import pytest

from korvantis_publish import update_key
from korvantis_publish.build_identity import read_build_identity
from launcher_fakes import MAGIC, fake_launcher
from test_publish import TOOL, make_mod, run, tree

REPO = TOOL.parents[1]


KEY_A = bytes(range(64))

IDENTITIES = [
    # (launcher bytes, (hosts, key) read, or a fragment of the refusal)
    (fake_launcher("a.example.org"), ("a.example.org", None)),
    (fake_launcher("b.example.org", KEY_A), ("b.example.org", KEY_A)),
    # Layout 1 has no fallback hosts, whatever bytes follow its fields.
    (fake_launcher("a.example.org", tail=b"\1\0\0\0b\0"), ("a.example.org", None)),
    # Layout 2 lists the fallback hosts after layout 1's fields, which stay where they are.
    (fake_launcher("a.example.org,b.example.org", KEY_A), ("a.example.org,b.example.org", KEY_A)),
    (fake_launcher("a.org,b.org,c.org,d.org"), ("a.org,b.org,c.org,d.org", None)),
    # A later layout keeps layout 2's fields where they are and adds after them.
    (fake_launcher("c.example.org,d.example.org", KEY_A, layout=3, tail=b"later fields"),
     ("c.example.org,d.example.org", KEY_A)),
    (fake_launcher("a.org,b.org,c.org,d.org", fallback_count=4), "4 fallback hosts, not 1 to 3"),
    (fake_launcher("a.org", layout=2), "0 fallback hosts"),
    (fake_launcher("a.org,b.org", fallback_count=2), "an empty fallback host"),
    (fake_launcher("a.org,b.org")[:-2], "cut short before its fallback hosts"),
    (fake_launcher(layout=0), "layout 0"),
    (fake_launcher(kind=7), "unknown key kind 7"),
    (fake_launcher(host=""), "without an update host"),
    (b"MZ" + MAGIC + bytes(40), "cut short"),
    (fake_launcher() + fake_launcher(), "more than one"),
    (b"MZ not a launcher", "no build identity"),
]


@pytest.mark.parametrize("exe,expected", IDENTITIES, ids=range(len(IDENTITIES)))
def test_build_identity_of_every_layout(exe, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            read_build_identity(exe)
    else:
        identity = read_build_identity(exe)
        assert (",".join(identity.hosts), identity.key) == expected


def test_build_identity_prints_fallback_hosts_after_the_lines_of_one_host(tmp_path):
    exe = tmp_path / "Korvantis.exe"
    printed = []
    for hosts in ("a.example.org", "a.example.org,b.example.org,c.example.org"):
        exe.write_bytes(fake_launcher(hosts, KEY_A))
        proc = subprocess.run([sys.executable, str(TOOL.parent / "build_identity.py"), str(exe)],
                              capture_output=True, text=True, check=True)
        printed.append(proc.stdout)
    key = "key=%s\n" % KEY_A.hex()
    assert printed == ["host=a.example.org\n" + key,
                       "host=a.example.org\n" + key + "fallback_hosts=b.example.org,c.example.org\n"]


# ---------------------------------------------------------------- the launcher players get

KEYS = REPO / "tests" / "keys"
PEM = {"A": KEYS / "update-test.pem", "B": KEYS / "update-test-b.pem"}
POINT = {name: update_key.read_p256_point(pem.with_suffix(".pub").read_text())
         for name, pem in PEM.items()}
HOST = "updates.korvantis.org"
SAME = "the served launcher again"
# A launcher's host list, as KORVANTIS_UPDATE_HOST gives it.
HOSTS = HOST + ",yedek.korvantis.org,ucuncu.korvantis.org"


def launcher(host, key=None, tail=b""):
    return fake_launcher(host, POINT[key] if key else None, tail=tail)


def serve(tmp_path, served, key):
    """An update root serving the launcher `served` (host, key), signed with key (None:
    unsigned); a launcher of that key before it where they differ, as in a rotation."""
    root = tmp_path / "root"
    flags = ["--new-host", "--rotate-key", *(["--sign", str(PEM[key])] if key else [])]
    for i, exe in enumerate([launcher(served[0], key)] * (served[1] != key) + [launcher(*served)]):
        mod = make_mod(tmp_path / f"served{i}", {"Korvantis.exe": exe, "xash3d.exe": b"engine"})
        assert run(mod, root, *flags)[0] == 0
    return root


def release_check(exe, root, *flags):
    proc = subprocess.run([sys.executable, str(TOOL.parent / "release_check.py"), str(exe),
                           str(root), *flags], capture_output=True, text=True)
    return proc.returncode, proc.stdout, proc.stderr


CHECKS = [
    # (served launcher (host, key), key that signed the served manifest, new launcher, --sign,
    #  allowances, a fragment of the refusal or None)
    (None, None, ("korvantis.example", None), None, [], "never reaches a real server"),
    (None, None, ("korvantis.example", None), None, ["--test-host"], None),
    ((HOST, None), None, ("yeni.korvantis.org", None), None, [], "--new-host if that is meant"),
    ((HOST, None), None, ("yeni.korvantis.org", None), None, ["--new-host"], None),
    (("Updates.Korvantis.ORG", None), None, (HOST, None), None, [], None),
    # The whole list, in the order players' launchers try it, letter case aside.
    ((HOST, None), None, (HOSTS, None), None, [],
     "a launcher built before fallback hosts existed may refuse one that has them"),
    ((HOST, None), None, (HOSTS, None), None, ["--new-host"], None),
    ((HOSTS, None), None, (HOST, None), None, [], "players would move to the new hosts for good"),
    ((HOSTS, None), None, (HOST + ",ucuncu.korvantis.org,yedek.korvantis.org", None), None, [],
     "this one updates.korvantis.org (fallback hosts ucuncu.korvantis.org, yedek.korvantis.org)"),
    ((HOSTS.upper(), None), None, (HOSTS, None), None, [], None),
    (None, None, (HOST + ",yedek.korvantis.example", None), None, [],
     "fallback host 'yedek.korvantis.example' never reaches a real server"),
    (None, None, (HOST + ",yedek.korvantis.example", None), None, ["--test-host"], None),
    ((HOST, "A"), "A", (HOST, "A"), None, [], "publishing would not sign"),
    ((HOST, None), None, (HOST, None), "A", [], "built without KORVANTIS_UPDATE_KEY"),
    ((HOST, None), None, (HOST, "A"), "A", [], "--rotate-key if that is meant"),
    ((HOST, None), None, (HOST, "A"), "A", ["--rotate-key"], None),
    ((HOST, "A"), "A", (HOST, "B"), "A", [], "--rotate-key if that is meant"),
    # A rotation: the new launcher travels under the key that players' launchers check.
    ((HOST, "A"), "A", (HOST, "B"), "A", ["--rotate-key"], None),
    ((HOST, "A"), "A", (HOST, "B"), "B", ["--rotate-key"], "is not the served launcher's"),
    ((HOST, "A"), "A", (HOST, "A"), "B", [], "is not the new launcher's"),
    # Launcher unchanged: the key that signed the served manifest is the one players check.
    ((HOST, "A"), "A", SAME, "B", [], "does not verify with the --sign key"),
    ((HOST, "B"), "A", SAME, "B", [], "does not verify with the --sign key"),
    ((HOST, "B"), "A", SAME, "B", ["--rotate-key"], None),
]


@pytest.mark.parametrize("served, signed, new, sign, flags, refusal", CHECKS)
def test_publish_and_release_check_refuse_a_launcher_that_strands_players(
        tmp_path, served, signed, new, sign, flags, refusal):
    root = serve(tmp_path, served, signed) if served else tmp_path / "root"
    exe = launcher(*served) if new == SAME else launcher(*new, tail=b"new")
    mod = make_mod(tmp_path / "mod", {"Korvantis.exe": exe, "xash3d.exe": b"engine 2"})
    sign_flags = ["--sign", str(PEM[sign])] if sign else []
    before = tree(root) if root.exists() else None
    check_code, _, check_err = release_check(mod / "Korvantis.exe", root, *flags, *sign_flags)
    publish_code, _, publish_err = run(mod, root, *flags, *sign_flags)
    if refusal is None:
        assert (publish_code, check_code) == (0, 0), publish_err + check_err
        return
    assert publish_code == 1 and refusal in publish_err, publish_err
    assert check_code == 1 and refusal in check_err, check_err
    assert (tree(root) if root.exists() else None) == before


def test_a_launcher_without_build_identity_is_refused(tmp_path):
    mod = make_mod(tmp_path / "mod", {"Korvantis.exe": b"MZ not a launcher"})
    code, _, err = run(mod, tmp_path / "root", "--test-host")
    assert code == 1 and "has no readable build identity" in err
    assert not (tmp_path / "root").exists()


def verify(root, key):
    return subprocess.run([sys.executable, str(TOOL), "--verify", str(PEM[key].with_suffix(".pub")),
                           str(root)], capture_output=True).returncode


def test_key_rotation_as_the_server_readme_tells_it(tmp_path):
    """Players of the launcher with key A follow to key B: the launcher built with B goes out
    signed with A, then everything is signed with B."""
    files = {"xash3d.exe": b"engine", "cstrike/a.wad": b"wad 1"}
    old, new = launcher(HOST, "A"), launcher(HOST, "B")
    root = tmp_path / "root"
    first = make_mod(tmp_path / "m1", {**files, "Korvantis.exe": old})
    assert run(first, root, "--sign", str(PEM["A"]), "--rotate-key")[0] == 0
    # Step 2: only the launcher changes, signed with the key A-players check.
    step2 = make_mod(tmp_path / "m2", {**files, "Korvantis.exe": new})
    for flags in (["--sign", str(PEM["A"])], ["--sign", str(PEM["B"]), "--rotate-key"]):
        assert run(step2, root, *flags)[0] == 1
    assert run(step2, root, "--sign", str(PEM["A"]), "--rotate-key")[0] == 0
    assert verify(root, "A") == 0
    # Step 3: everything, signed with the new key, which the restarted launchers check.
    step3 = make_mod(tmp_path / "m3", {**files, "cstrike/a.wad": b"wad 2", "Korvantis.exe": new})
    code, _, err = run(step3, root, "--sign", str(PEM["B"]))
    assert code == 1 and "--rotate-key if the key is changing" in err
    assert run(step3, root, "--sign", str(PEM["B"]), "--rotate-key")[0] == 0
    assert verify(root, "B") == 0
    # From then on an ordinary publication under B; a rollback to key A's launcher is a key
    # change like any other.
    step4 = make_mod(tmp_path / "m4", {**files, "cstrike/a.wad": b"wad 3", "Korvantis.exe": new})
    code, out, err = run(step4, root, "--sign", str(PEM["B"]))
    assert (code, err) == (0, "") and "signed as serial 4" in out
    proc = subprocess.run([sys.executable, str(TOOL), "--rollback", "--to", "1", "--sign",
                           str(PEM["B"]), str(root)], capture_output=True, text=True)
    assert proc.returncode == 1 and "--rotate-key if that is meant" in proc.stderr
