"""server/nginx.conf made runnable in a scratch folder: its placeholders filled and Debian's
runtime paths (pid file, logs, temp folders) moved into that folder."""

from __future__ import annotations

from pathlib import Path

REPO = Path(__file__).resolve().parents[3]


def local_nginx_conf(work: Path, root: Path, certs: Path, host: str,
                     extra: tuple[tuple[str, str], ...] = ()) -> Path:
    """Writes work/nginx.conf serving root for host with certs/server.*; extra holds further
    (old, new) replacements. Raises ValueError when the shipped file lacks a text to replace."""
    text = (REPO / "server" / "nginx.conf").read_text()
    for old, new in (("@SERVER_NAME@", host), ("@UPDATE_ROOT@", str(root)),
                     ("@TLS_CERT@", str(certs / "server.chain.pem")),
                     ("@TLS_KEY@", str(certs / "server.key")),
                     ("/run/nginx.pid", str(work / "nginx.pid")),
                     ("/var/log/nginx/", str(work / "log") + "/"),
                     ("/var/lib/nginx/", str(work / "lib") + "/"), *extra):
        if old not in text:
            raise ValueError(f"server/nginx.conf no longer holds {old.strip()!r}")
        text = text.replace(old, new)
    (work / "log").mkdir(parents=True, exist_ok=True)
    (work / "lib").mkdir(exist_ok=True)
    conf = work / "nginx.conf"
    conf.write_text(text)
    return conf
