"""Where the commands write: standard output or ``-o`` (``Output``), files under
``--output-dir`` (``TargetFile``), and standard error, with its progress bar
and its one line per problem (``Progress``)."""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import time
from collections.abc import Generator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Final

PROGRAM: Final = "brenvolt"
STDOUT_LABEL: Final = "<stdout>"


class Progress:
    """A bar on one line of standard error, ``[#####-----] 12/40 files``, drawn
    over itself at most ten times a second and wiped when the work is done,
    before every line of error and before every write to standard output when
    that is the same terminal."""

    def __init__(self, total: int, stream: IO[str], enabled: bool) -> None:
        self.total = total
        self.done = 0
        self.stream = stream
        self.enabled = enabled
        self.drawn_at = 0.0
        self.shown = False

    def advance(self) -> None:
        self.done += 1
        now = time.monotonic()
        if self.enabled and (not self.shown or now - self.drawn_at >= 0.1 or self.done == self.total):
            self.drawn_at = now
            self.draw()

    def draw(self) -> None:
        counter = f" {self.done}/{self.total} files"
        width = max(10, min(40, shutil.get_terminal_size().columns - len(counter) - 3))
        filled = width * self.done // max(self.total, 1)
        self.stream.write(f"\r[{'#' * filled}{'-' * (width - filled)}]{counter}")
        self.stream.flush()
        self.shown = True

    def wipe(self) -> None:
        """Clears the bar, if it is on the screen."""
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False

    def error(self, label: str, message: str) -> None:
        """Writes one line naming the input, under the bar."""
        self.wipe()
        text = " ".join(message.splitlines())
        self.stream.write(f"{PROGRAM}: {label}: {text}\n")
        self.stream.flush()


def make_progress(options: argparse.Namespace, total: int) -> Progress:
    enabled = options.progress
    if enabled is None:
        enabled = total > 1 and sys.stderr.isatty()
    return Progress(total, sys.stderr, enabled)


class OutputError(Exception):
    """Writing the output failed: ``label`` names the target (a path, or
    ``<stdout>``), ``error`` is the ``OSError``. Ends the command."""

    def __init__(self, label: str, error: OSError) -> None:
        super().__init__(f"{label}: {error.strerror or error}")
        self.label = label
        self.error = error


def same_terminal(first: int, second: int) -> bool:
    """Whether the two file descriptors are one terminal."""
    try:
        if not (os.isatty(first) and os.isatty(second)):
            return False
        one, other = os.fstat(first), os.fstat(second)
    except OSError:
        return False
    return (one.st_dev, one.st_ino, one.st_rdev) == (other.st_dev, other.st_ino, other.st_rdev)


class Output:
    """Standard output or the file named by ``-o``: every write and flush that
    fails raises ``OutputError`` naming it, and the progress bar is wiped first
    when the output shows on the terminal that holds the bar."""

    def __init__(self, stream: IO[bytes], label: str, progress: Progress | None = None) -> None:
        self.stream = stream
        self.label = label
        self.progress = progress
        self.shares_terminal = False
        try:
            self.shares_terminal = same_terminal(stream.fileno(), sys.stderr.fileno())
        except (OSError, ValueError, AttributeError):
            pass

    def write(self, data: bytes) -> None:
        if self.shares_terminal and self.progress is not None:
            self.progress.wipe()
        try:
            self.stream.write(data)
        except OSError as error:
            raise OutputError(self.label, error) from error

    def flush(self) -> None:
        try:
            self.stream.flush()
        except OSError as error:
            raise OutputError(self.label, error) from error


@contextmanager
def open_output(path: str | None, progress: Progress | None = None) -> Generator[Output, None, None]:
    """Standard output, or the file named by ``-o``; raises ``OutputError``
    when it cannot be opened, written or closed."""
    if path is None:
        out = Output(sys.stdout.buffer, STDOUT_LABEL, progress)
        yield out
        out.flush()
        return
    try:
        stream = open(path, "wb")  # noqa: SIM115 - closed below, its error reported
    except OSError as error:
        raise OutputError(path, error) from error
    try:
        out = Output(stream, path, progress)
        yield out
        out.flush()
    finally:
        try:
            stream.close()
        except OSError as error:
            raise OutputError(path, error) from error


class TargetFile:
    """A file under ``--output-dir``, created (with its folders) at the first
    write. ``OSError`` propagates from every method."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.stream: IO[bytes] | None = None

    def write(self, data: bytes) -> None:
        if self.stream is None:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self.stream = open(self.path, "wb")  # noqa: SIM115 - closed by close()
        self.stream.write(data)

    def close(self) -> None:
        if self.stream is not None:
            stream, self.stream = self.stream, None
            stream.close()

    def abandon(self) -> None:
        """Closes the file after a failure that is reported already, ignoring a second one."""
        if self.stream is not None:
            stream, self.stream = self.stream, None
            try:
                stream.close()
            except OSError:
                pass


def to_null_device(stream: IO[str]) -> None:
    """Points the stream's file descriptor at the null device, so that the
    interpreter's last flush at exit neither fails nor repeats an error."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, stream.fileno())
    finally:
        os.close(devnull)
