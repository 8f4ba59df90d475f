"""What the commands share: the program's name and exit statuses, failures
reported as one line, short figures for people, and files written whole or
not at all."""

from __future__ import annotations

import contextlib
import os
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import IO

PROG = "kestrelpix"
#: What to install for the optional dependencies of the command line.
CLI_EXTRA = 'pip install "kestrelpix[cli]"'
JPEG_SIGNATURE = b"\xff\xd8\xff"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class Failure(Exception):
    """An expected failure: reported as one line on stderr, no traceback."""

    def __init__(self, message: str, status: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.status = status


def missing(purpose: str, module: str) -> Failure:
    return Failure(f"{purpose} needs {module}, which is not installed: {CLI_EXTRA}",
                   EXIT_USAGE)


def error(message: str) -> None:
    print(f"{PROG} {message}", file=sys.stderr)


def reason_of(exc: BaseException) -> str:
    """An exception as a short phrase for one line of output."""
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    else:
        text = str(exc) or type(exc).__name__
    text = text.removeprefix("jxl: ")
    return " ".join(text.split())  # one line, whatever the message held


def plural(n: int, word: str) -> str:
    return f"{n:,} {word}" + ("" if n == 1 else "s")


def human_size(n: float) -> str:
    """Bytes as a short human figure (decimal units)."""
    for unit in ("B", "kB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            return f"{n:,.0f} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1000
    raise AssertionError("unreachable")


def current_umask() -> int:
    # The process's umask can only be read by setting it; done on the main
    # thread before any worker starts.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# --- writing files whole or not at all ---------------------------------------

def _publish(tmp: str, dest: Path, overwrite: bool) -> None:
    """Give the finished temporary file `tmp` the name `dest`.

    Without `overwrite`, an existing `dest` raises FileExistsError, checked
    atomically with a hard link where the file system has them.
    """
    if overwrite:
        os.replace(tmp, dest)
        return
    try:
        os.link(tmp, dest)
    except FileExistsError:
        raise
    except OSError:  # no hard links here: check, then rename
        if os.path.lexists(dest):
            raise FileExistsError(17, "File exists", str(dest)) from None
        os.replace(tmp, dest)
    else:
        os.unlink(tmp)


def write_atomically(dest: Path, write: Callable[[IO[bytes]], object], *, overwrite: bool,
                     mode: int) -> None:
    """Write `dest` through a temporary file beside it, renamed when complete.

    A failure or an interrupt (KeyboardInterrupt) at any point removes the
    temporary file and leaves `dest` as it was. The file gets `mode` (the
    permissions a plain open would give) and is flushed to disk first.
    """
    fd, tmp = tempfile.mkstemp(prefix=f".{dest.name}.", suffix=".tmp",
                               dir=dest.parent or Path("."))
    try:
        with os.fdopen(fd, "wb") as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.chmod(tmp, mode)
        _publish(tmp, dest, overwrite)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def fsync_dir(path: Path) -> None:
    with contextlib.suppress(OSError):
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
