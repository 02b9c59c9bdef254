"""The launcher's benchmarks against anchors measured in the same run (started by bench/run.sh,
inside its network namespace). Progress goes to standard error, the table to standard output.

Every ratio is launcher / anchor: time against time (above 1: the launcher is slower), or for
the memory row the peak of the big update against the peak of the small one (1: flat)."""

from __future__ import annotations

import contextlib
import hashlib
import itertools
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path
from urllib.parse import quote

from korvantis_harness.korvantis import DONE, ENGINE_RECORD, UP_TO_DATE
from korvantis_harness.nginx import Nginx, local_nginx_conf, origin_port
from korvantis_harness.wine import base_env  # the one place Wine's settings are made

HERE = Path(__file__).resolve().parent
BUILD = Path(os.environ["BUILD_DIR"]).resolve()
WORK = BUILD / "bench-run"
DATA = WORK / "data"  # drive D: of the bench prefix
WWW = WORK / "www"  # nginx's root
HOST = os.environ.get("KORVANTIS_UPDATE_HOST", "guncelleme.korvantis.example")
CERTS = Path(os.environ["BENCH_CERT_DIR"])
UPDATE_ROOT = "korvantis/guncelleme"
MIB = 1 << 20


def env_int(name: str, default: int) -> int:
    value = int(os.environ.get(name, default))
    if value < 0:
        raise SystemExit(f"{name} must not be negative")
    return value


HASH_MB = env_int("HASH_MB", 1024)
DOWNLOAD_MB = env_int("DOWNLOAD_MB", 200)
MOD_MB = env_int("MOD_MB", 500)
MOD_FILES = max(1, env_int("MOD_FILES", 50))
MEM_BIG_MB = env_int("MEM_BIG_MB", 1024)
MEM_SMALL_MB = env_int("MEM_SMALL_MB", 10)
ROUNDS = max(1, env_int("ROUNDS", 3))
MEM_ROUNDS = max(1, env_int("MEM_ROUNDS", 1))
SCAN = env_int("SCAN", 1)
# The wide-area line of the wan rows, and their two mods: WAN_SMALL files of 2-256 KiB and
# WAN_MEDIUM of 2 MiB in the first, WAN_LARGE of 8 MiB in the second.
WAN_RTT_MS = env_int("WAN_RTT_MS", 40)
WAN_MBIT = max(1, env_int("WAN_MBIT", 100))
WAN_SMALL = env_int("WAN_SMALL", 1000)
WAN_MEDIUM = env_int("WAN_MEDIUM", 10)
WAN_LARGE = env_int("WAN_LARGE", 20)
WAN_CHECK_MB = max(1, env_int("WAN_CHECK_MB", 50))
# The weak line: one WEAK_MB file over WEAK_MBIT that drops every connection after WEAK_DROP_MB.
WEAK_MB = max(1, env_int("WEAK_MB", 40))
WEAK_MBIT = max(1, env_int("WEAK_MBIT", 20))
WEAK_DROP_MB = max(1, env_int("WEAK_DROP_MB", 8))
WEAK_TRIES = 100  # curl's loop gives up after so many
# A subset of the benchmarks, e.g. ONLY=hash,download (names: hash download start memory scan
# finish wan weakline).
ONLY = [n for n in os.environ.get("ONLY", "").split(",") if n]
# Scratch builds of bench_timing (a changed copy of the product code linked in), timed beside the
# real one in the hash, download and scan benchmarks: VARIANTS=label=/path/a.exe,label2=/path/b.exe
VARIANTS = [tuple(v.split("=", 1)) for v in os.environ.get("VARIANTS", "").split(",") if v]

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
PREFIX = WORK / "wineprefix"
WINE_ENV = base_env(PREFIX, WORK / "home")


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# ----- files ---------------------------------------------------------------------------------
def make_random(path: Path, size: int) -> Path:
    """A file of random bytes (nothing for TLS or a file system to squeeze), kept between runs."""
    if path.is_file() and path.stat().st_size == size:
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_name(path.name + ".part")
    with open(partial, "wb") as out:
        left = size
        while left:
            piece = min(left, 4 * MIB)
            out.write(os.urandom(piece))
            left -= piece
    partial.replace(path)
    return path


def link(source: Path, target: Path) -> None:
    target.parent.mkdir(parents=True, exist_ok=True)
    target.unlink(missing_ok=True)
    os.link(source, target)


def warm(*paths: Path) -> None:
    """Both sides read from the page cache: the bench compares code, not the disk."""
    for path in paths:
        with open(path, "rb") as f:
            while f.read(8 * MIB):
                pass


def sha256(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(8 * MIB):
            h.update(chunk)
    return h.hexdigest()


def win(path: Path) -> str:
    return "D:\\" + str(path.relative_to(DATA)).replace("/", "\\")


def url(server_path: str) -> str:
    return f"https://{HOST}{server_path}"


def publish_manifest(folder: Path, names: list[str]) -> None:
    lines = [f"{sha256(folder / n)} {(folder / n).stat().st_size} {n}\n" for n in names]
    target = WWW / UPDATE_ROOT / "manifest.txt"
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text("".join(lines), encoding="utf-8")


# ----- Wine ----------------------------------------------------------------------------------
def prepare_prefix() -> None:
    ready = PREFIX / "bench-ready"
    if not ready.exists():
        shutil.rmtree(PREFIX, ignore_errors=True)
        (WORK / "home").mkdir(parents=True, exist_ok=True)
        log("making the bench Wine prefix (about 15 s, once)")
        subprocess.run([WINE64, "wineboot", "-i"], env=WINE_ENV, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        subprocess.run([WINESERVER, "-w"], env=WINE_ENV, check=True, timeout=300)
        ready.write_text("1")
    # No way to the host's whole tree; D: holds the bench's files.
    devices = PREFIX / "dosdevices"
    (devices / "z:").unlink(missing_ok=True)
    (devices / "d:").unlink(missing_ok=True)
    (devices / "d:").symlink_to(DATA)


def wine_start() -> None:
    subprocess.run([WINESERVER, "-p"], env=WINE_ENV, check=True)


def wine_stop() -> None:
    subprocess.run([WINESERVER, "-k"], env=WINE_ENV, stderr=subprocess.DEVNULL)


TIMING_EXE = DATA / "tools" / "bench_timing.exe"
FLOOR_EXE = DATA / "tools" / "bench_floor.exe"


LAST_CPU = [0.0]  # user + system seconds of the last run_wine program


def wait_with_usage(proc: subprocess.Popen, timeout: float, what: str):
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


def run_wine(exe: Path, args=(), cwd: Path = DATA, timeout: float = 600) -> tuple[int, str]:
    """Runs a program of the prefix to its end; (exit code, output). The output goes through a
    file: Wine's own service processes inherit a pipe and would keep it open."""
    out_path = WORK / "wine-output.txt"
    with open(out_path, "wb") as out:
        proc = subprocess.Popen([WINE64, win(exe), *args], env=WINE_ENV, cwd=cwd,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        code, usage = wait_with_usage(proc, timeout, f"{exe.name} {list(args)}")
        LAST_CPU[0] = usage.ru_utime + usage.ru_stime
    return code, out_path.read_bytes().decode("utf-8", "replace")


def timing(*args: str, exe: Path = TIMING_EXE) -> dict:
    """One bench_timing run; its RESULT line as a dict."""
    code, out = run_wine(exe, args)
    m = re.search(r"RESULT seconds=([0-9.]+) bytes=(\d+) ok=([01]) digest=(\S+)", out)
    if not m:
        raise RuntimeError(f"bench_timing {args} gave no result (exit {code}):\n{out[-2000:]}")
    return {"seconds": float(m[1]), "bytes": int(m[2]), "ok": m[3] == "1", "digest": m[4]}


def wall(command: list[str], **kwargs) -> tuple[float, subprocess.CompletedProcess]:
    start = time.perf_counter()
    r = subprocess.run(command, capture_output=True, timeout=600, **kwargs)
    elapsed = time.perf_counter() - start
    if r.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({r.returncode}): {r.stderr.decode()[-500:]}")
    return elapsed, r


# ----- nginx ---------------------------------------------------------------------------------
SERVER: list[Nginx] = []  # the nginx on port 443; the wan rows move it aside for a while


def start_nginx() -> Nginx:
    """Debian's nginx with the shipped server/korvantis-site.conf, as an update server runs it."""
    work = WORK / "nginx"
    shutil.rmtree(work / "log", ignore_errors=True)
    return Nginx(work, local_nginx_conf(work, WWW, CERTS, HOST))


def serve(name: str, source: Path, digest: str) -> str:
    """Puts source where server/korvantis-site.conf finds its version (as publish.py lays a root
    out); returns the launcher's request path for it."""
    link(source, WWW / UPDATE_ROOT / "surumler" / digest[:12] / name)
    link(source, WWW / UPDATE_ROOT / "dosyalar" / name)
    return f"/{UPDATE_ROOT}/dosyalar/{quote(name)}?v={digest[:12]}"


# ----- a launcher folder ---------------------------------------------------------------------
def launcher_folder(folder: Path) -> Path:
    """Korvantis.exe with the stand-in engine beside it and a saved path to a game folder."""
    folder.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(BUILD / "Korvantis.exe", folder / "Korvantis.exe")
    shutil.copyfile(BUILD / "tests" / "helpers" / "stand_in_engine.exe", folder / "xash3d.exe")
    game = DATA / "game"
    (game / "cstrike").mkdir(parents=True, exist_ok=True)
    (game / "cstrike" / "liblist.gam").write_text('game "Counter-Strike"\n')
    (game / "valve").mkdir(exist_ok=True)
    (folder / "hl_yolu.txt").write_bytes(win(game).encode("utf-16-le"))
    (folder / ENGINE_RECORD).unlink(missing_ok=True)
    return folder


def run_launcher(folder: Path, peak: bool = False, timeout: float = 600) -> dict:
    """Runs the launcher in folder to its end. started: wall time before the start; engine: wall
    time the stand-in engine wrote its record (None if it never started); peak_kib: the wine
    process's peak resident set, its VmHWM polled every 10 ms (peak: True); rusage_kib: wait4's
    ru_maxrss, which also counts the programs it started and whatever ran before exec."""
    record = folder / ENGINE_RECORD
    record.unlink(missing_ok=True)
    out_path = WORK / "launcher-output.txt"
    hwm = [0]
    with open(out_path, "wb") as out:
        started = time.time()
        # wine64 itself becomes the Windows process, so its pid is the launcher's.
        proc = subprocess.Popen([WINE64, win(folder / "Korvantis.exe")], env=WINE_ENV, cwd=folder,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=True)
        done = threading.Event()

        def poll() -> None:
            status = Path(f"/proc/{proc.pid}/status")
            while not done.is_set():
                try:
                    m = re.search(r"^VmHWM:\s+(\d+) kB", status.read_text(), re.M)
                    if m:
                        hwm[0] = max(hwm[0], int(m[1]))
                except OSError:
                    pass
                done.wait(0.01)

        poller = threading.Thread(target=poll, daemon=True)
        if peak:
            poller.start()
        try:
            _, usage = wait_with_usage(proc, timeout, "launcher")
        finally:
            done.set()
        ended = time.time()
    engine = None
    for _ in range(500):  # nobody waits for the engine; give it a moment
        if record.exists():
            engine = record.stat().st_mtime
            break
        time.sleep(0.01)
    output = out_path.read_bytes().decode("utf-8", "replace").replace("\r\n", "\n")
    return {"started": started, "ended": ended, "engine": engine, "code": proc.returncode,
            "out": output, "peak_kib": hwm[0], "rusage_kib": usage.ru_maxrss}


# ----- the benchmarks ------------------------------------------------------------------------
rows: list[tuple[str, str, str, str]] = []
notes: list[str] = []


def seconds_and_rate(seconds: float, size: int) -> str:
    return f"{seconds:.3f} s ({size / MIB / seconds:,.0f} MiB/s)"


def bench_hash() -> None:
    size = HASH_MB * MIB
    path = make_random(DATA / f"hash-{HASH_MB}.bin", size)
    warm(path)
    launcher, plain, openssl = [], [], []
    digests = set()
    for i in range(ROUNDS):
        r = timing("hash", win(path))
        assert r["ok"], r
        launcher.append(r["seconds"])
        digests.add(r["digest"])
        r = timing("hash", win(path), exe=FLOOR_EXE)
        assert r["ok"], r
        plain.append(r["seconds"])
        digests.add(r["digest"])
        t, o = wall(["openssl", "dgst", "-sha256", str(path)])
        openssl.append(t)
        digests.add(o.stdout.decode().split("= ")[-1].strip())
        log(f"  hash round {i + 1}: HashFileSha256 {launcher[-1]:.3f} s, BCrypt loop "
            f"{plain[-1]:.3f} s, openssl {openssl[-1]:.3f} s")
    if len(digests) != 1:
        raise RuntimeError(f"the three hashers disagree: {digests}")
    best = min(launcher)
    rows.append((f"hash {HASH_MB} MiB: HashFileSha256 vs BCrypt loop",
                 seconds_and_rate(best, size), seconds_and_rate(min(plain), size),
                 f"{best / min(plain):.2f}"))
    rows.append((f"hash {HASH_MB} MiB: HashFileSha256 vs openssl dgst",
                 seconds_and_rate(best, size), seconds_and_rate(min(openssl), size),
                 f"{best / min(openssl):.2f}"))
    for label, exe in variant_exes():
        t = min(timing("hash", win(path), exe=exe)["seconds"] for _ in range(ROUNDS))
        rows.append((f"hash {HASH_MB} MiB: {label} (scratch) vs BCrypt loop",
                     seconds_and_rate(t, size), seconds_and_rate(min(plain), size),
                     f"{t / min(plain):.2f}"))
    r = timing("read", win(path), exe=FLOOR_EXE)
    notes.append(f"ReadFile alone over the {HASH_MB} MiB file (1 MiB chunks, same Wine): "
                 f"{seconds_and_rate(r['seconds'], size)}: reading is "
                 f"{100 * r['seconds'] / best:.0f} % of HashFileSha256's time, the rest is "
                 f"Wine's BCrypt SHA-256")


def variant_exes() -> list[tuple[str, Path]]:
    """The scratch builds named in VARIANTS, copied onto drive D:."""
    found = []
    for label, path in VARIANTS:
        target = DATA / "tools" / f"variant-{len(found)}.exe"
        shutil.copyfile(path, target)
        found.append((label, target))
    return found


def bench_download() -> None:
    size = DOWNLOAD_MB * MIB
    source = make_random(DATA / f"download-{DOWNLOAD_MB}.bin", size)
    expected = sha256(source)
    server_path = serve(f"bench/download-{DOWNLOAD_MB}.bin", source, expected)
    out_dir = DATA / "downloads"
    out_dir.mkdir(exist_ok=True)
    clients = [("DownloadToFile", TIMING_EXE), ("WinHTTP loop", FLOOR_EXE), *variant_exes()]
    times: dict[str, list[float]] = {label: [] for label, _ in clients}
    cpu: dict[str, list[float]] = {label: [] for label, _ in clients}
    curl = []
    for i in range(ROUNDS):
        for label, exe in clients:
            target = out_dir / "launcher.bin"
            args = (HOST, server_path) if exe == FLOOR_EXE else (server_path,)
            r = timing("download", *args, win(target), exe=exe)
            if not r["ok"] or r["bytes"] != size:
                raise RuntimeError(f"{label} failed: {r}")
            if i == 0 and sha256(target) != expected:
                raise RuntimeError(f"{label} stored other bytes than served")
            target.unlink()
            times[label].append(r["seconds"])
            cpu[label].append(LAST_CPU[0])
        target = out_dir / "curl.bin"
        _, o = wall(["curl", "-sS", "--fail", "-o", str(target), "-w", "%{time_total}",
                     url(server_path)])
        if target.stat().st_size != size:
            raise RuntimeError("curl fetched a short file")
        target.unlink()
        curl.append(float(o.stdout.decode()))
        log(f"  download round {i + 1}: "
            + ", ".join(f"{label} {t[-1]:.3f} s (process CPU {cpu[label][-1]:.2f} s)"
                        for label, t in times.items())
            + f", curl {curl[-1]:.3f} s")
    floor = min(times.pop("WinHTTP loop"))
    for label, t in times.items():
        name = "DownloadToFile" if label == "DownloadToFile" else f"{label} (scratch)"
        rows.append((f"download {DOWNLOAD_MB} MiB: {name} vs bare WinHTTP loop",
                     seconds_and_rate(min(t), size), seconds_and_rate(floor, size), f"{min(t) / floor:.2f}"))
    best = min(times["DownloadToFile"])
    rows.append((f"download {DOWNLOAD_MB} MiB: DownloadToFile vs curl", seconds_and_rate(best, size),
                 seconds_and_rate(min(curl), size), f"{best / min(curl):.2f}"))


FINISH_FILES = max(1, env_int("FINISH_FILES", 200))
FINISH_KIB = max(1, env_int("FINISH_KIB", 72))


def bench_finish() -> None:
    """What follows a file's last byte up to its move, per file: the update's (flush, the digest
    taken while the bytes were written, move) against a second read for the digest as before, and
    against the flush and the move alone."""
    source = make_random(DATA / f"finish-{FINISH_KIB}k.bin", FINISH_KIB << 10)
    expected = sha256(source)
    server_path = serve(f"bench/finish-{FINISH_KIB}k.bin", source, expected)
    best: dict[str, float] = {}
    for i in range(ROUNDS):
        for how in ("inline", "reread", "flush"):
            folder = DATA / "finish"
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir()
            r = timing("finish", how, server_path, win(folder), str(FINISH_FILES))
            if not r["ok"] or r["bytes"] != FINISH_FILES * (FINISH_KIB << 10):
                raise RuntimeError(f"finish {how} failed: {r}")
            if how != "flush" and r["digest"] != expected:
                raise RuntimeError(f"finish {how} took another digest")
            per_file = r["seconds"] / FINISH_FILES
            best[how] = min(best.get(how, per_file), per_file)
        log(f"  finish round {i + 1}: " + ", ".join(f"{h} {best[h] * 1000:.2f} ms" for h in best))
    shown = lambda s: f"{s * 1000:.2f} ms/file"  # noqa: E731
    rows.append((f"last byte to move, {FINISH_KIB} KiB files: the update vs a second read", shown(best["inline"]),
                 shown(best["reread"]), f"{best['inline'] / best['reread']:.2f}"))
    rows.append((f"last byte to move, {FINISH_KIB} KiB files: the update vs flush and move alone",
                 shown(best["inline"]), shown(best["flush"]), f"{best['inline'] / best['flush']:.2f}"))


SCAN_DEPTH = 7  # the launcher's own depth below a drive's root


def scan_tree() -> Path:
    """10 x 10 x 10 x 10 x 4 = 40,000 leaves, 51,110 folders in all, five levels deep, no game."""
    tree = DATA / "tree"
    done = DATA / "tree.done"
    if not done.exists():
        shutil.rmtree(tree, ignore_errors=True)
        for a, b, c, d in itertools.product(range(10), repeat=4):
            for e in range(4):
                (tree / f"klasor_{a:02d}" / f"alt_{b:02d}" / f"dizin {c:02d}" / f"seviye_{d:02d}"
                 / f"yaprak-{e}").mkdir(parents=True)
        done.write_text("1")
    return tree


def bench_drive_scan() -> None:
    if not SCAN:
        notes.append("drive scan skipped (SCAN=0)")
        return
    tree = scan_tree()
    folders = sum(len(dirs) for _, dirs, _ in os.walk(tree))
    scan, walk, find = [], [], []
    for i in range(ROUNDS):
        r = timing("scan", win(tree), str(SCAN_DEPTH))
        assert r["ok"], r
        scan.append(r["seconds"])
        r = timing("walk", win(tree), str(SCAN_DEPTH), exe=FLOOR_EXE)
        if not r["ok"] or r["bytes"] != folders:
            raise RuntimeError(f"the bare walk saw {r['bytes']} of {folders} folders")
        walk.append(r["seconds"])
        t, _ = wall(["find", str(tree), "-maxdepth", str(SCAN_DEPTH), "-type", "d"])
        find.append(t)
        log(f"  scan round {i + 1}: ScanForGame {scan[-1]:.3f} s, FindFirstFileExW walk "
            f"{walk[-1]:.3f} s, find {find[-1]:.3f} s")
    rate = lambda t: f"{t:.3f} s ({folders / t:,.0f} folders/s)"  # noqa: E731
    rows.append((f"drive scan {folders:,} folders: ScanForGame vs bare FindFirstFileExW walk",
                 rate(min(scan)), rate(min(walk)), f"{min(scan) / min(walk):.2f}"))
    rows.append((f"drive scan {folders:,} folders: ScanForGame vs find", rate(min(scan)),
                 rate(min(find)), f"{min(scan) / min(find):.2f}"))
    for label, exe in variant_exes():
        t = min(timing("scan", win(tree), str(SCAN_DEPTH), exe=exe)["seconds"] for _ in range(ROUNDS))
        rows.append((f"drive scan {folders:,} folders: {label} (scratch) vs bare FindFirstFileExW walk",
                     rate(t), rate(min(walk)), f"{t / min(walk):.2f}"))


def mod_names() -> list[str]:
    return [f"cstrike_korvantis/pak{i:03d}.bin" for i in range(MOD_FILES)]


def bench_start() -> None:
    folder = launcher_folder(DATA / "mod")
    names = mod_names()
    size = MOD_MB * MIB
    for i, name in enumerate(names):
        part = size // MOD_FILES + (1 if i < size % MOD_FILES else 0)
        make_random(folder / name, part)
    for stale in (folder / "cstrike_korvantis").glob("*.bin"):
        if str(stale.relative_to(folder)) not in names:
            stale.unlink()
    listed = ["Korvantis.exe", "xash3d.exe", *names]
    publish_manifest(folder, listed)
    files = [folder / n for n in listed]
    warm(*files)

    def launcher_round() -> float:
        r = run_launcher(folder)
        if r["code"] != 0 or r["engine"] is None or UP_TO_DATE not in r["out"]:
            raise RuntimeError(f"up-to-date start failed (exit {r['code']}):\n{r['out'][-1500:]}")
        return r["engine"] - r["started"]

    def anchor_round() -> tuple[float, float]:
        fetch, _ = wall(["curl", "-sS", "--fail", "-o", "/dev/null",
                         url(f"/{UPDATE_ROOT}/manifest.txt?t={time.time_ns()}")])
        digest, _ = wall(["openssl", "dgst", "-sha256", *map(str, files)], cwd=folder)
        return fetch, digest

    launcher_round()  # the first start of a prefix loads and maps Wine's DLLs
    anchor_round()
    launcher, anchor = [], []
    for i in range(ROUNDS):
        launcher.append(launcher_round())
        fetch, digest = anchor_round()
        anchor.append(fetch + digest)
        log(f"  start round {i + 1}: launcher to engine {launcher[-1]:.3f} s; curl manifest "
            f"{fetch:.3f} s + openssl {digest:.3f} s")
    rows.append((f"start to engine, up-to-date {MOD_MB} MiB mod ({len(listed)} files)",
                 f"{min(launcher):.3f} s", f"{min(anchor):.3f} s (curl+openssl)",
                 f"{min(launcher) / min(anchor):.2f}"))

    # What any Wine program pays before its first line runs: the stand-in engine alone.
    empty = DATA / "empty"
    empty.mkdir(exist_ok=True)
    shutil.copyfile(folder / "xash3d.exe", empty / "xash3d.exe")
    starts = []
    for _ in range(ROUNDS):
        (empty / ENGINE_RECORD).unlink(missing_ok=True)
        started = time.time()
        run_wine(empty / "xash3d.exe", cwd=empty, timeout=60)
        starts.append((empty / ENGINE_RECORD).stat().st_mtime - started)
    notes.append(f"a Wine program's own start (the stand-in engine started alone, to its record): "
                 f"{min(starts):.3f} s of the launcher's {min(launcher):.3f} s")


def bench_memory() -> None:
    folder = launcher_folder(DATA / "mem")
    peaks = {}
    for mb in (MEM_SMALL_MB, MEM_BIG_MB):
        name = f"guncelleme-{mb}.bin"
        source = make_random(DATA / "payload" / name, mb * MIB)
        serve(name, source, sha256(source))
        for old in folder.glob("guncelleme-*"):
            old.unlink()
        publish_manifest(folder, ["Korvantis.exe", "xash3d.exe"])
        manifest = WWW / UPDATE_ROOT / "manifest.txt"
        with open(manifest, "a", encoding="utf-8") as f:
            f.write(f"{sha256(source)} {mb * MIB} {name}\n")
        best = None
        for i in range(MEM_ROUNDS):
            (folder / name).unlink(missing_ok=True)
            r = run_launcher(folder, peak=True)
            got = folder / name
            if (r["code"] != 0 or DONE not in r["out"] or not got.is_file()
                    or got.stat().st_size != mb * MIB or r["engine"] is None):
                raise RuntimeError(f"{mb} MiB update failed (exit {r['code']}):\n{r['out'][-1500:]}")
            log(f"  memory, {mb} MiB update round {i + 1}: VmHWM {r['peak_kib'] / 1024:.1f} MiB "
                f"(wait4 ru_maxrss {r['rusage_kib'] / 1024:.1f} MiB); "
                f"run {r['ended'] - r['started']:.1f} s")
            best = r if best is None or r["peak_kib"] > best["peak_kib"] else best
            got.unlink()
        peaks[mb] = best["peak_kib"]
    big, small = peaks[MEM_BIG_MB], peaks[MEM_SMALL_MB]
    rows.append((f"peak RSS, {MEM_BIG_MB} MiB update vs {MEM_SMALL_MB} MiB update",
                 f"{big / 1024:.1f} MiB", f"{small / 1024:.1f} MiB", f"{big / small:.2f}"))


# ----- a wide-area line ----------------------------------------------------------------------
RELAY = HERE / "wan_relay.py"
ORIGIN_PORT = 8443  # nginx moves here while the relay holds the update host's port 443
WAN_RATE = WAN_MBIT * 1e6 / 8  # bytes a second


class Line:
    """bench/wan_relay.py on 127.0.0.1:443 in front of nginx on ORIGIN_PORT, for one measured
    run: its connections, bytes and timing come from that run alone. Bounded by seconds and
    max_bytes; stats holds its totals once closed. drop_every: bytes downstream after which each
    connection drops (0: never)."""

    def __init__(self, rtt_ms: int, mbit: int, seconds: float, max_bytes: int,
                 drop_every: int = 0):
        self.log_path = WORK / "wan-relay.log"
        self.log_path.unlink(missing_ok=True)
        self.stats: dict[str, float] = {}
        with open(WORK / "wan-relay.err", "wb") as err:
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
                                   + (WORK / "wan-relay.err").read_text(errors="replace"))
            time.sleep(0.02)

    def __enter__(self) -> "Line":
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


def wan_mod(label: str, files: list[tuple[str, int]]) -> dict:
    """A mod's files (name, size) made once in DATA/wan-src/label, served as publish.py lays
    them out; its manifest lines and the launcher's request path for each."""
    source = DATA / "wan-src" / label
    entries = []
    for name, size in files:
        path = make_random(source / name, size)
        digest = sha256(path)
        entries.append({"name": name, "size": size, "digest": digest,
                        "path": serve(name, path, digest)})
    return {"label": label, "source": source, "entries": entries,
            "bytes": sum(e["size"] for e in entries)}


def wan_mods() -> list[dict]:
    rng = random.Random("korvantis-wan")
    # Many small files, a few near 256 KiB: about 62 MiB in 1,000.
    small = [(f"cstrike_korvantis/sesler/{i // 100:02d}/ses_{i:04d}.wav",
              (2 << 10) + int((254 << 10) * rng.random() ** 3.2)) for i in range(WAN_SMALL)]
    medium = [(f"cstrike_korvantis/paketler/paket_{i:02d}.pak", 2 * MIB) for i in range(WAN_MEDIUM)]
    large = [(f"cstrike_korvantis/haritalar/harita_{i:02d}.bsp", 8 * MIB) for i in range(WAN_LARGE)]
    return [m for m in (wan_mod("many", small + medium), wan_mod("large", large)) if m["entries"]]


def wan_publish(mod: dict, player: Path) -> None:
    """The manifest of a player folder that has the launcher and the engine and nothing else."""
    publish_manifest(launcher_folder(player), ["Korvantis.exe", "xash3d.exe"])
    with open(WWW / UPDATE_ROOT / "manifest.txt", "a", encoding="utf-8") as f:
        for e in mod["entries"]:
            f.write(f"{e['digest']} {e['size']} {e['name']}\n")


def wan_budget(mod: dict) -> float:
    """Seconds any one run may take: far above a slow run, still an end."""
    floor = mod["bytes"] / WAN_RATE
    return 120 + 20 * (floor + 4 * len(mod["entries"]) * WAN_RTT_MS / 1000)


def wan_line(mod: dict, rtt_ms: int = WAN_RTT_MS, mbit: int = WAN_MBIT, runs: int = 1) -> Line:
    return Line(rtt_ms, mbit, runs * wan_budget(mod) + 60, runs * 2 * mod["bytes"] + 256 * MIB)


def wan_curl_config(mod: dict, out: Path) -> Path:
    """curl's list of the launcher's requests for mod, each to its own file below out."""
    config = WORK / f"wan-curl-{mod['label']}.txt"
    config.write_text("".join(f'url = "{url(e["path"])}"\noutput = "{out / e["name"]}"\n'
                              for e in mod["entries"]))
    return config


def wan_curl(mod: dict, parallel: int, check: bool, direct: bool = False) -> float:
    """Every file of mod fetched by one curl: over one keep-alive connection, or over
    `parallel` connections at once (curl -Z). Wall seconds; the files' sizes are checked, and
    their digests when check is set. direct: to nginx itself, past the relay."""
    out = WORK / "wan-curl"
    shutil.rmtree(out, ignore_errors=True)
    command = ["curl", "-sS", "--fail", "--create-dirs", "-K", str(wan_curl_config(mod, out))]
    if parallel > 1:
        command[1:1] = ["-Z", "--parallel-max", str(parallel)]
    if direct:
        command[1:1] = ["--connect-to", f"{HOST}:443:127.0.0.1:{ORIGIN_PORT}"]
    start = time.perf_counter()
    r = subprocess.run(command, capture_output=True, timeout=wan_budget(mod))
    elapsed = time.perf_counter() - start
    if r.returncode != 0:
        raise RuntimeError(f"curl failed ({r.returncode}): {r.stderr.decode()[-500:]}")
    for e in mod["entries"]:
        got = out / e["name"]
        if got.stat().st_size != e["size"] or (check and sha256(got) != e["digest"]):
            raise RuntimeError(f"curl stored other bytes than served for {e['name']}")
    shutil.rmtree(out)
    return elapsed


def wan_install(mod: dict, player: Path, origin: Nginx, check: bool) -> float:
    """The launcher's first install of mod into a player folder with only the launcher and the
    engine: seconds from its start to the engine's record. check: its requests must be the
    ones curl makes."""
    shutil.rmtree(player, ignore_errors=True)
    launcher_folder(player)
    before = len(origin.log_lines())
    r = run_launcher(player, timeout=wan_budget(mod))
    if r["code"] != 0 or r["engine"] is None or DONE not in r["out"]:
        raise RuntimeError(f"{mod['label']} install failed (exit {r['code']}):\n{r['out'][-1500:]}")
    for e in mod["entries"]:
        if (player / e["name"]).stat().st_size != e["size"]:
            raise RuntimeError(f"the launcher left {e['name']} with another size")
    if check:
        asked = {m[1] for m in map(re.compile(r'"GET (\S+) HTTP').search,
                                   origin.log_lines()[before:]) if m and "/dosyalar/" in m[1]}
        if asked != {e["path"] for e in mod["entries"]}:
            raise RuntimeError(f"the launcher asked for other files than curl does: "
                               f"{sorted(asked ^ {e['path'] for e in mod['entries']})[:5]}")
    return r["engine"] - r["started"]


def wan_relay_checks(mods: list[dict]) -> None:
    """The relay set against nginx itself (no delay, a rate far above loopback's), then one big
    file over the configured line: its handshake, first byte and rate."""
    check = DATA / "wan-src" / f"check-{WAN_CHECK_MB}.bin"
    size = WAN_CHECK_MB * MIB
    make_random(check, size)
    path = serve(f"bench/wan-check-{WAN_CHECK_MB}.bin", check, sha256(check))
    curl = ["curl", "-sS", "--fail", "-o", "/dev/null", "-w",
            "%{time_appconnect} %{time_starttransfer} %{time_total} %{size_download}", url(path)]

    def fetch(*extra: str) -> list[float]:
        _, r = wall([curl[0], *extra, *curl[1:]])
        times = [float(x) for x in r.stdout.decode().split()]
        if times[3] != size:
            raise RuntimeError("curl fetched a short check file")
        return times

    fastest = lambda runs: min(runs, key=lambda t: t[2])  # noqa: E731
    direct = fastest([fetch("--connect-to", f"{HOST}:443:127.0.0.1:{ORIGIN_PORT}")
                      for _ in range(3)])
    many = mods[0]
    many_direct = wan_curl(many, 1, False, direct=True)
    with wan_line(many, 0, 100_000, runs=2) as line:
        relayed = fastest([fetch() for _ in range(3)])
        many_relayed = wan_curl(many, 1, False)
    notes.append(f"relay overhead (0 ms, 100 Gbit/s) against nginx itself: {WAN_CHECK_MB} MiB "
                 f"curl {relayed[2]:.3f} s vs {direct[2]:.3f} s; {len(many['entries']):,} "
                 f"files over one connection {many_relayed:.3f} s vs {many_direct:.3f} s "
                 f"(+{1000 * (many_relayed - many_direct) / len(many['entries']):.2f} ms a file); "
                 f"relay CPU {line.stats['cpu_s']:.1f} s")
    rtt = WAN_RTT_MS / 1000
    with Line(WAN_RTT_MS, WAN_MBIT, 60 + 20 * size / WAN_RATE, 2 * size + 64 * MIB) as line:
        tls, first, total, _ = fetch()
    # curl loads its CA store while its first flight is on the way, so the handshake is set
    # against round trips alone; the request against the same step at 0 ms.
    ms = lambda t: f"{1000 * t:.1f} ms"  # noqa: E731
    notes.append(f"line check, one {WAN_CHECK_MB} MiB curl over the relay: TLS ready at "
                 f"{ms(tls)} (2 RTT + {ms(tls - 2 * rtt)}; TLS 1.3 after the TCP handshake), "
                 f"first byte 1 RTT + {ms(first - tls - rtt)} later (at 0 ms: "
                 f"{ms(relayed[1] - relayed[0])}), body at "
                 f"{size / (total - first) * 8 / 1e6:.1f} Mbit/s, total {total:.3f} s vs "
                 f"size/rate + 3 RTT = {size / WAN_RATE + 3 * rtt:.3f} s; releases late by "
                 f"{line.stats['late_ms_mean']:.3f} ms on average (p99 "
                 f"{line.stats['late_ms_p99']:.2f} ms)")


@contextlib.contextmanager
def behind_relay(player: Path):
    """nginx on ORIGIN_PORT, port 443 free for a Line, until the block ends; before that, one
    up-to-date start in player loads Wine's DLLs for the network and TLS."""
    player = launcher_folder(player)
    publish_manifest(player, ["Korvantis.exe", "xash3d.exe"])
    r = run_launcher(player)
    if r["code"] != 0 or UP_TO_DATE not in r["out"]:
        raise RuntimeError(f"up-to-date start failed (exit {r['code']}):\n{r['out'][-1500:]}")

    SERVER[0].close()
    work = WORK / "nginx-wan"
    shutil.rmtree(work / "log", ignore_errors=True)
    origin = Nginx(work, local_nginx_conf(work, WWW, CERTS, HOST, origin_port(ORIGIN_PORT)))
    try:
        yield origin
    finally:
        origin.close()
        SERVER[0] = start_nginx()


def bench_wan() -> None:
    mods = wan_mods()
    players = {m["label"]: DATA / "wan-player" / m["label"] for m in mods}
    with behind_relay(players[mods[0]["label"]]) as origin:
        for mod in mods:
            warm(*(mod["source"] / e["name"] for e in mod["entries"]))
        wan_relay_checks(mods)
        for mod in mods:
            wan_rows(mod, players[mod["label"]], origin)
    notes.append(f"wan: a relay (bench/wan_relay.py) between the clients and nginx adds "
                 f"{WAN_RTT_MS} ms round trips, one more for each new connection, and one "
                 f"{WAN_MBIT} Mbit/s downstream rate shared by all connections; floor = the "
                 f"files' bytes / that rate. The launcher's time runs from its start to the "
                 f"engine's record: Wine's start and its pause after an update included")


def wan_rows(mod: dict, player: Path, origin: Nginx) -> None:
    wan_publish(mod, player)
    files = len(mod["entries"])
    floor = mod["bytes"] / WAN_RATE
    times: dict[str, list[float]] = {"launcher": [], "curl": [], "curl -Z": []}
    lines: dict[str, dict] = {}
    for i in range(ROUNDS):
        for label, run in (("launcher", lambda: wan_install(mod, player, origin, i == 0)),
                           ("curl", lambda: wan_curl(mod, 1, i == 0)),
                           ("curl -Z", lambda: wan_curl(mod, 6, i == 0))):
            with wan_line(mod) as line:
                times[label].append(run())
            lines[label] = line.stats
        log(f"  wan {mod['label']} round {i + 1}: "
            + ", ".join(f"{label} {t[-1]:.3f} s" for label, t in times.items())
            + f" (floor {floor:.3f} s)")
    best = {label: min(t) for label, t in times.items()}
    name = (f"wan {WAN_RTT_MS} ms {WAN_MBIT} Mbit/s, install {files:,} files "
            f"{mod['bytes'] / MIB:.0f} MiB")
    x = lambda t: f"{t:.3f} s ({t / floor:.2f}x floor)"  # noqa: E731
    rows.append((f"{name}: launcher vs floor", x(best["launcher"]),
                 f"{floor:.3f} s (bytes / rate)", f"{best['launcher'] / floor:.2f}"))
    rows.append((f"{name}: launcher vs curl, 1 connection", x(best["launcher"]), x(best["curl"]),
                 f"{best['launcher'] / best['curl']:.2f}"))
    rows.append((f"{name}: launcher vs curl -Z, 6 connections", x(best["launcher"]),
                 x(best["curl -Z"]), f"{best['launcher'] / best['curl -Z']:.2f}"))
    notes.append(f"wan {mod['label']} ({files:,} files): connections / MiB on the line, last "
                 f"round: " + ", ".join(
                     f"{label} {s['connections']:.0f} / {s['down'] / MIB:.1f}"
                     for label, s in lines.items())
                 + f" (files {mod['bytes'] / MIB:.1f})")


# ----- a line that drops ---------------------------------------------------------------------
def answers_to(origin: Nginx, before: int, path: str) -> list[str]:
    """The statuses nginx logged for path after its first `before` log lines."""
    request = re.compile(r'"GET (\S+) HTTP/[0-9.]+" (\d{3}) ')
    return [m[2] for m in map(request.search, origin.log_lines()[before:]) if m and m[1] == path]


def weak_launcher(entry: dict, player: Path, budget: float) -> dict:
    """One start of the launcher on a first install of the one file: seconds to the engine's
    record (to its end when the engine never started), and whether the file is there, whole."""
    shutil.rmtree(player, ignore_errors=True)
    launcher_folder(player)
    r = run_launcher(player, timeout=budget)
    got = player / entry["name"]
    arrived = (r["code"] == 0 and DONE in r["out"] and got.is_file()
               and got.stat().st_size == entry["size"] and sha256(got) == entry["digest"])
    end = r["engine"] if r["engine"] is not None else r["ended"]
    return {"arrived": arrived, "seconds": end - r["started"], "tries": 1,
            "out": r["out"], "codes": [r["code"]]}


def weak_curl(entry: dict, budget: float) -> dict:
    """curl -C - again and again until it ends well (as a player's retry loop would), each try
    continuing the file the last one left."""
    out = WORK / "weak-curl.bin"
    out.unlink(missing_ok=True)
    command = ["curl", "-sS", "--fail", "-C", "-", "-o", str(out), url(entry["path"])]
    codes = []
    start = time.perf_counter()
    while len(codes) < WEAK_TRIES and time.perf_counter() - start < budget:
        r = subprocess.run(command, capture_output=True,
                           timeout=max(1.0, budget - (time.perf_counter() - start)))
        codes.append(r.returncode)
        if r.returncode == 0:
            break
    seconds = time.perf_counter() - start
    arrived = (codes[-1] == 0 and out.is_file() and out.stat().st_size == entry["size"]
               and sha256(out) == entry["digest"])
    out.unlink(missing_ok=True)
    return {"arrived": arrived, "seconds": seconds, "tries": len(codes), "codes": codes}


def bench_weakline() -> None:
    size = WEAK_MB * MIB
    rate = WEAK_MBIT * 1e6 / 8
    floor = size / rate
    cut = WEAK_DROP_MB * MIB
    budget = 120 + 20 * floor
    mod = wan_mod("weak", [("cstrike_korvantis/haritalar/zayif_hat.bsp", size)])
    entry = mod["entries"][0]
    player = DATA / "wan-player" / "weak"
    results: dict[str, list[dict]] = {"launcher": [], "curl -C -": []}
    with behind_relay(player) as origin:
        warm(mod["source"] / entry["name"])
        wan_publish(mod, player)
        for i in range(ROUNDS):
            for label, run in (("launcher", lambda: weak_launcher(entry, player, budget)),
                               ("curl -C -", lambda: weak_curl(entry, budget))):
                before = len(origin.log_lines())
                with Line(WAN_RTT_MS, WEAK_MBIT, budget + 60, 4 * size + 256 * MIB,
                          cut) as line:
                    r = run()
                # Read once the line is closed: nginx logs a cut answer when it notices.
                r.update(wire=line.stats["down"], drops=line.stats["drops"],
                         connections=line.stats["connections"],
                         answers=answers_to(origin, before, entry["path"]))
                results[label].append(r)
                if label == "launcher" and not r["arrived"]:
                    log(f"  launcher output (exit {r['codes'][0]}):\n{r['out'][-1500:]}")
            log(f"  weakline round {i + 1}: " + ", ".join(
                f"{label} {'arrived' if rs[-1]['arrived'] else 'NOT arrived'} "
                f"{rs[-1]['seconds']:.3f} s, wire {rs[-1]['wire'] / size:.3f}x size, "
                f"answers {' '.join(rs[-1]['answers'])}" for label, rs in results.items())
                + f" (floor {floor:.3f} s)")

    def best(rs: list[dict]) -> dict:
        return min(rs, key=lambda r: (not r["arrived"], r["seconds"]))

    def cell(r: dict, tries: str) -> str:
        return (f"{'arrived' if r['arrived'] else 'NOT arrived'}, {r['seconds']:.3f} s "
                f"({r['seconds'] / floor:.2f}x floor), wire {r['wire'] / size:.3f}x size, "
                f"{r['tries']} {tries}, {len(r['answers'])} requests")

    def ratio(a: dict, b: dict) -> str:
        return f"{a['seconds'] / b['seconds']:.2f}" if a["arrived"] and b["arrived"] else "-"

    launcher, curl = best(results["launcher"]), best(results["curl -C -"])
    name = (f"weak line {WAN_RTT_MS} ms {WEAK_MBIT} Mbit/s, drops every {WEAK_DROP_MB} MiB, "
            f"one {WEAK_MB} MiB file")
    rows.append((f"{name}: launcher vs floor", cell(launcher, "start"),
                 f"{floor:.3f} s (bytes / rate)",
                 ratio(launcher, {"arrived": True, "seconds": floor})))
    rows.append((f"{name}: launcher vs curl -C - in a loop", cell(launcher, "start"),
                 cell(curl, "tries"), ratio(launcher, curl)))
    rows.append((f"{name}: launcher's bytes on the line vs the file", f"{launcher['wire']:,.0f} B",
                 f"{size:,} B", f"{launcher['wire'] / size:.3f}"))
    notes.append(f"weak line: the wan relay drops each connection once {WEAK_DROP_MB} MiB went "
                 f"down it; bytes on the line = everything it carried downstream in that run "
                 f"(manifest, TLS and headers included); the launcher's time runs from its start "
                 f"to the engine's record (Wine's start included). Each round: " + "; ".join(
                     f"{label} " + ", ".join(
                         f"{r['seconds']:.1f} s {r['wire'] / size:.3f}x {r['connections']:.0f} "
                         f"connections {r['drops']:.0f} drops answers "
                         f"{'/'.join(r['answers'])} exits {'/'.join(map(str, r['codes']))}"
                         for r in rs) for label, rs in results.items()))


def print_table() -> None:
    header = ("benchmark", "launcher", "anchor", "ratio")
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(4)]
    line = lambda r: "  ".join(c.ljust(w) if i < 3 else c.rjust(w)
                               for i, (c, w) in enumerate(zip(r, widths)))
    print()
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    print("\nratio: launcher / anchor (time: above 1 means slower; memory: 1 means flat).")
    print(f"best of {ROUNDS} rounds (memory: {MEM_ROUNDS}); files read from the page cache.")
    for n in notes:
        print("- " + n)


def main() -> int:
    started = time.monotonic()
    for folder in (DATA / "tools", WWW, WORK / "home"):
        folder.mkdir(parents=True, exist_ok=True)
    for exe in (TIMING_EXE, FLOOR_EXE):
        shutil.copyfile(BUILD / "bench" / exe.name, exe)
    prepare_prefix()
    SERVER.append(start_nginx())
    wine_start()
    try:
        for name, step in (("hash", bench_hash), ("download", bench_download),
                           ("start", bench_start), ("memory", bench_memory),
                           ("scan", bench_drive_scan), ("finish", bench_finish), ("wan", bench_wan),
                           ("weakline", bench_weakline)):
            if ONLY and name not in ONLY:
                continue
            log(f"{name} ...")
            t = time.monotonic()
            step()
            log(f"{name}: {time.monotonic() - t:.0f} s")
    finally:
        wine_stop()
        SERVER[0].close()
    print_table()
    print(f"whole bench: {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
