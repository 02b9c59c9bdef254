"""Exit codes and the one way a run that could not be done reports it."""

from __future__ import annotations

from typing import TextIO

from .names import show_name

EXIT_OK = 0
EXIT_REFUSED = 1
EXIT_USAGE = 2

# Every message starts with the name maintainers type, whichever entry they used.
PROG = "publish.py"


class PublishError(Exception):
    """An I/O or usage problem that ends the run with exit code 2."""


class Refused(PublishError):
    """A run that may not go ahead as things are: exit code 1."""


def report_failure(error: PublishError | OSError, err: TextIO) -> int:
    """The one message of a run that could not be done; its exit code."""
    if isinstance(error, OSError):
        where = " (%s)" % show_name(error.filename) if error.filename else ""
        err.write("%s: %s%s\n" % (PROG, error.strerror or error, where))
    else:
        for line in str(error).split("\n"):
            err.write("%s: %s\n" % (PROG, line))
    return EXIT_REFUSED if isinstance(error, Refused) else EXIT_USAGE
