"""The update server of a run: Debian's nginx with the shipped server/korvantis-site.conf on port
443, as an update server runs it."""

from __future__ import annotations

import contextlib
import shutil
from collections.abc import Iterator
from pathlib import Path

from korvantis_harness.nginx import Nginx, local_nginx_conf, origin_port


class UpdateServer:
    def __init__(self, work: Path, www: Path, certs: Path, host: str):
        self.work = work
        self.www = www
        self.certs = certs
        self.host = host
        self.nginx: Nginx | None = None

    def start(self) -> None:
        work = self.work / "nginx"
        shutil.rmtree(work / "log", ignore_errors=True)
        self.nginx = Nginx(work, local_nginx_conf(work, self.www, self.certs, self.host))

    def close(self) -> None:
        if self.nginx is not None:
            self.nginx.close()

    @contextlib.contextmanager
    def moved_to(self, port: int) -> Iterator[Nginx]:
        """nginx on port instead, port 443 free, until the block ends."""
        self.close()
        work = self.work / "nginx-wan"
        shutil.rmtree(work / "log", ignore_errors=True)
        origin = Nginx(work, local_nginx_conf(work, self.www, self.certs, self.host,
                                              origin_port(port)))
        try:
            yield origin
        finally:
            origin.close()
            self.start()
