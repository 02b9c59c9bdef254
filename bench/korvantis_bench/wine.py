"""The bench's own Wine prefix, kept between runs, with drive D: on the bench's data and no way
to the host's whole tree; and its programs run to their end."""

from __future__ import annotations

import os
import resource
import shutil
import subprocess
import time
from collections.abc import Sequence
from pathlib import Path

# The one place Wine's settings are made.
from korvantis_harness.wine import WINE64, WINESERVER, base_env

from .output import log


def wait_with_usage(proc: subprocess.Popen, timeout: float,
                    what: str) -> tuple[int, resource.struct_rusage]:
    """Waits for proc (its session killed after timeout); its exit code and resource usage."""
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return proc.returncode, usage
        if time.monotonic() > deadline:
            os.killpg(proc.pid, 9)
            proc.wait()
            raise RuntimeError(f"{what} still running after {timeout} s")
        time.sleep(0.005)


class Wine:
    """The prefix in work/wineprefix; data is its drive D:."""

    def __init__(self, work: Path, data: Path):
        self.work = work
        self.data = data
        self.prefix = work / "wineprefix"
        self.env = base_env(self.prefix, work / "home")

    def win(self, path: Path) -> str:
        """path below data as the prefix's programs name it."""
        return "D:\\" + str(path.relative_to(self.data)).replace("/", "\\")

    def prepare(self) -> None:
        ready = self.prefix / "bench-ready"
        if not ready.exists():
            shutil.rmtree(self.prefix, ignore_errors=True)
            (self.work / "home").mkdir(parents=True, exist_ok=True)
            log("making the bench Wine prefix (about 15 s, once)")
            subprocess.run([WINE64, "wineboot", "-i"], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
            subprocess.run([WINESERVER, "-w"], env=self.env, check=True, timeout=300)
            ready.write_text("1")
        # No way to the host's whole tree; D: holds the bench's files.
        devices = self.prefix / "dosdevices"
        (devices / "z:").unlink(missing_ok=True)
        (devices / "d:").unlink(missing_ok=True)
        (devices / "d:").symlink_to(self.data)

    def start(self) -> None:
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)

    def stop(self) -> None:
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)

    def run(self, exe: Path, args: Sequence[str] = (), cwd: Path | None = None,
            timeout: float = 600) -> tuple[int, str, float]:
        """Runs a program below data to its end (in data unless cwd says otherwise); its exit
        code, output, and user + system seconds. The output goes through a file: Wine's own
        service processes inherit a pipe and would keep it open."""
        out_path = self.work / "wine-output.txt"
        with open(out_path, "wb") as out:
            proc = subprocess.Popen([WINE64, self.win(exe), *args], env=self.env,
                                    cwd=cwd or self.data, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True)
            code, usage = wait_with_usage(proc, timeout, f"{exe.name} {list(args)}")
        cpu = usage.ru_utime + usage.ru_stime
        return code, out_path.read_bytes().decode("utf-8", "replace"), cpu
