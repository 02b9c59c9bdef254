"""What the benchmarks of one run share: its folders, the Wine prefix and the update server."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from .server import UpdateServer
from .settings import Settings
from .wine import Wine


@dataclass
class Context:
    build: Path  # the cross-build folder
    work: Path  # $BUILD_DIR/bench-run, kept between runs
    data: Path  # drive D: of the bench prefix
    www: Path  # nginx's root
    host: str  # the update host
    wine: Wine
    server: UpdateServer

    def url(self, server_path: str) -> str:
        return f"https://{self.host}{server_path}"


def make_context(settings: Settings) -> Context:
    work = settings.build / "bench-run"
    data = work / "data"
    www = work / "www"
    return Context(build=settings.build, work=work, data=data, www=www, host=settings.host,
                   wine=Wine(work, data),
                   server=UpdateServer(work, www, settings.certs, settings.host))
