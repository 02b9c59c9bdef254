"""server/korvantis-site.conf made runnable in a scratch folder (its placeholders filled, inside a
main configuration whose runtime paths lie in that folder), a caching reverse proxy standing in
front of it as a CDN edge does, and nginx run in the foreground with either."""

from __future__ import annotations

import subprocess
import time
from pathlib import Path

from .korvantis import USER_AGENT

REPO = Path(__file__).resolve().parents[2]
SITE = REPO / "server" / "korvantis-site.conf"


def local_nginx_conf(work: Path, root: Path, certs: Path, host: str,
                     extra: tuple[tuple[str, str], ...] = ()) -> Path:
    """Writes work/nginx.conf, which includes the site serving root for host with certs/server.*
    and ACME challenges from work/acme; extra holds further (old, new) replacements in the site.
    Raises ValueError when the shipped site lacks a text to replace."""
    text = SITE.read_text()
    for old, new in (("@SERVER_NAME@", host), ("@UPDATE_ROOT@", str(root)),
                     ("@TLS_CERT@", str(certs / "server.chain.pem")),
                     ("@TLS_KEY@", str(certs / "server.key")),
                     ("@ACME_ROOT@", str(work / "acme")), *extra):
        if old not in text:
            raise ValueError(f"{SITE.name} no longer holds {old.strip()!r}")
        text = text.replace(old, new)
    for line in text.splitlines():
        code = line.split("#", 1)[0]
        if "@" in code or "/var/" in code or "/run/" in code:
            raise ValueError(f"{SITE.name} holds a placeholder or system path: {line.strip()!r}")
    for folder in ("log", "lib", "acme"):
        (work / folder).mkdir(parents=True, exist_ok=True)
    site = work / SITE.name
    site.write_text(text)
    # What Debian's nginx.conf around the site sets, with this folder for its system paths.
    temp_paths = "".join(f"    {kind}_temp_path {work}/lib/{kind};\n"
                         for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    conf = work / "nginx.conf"
    conf.write_text(f"""user www-data;
worker_processes auto;
pid {work}/nginx.pid;
error_log {work}/log/error.log;
events {{ worker_connections 1024; }}
http {{
    access_log {work}/log/access.log;
{temp_paths}    include {site};
}}
""")
    return conf


def origin_port(port: int) -> tuple[tuple[str, str], ...]:
    """local_nginx_conf's extra for an origin on 127.0.0.1:port (its plain-HTTP server on
    port + 100), leaving 443 and 80 to an edge."""
    return (("listen 443 ssl;", f"listen 127.0.0.1:{port} ssl;"), ("listen [::]:443 ssl;", ""),
            ("listen 80;", f"listen 127.0.0.1:{port + 100};"), ("listen [::]:80;", ""))


# One JSON object a line; $upstream_status lists every origin asked ("404, 200").
EDGE_LOG = ('{"time":$msec,"uri":"$request_uri","status":$status,"bytes":$body_bytes_sent,'
            '"agent":"$http_user_agent","cache":"$upstream_cache_status",'
            '"upstream":"$upstream_status","cache_control":"$sent_http_cache_control"}')


def edge_nginx_conf(work: Path, certs: Path, host: str, manifest_ports: list[int],
                    file_ports: list[int], launcher_rate: str = "0") -> Path:
    """Writes work/nginx.conf of a caching reverse proxy on 127.0.0.1:443 for host, configured as
    server/README.md asks of a CDN: the cache key is the whole URL with its query, lifetimes are
    the origin's Cache-Control and nothing else, the origins are asked over HTTPS. The manifest
    comes from manifest_ports; a file from file_ports in turn, the next one asked after a 404 or
    an error (origin failover). launcher_rate ("2m") holds the launcher's downloads to that many
    bytes a second, so a run can be caught half-way; other clients get full speed."""
    def upstream(name: str, ports: list[int]) -> str:
        servers = [f"server 127.0.0.1:{p}{' backup' if i else ''};" for i, p in enumerate(ports)]
        return f"upstream {name} {{ {' '.join(servers)} keepalive 32; }}"

    (work / "log").mkdir(parents=True, exist_ok=True)
    (work / "cache").mkdir(exist_ok=True)
    conf = work / "nginx.conf"
    conf.write_text(f"""
user root;
worker_processes auto;
pid {work}/nginx.pid;
error_log {work}/log/error.log;
events {{ worker_connections 4096; }}
http {{
    log_format edge escape=json '{EDGE_LOG}';
    access_log {work}/log/access.log edge;
    client_body_temp_path {work}/cache/body;
    proxy_temp_path {work}/cache/proxy;
    fastcgi_temp_path {work}/cache/fastcgi;
    uwsgi_temp_path {work}/cache/uwsgi;
    scgi_temp_path {work}/cache/scgi;
    proxy_cache_path {work}/cache/store levels=1:2 keys_zone=edge:16m inactive=1d
                     use_temp_path=off;
    {upstream("korvantis_manifest", manifest_ports)}
    {upstream("korvantis_files", file_ports)}
    map $http_user_agent $edge_rate {{
        "{USER_AGENT}" {launcher_rate};
        default 0;
    }}
    server {{
        listen 127.0.0.1:443 ssl;
        server_name {host};
        ssl_certificate {certs}/server.chain.pem;
        ssl_certificate_key {certs}/server.key;

        proxy_cache edge;
        proxy_cache_key $host$request_uri;
        proxy_cache_lock on;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_set_header Host {host};
        proxy_ssl_server_name on;
        proxy_ssl_name {host};
        proxy_ssl_verify on;
        proxy_ssl_trusted_certificate {certs}/ca.pem;
        proxy_ssl_session_reuse on;
        add_header X-Edge-Cache $upstream_cache_status always;

        location /korvantis/guncelleme/dosyalar/ {{
            proxy_pass https://korvantis_files;
            proxy_next_upstream error timeout http_404;
            limit_rate $edge_rate;
        }}
        location / {{
            proxy_pass https://korvantis_manifest;
        }}
    }}
}}
""")
    return conf


class Nginx:
    """nginx run in the foreground with conf, whose pid file and logs lie in work (as both
    functions above write them): the one way the tests, the demo and the benchmarks start it.
    Raises RuntimeError when it does not come up."""

    def __init__(self, work: Path, conf: Path):
        self.work = work
        startup_log = work / "log" / "startup.log"
        pid_file = work / "nginx.pid"
        pid_file.unlink(missing_ok=True)  # `nginx -t` may leave one before anything listens
        # Its own session: Ctrl-C in the demo's terminal must not stop it before the launcher.
        self.proc = subprocess.Popen(["nginx", "-e", str(startup_log), "-c", str(conf),
                                      "-g", "daemon off;"], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        deadline = time.monotonic() + 15
        # The master (this process: no daemon) writes its pid once its sockets listen.
        while not pid_file.exists() or pid_file.read_text().strip() != str(self.proc.pid):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError("nginx did not start: "
                                   + startup_log.read_text(errors="replace"))
            time.sleep(0.05)

    def log_lines(self) -> list[str]:
        log = self.work / "log" / "access.log"
        if not log.exists():
            return []
        return log.read_text(encoding="utf-8", errors="replace").splitlines()

    def close(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
