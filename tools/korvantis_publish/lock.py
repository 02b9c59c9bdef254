"""One publication, prune or rollback at a time on an update root: two at once could each keep
a manifest under the same number, or prune the versions the other has just written."""

from __future__ import annotations

import contextlib
import os
import time
from collections.abc import Iterator

from .errors import PublishError, Refused
from .layout import UpdateRoot
from .names import show_name

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None
    import msvcrt

WAIT_SECONDS = 30.0
# Lets a test (or a maintainer) wait less or longer.
WAIT_VARIABLE = "KORVANTIS_PUBLISH_LOCK_WAIT"
POLL_SECONDS = 0.1


def try_lock(fd: int) -> bool:
    try:
        if fcntl:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        else:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
        return True
    except OSError:
        return False


def wait_seconds() -> float:
    text = os.environ.get(WAIT_VARIABLE)
    try:
        return WAIT_SECONDS if text is None else float(text)
    except ValueError:
        raise PublishError("%s=%s is not a number of seconds" % (WAIT_VARIABLE, text))


@contextlib.contextmanager
def update_lock(paths: UpdateRoot) -> Iterator[None]:
    """Holds the update root's lock, waiting a bounded time for a run that holds it; the lock
    goes with the process, however it ends."""
    wait = wait_seconds()
    fd = os.open(paths.lock, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        if os.name != "nt":
            os.fchmod(fd, 0o644)   # like every file below the root, whatever the umask
        deadline = time.monotonic() + wait
        while not try_lock(fd):
            if time.monotonic() >= deadline:
                raise Refused("another publication, prune or rollback holds the lock %s; waited "
                              "%g s (%s sets how long)" % (show_name(paths.lock), wait,
                                                           WAIT_VARIABLE))
            time.sleep(POLL_SECONDS)
        yield
    finally:
        os.close(fd)
