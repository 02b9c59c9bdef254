"""Crash-safety soak: the same update (old files, Korvantis.exe among them, to new ones) again and
again with a fault at a random point: the server cutting a body at a random byte, the server
dropping a connection, or the launcher's process killed (SIGKILL) mid-download or
mid-replacement. After every run each file of the launcher folder must be its old or its new
version, Korvantis.exe must be there and runnable, and a clean run must bring the folder to the
published state.

    KORVANTIS_SOAK_RUNS      faulted runs (default 100)
    KORVANTIS_SOAK_SEED      seed of the fault choices (default: from the clock; printed)
    KORVANTIS_SOAK_SECONDS   time budget; the soak fails if it is used up first (default 600)
    KORVANTIS_SOAK_CONVERGE  share of runs followed by a clean run that must converge (0.2)
"""

from __future__ import annotations

import os
import random
import signal
import threading
import time
from collections import Counter

import pytest

from korvantis_harness import https_server as reply
from korvantis_harness.wine import prefix_programs, program_name
from korvantis_harness.korvantis import (BANNER, DONE, DOWNLOAD_SUFFIX, ENGINE, ENGINE_RECORD,
                                         LAUNCHER, OLD_SUFFIX, PARTIAL, PROMPT, SAVED_PATH,
                                         UNCHANGED, UP_TO_DATE)
from korvantis_harness.launcher_run import LauncherFolder, Run, copy_tree_files, kill_launchers

RUNS = int(os.environ.get("KORVANTIS_SOAK_RUNS", "100"))
SEED = int(os.environ.get("KORVANTIS_SOAK_SEED", str(time.time_ns() % 10**9)))
BUDGET = float(os.environ.get("KORVANTIS_SOAK_SECONDS", "600"))
CONVERGE_SHARE = float(os.environ.get("KORVANTIS_SOAK_CONVERGE", "0.2"))
FAULTS = ("cut", "drop", "kill at random", "kill after a body")
RUN_LIMIT = 90  # one run with all its pauses and a restart is far below this
ENGINE_START_LIMIT = 5  # the stand-in engine writes its record within a fraction of this


class _BodyThenSignal(reply.Reply):
    """The whole file, then a signal: the launcher is now verifying and replacing it."""

    def __init__(self, data: bytes, sent: threading.Event):
        self.data, self.sent = data, sent

    def act(self, handler):
        handler.send_response(200)
        handler.send_header("Content-Length", str(len(self.data)))
        handler.end_headers()
        handler.wfile.write(self.data)
        handler.wfile.flush()
        self.sent.set()


def _once(fault):
    """A scripted answer for the first matching request only; later ones are served normally."""
    used = []

    def answer(_request):
        if used:
            return None
        used.append(True)
        return fault

    return answer


def versions(launcher: bytes, engine: bytes, rng: random.Random) -> tuple[dict, dict]:
    def noise(n):
        return rng.randbytes(n)

    old = {
        LAUNCHER: launcher + b"\0surum eski\0" + noise(20_000),
        ENGINE: engine + b"\0surum eski",
        "cstrike/maps/korvantis_1.bsp": noise(1_500_000),
        "cstrike/sound/giris sesi.wav": noise(300_000),
        "cstrike/ayar.cfg": b"name eski\n",
    }
    new = {
        LAUNCHER: launcher + b"\0surum yeni\0" + noise(90_000),
        ENGINE: engine + b"\0surum yeni\0" + noise(1000),
        "cstrike/maps/korvantis_1.bsp": noise(1_700_000),
        "cstrike/sound/giris sesi.wav": noise(280_000),
        "cstrike/ayar.cfg": b"name yeni\nbind k kill\n",
    }
    return old, new


class Soak:
    def __init__(self, prefix, launcher_exe, helper_exe, game_folder, server, rng):
        self.prefix = prefix
        self.server = server
        self.rng = rng
        self.old, self.new = versions(launcher_exe.read_bytes(),
                                      helper_exe("stand_in_engine").read_bytes(), rng)
        self.home = LauncherFolder(prefix, self.old[LAUNCHER], self.old[ENGINE], game_folder,
                                   prefix.drive_c / "Korvantis Mod")
        self.folder = self.home.folder
        self.outcomes: Counter = Counter()

    # ----- one run -----------------------------------------------------------------------
    def publish(self) -> None:
        """The new versions, in a fresh order each run (the launcher goes by manifest order)."""
        names = list(self.new)
        self.rng.shuffle(names)
        self.server.clear_scripts()
        self.server.publish({n: self.new[n] for n in names})

    def start_from_old(self) -> None:
        # Leftovers of an earlier run stay: the next download of that entry must cope.
        copy_tree_files(self.old, self.folder)
        self.home.forget_engine_start()

    def run_to_end(self, label: str) -> Run:
        run = Run(self.prefix, self.home.launcher)
        code = run.wait(RUN_LIMIT)
        self.first_process_seconds = run.elapsed()
        self.prefix.wait_idle(RUN_LIMIT)
        assert code == 0, f"{label}: exit {code}\n{run.out}"
        assert PROMPT not in run.out, f"{label}:\n{run.out}"
        assert self.home.engine_started(), f"{label}: the game did not start\n{run.out}"
        return run

    def faulted_run(self, fault: str) -> str:
        names = list(self.new)
        if fault in ("cut", "drop"):
            target = self.rng.choice(names + ["manifest"] if fault == "drop" else names)
            path = reply.MANIFEST_PATH if target == "manifest" else self.server.file_path(target)
            if fault == "cut":
                data = self.new[target]
                at = self.rng.randrange(len(data))
                chunked = self.rng.random() < 0.3
                self.server.on(path, _once(reply.cut(data, at, chunked=chunked)))
                label = f"cut {target} at byte {at}{' (chunked)' if chunked else ''}"
            else:
                self.server.on(path, _once(reply.drop()))
                label = f"drop {target}"
            run = self.run_to_end(label)
            if target == "manifest":
                assert UNCHANGED in run.out, f"{label}:\n{run.out}"
            else:
                # Every download of the run either lands or is cleaned up.
                assert self.home.leftovers() == [], f"{label}: {self.home.leftovers()}"
                assert PARTIAL in run.out or DONE in run.out, f"{label}:\n{run.out}"
            self.outcomes[fault] += 1
            return label

        sent = threading.Event()
        if fault == "kill after a body":
            target = self.rng.choice(names)
            self.server.on(self.server.file_path(target),
                           _once(_BodyThenSignal(self.new[target], sent)))
        run = Run(self.prefix, self.home.launcher)
        if fault == "kill after a body":
            delay = self.rng.uniform(0, 0.03)
            arrived = sent.wait(RUN_LIMIT)
            label = f"kill {delay * 1000:.1f} ms after the body of {target}"
        else:
            delay = self.rng.uniform(0.05, self.clean_seconds)
            arrived = True
            label = f"kill at {delay:.3f} s"
        time.sleep(delay)
        killed = run.kill()
        unstarted_engine = self.reap_unstarted_engine()
        self.prefix.wait_idle(RUN_LIMIT)
        if unstarted_engine:
            self.outcomes[fault + " (during the engine start, before the engine's first line)"] += 1
            return label
        if not (killed and arrived):
            self.outcomes[fault + " (ran out first)"] += 1
        elif any(pid != run.proc.pid for pid in killed) and run.out.count(BANNER) < 2:
            # The restart after a self-update was under way: a launcher killed inside
            # CreateProcessW leaves the new process created but never resumed under Wine
            # (Windows does the same in a far narrower window). It never runs a line of its
            # own and would wait for ever; it is killed with the rest and counted here.
            self.outcomes[fault + " (during the restart, before the new launcher's first line)"] += 1
        else:
            self.outcomes[fault] += 1
        return label

    def reap_unstarted_engine(self) -> bool:
        """The launcher killed inside CreateProcessW of the engine leaves, under Wine, an engine
        process created and never resumed: it never runs (the stand-in's first act is its
        record) and would wait for ever. Killed and reported; an engine that runs is left be."""
        deadline = time.monotonic() + ENGINE_START_LIMIT
        while True:
            engines = [pid for pid, cmdline in prefix_programs(self.prefix.root)
                       if program_name(cmdline) == ENGINE.lower()]
            if not engines or self.home.engine_started():
                return False
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
        for pid in engines:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        return True

    # ----- checks ------------------------------------------------------------------------
    def check_old_or_new(self, label: str) -> None:
        present = self.home.files()
        problems = []
        aside_name, arriving_name = LAUNCHER + OLD_SUFFIX, LAUNCHER + DOWNLOAD_SUFFIX
        if (LAUNCHER not in present and present.get(aside_name) == self.old[LAUNCHER]
                and present.get(arriving_name) == self.new[LAUNCHER]):
            # Killed between the two renames of a running launcher: Windows lets a running exe
            # be renamed but never replaced, so that instant cannot be closed. Both versions are
            # whole on disk; the player's recovery is to run the downloaded copy again, which
            # this stands in for. Counted and reported, never silently passed.
            self.outcomes["killed between the launcher's two renames (recovered by reinstall)"] += 1
            (self.folder / LAUNCHER).write_bytes(present[aside_name])
            present = self.home.files()
        for name in self.new:
            data = present.get(name)
            if data is None:
                problems.append(f"{name} missing")
            elif data not in (self.old[name], self.new[name]):
                problems.append(f"{name} is neither version ({len(data)} bytes)")
        aside = present.get(LAUNCHER + OLD_SUFFIX)
        if aside is not None and aside not in (self.old[LAUNCHER], self.new[LAUNCHER]):
            problems.append(f"{LAUNCHER}{OLD_SUFFIX} is neither version")
        if present.get(SAVED_PATH) != self.home.saved_path:
            problems.append(f"{SAVED_PATH} lost or changed")
        allowed = set(self.new) | {SAVED_PATH, ENGINE_RECORD, LAUNCHER + OLD_SUFFIX}
        allowed |= {n + DOWNLOAD_SUFFIX for n in self.new}
        problems += [f"unexpected {n}" for n in present if n not in allowed]
        assert not problems, f"after {label}: {problems}; folder: {sorted(present)}"

    def converge(self, label: str) -> None:
        self.server.clear_scripts()
        run = self.run_to_end(f"clean run after {label}")
        assert DONE in run.out or UP_TO_DATE in run.out, run.out
        present = self.home.files()
        stale = [n for n, data in self.new.items() if present.get(n) != data]
        assert not stale, f"clean run after {label} left {stale}\n{run.out}"
        assert self.home.leftovers() == [], self.home.leftovers()

    def measure_clean_update(self) -> None:
        """Fault-free updates from the old files, timed: random kills fall within the span of
        the process that downloads and replaces (the first start of a prefix is slower)."""
        spans = []
        for _ in range(2):
            self.publish()
            self.start_from_old()
            run = self.run_to_end("clean update")
            spans.append(self.first_process_seconds)
            assert DONE in run.out, run.out
            self.converge("a clean update")
        self.clean_seconds = min(spans)


@pytest.fixture
def soak(prefix, launcher_exe, helper_exe, game_folder, server):
    print(f"\nsoak seed {SEED} (KORVANTIS_SOAK_SEED={SEED} repeats it), {RUNS} runs")
    return Soak(prefix, launcher_exe, helper_exe, game_folder, server, random.Random(SEED))


def test_update_survives_faults_at_random_points(soak):
    began = time.monotonic()
    soak.measure_clean_update()
    soak.check_old_or_new("the first clean update")
    print(f"clean update, downloading process: {soak.clean_seconds:.2f} s")
    convergences = 1
    for number in range(1, RUNS + 1):
        if time.monotonic() - began > BUDGET:
            pytest.fail(f"time budget of {BUDGET:.0f} s used up after {number - 1} of {RUNS} "
                        f"runs (seed {SEED}); faults so far: {dict(soak.outcomes)}")
        fault = soak.rng.choice(FAULTS)
        soak.publish()
        soak.start_from_old()
        label = soak.faulted_run(fault)
        label = f"run {number} ({label}, seed {SEED})"
        soak.check_old_or_new(label)
        if soak.rng.random() < CONVERGE_SHARE or number == RUNS:
            soak.converge(label)
            soak.check_old_or_new(label + " and a clean run")
            convergences += 1
    # Leftovers of killed runs must not outlive the next clean run either.
    kill_launchers(soak.prefix)
    took = time.monotonic() - began
    print(f"soak: {RUNS} faulted runs, {convergences} clean runs converged, "
          f"{took:.0f} s; faults survived: {dict(soak.outcomes)}")
