"""Started by bench/cache_load/run.sh inside its network namespace: one published update, an
origin and an edge, and two bounded wrk runs of the launcher's requests (one straight to the
origin, one through the edge, cold cache). Progress to standard error, the table to standard
output."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from korvantis_harness.korvantis import UPDATE_ROOT as UPDATE, USER_AGENT
from korvantis_harness.nginx import Nginx, edge_nginx_conf, local_nginx_conf, origin_port

REPO = Path(__file__).resolve().parents[2]

HOST = os.environ["KORVANTIS_UPDATE_HOST"]
CERTS = Path(os.environ["KORVANTIS_CERT_DIR"])
WORK = Path(os.environ["WORK"])
UPDATE_MB = int(os.environ.get("UPDATE_MB", "50"))
FILES = max(1, int(os.environ.get("FILES", "10")))
CLIENTS = int(os.environ.get("CLIENTS", "200"))
SECONDS_EACH = int(os.environ.get("SECONDS_EACH", "10"))
ORIGIN_PORT = 8441
# nginx's "combined" log: status and body bytes.
COMBINED = re.compile(r'" (\d{3}) (\d+) "')

# Each wrk thread walks the launcher's sequence over and over, its connections taking the next
# request in turn: the manifest with a fresh "?t=", then every file with its "?v=" token.
WRK_SCRIPT = """
local files = {%s}
local n = 0
wrk.headers["User-Agent"] = "%s"
request = function()
  local i = n %% (#files + 1)
  n = n + 1
  if i == 0 then
    return wrk.format("GET", "%smanifest.txt?t=" .. math.random(1, 2147483647))
  end
  return wrk.format("GET", files[i])
end
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format('WRK {"requests": %%d, "bytes": %%d, "us": %%d, "errors": %%d, ' ..
    '"p50_ms": %%.1f, "p99_ms": %%.1f}\\n', summary.requests, summary.bytes, summary.duration,
    e.connect + e.read + e.write + e.status + e.timeout,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000))
end
"""


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def publish_update(mod: Path, root: Path) -> list[str]:
    """The update's file paths as the launcher asks for them, in manifest order."""
    size = UPDATE_MB * (1 << 20) // FILES
    for i in range(FILES):
        path = mod / "cstrike" / "maps" / f"harita_{i:02d}.bsp"
        if not path.is_file() or path.stat().st_size != size:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(os.urandom(size))
    subprocess.run([sys.executable, str(REPO / "tools" / "publish.py"), "--test-host", str(mod),
                    str(root)],
                   check=True, stdout=subprocess.DEVNULL)
    paths = []
    for line in (root / "korvantis" / "guncelleme" / "manifest.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            digest, _, name = line.split(" ", 2)
            paths.append(f"{UPDATE}dosyalar/{name}?v={digest[:12]}")
    return paths


def wrk(url: str, script: Path) -> dict:
    out = subprocess.run(["wrk", "-t2", f"-c{CLIENTS}", f"-d{SECONDS_EACH}s", "--timeout", "30s",
                          "-s", str(script), url], capture_output=True, text=True, check=True)
    line = next(x for x in out.stdout.splitlines() if x.startswith("WRK "))
    return json.loads(line[4:])


def origin_served(origin: Nginx, since: int) -> tuple[int, int]:
    """(requests, body bytes) in the origin's log after its first `since` lines."""
    lines = origin.log_lines()[since:]
    return len(lines), sum(int(m[2]) for m in map(COMBINED.search, lines) if m)


def edge_hits(edge: Nginx) -> tuple[float, float]:
    """Hit ratio of the file requests, and of all requests (the manifest is never a hit)."""
    rows = [json.loads(x) for x in edge.log_lines()]
    files = [r for r in rows if "?v=" in r["uri"]]
    ratio = lambda rs: sum(r["cache"] == "HIT" for r in rs) / max(1, len(rs))  # noqa: E731
    return ratio(files), ratio(rows)


def main() -> None:
    if not shutil.which("wrk"):
        raise SystemExit("wrk is not installed (scripts/deps.sh installs it)")
    WORK.mkdir(parents=True, exist_ok=True)
    run = Path(tempfile.mkdtemp(prefix="run-", dir=WORK))
    os.chmod(run, 0o755)     # the origin's workers run as www-data
    try:
        log(f"publishing a {UPDATE_MB} MiB update in {FILES} files")
        paths = publish_update(WORK / "mod", run / "root")
        script = run / "launcher.lua"
        script.write_text(WRK_SCRIPT % (", ".join(json.dumps(p) for p in paths), USER_AGENT,
                                        UPDATE))
        origin = Nginx(run / "origin", local_nginx_conf(run / "origin", run / "root", CERTS, HOST,
                                                        origin_port(ORIGIN_PORT)))
        edge = Nginx(run / "edge", edge_nginx_conf(run / "edge", CERTS, HOST, [ORIGIN_PORT],
                                                   [ORIGIN_PORT]))
        try:
            log(f"straight to the origin: {CLIENTS} clients, {SECONDS_EACH} s")
            direct = wrk(f"https://{HOST}:{ORIGIN_PORT}/", script)
            direct_load = origin_served(origin, 0)
            before = len(origin.log_lines())
            log(f"through the edge, cold cache: {CLIENTS} clients, {SECONDS_EACH} s")
            cached = wrk(f"https://{HOST}/", script)
            edge_load = origin_served(origin, before)
            file_hits, all_hits = edge_hits(edge)
        finally:
            edge.close()
            origin.close()
    finally:
        shutil.rmtree(run, ignore_errors=True)

    def row(label, r, load, hits):
        seconds = r["us"] / 1e6
        return (f"| {label} | {r['requests'] / seconds:,.0f} | {r['bytes'] / seconds / 1e6:,.0f} | "
                f"{r['p50_ms']:.0f} / {r['p99_ms']:.0f} | {r['errors']} | {hits} | "
                f"{load[0]:,} / {load[1] / 1e6:,.0f} MB |")

    print(f"\n{CLIENTS} clients replaying the launcher's requests for a {UPDATE_MB} MiB update "
          f"({FILES} files + manifest), {SECONDS_EACH} s each, wrk -t2, loopback, HTTPS\n")
    print("| run | requests/s | MB/s | latency p50 / p99 ms | errors | edge hit ratio "
          "(files / all) | origin requests / bytes |")
    print("|---|---|---|---|---|---|---|")
    print(row("straight to the origin", direct, direct_load, "-"))
    print(row("through the edge (cold)", cached, edge_load, f"{file_hits:.1%} / {all_hits:.1%}"))

if __name__ == "__main__":
    main()
