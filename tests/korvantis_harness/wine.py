"""Wine prefixes for whole-program scenarios.

A template prefix is made once (wineboot takes ~15 s) and kept in the build folder; every
scenario gets a copy of it in ~0.1 s: registry files and the user folders copied, the large
Windows and Program Files trees hard-linked. A copy has no z: drive (so nothing can reach the
host's files), its own HOME, plain Desktop/Downloads folders, and its own persistent wineserver.
"""

from __future__ import annotations

import fcntl
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path, PureWindowsPath

from . import screen as screen_mod

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
WINE_SETTINGS = Path(__file__).resolve().parents[2] / "scripts" / "wine.env"


def read_wine_settings(path: Path = WINE_SETTINGS) -> dict[str, str]:
    """The KEY="value" lines of scripts/wine.env, the one place they are written."""
    settings = {}
    for line in path.read_text().splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            key, _, value = line.partition("=")
            settings[key] = value.strip('"')
    return settings


WINE_ENV = read_wine_settings()
# Folders the template's user profile links into $HOME; a scenario needs them as plain folders.
HOME_LINKED_FOLDERS = ("Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos")
# Wine's own service processes: they outlive the programs a scenario starts.
SYSTEM_PROCESSES = {
    "services.exe", "winedevice.exe", "plugplay.exe", "svchost.exe", "rpcss.exe",
    "explorer.exe", "wineboot.exe", "tabtip.exe",
}
TEMPLATE_VERSION = "3"  # bump when the template recipe changes


class RunTimeout(AssertionError):
    pass


@dataclass
class Result:
    code: int | None
    raw: bytes
    err_raw: bytes = b""
    elapsed: float = 0.0
    screen_obj: screen_mod.Screen | None = field(default=None, repr=False)

    @property
    def out(self) -> str:
        """Standard output as text: UTF-8 (invalid bytes replaced), CR LF folded to LF."""
        return self.raw.decode("utf-8", errors="replace").replace("\r\n", "\n")

    @property
    def err(self) -> str:
        return self.err_raw.decode("utf-8", errors="replace").replace("\r\n", "\n")

    @property
    def screen(self) -> str:
        """Pseudo-terminal runs only: the final screen with an SGR code at every colour change."""
        assert self.screen_obj is not None, "screen exists only for run_pty results"
        return self.screen_obj.render(colours=True)

    @property
    def screen_text(self) -> str:
        assert self.screen_obj is not None, "screen exists only for run_pty results"
        return self.screen_obj.render(colours=False)

    def colour_of(self, text: str) -> str | None:
        """SGR foreground code ("91", "92", "" for the default colour) of the non-blank
        characters of the first occurrence of text on the screen; "mixed:a,b" when they differ;
        None when the text is not on the screen."""
        assert self.screen_obj is not None, "colours exist only for run_pty results"
        return self.screen_obj.colour_of(text)

    def __str__(self) -> str:
        return f"exit {self.code}, {self.elapsed:.2f} s, output:\n{self.out}"


def wine_version() -> str:
    return subprocess.run([WINE64, "--version"], capture_output=True, text=True).stdout.strip()


def base_env(prefix_root: Path, home: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LC_", "WINE", "DISPLAY", "WAYLAND", "XDG_"))}
    env.update(WINE_ENV)
    env["WINEPREFIX"] = str(prefix_root)
    env["HOME"] = str(home)
    env.setdefault("USER", "root")
    return env


def ensure_template(cache_dir: Path) -> Path:
    """The template prefix under cache_dir, made when missing or stale. Safe to call from
    several pytest sessions at once (a file lock serialises the creation)."""
    cache_dir.mkdir(parents=True, exist_ok=True)
    template = cache_dir / "prefix-template"
    marker = template / "harness-ready"
    stamp = f"{TEMPLATE_VERSION} {wine_version()}"
    with open(cache_dir / "prefix-template.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if marker.exists() and marker.read_text() == stamp:
            return template
        shutil.rmtree(template, ignore_errors=True)
        home = cache_dir / "prefix-template-home"
        shutil.rmtree(home, ignore_errors=True)
        home.mkdir()
        env = base_env(template, home)
        subprocess.run([WINE64, "wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run([WINESERVER, "-w"], env=env, check=True, timeout=300)
        (template / "dosdevices" / "z:").unlink(missing_ok=True)
        users = template / "drive_c" / "users"
        for user_dir in users.iterdir():
            for name in HOME_LINKED_FOLDERS:
                link = user_dir / name
                if link.is_symlink():
                    link.unlink()
                    link.mkdir()
        shutil.rmtree(home, ignore_errors=True)
        marker.write_text(stamp)
        return template


def _reg_escape(text: str) -> str:
    out = []
    for ch in text:
        code = ord(ch)
        if ch in '\\"':
            out.append("\\" + ch)
        elif 0x20 <= code < 0x7F:
            out.append(ch)
        elif code > 0xFFFF:
            units = ch.encode("utf-16-le")
            for i in range(0, 4, 2):
                out.append("\\x%04x" % int.from_bytes(units[i:i + 2], "little"))
        else:
            # Always four digits: Wine's parser stops after four, so a following hex digit
            # cannot be swallowed.
            out.append("\\x%04x" % code)
    return "".join(out)


class Prefix:
    """One scenario's Wine prefix. Configure drives and registry first, then run programs."""

    def __init__(self, template: Path, workdir: Path):
        self.template = template
        self.workdir = workdir
        self.root = workdir / "wineprefix"
        self.home = workdir / "home"
        self._started = False
        self._pending_reg: dict[str, list[tuple[str, str, str, str]]] = {"HKLM": [], "HKCU": []}
        self._drives: dict[str, Path] = {}
        self._make_copy()
        user_dirs = [p for p in (self.drive_c / "users").iterdir() if p.name != "Public"]
        assert len(user_dirs) == 1, user_dirs
        self.user_dir = user_dirs[0]
        self.user = self.user_dir.name
        self.localappdata = self.user_dir / "AppData" / "Local"
        self.desktop = self.user_dir / "Desktop"
        self.downloads = self.user_dir / "Downloads"
        self.programs = (self.user_dir / "AppData" / "Roaming" / "Microsoft" / "Windows"
                         / "Start Menu" / "Programs")
        self.env = base_env(self.root, self.home)

    # ----- setup -------------------------------------------------------------------------
    def _make_copy(self) -> None:
        t = self.template
        self.root.mkdir(parents=True)
        self.home.mkdir()
        reg_files = [str(p) for p in t.glob("*.reg")]
        subprocess.run(["cp", "-a", *reg_files, str(t / ".update-timestamp"), str(self.root)],
                       check=True)
        (self.root / "dosdevices").mkdir()
        (self.root / "dosdevices" / "c:").symlink_to("../drive_c")
        drive_c = self.root / "drive_c"
        drive_c.mkdir()
        copied, linked = [], []
        for entry in (t / "drive_c").iterdir():
            (linked if entry.name == "windows" or entry.name.startswith("Program Files")
             else copied).append(str(entry))
        if copied:
            subprocess.run(["cp", "-a", *copied, str(drive_c)], check=True)
        if linked:
            subprocess.run(["cp", "-al", *linked, str(drive_c)], check=True)
        self.drive_c = drive_c
        self._drives["c"] = drive_c

    def add_drive(self, letter: str, unix_dir: Path, kind: str = "hd") -> str:
        """Maps unix_dir as drive letter (kind: hd, cdrom, network, floppy, ramdisk). Must come
        before the first program start. Returns the drive root, e.g. "D:\\"."""
        assert not self._started, "drives must be added before the first program start"
        letter = letter.lower().rstrip(":")
        assert len(letter) == 1 and letter.isalpha() and letter not in self._drives, letter
        unix_dir = Path(unix_dir)
        unix_dir.mkdir(parents=True, exist_ok=True)
        (self.root / "dosdevices" / f"{letter}:").symlink_to(unix_dir)
        self._drives[letter] = unix_dir
        self.add_reg("HKLM", r"Software\Wine\Drives", f"{letter}:", kind)
        return f"{letter.upper()}:\\"

    def add_reg(self, hive: str, key: str, name: str | None, value: str | int | bytes,
                kind: str = "sz") -> None:
        """Adds a registry value (name "" or None: the key's default value; kind sz, dword or
        binary, whose value is bytes). Before the first start it is written straight into the
        prefix's registry files; afterwards reg.exe adds it (slower)."""
        hive = hive.upper()
        assert hive in ("HKLM", "HKCU"), hive
        assert kind in ("sz", "dword", "binary"), kind
        if kind == "binary":
            value = bytes(value).hex()
        name = name or ""
        if not self._started:
            self._pending_reg[hive].append((key, name, str(value), kind))
            return
        args = ["reg", "add", f"{hive}\\{key}", "/f"]
        args += ["/ve"] if name == "" else ["/v", name]
        args += ["/t", {"sz": "REG_SZ", "dword": "REG_DWORD", "binary": "REG_BINARY"}[kind], "/d", str(value)]
        r = self._run_raw([WINE64, *args], stdin=b"", timeout=60, cwd=self.drive_c, env=None)
        assert r.code == 0, f"reg add failed: {r}"

    def _flush_registry(self) -> None:
        stamp = int(time.time())
        for hive, file_name in (("HKLM", "system.reg"), ("HKCU", "user.reg")):
            entries = self._pending_reg[hive]
            if not entries:
                continue
            lines = []
            for key, name, value, kind in entries:
                lines.append(f"\n[{_reg_escape(key)}] {stamp}\n")
                shown = "@" if name == "" else f'"{_reg_escape(name)}"'
                if kind == "sz":
                    lines.append(f'{shown}="{_reg_escape(value)}"\n')
                elif kind == "binary":
                    pairs = ",".join(value[i:i + 2] for i in range(0, len(value), 2))
                    lines.append(f"{shown}=hex:{pairs}\n")
                else:
                    lines.append(f"{shown}=dword:{int(value) & 0xFFFFFFFF:08x}\n")
            with open(self.root / file_name, "a", encoding="ascii") as f:
                f.write("".join(lines))
            entries.clear()

    def start(self) -> None:
        """Writes the configuration and starts the prefix's persistent wineserver. Called by the
        first run; call it yourself only to start timing after setup."""
        if self._started:
            return
        self._flush_registry()
        subprocess.run([WINESERVER, "-p"], env=self.env, check=True)
        self._started = True

    def close(self) -> None:
        if self._started:
            subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
            self._started = False

    # ----- paths -------------------------------------------------------------------------
    def win(self, path: Path | str) -> str:
        """The Windows path of a Unix path that lies under a mapped drive."""
        path = os.path.abspath(path)
        best = None
        for letter, root in self._drives.items():
            root_s = os.path.abspath(root)
            if path == root_s or path.startswith(root_s + os.sep):
                if best is None or len(root_s) > len(best[1]):
                    best = (letter, root_s)
        if best is None:
            raise ValueError(f"{path} is on no drive of this prefix")
        rest = path[len(best[1]):].lstrip(os.sep)
        return f"{best[0].upper()}:\\" + rest.replace("/", "\\")

    def tool(self, exe: Path) -> Path:
        """A copy of a build product (helper exe) inside the prefix, on C:, made once."""
        target = self.drive_c / "harness-tools" / Path(exe).name
        if not target.exists():
            target.parent.mkdir(exist_ok=True)
            shutil.copyfile(exe, target)
        return target

    def unix(self, windows_path: str) -> Path:
        """The Unix path of a Windows path on a mapped drive (letter case as given)."""
        p = PureWindowsPath(windows_path)
        root = self._drives[p.drive.rstrip(":").lower()]
        return Path(root, *p.parts[1:])

    # ----- running -----------------------------------------------------------------------
    def _command(self, exe: Path | str, args) -> list[str]:
        program = exe if isinstance(exe, str) else self.win(exe)
        return [WINE64, program, *[str(a) for a in args]]

    def _env(self, env: dict | None) -> dict[str, str]:
        merged = dict(self.env)
        if env:
            for k, v in env.items():
                if v is None:
                    merged.pop(k, None)
                else:
                    merged[k] = str(v)
        return merged

    def _cwd(self, exe: Path | str, cwd) -> str:
        if cwd is not None:
            return str(cwd)
        if isinstance(exe, str):
            return str(self.drive_c)
        return str(Path(exe).parent)

    def run(self, exe: Path | str, args=(), stdin: bytes | None = b"\n", timeout: float = 60,
            cwd: Path | None = None, env: dict | None = None) -> Result:
        """Runs exe (a Unix path on a mapped drive, or a Windows path string taken as written)
        with standard streams on pipes and waits for it to end. stdin bytes are written and
        the pipe closed (None: empty input). Returns once the program itself has ended, even
        if a child it started still holds the output pipe."""
        self.start()
        result = self._run_raw(self._command(exe, args), stdin, timeout, self._cwd(exe, cwd), env)
        _show(exe, args, result)
        return result

    def _run_raw(self, command, stdin, timeout, cwd, env) -> Result:
        started = time.monotonic()
        proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, cwd=cwd, env=self._env(env),
                                start_new_session=True)
        chunks: dict[str, list[bytes]] = {"out": [], "err": []}
        readers = [threading.Thread(target=drain_pipe, args=(proc.stdout, chunks["out"]), daemon=True),
                   threading.Thread(target=drain_pipe, args=(proc.stderr, chunks["err"]), daemon=True)]
        for t in readers:
            t.start()
        try:
            if stdin:
                proc.stdin.write(stdin)
            proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            _kill_group(proc)
            for t in readers:
                t.join(1)
            partial = b"".join(chunks["out"]).decode("utf-8", "replace")
            raise RunTimeout(f"{command} still running after {timeout} s; output so far:\n"
                             f"{partial}") from None
        # A child that shares the pipe keeps it open; what this program wrote is there already.
        for t in readers:
            t.join(1.0)
        return Result(proc.returncode, b"".join(chunks["out"]), b"".join(chunks["err"]),
                      time.monotonic() - started)

    def spawn(self, exe: Path | str, args=(), cwd: Path | None = None,
              env: dict | None = None) -> "Background":
        """Starts exe and returns at once; its standard input stays open (a key wait blocks)
        until .finish(). The prefix's teardown ends whatever is left."""
        self.start()
        proc = subprocess.Popen(self._command(exe, args), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                cwd=self._cwd(exe, cwd), env=self._env(env),
                                start_new_session=True)
        return Background(proc)

    def run_pty(self, exe: Path | str, args=(), keys: bytes = b"\r", timeout: float = 60,
                cwd: Path | None = None, env: dict | None = None, columns: int = 120,
                rows: int = 40) -> Result:
        """Runs exe on a pseudo-terminal (its own session, so the terminal is nobody's
        controlling terminal and children survive the first process). Wine's console then
        draws with ANSI colours; Result.screen / colour_of read the replayed screen. keys are
        typed whenever the output has been quiet for a moment, until the program ends, so a
        key wait is satisfied even if Wine drops an early key press."""
        self.start()
        command = self._command(exe, args)
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
        started = time.monotonic()
        proc = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave,
                                cwd=self._cwd(exe, cwd), env=self._env(env),
                                start_new_session=True)
        os.close(slave)
        data = bytearray()
        last_output = time.monotonic()
        last_key = 0.0
        try:
            while True:
                now = time.monotonic()
                if now - started > timeout:
                    _kill_group(proc)
                    raise RunTimeout(f"{command} still running after {timeout} s; screen so far:\n"
                                     + screen_mod.Screen.replay(bytes(data), columns, rows)
                                     .render(colours=False))
                ready, _, _ = select.select([master], [], [], 0.05)
                if ready:
                    try:
                        chunk = os.read(master, 65536)
                    except OSError:
                        chunk = b""
                    if chunk:
                        data += chunk
                        last_output = time.monotonic()
                        continue
                if proc.poll() is not None:
                    # Collect what is still buffered, then stop.
                    while select.select([master], [], [], 0.2)[0]:
                        try:
                            chunk = os.read(master, 65536)
                        except OSError:
                            break
                        if not chunk:
                            break
                        data += chunk
                    break
                if keys and data and now - last_output > 0.3 and now - last_key > 0.5:
                    try:
                        os.write(master, keys)
                    except OSError:
                        pass
                    last_key = now
        finally:
            os.close(master)
        shown = screen_mod.Screen.replay(bytes(data), columns, rows)
        result = Result(proc.returncode, bytes(data), b"", time.monotonic() - started, shown)
        _show(exe, args, result)
        return result

    def wait_idle(self, timeout: float = 30) -> None:
        """Waits until no program of this prefix runs any more (Wine's own services aside)."""
        if not self._started:
            return
        deadline = time.monotonic() + timeout
        while True:
            busy = self.processes()
            if not busy:
                return
            if time.monotonic() > deadline:
                raise RunTimeout(f"programs still running after {timeout} s: {busy}")
            time.sleep(0.05)

    def processes(self) -> list[str]:
        """Command lines of this prefix's running programs (Wine's own services aside)."""
        return [cmdline for _, cmdline in prefix_programs(self.root)]


class Background:
    def __init__(self, proc: subprocess.Popen):
        self.proc = proc
        self._chunks: list[bytes] = []
        self._reader = threading.Thread(target=drain_pipe, args=(proc.stdout, self._chunks),
                                        daemon=True)
        self._reader.start()

    @property
    def out(self) -> str:
        return b"".join(self._chunks).decode("utf-8", "replace").replace("\r\n", "\n")

    def wait_for_output(self, text: str, timeout: float = 30) -> None:
        deadline = time.monotonic() + timeout
        while text not in self.out:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RunTimeout(f"never printed {text!r}; output:\n{self.out}")
            time.sleep(0.05)

    def finish(self, stdin: bytes = b"\n", timeout: float = 30) -> Result:
        """Sends stdin, closes it and waits for the end."""
        started = time.monotonic()
        try:
            self.proc.stdin.write(stdin)
            self.proc.stdin.close()
        except (BrokenPipeError, ValueError):
            pass
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            _kill_group(self.proc)
            raise RunTimeout(f"still running after {timeout} s; output:\n{self.out}") from None
        self._reader.join(1.0)
        return Result(self.proc.returncode, b"".join(self._chunks), b"",
                      time.monotonic() - started)


def _show(exe, args, result: Result) -> None:
    # KORVANTIS_SHOW_RUNS=1 (with pytest -s) prints every run, for writing new scenarios.
    if os.environ.get("KORVANTIS_SHOW_RUNS") != "1":
        return
    name = exe if isinstance(exe, str) else Path(exe).name
    body = result.screen if result.screen_obj is not None else result.out
    print(f"\n--- {name} {list(args)} -> exit {result.code} in {result.elapsed:.2f} s\n"
          f"{body!r}\n{body}\n---")


def drain_pipe(stream, sink: list[bytes]) -> None:
    fd = stream.fileno()
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        sink.append(chunk)


def _kill_group(proc: subprocess.Popen) -> None:
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def prefix_programs(root: Path) -> list[tuple[int, str]]:
    """(Unix pid, command line) of the programs running in the Wine prefix at root, Wine's own
    services aside. Programs started through /usr/lib/wine/wine64 keep their pid as Windows
    processes, so the pid can be signalled."""
    wanted = f"WINEPREFIX={root}".encode()
    found = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(f"/proc/{entry.name}/environ", "rb") as f:
                if wanted not in f.read().split(b"\0"):
                    continue
            with open(f"/proc/{entry.name}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode("utf-8", "replace").strip()
            with open(f"/proc/{entry.name}/stat", "rb") as f:
                state = f.read().rsplit(b")", 1)[1].split()[0]
        except OSError:
            continue
        if state == b"Z" or not cmdline:
            continue
        if program_name(cmdline).startswith("wineserver") or program_name(cmdline) in SYSTEM_PROCESSES:
            continue
        found.append((int(entry.name), cmdline))
    return found


_LOADER = re.compile(r"^\S*/wine(?:64)?(?:-preloader)?\s+")
_WINDOWS_PROGRAM = re.compile(r"^(?:[A-Za-z]:\\|\\\\).*?\.exe(?=\s|$)", re.IGNORECASE)


def program_name(cmdline: str) -> str:
    """The lower-case file name of the program a /proc command line runs: a Windows path (which
    may hold blanks, as in C:\\Korvantis Mod\\Korvantis.exe) or a Unix one. A process Wine is
    still starting shows its loader first; the program after it counts."""
    cmdline = _LOADER.sub("", cmdline, count=1)
    windows = _WINDOWS_PROGRAM.match(cmdline)
    if windows:
        return PureWindowsPath(windows.group(0)).name.lower()
    first = cmdline.split(" ")[0]
    return (PureWindowsPath(first).name if "\\" in first else Path(first).name).lower()
