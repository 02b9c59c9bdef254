"""bench/wan_relay.py's dropping line, on loopback with no delay or rate: the client gets exactly
the first N bytes of what the server sends, then the end of the connection, and the log says so."""

import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

RELAY = Path(__file__).resolve().parents[2] / "bench" / "wan_relay.py"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_each_connection_drops_after_its_bytes(tmp_path):
    server = socket.create_server(("127.0.0.1", 0))
    body = bytes(range(256)) * 4096  # 1 MiB

    def serve() -> None:
        for _ in range(2):
            conn, _ = server.accept()
            try:
                conn.sendall(body)
            except OSError:
                pass  # the relay closed its side after the cut
            conn.close()

    threading.Thread(target=serve, daemon=True).start()
    port = free_port()
    log = tmp_path / "relay.log"
    relay = subprocess.Popen(
        [sys.executable, str(RELAY), "--listen", f"127.0.0.1:{port}",
         "--to", f"127.0.0.1:{server.getsockname()[1]}", "--rtt-ms", "0", "--mbit", "0",
         "--log", str(log), "--drop-every", "300000"], stdin=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 10
        while not (log.exists() and "listening" in log.read_text()):
            assert relay.poll() is None and time.monotonic() < deadline, "the relay did not start"
            time.sleep(0.05)
        for _ in range(2):
            with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
                got = b""
                while chunk := client.recv(65536):
                    got += chunk
            assert got == body[:300000]
    finally:
        relay.stdin.close()
        relay.wait(15)
        server.close()
    drops = [line.split() for line in log.read_text().splitlines() if line.startswith("drop ")]
    assert [(d[1], d[3]) for d in drops] == [("1", "300000"), ("2", "300000")]
    assert "drops=2 " in log.read_text()
