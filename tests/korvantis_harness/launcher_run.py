"""A launcher folder ready for an update, and runs of the launcher that a test can watch from
outside: its Unix processes (wine64 run directly, so a PID is the Windows process), their peak
memory, and SIGKILL at a chosen moment."""

from __future__ import annotations

import hashlib
import os
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

from .korvantis import DOWNLOAD_SUFFIX, ENGINE, ENGINE_RECORD, LAUNCHER, SAVED_PATH
from .wine import WINE64, drain_pipe, prefix_programs, program_name


class LauncherFolder:
    """Korvantis.exe, the stand-in engine and a saved path to a Counter-Strike folder: a launcher
    that goes straight to its update."""

    def __init__(self, prefix, launcher_bytes: bytes, engine_bytes: bytes, game_folder,
                 folder: Path):
        self.prefix = prefix
        self.folder = folder
        folder.mkdir(parents=True, exist_ok=True)
        self.launcher = folder / LAUNCHER
        self.launcher.write_bytes(launcher_bytes)
        (folder / ENGINE).write_bytes(engine_bytes)
        self.game = game_folder(prefix.drive_c / "Oyunlar" / "Counter-Strike 1.6")
        self.saved_path = prefix.win(self.game).encode("utf-16-le")
        (folder / SAVED_PATH).write_bytes(self.saved_path)

    def files(self) -> dict[str, bytes]:
        """Every file of the folder by its manifest name ("/" separators)."""
        return {p.relative_to(self.folder).as_posix(): p.read_bytes()
                for p in sorted(self.folder.rglob("*")) if p.is_file()}

    def leftovers(self) -> list[str]:
        return sorted(n for n in self.files() if n.endswith(DOWNLOAD_SUFFIX))

    def engine_started(self) -> bool:
        return (self.folder / ENGINE_RECORD).exists()

    def forget_engine_start(self) -> None:
        (self.folder / ENGINE_RECORD).unlink(missing_ok=True)


# ----- processes ---------------------------------------------------------------------------
def launcher_pids(prefix) -> list[int]:
    """Unix PIDs of this prefix's running launcher processes (the first one, or the one it
    restarted after replacing itself)."""
    return [pid for pid, cmdline in prefix_programs(prefix.root)
            if program_name(cmdline) == LAUNCHER.lower()]


def kill_launchers(prefix, settle: float = 5.0) -> list[int]:
    """SIGKILLs every launcher process of the prefix, also one started while we were at it;
    returns the PIDs killed."""
    killed = []
    deadline = time.monotonic() + settle
    while time.monotonic() < deadline:
        pids = launcher_pids(prefix)
        if not pids:
            break
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
            except ProcessLookupError:
                pass
        time.sleep(0.02)
    return killed


def peak_memory_kib(pid: int) -> int | None:
    """The process's resident high-water mark (VmHWM), None once it has gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


class Run:
    """One launcher start: wine64 runs the exe directly (its PID is the launcher's), standard
    input holds one line for a key wait, output is collected, and the resident peak of every
    launcher process of the prefix is sampled while it runs."""

    def __init__(self, prefix, exe: Path, args=()):
        prefix.start()
        self.prefix = prefix
        self.started = time.monotonic()
        self.proc = subprocess.Popen([WINE64, prefix.win(exe), *map(str, args)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, cwd=str(exe.parent),
                                     env=dict(prefix.env), start_new_session=True)
        self.proc.stdin.write(b"\n")
        self.proc.stdin.close()
        self._chunks: list[bytes] = []
        self.peak_kib: dict[int, int] = {}
        self._stop = threading.Event()
        self._reader = threading.Thread(target=self._drain, daemon=True)
        self._sampler = threading.Thread(target=self._sample, daemon=True)
        self._reader.start()
        self._sampler.start()

    @property
    def out(self) -> str:
        return b"".join(self._chunks).decode("utf-8", "replace").replace("\r\n", "\n")

    def _drain(self) -> None:
        drain_pipe(self.proc.stdout, self._chunks)

    def _sample(self) -> None:
        while not self._stop.is_set():
            for pid in [self.proc.pid, *launcher_pids(self.prefix)]:
                value = peak_memory_kib(pid)
                if value is not None:
                    self.peak_kib[pid] = max(value, self.peak_kib.get(pid, 0))
            self._stop.wait(0.02)

    def wait(self, timeout: float) -> int:
        """The first process's exit code; kills it and raises when it overstays timeout."""
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"launcher still running after {timeout} s; output:\n{self.out}")
        finally:
            self._stop.set()
            self._sampler.join(1)
        self._reader.join(1)
        return code

    def elapsed(self) -> float:
        return time.monotonic() - self.started

    def kill(self) -> list[int]:
        """Kills this run's launcher processes; returns their PIDs (none when the run had
        already ended)."""
        killed = kill_launchers(self.prefix)
        try:
            os.kill(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        self._stop.set()
        return killed


# ----- what the launcher may touch ---------------------------------------------------------
def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def snapshot(root: Path, skip: tuple[Path, ...] = ()) -> dict[str, tuple]:
    """Every entry below root (not following links) -> (kind, size, sha-256 of a file's bytes),
    leaving out the trees in skip."""
    skip_s = tuple(str(p) for p in skip)
    seen: dict[str, tuple] = {}
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if os.path.join(dirpath, d) not in skip_s]
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                seen[rel] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                seen[rel] = ("dir",)
            else:
                with open(path, "rb") as f:
                    seen[rel] = ("file", os.path.getsize(path), hashlib.sha256(f.read()).hexdigest())
    return seen


def outside_snapshot(prefix, launcher_folder: Path) -> dict[str, tuple]:
    """The prefix's C: drive and HOME without Windows' own tree and without the launcher
    folder: where a launcher that leaves its folder would write."""
    skip = (prefix.drive_c / "windows", launcher_folder)
    return {"C:" + k: v for k, v in snapshot(prefix.drive_c, skip).items()} | {
        "HOME:" + k: v for k, v in snapshot(prefix.home).items()}


def changes(before: dict, after: dict) -> list[str]:
    out = [f"new {k}" for k in after if k not in before]
    out += [f"gone {k}" for k in before if k not in after]
    out += [f"changed {k}" for k in before if k in after and before[k] != after[k]]
    return sorted(out)


def copy_tree_files(files: dict[str, bytes], folder: Path) -> None:
    for name, data in files.items():
        target = folder / name
        target.parent.mkdir(parents=True, exist_ok=True)
        if not target.is_file() or target.read_bytes() != data:
            target.write_bytes(data)


def remove_tree(path: Path) -> None:
    shutil.rmtree(path, ignore_errors=True)
