"""The launcher's benchmarks against anchors measured in the same run (started by bench/run.sh,
inside its network namespace). Progress goes to standard error, the table to standard output.

Every ratio is launcher / anchor: time against time (above 1: the launcher is slower), or for
the memory row the peak of the big update against the peak of the small one (1: flat)."""

from __future__ import annotations

import hashlib
import itertools
import os
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path
from urllib.parse import quote

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "scenarios"))
from harness.korvantis import DONE, ENGINE_RECORD, UP_TO_DATE  # noqa: E402
from harness.nginx import Nginx, local_nginx_conf  # noqa: E402
from harness.wine import base_env  # noqa: E402  (the one place Wine's settings are made)
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
# A subset of the benchmarks, e.g. ONLY=hash,download (names: hash download start memory scan).
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
        shutil.copyfile(BUILD / "tests" / "helpers" / exe.name, exe)
    prepare_prefix()
    server = start_nginx()
    wine_start()
    try:
        for name, step in (("hash", bench_hash), ("download", bench_download),
                           ("start", bench_start), ("memory", bench_memory),
                           ("scan", bench_drive_scan)):
            if ONLY and name not in ONLY:
                continue
            log(f"{name} ...")
            t = time.monotonic()
            step()
            log(f"{name}: {time.monotonic() - t:.0f} s")
    finally:
        wine_stop()
        server.close()
    print_table()
    print(f"whole bench: {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
