"""A real forward proxy (Debian's tinyproxy) for the scenarios, and the player's proxy settings
as Windows stores them."""

from __future__ import annotations

import socket
import struct
import subprocess
import time
from pathlib import Path


class Proxy:
    """tinyproxy on address:port, in a mount namespace of its own where the update host's name
    leads to `target`: the launcher's own hosts file sends that name elsewhere, so only the
    proxy reaches the server. login=(user, password) makes it ask for one (Basic)."""

    def __init__(self, workdir: Path, host: str, target: str, address: str = "127.0.0.5",
                 port: int = 8080, login: tuple[str, str] | None = None):
        self.address, self.port = address, port
        workdir.mkdir(parents=True, exist_ok=True)
        lines = [line for line in Path("/etc/hosts").read_text().splitlines() if host not in line.split()]
        hosts = workdir / "hosts"
        hosts.write_text("\n".join(lines + [f"{target} {host}"]) + "\n")
        conf = workdir / "tinyproxy.conf"
        settings = [f"Port {port}", f"Listen {address}", "Timeout 60", "LogLevel Info", "MaxClients 20",
                    "Allow 127.0.0.0/8", "ConnectPort 443"]
        if login:
            settings.append(f"BasicAuth {login[0]} {login[1]}")
        conf.write_text("\n".join(settings) + "\n")
        self.log_path = workdir / "tinyproxy.log"
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(
                ["unshare", "--mount", "sh", "-c", 'mount --bind "$1" /etc/hosts && exec tinyproxy -d -c "$2"',
                 "sh", str(hosts), str(conf)], stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection((address, port), timeout=1).close()
                break
            except OSError:
                assert self.proc.poll() is None and time.monotonic() < deadline, self.log()
                time.sleep(0.05)

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")

    def close(self) -> None:
        self.proc.terminate()
        self.proc.wait(10)


def user_proxy_settings(proxy: str = "", bypass: str = "", script: str = "") -> bytes:
    """The value DefaultConnectionSettings, below HKCU\\Software\\Microsoft\\Windows\\
    CurrentVersion\\Internet Settings\\Connections, as the Internet Options dialog writes it."""
    flags = 1 | (2 if proxy else 0) | (4 if script else 0)  # direct, proxy, script
    value = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, script):
        value += struct.pack("<I", len(text)) + text.encode("ascii")
    return value + bytes(32)


def set_user_proxy(prefix, proxy: str) -> None:
    """The player's proxy, in the user's registry as Windows keeps it. Before the first start."""
    key = r"Software\Microsoft\Windows\CurrentVersion\Internet Settings"
    prefix.add_reg("HKCU", key, "ProxyEnable", 1, kind="dword")
    prefix.add_reg("HKCU", key, "ProxyServer", proxy)
    prefix.add_reg("HKCU", key + r"\Connections", "DefaultConnectionSettings", user_proxy_settings(proxy),
                   kind="binary")
