"""Checks of the harness itself, so a scenario failure points at the launcher, not the rig."""

import http.client
import os
import ssl
import time

import pytest

from conftest import UPDATE_HOST
from korvantis_harness import https_server
from korvantis_harness.screen import Screen


def fetch(path, ca=True, host=UPDATE_HOST):
    context = ssl.create_default_context(
        cafile=os.path.join(os.environ["KORVANTIS_CERT_DIR"], "ca.pem") if ca else None)
    conn = http.client.HTTPSConnection(host, 443, context=context, timeout=10)
    try:
        conn.request("GET", path, headers={"User-Agent": "selfcheck"})
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


def test_server_files_scripts_and_log(server):
    body = server.publish({"maps/a b.bsp": b"map"}, extra_lines=["# yorum"])
    assert fetch("/korvantis/guncelleme/manifest.txt?t=1") == (200, body)
    assert body.decode().endswith(" 3 maps/a b.bsp\n# yorum\n")
    assert fetch("/korvantis/guncelleme/dosyalar/maps/a%20b.bsp?v=x") == (200, b"map")
    server.on("/korvantis/guncelleme/dosyalar/", https_server.status(403, b"no"))
    assert fetch("/korvantis/guncelleme/dosyalar/maps/a%20b.bsp") == (403, b"no")
    server.on("/yonlen", https_server.redirect("https://example.invalid/x"))
    assert fetch("/yonlen")[0] == 302
    server.on("/kesik", https_server.cut(b"0123456789", 4))
    with pytest.raises(http.client.IncompleteRead):
        fetch("/kesik")
    assert fetch("/yok")[0] == 404
    assert server.paths()[:2] == ["/korvantis/guncelleme/manifest.txt?t=1",
                                  "/korvantis/guncelleme/dosyalar/maps/a%20b.bsp?v=x"]
    assert {r["user_agent"] for r in server.requests} == {"selfcheck"}


def test_certificate_variants(untrusted_server):
    with pytest.raises(ssl.SSLCertVerificationError):
        fetch("/")
    deadline = time.monotonic() + 5
    while not untrusted_server.handshake_failures and time.monotonic() < deadline:
        time.sleep(0.02)
    assert untrusted_server.handshake_failures, "the server sees the client's refusal"


def test_wrong_host_certificate(wrong_host_server):
    with pytest.raises(ssl.SSLCertVerificationError, match="match|mismatch"):
        fetch("/")


def test_screen_replay_keeps_final_colours():
    screen = Screen.replay(b"\x1b[91mKIRMIZI\x1b[m\r\n\x1b[92mxx\x1b[1;1H\x1b[K\x1b[92myesil\x1b[m"
                           b"\r\n\x1b[2C\x1b[90mgri", 40, 5)
    assert screen.render(colours=False) == "yesil\nxxgri"
    assert screen.colour_of("yesil") == "92"
    assert screen.colour_of("xx") == "92"
    assert screen.colour_of("gri") == "90"
    assert screen.colour_of("KIRMIZI") is None


def test_prefix_isolation(prefix, helper_exe, tmp_path):
    assert not (prefix.root / "dosdevices" / "z:").exists()
    assert not prefix.desktop.is_symlink() and prefix.desktop.is_dir()
    assert not prefix.downloads.is_symlink()
    d = prefix.add_drive("e", tmp_path / "disk", kind="cdrom")
    assert d == "E:\\" and prefix.win(tmp_path / "disk" / "a b") == "E:\\a b"
    prefix.add_reg("HKCU", r"Software\Korvantis Test", "Ad", "C:\\Oyun \"1\"")
    cmd = "C:\\windows\\system32\\cmd.exe"
    shown = prefix.run(cmd, ["/c", "echo", "[%LOCALAPPDATA%]"])
    assert shown.out.strip() == f"[{prefix.win(prefix.localappdata)}]"
    hidden = prefix.run(prefix.tool(helper_exe("without_localappdata")),
                        [cmd, "/c", "echo [%LOCALAPPDATA%]& exit 7"])
    assert (hidden.code, hidden.out.strip()) == (7, "[%LOCALAPPDATA%]")
    reg = prefix.run("C:\\windows\\system32\\reg.exe",
                     ["query", r"HKCU\Software\Korvantis Test", "/v", "Ad"])
    assert reg.code == 0 and "REG_SZ    C:\\Oyun \"1\"\n" in reg.out, reg
