"""A wide-area line: bench/wan_relay.py on the update host's port 443, nginx moved behind it."""

from __future__ import annotations

import contextlib
import re
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

from korvantis_harness.korvantis import UP_TO_DATE
from korvantis_harness.nginx import Nginx

from .context import Context
from .launcher import launcher_folder, run_launcher
from .publish import publish_manifest

RELAY = Path(__file__).resolve().parents[1] / "wan_relay.py"
ORIGIN_PORT = 8443  # nginx moves here while the relay holds the update host's port 443


class Line:
    """bench/wan_relay.py on 127.0.0.1:443 in front of nginx on ORIGIN_PORT, for one measured
    run: its connections, bytes and timing come from that run alone. Bounded by seconds and
    max_bytes; stats holds its totals once closed. drop_every: bytes downstream after which each
    connection drops (0: never). Its log and errors go to files in work."""

    def __init__(self, work: Path, rtt_ms: int, mbit: int, seconds: float, max_bytes: int,
                 drop_every: int = 0):
        self.log_path = work / "wan-relay.log"
        self.log_path.unlink(missing_ok=True)
        self.stats: dict[str, float] = {}
        with open(work / "wan-relay.err", "wb") as err:
            # Its standard input is a pipe from here: if the bench dies, the relay ends too.
            self.proc = subprocess.Popen(
                [sys.executable, str(RELAY), "--listen", "127.0.0.1:443",
                 "--to", f"127.0.0.1:{ORIGIN_PORT}", "--rtt-ms", str(rtt_ms), "--mbit", str(mbit),
                 "--log", str(self.log_path), "--max-seconds", str(int(seconds)),
                 "--max-bytes", str(max_bytes),
                 *(["--drop-every", str(drop_every)] if drop_every else [])],
                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + 15
        while not (self.log_path.exists() and "listening" in self.log_path.read_text()):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError("the relay did not start: "
                                   + (work / "wan-relay.err").read_text(errors="replace"))
            time.sleep(0.02)

    def __enter__(self) -> Line:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        if self.proc.stdin:
            self.proc.stdin.close()
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        text = self.log_path.read_text() if self.log_path.exists() else ""
        exit_line = next((x for x in text.splitlines() if x.startswith("exit ")), "")
        self.stats = {k: float(v) for k, v in re.findall(r"(\w+)=([-0-9.]+)", exit_line)}
        if self.proc.returncode != 0:
            raise RuntimeError(f"the relay stopped with {self.proc.returncode}: {exit_line}")


@contextlib.contextmanager
def behind_relay(ctx: Context, player: Path) -> Iterator[Nginx]:
    """nginx on ORIGIN_PORT, port 443 free for a Line, until the block ends; before that, one
    up-to-date start in player loads Wine's DLLs for the network and TLS."""
    player = launcher_folder(ctx, player)
    publish_manifest(ctx, player, ["Korvantis.exe", "xash3d.exe"])
    r = run_launcher(ctx, player)
    if r["code"] != 0 or UP_TO_DATE not in r["out"]:
        raise RuntimeError(f"up-to-date start failed (exit {r['code']}):\n{r['out'][-1500:]}")
    with ctx.server.moved_to(ORIGIN_PORT) as origin:
        yield origin
