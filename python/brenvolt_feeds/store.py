"""A durable JSON Lines store for a message receiver: part files, rejects, group commit.

The store owns a directory. Accepted messages go, one JSON line each, to the
current *part* file; messages that could not be taken go to the current
*rejects* file, and messages a downstream receiver refused while they were
forwarded to the current *dead* (dead-letter) file. Lines are appended by one writer for the whole process,
driven by the event loop's callbacks: it takes every line that is waiting,
writes each file's lines with one ``os.write``, fsyncs each file touched once
(in a worker thread, so the event loop keeps serving), and only then tells each
caller that its line is durable.
One fsync therefore covers every message that arrived while the previous one
ran (group commit).

Layout of the directory:

- ``part-<UTC time>-<sequence>.jsonl``, ``rejects-<UTC time>-<sequence>.jsonl``
  and ``dead-<UTC time>-<sequence>.jsonl``: closed files; every line is whole
  and ends with a newline. Readers take ``*.jsonl``.
- ``<same name>.jsonl.open``: the file being written. It becomes ``.jsonl``
  (renamed, then the directory fsync'd) when it rotates, by size or by age,
  and when the store closes. A reader that follows it live must ignore a last
  line without its newline.
- ``torn-<UTC time>-<sequence>.bin``: the bytes after the last newline of an
  open file left by a crash (``kill -9``, power loss), set aside at start so
  that they cannot corrupt a line. The file they came from is truncated to
  its last newline and closed.

The sequence number grows across restarts (the next one is one more than the
largest in the directory), so names sort in the order the files were made.

Duplicates: the store remembers the keys (control id and SHA-256 of the raw
bytes) of the last ``dup_window`` part lines, rebuilt at start from the
newest part files, and reports a repeat instead of writing it again.

Readers in the same process (the forwarder) learn how far each part file is
durable: ``durable_extent`` gives the fsync'd length of a part file still
being written, and ``on_durable`` is called after every batch made durable.
"""

from __future__ import annotations

import asyncio
import base64
import collections
import contextlib
import dataclasses
import datetime
import enum
import logging
import os
import queue
import re
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Final, Protocol

import orjson

try:  # the native pool, built with brenvolt; plain threads without it
    from brenvolt_fsync import FsyncPool
except ImportError:  # pragma: no cover - a build without the module
    FsyncPool = None  # type: ignore[assignment,misc]

__all__ = [
    "DEFAULT_DUP_WINDOW",
    "DEFAULT_ROTATE_BYTES",
    "DEFAULT_ROTATE_SECONDS",
    "DupKey",
    "Kind",
    "Recovery",
    "Store",
    "StoreClosed",
    "StoreError",
    "Waiter",
    "file_sequence",
    "part_line",
    "read_lines",
    "reject_line",
    "stored_files",
]

DEFAULT_ROTATE_BYTES: Final = 64 * 1024 * 1024
DEFAULT_ROTATE_SECONDS: Final = 3600.0
DEFAULT_DUP_WINDOW: Final = 100_000
DEFAULT_PARALLEL_SYNCS: Final = 4

OPEN_SUFFIX: Final = ".jsonl.open"
CLOSED_SUFFIX: Final = ".jsonl"
_NAME = re.compile(r"^(part|rejects|dead|torn)-(\d{8}T\d{6}\.\d{6}Z)-(\d+)\.(jsonl|jsonl\.open|bin)$")

log = logging.getLogger("brenvolt.store")

DupKey = tuple[str, str]
"""What makes two messages the same: (MSH-10 as written, SHA-256 hex of the raw bytes)."""


class Kind(enum.Enum):
    """Which file a line goes to."""

    PART = "part"
    REJECTS = "rejects"
    DEAD = "dead"
    """Messages a downstream receiver refused (AE or AR) while they were forwarded."""


class StoreError(OSError):
    """A line could not be made durable (write or fsync failed)."""


class StoreClosed(RuntimeError):
    """A line was offered after ``Store.close`` began."""


class Waiter(Protocol):
    """Who is told when a line submitted with ``Store.submit_to`` is settled."""

    def line_settled(self, fresh: bool, error: StoreError | None) -> None:
        """Called once, on the event loop: ``fresh`` False for a duplicate; ``error`` when not durable."""


@dataclasses.dataclass(frozen=True, slots=True)
class Recovery:
    """What start-up found in the directory."""

    closed: tuple[str, ...]
    """Open files left by an earlier run that were closed (renamed to ``.jsonl``)."""
    torn: tuple[tuple[str, str, int], ...]
    """(file, torn file it went to, bytes) for each cut-short last line set aside."""
    remembered: int
    """Duplicate keys rebuilt from the part files."""


def part_line(
    received: str, peer: str, control_id: str, sha256: str, records: object, raw: bytes | None = None
) -> bytes:
    """One part-file line: ``{"received", "peer", "control_id", "sha256", "records", "raw"}`` and a newline.

    ``sha256`` is the hex digest of the received bytes; it lets the duplicate
    memory be rebuilt from the files after a restart. ``raw``, the received
    bytes in base64, is left out when not given; with it, forwarding and
    replay send exactly the bytes that arrived.
    """
    value = {
        "received": received,
        "peer": peer,
        "control_id": control_id,
        "sha256": sha256,
        "records": records,
    }
    if raw is not None:
        value["raw"] = base64.b64encode(raw).decode("ascii")
    return orjson.dumps(value) + b"\n"


def reject_line(received: str, peer: str, error: str, raw: bytes) -> bytes:
    """One rejects-file line: ``{"received", "peer", "error", "raw"}`` (raw bytes in base64) and a newline."""
    return (
        orjson.dumps(
            {
                "received": received,
                "peer": peer,
                "error": error,
                "raw": base64.b64encode(raw).decode("ascii"),
            }
        )
        + b"\n"
    )


def file_sequence(path: str | os.PathLike[str]) -> int | None:
    """The sequence number in the name of a store file, None for any other name."""
    match = _NAME.match(Path(path).name)
    return int(match.group(3)) if match else None


def stored_files(
    directory: str | os.PathLike[str], kind: Kind = Kind.PART, *, include_open: bool = False
) -> list[Path]:
    """The closed ``kind`` files in ``directory`` (open ones too on request), oldest first."""
    found: list[tuple[int, str, Path]] = []
    for path in Path(directory).iterdir():
        match = _NAME.match(path.name)
        if not match or match.group(1) != kind.value:
            continue
        if match.group(4) == "jsonl" or (include_open and match.group(4) == "jsonl.open"):
            found.append((int(match.group(3)), match.group(2), path))
    return [path for _, _, path in sorted(found)]


def read_lines(directory: str | os.PathLike[str], kind: Kind = Kind.PART) -> Iterator[dict[str, object]]:
    """Every line of the closed ``kind`` files, parsed, oldest first.

    Raises ``orjson.JSONDecodeError`` on a line that is not JSON.
    """
    for path in stored_files(directory, kind):
        with path.open("rb") as stream:
            for line in stream:
                value = orjson.loads(line)
                assert isinstance(value, dict)
                yield value


def _utc_stamp() -> str:
    return datetime.datetime.now(datetime.UTC).strftime("%Y%m%dT%H%M%S.%fZ")


def _fsync(fd: int, data_only: bool = False) -> None:
    """Make ``fd`` durable (one place, so tests can make it fail).

    ``data_only``: the lines appended to a file, with ``fdatasync`` (their data
    and the size that reaches them, not the times); otherwise ``fsync``.
    """
    if data_only:
        os.fdatasync(fd)
    else:
        os.fsync(fd)


_own_fsync: Final = _fsync


def _fsync_directory(directory: Path) -> None:
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        _fsync(fd)
    finally:
        os.close(fd)


@dataclasses.dataclass(slots=True, eq=False)
class _OpenFile:
    kind: Kind
    path: Path
    fd: int
    size: int
    opened: float
    sequence: int
    durable: int = 0
    """Bytes from the start known to be fsync'd."""
    flights: int = 0
    """Batches written to it whose fsync has not been settled yet."""
    retired: bool = False
    """No longer the current file of its kind: closed once its last flight settles."""
    broken: bool = False
    """An fsync failed: the file was cut back to before the failed batch."""


@dataclasses.dataclass(slots=True)
class _Pending:
    kind: Kind
    line: bytes
    waiter: Waiter
    key: DupKey | None
    """The duplicate key to remember once the line is durable (None: not remembered)."""
    followers: list[Waiter] | None = None
    """Waiters of copies submitted while this one was in flight: told False, or its error."""


class _FutureWaiter:
    """A ``Waiter`` that settles a future (``submit`` and ``append``)."""

    __slots__ = ("future",)

    def __init__(self, future: asyncio.Future[bool]) -> None:
        self.future = future

    def line_settled(self, fresh: bool, error: StoreError | None) -> None:
        future = self.future
        if future.done():
            return
        if error is not None:
            future.set_exception(error)
            future.exception()  # marks it retrieved if its caller went away
        else:
            future.set_result(fresh)


@dataclasses.dataclass(slots=True)
class _Part:
    file: _OpenFile
    start: int
    end: int
    lines: int
    sync_fd: int


@dataclasses.dataclass(slots=True)
class _Flight:
    """One batch written and being fsync'd."""

    batch: list[_Pending]
    parts: list[_Part]
    synced: bool = False
    """The fsync returned (or there is none)."""
    error: OSError | None = None
    """What the fsync raised."""
    seconds: float = 0.0
    """How long the fsyncs took."""


class Store:
    """The directory's one writer. Use ``await Store.open(...)``, then ``append``/``close``.

    Options:

    - ``rotate_bytes``: close the current file (rename it to ``.jsonl``) once it
      holds at least this many bytes (default 64 MiB);
    - ``rotate_seconds``: and once it has been open this long (default one hour);
    - ``dup_window``: how many part-line keys to remember for duplicates
      (default 100,000; 0 turns duplicate detection off);
    - ``fsync``: fsync files and the directory (default True; False only for
      tests that do not measure durability);
    - ``parallel_syncs``: batches whose fsync may run at once (default 4).

    Raises ``NotADirectoryError``/``PermissionError`` (from the OS) when the
    directory cannot be made or written.
    """

    def __init__(
        self,
        directory: str | os.PathLike[str],
        *,
        rotate_bytes: int = DEFAULT_ROTATE_BYTES,
        rotate_seconds: float = DEFAULT_ROTATE_SECONDS,
        dup_window: int = DEFAULT_DUP_WINDOW,
        fsync: bool = True,
        parallel_syncs: int = DEFAULT_PARALLEL_SYNCS,
    ) -> None:
        if parallel_syncs < 1:
            raise ValueError(f"parallel_syncs must be at least 1, not {parallel_syncs}")
        if rotate_bytes < 1:
            raise ValueError(f"rotate_bytes must be at least 1, not {rotate_bytes}")
        if rotate_seconds <= 0:
            raise ValueError(f"rotate_seconds must be positive, not {rotate_seconds}")
        if dup_window < 0:
            raise ValueError(f"dup_window must be 0 or more, not {dup_window}")
        self.directory = Path(directory)
        self.rotate_bytes = rotate_bytes
        self.rotate_seconds = rotate_seconds
        self.dup_window = dup_window
        self.fsync = fsync
        self._sequence = 0
        self._files: dict[Kind, _OpenFile] = {}
        self._queue: collections.deque[_Pending] = collections.deque()
        self._loop: asyncio.AbstractEventLoop | None = None
        self._write_scheduled = False
        self._rotation_timer: asyncio.TimerHandle | None = None
        self._drained: asyncio.Future[None] | None = None
        self._flights: collections.deque[_Flight] = collections.deque()
        self._sync_requests: queue.SimpleQueue[_SyncRequest | None] = queue.SimpleQueue()
        self._sync_threads: list[threading.Thread] = []
        self._pool: FsyncPool | None = None
        self._pool_flights: dict[int, _Flight] = {}
        self._tokens = 0
        self.parallel_syncs = parallel_syncs
        self._closing = False
        self._keys: collections.OrderedDict[DupKey, None] = collections.OrderedDict()
        self._in_flight: dict[DupKey, _Pending] = {}
        self._open_parts: dict[int, _OpenFile] = {}
        self._probe: asyncio.Future[None] | None = None
        self.recovery = Recovery((), (), 0)
        self.batches = 0
        self.lines_written = 0
        self.failures = 0
        """Batches that could not be made durable."""
        self.last_failure: str | None = None
        """Why the latest batch failed, while no batch has succeeded since; None when healthy."""
        self.on_durable: Callable[[], None] | None = None
        """Called on the loop after each batch made durable (the forwarder wakes on it)."""
        self.fsync_observer: Callable[[float], None] | None = None
        """Called on the loop with the seconds each batch's fsyncs took."""

    @classmethod
    async def open(
        cls,
        directory: str | os.PathLike[str],
        *,
        rotate_bytes: int = DEFAULT_ROTATE_BYTES,
        rotate_seconds: float = DEFAULT_ROTATE_SECONDS,
        dup_window: int = DEFAULT_DUP_WINDOW,
        fsync: bool = True,
        parallel_syncs: int = DEFAULT_PARALLEL_SYNCS,
    ) -> Store:
        """Make the store, recover the directory and start the sync threads (see the class for options)."""
        store = cls(
            directory,
            rotate_bytes=rotate_bytes,
            rotate_seconds=rotate_seconds,
            dup_window=dup_window,
            fsync=fsync,
            parallel_syncs=parallel_syncs,
        )
        await asyncio.to_thread(store._recover)
        store._loop = asyncio.get_running_loop()
        if store.fsync and FsyncPool is not None and _fsync is _own_fsync:
            # A replaced _fsync (the tests' way to make a disk fail) keeps the threads, which call it.
            store._pool = FsyncPool(store.parallel_syncs)
            store._loop.add_reader(store._pool.fileno(), store._pool_done)
        elif store.fsync:
            for number in range(store.parallel_syncs):
                thread = threading.Thread(
                    target=_sync_worker,
                    args=(store._sync_requests,),
                    name=f"brenvolt-store-sync-{number}",
                    daemon=True,
                )
                thread.start()
                store._sync_threads.append(thread)
        return store

    # -- start-up ---------------------------------------------------------

    def _recover(self) -> None:
        self.directory.mkdir(parents=True, exist_ok=True)
        largest = 0
        for path in self.directory.iterdir():
            match = _NAME.match(path.name)
            if match:
                largest = max(largest, int(match.group(3)))
        self._sequence = largest
        closed: list[str] = []
        torn: list[tuple[str, str, int]] = []
        for kind in Kind:
            for path in stored_files(self.directory, kind, include_open=True):
                if not path.name.endswith(OPEN_SUFFIX):
                    continue
                cut = self._set_aside_torn_tail(path)
                if cut is not None:
                    torn.append((path.name, cut[0], cut[1]))
                final = path.with_name(path.name[: -len(".open")])
                os.replace(path, final)
                closed.append(final.name)
        if closed:
            self._sync_directory()
        remembered = self._rebuild_keys()
        self.recovery = Recovery(tuple(closed), tuple(torn), remembered)
        for name, torn_name, size in torn:
            log.warning("set aside %d bytes cut short at the end of %s in %s", size, name, torn_name)

    def _set_aside_torn_tail(self, path: Path) -> tuple[str, int] | None:
        """Move the bytes after the last newline of ``path`` to a torn file; return (its name, size)."""
        with path.open("r+b") as stream:
            size = stream.seek(0, os.SEEK_END)
            if size == 0:
                return None
            # Walk back in blocks to the last newline.
            position = size
            end_of_lines = 0
            while position > 0:
                step = min(1 << 16, position)
                position -= step
                stream.seek(position)
                block = stream.read(step)
                index = block.rfind(b"\n")
                if index >= 0:
                    end_of_lines = position + index + 1
                    break
            if end_of_lines == size:
                return None
            stream.seek(end_of_lines)
            tail = stream.read()
            torn_path = self._new_name("torn", ".bin")
            with torn_path.open("xb") as out:
                out.write(tail)
                out.flush()
                if self.fsync:
                    _fsync(out.fileno())
            stream.truncate(end_of_lines)
            stream.flush()
            if self.fsync:
                _fsync(stream.fileno())
        return torn_path.name, len(tail)

    def _rebuild_keys(self) -> int:
        if self.dup_window == 0:
            return 0
        newest_first: list[list[DupKey]] = []
        count = 0
        for path in reversed(stored_files(self.directory, Kind.PART)):
            keys: list[DupKey] = []
            with path.open("rb") as stream:
                for line in stream:
                    try:
                        value = orjson.loads(line)
                    except orjson.JSONDecodeError:
                        log.warning("%s: a line that is not JSON (ignored for duplicates)", path.name)
                        continue
                    if isinstance(value, dict):
                        control = value.get("control_id")
                        digest = value.get("sha256")
                        if isinstance(control, str) and isinstance(digest, str):
                            keys.append((control, digest))
            newest_first.append(keys)
            count += len(keys)
            if count >= self.dup_window:
                break
        for keys in reversed(newest_first):
            for key in keys:
                self._remember(key)
        return len(self._keys)

    def _remember(self, key: DupKey) -> None:
        self._keys[key] = None
        self._keys.move_to_end(key)
        while len(self._keys) > self.dup_window:
            self._keys.popitem(last=False)

    # -- appending --------------------------------------------------------

    async def append(self, kind: Kind, line: bytes, key: DupKey | None = None) -> bool:
        """Make ``line`` durable in the current ``kind`` file; return False when ``key`` is a duplicate.

        ``line`` must be one complete JSON line ending with a newline. With a
        ``key`` (part lines), a line whose key was stored recently, or is being
        stored right now, is not written again: the call waits for the first
        copy to be durable and returns False. Returns True once the line is
        written and fsync'd. Cancelling the call does not take the line back.

        Raises ``StoreError`` when the write or the fsync failed (the line is
        then not in any file), and ``StoreClosed`` once ``close`` has begun.
        """
        return await asyncio.shield(self.submit(kind, line, key))

    def submit(self, kind: Kind, line: bytes, key: DupKey | None = None) -> asyncio.Future[bool]:
        """``append`` without a coroutine, for callers driven by callbacks: the future of its answer.

        The future's result is what ``append`` returns (True once durable,
        False for a duplicate); its exception is ``StoreError`` when the line
        could not be made durable. Lines are written in the order they are
        submitted, and their futures settle in that order. Raises
        ``StoreClosed`` at once when ``close`` has begun and ``ValueError``
        for a line that is not one line ending with a newline.
        """
        if self._loop is None:
            raise StoreClosed("the store is closed")
        future: asyncio.Future[bool] = self._loop.create_future()
        self.submit_to(kind, line, key, _FutureWaiter(future))
        return future

    def submit_to(self, kind: Kind, line: bytes, key: DupKey | None, waiter: Waiter) -> None:
        """``submit`` for a receiver's hot path: ``waiter.line_settled`` is called instead of a future.

        It is called once, on the loop, never before this returns: with True
        once the line is durable, False for a duplicate (at once when the key
        is remembered, or once its first copy is durable), or the
        ``StoreError`` that kept it (or its first copy) from being durable.
        Lines are written in the order they are submitted and their waiters
        are told in that order. Raises ``StoreClosed`` once ``close`` has
        begun and ``ValueError`` for a line that is not one line ending with
        a newline.
        """
        if self._closing or self._loop is None:
            raise StoreClosed("the store is closed")
        if line[-1:] != b"\n" or line.find(b"\n") != len(line) - 1:
            raise ValueError("a stored line must be one line ending with a newline")
        if key is not None and self.dup_window:
            if key in self._keys:
                self._keys.move_to_end(key)
                self._loop.call_soon(waiter.line_settled, False, None)
                return
            first = self._in_flight.get(key)
            if first is not None:
                if first.followers is None:
                    first.followers = []
                first.followers.append(waiter)
                return
        else:
            key = None
        pending = _Pending(kind, line, waiter, key)
        if key is not None:
            self._in_flight[key] = pending
        self._queue.append(pending)
        if not self._write_scheduled:
            # Every line submitted before the loop comes round joins the batch.
            self._write_scheduled = True
            self._loop.call_soon(self._write_next)

    # The pipeline, driven by callbacks on the event loop (no task, event or
    # semaphore per batch). ``_write_next`` takes every waiting line as one
    # batch and writes it with one os.write per file (to the page cache:
    # microseconds for the usual batch); the batch's fsync then runs in the
    # sync pool while the next batch is written, up to ``parallel_syncs``
    # batches at once, because the disk completes concurrent fsyncs far faster
    # than one after the other. ``_settle_ready`` takes the flights strictly in
    # order and tells each waiter whether its line is durable. When an fsync
    # fails, its file is cut back to before that batch and every later batch in
    # that file fails too, so a file never keeps a line that was not
    # acknowledged as durable. Every file operation but the data fsync runs on
    # the event loop's thread (one hop to a thread per batch, not three: the
    # hops, not the work, were the cost); each fsync goes through a descriptor
    # opened before its batch was written, so it reports any write-back error
    # since then.

    def _write_next(self) -> None:
        """Write the waiting lines as one batch and start its fsync, when a sync slot is free."""
        self._write_scheduled = False
        due = self._seconds_to_rotation()
        if due is not None and due <= 0:
            # Checked before every batch too: under steady traffic the timer may lag.
            self._rotate_aged()
        if not self._queue or len(self._flights) >= self.parallel_syncs:
            self._check_drained()
            return  # the next settled flight calls again
        batch = list(self._queue)
        self._queue.clear()
        try:
            parts = self._write(batch)
        except Exception as error:
            self._fail(batch, error)
            self._check_drained()
            return
        flight = _Flight(batch, parts)
        self._flights.append(flight)
        self._arm_rotation()
        if self._pool is not None:
            self._tokens += 1
            self._pool_flights[self._tokens] = flight
            self._pool.submit(self._tokens, [part.sync_fd for part in parts])
        elif self.fsync:
            assert self._loop is not None
            self._sync_requests.put(_SyncRequest([part.sync_fd for part in parts], self._loop, self, flight))
        else:
            flight.synced = True
            self._settle_ready()

    def _pool_done(self) -> None:
        """The native pool finished batches (its descriptor became readable)."""
        assert self._pool is not None
        for token, number, seconds in self._pool.completed():
            flight = self._pool_flights.pop(token)
            error = OSError(number, os.strerror(number)) if number else None
            flight.synced = True
            flight.error = error
            flight.seconds = seconds
        self._settle_ready()

    def _synced(self, flight: _Flight, error: OSError | None, seconds: float) -> None:
        """A sync thread is done with ``flight`` (called on the loop)."""
        flight.synced = True
        flight.error = error
        flight.seconds = seconds
        self._settle_ready()

    def _settle_ready(self) -> None:
        """Settle, in order, every flight at the head whose fsync returned; then write what waits."""
        flights = self._flights
        durable = False
        while flights and flights[0].synced:
            flight = flights.popleft()
            error: BaseException | None = flight.error
            if error is None and any(part.file.broken for part in flight.parts):
                error = StoreError("an earlier batch in the same file could not be made durable")
            if self.fsync_observer is not None and self.fsync:
                self.fsync_observer(flight.seconds)
            if error is None:
                for part in flight.parts:
                    part.file.durable = part.end
            self._release(flight.parts, error is not None)
            if error is None:
                durable = True
                self.batches += 1
                self.lines_written += len(flight.batch)
                self.last_failure = None
                in_flight = self._in_flight
                for pending in flight.batch:
                    if pending.key is not None:
                        del in_flight[pending.key]
                        self._remember(pending.key)
                    pending.waiter.line_settled(True, None)
                    if pending.followers is not None:
                        for follower in pending.followers:
                            follower.line_settled(False, None)
            else:
                self._fail(flight.batch, error)
        if durable and self.on_durable is not None:
            self.on_durable()
        if self._queue and not self._write_scheduled and len(flights) < self.parallel_syncs:
            self._write_next()
        else:
            self._check_drained()

    def _check_drained(self) -> None:
        if self._drained is not None and not self._queue and not self._flights and not self._drained.done():
            self._drained.set_result(None)

    def _arm_rotation(self) -> None:
        """Make sure a timer will rotate the open files by age, even when no line comes."""
        if self._rotation_timer is not None or self._loop is None:
            return
        due = self._seconds_to_rotation()
        if due is not None:
            self._rotation_timer = self._loop.call_later(max(0.0, due), self._rotation_due)

    def _rotation_due(self) -> None:
        self._rotation_timer = None
        self._rotate_aged()
        self._arm_rotation()

    def _fail(self, batch: list[_Pending], error: BaseException) -> None:
        failure = error if isinstance(error, StoreError) else StoreError(f"cannot store lines: {error}")
        log.error("%d lines not stored: %s", len(batch), failure)
        self.failures += 1
        self.last_failure = str(failure)
        for pending in batch:
            if pending.key is not None:
                del self._in_flight[pending.key]
            pending.waiter.line_settled(False, failure)
            if pending.followers is not None:
                for follower in pending.followers:
                    follower.line_settled(False, failure)

    def _seconds_to_rotation(self) -> float | None:
        files = list(dict(self._files).values())
        if not files:
            return None
        oldest = min(item.opened for item in files)
        return oldest + self.rotate_seconds - time.monotonic()

    # -- file operations (on the event loop's thread) ----------------------

    def _write(self, batch: list[_Pending]) -> list[_Part]:
        """Write ``batch``, each file's lines with one ``os.write``; return what each file got."""
        by_kind: dict[Kind, list[bytes]] = {}
        for pending in batch:
            by_kind.setdefault(pending.kind, []).append(pending.line)
        parts: list[_Part] = []
        try:
            for kind, lines in by_kind.items():
                found = self._files.get(kind)
                current = found if found is not None else self._open_file(kind)
                data = b"".join(lines)
                sync_fd = os.open(current.path, os.O_WRONLY | os.O_CLOEXEC) if self.fsync else -1
                part = _Part(current, current.size, current.size, len(lines), sync_fd)
                parts.append(part)
                view = memoryview(data)
                while part.end - part.start < len(data):
                    part.end += os.write(current.fd, view[part.end - part.start :])
        except OSError as error:
            # Take back what reached the files, so they hold only whole lines.
            for part in parts:
                with contextlib.suppress(OSError):
                    os.ftruncate(part.file.fd, part.start)
                if part.sync_fd >= 0:
                    os.close(part.sync_fd)
            raise StoreError(f"cannot write: {error}") from error
        for part in parts:
            part.file.size = part.end
            part.file.flights += 1
            if part.file.size >= self.rotate_bytes:
                self._retire(part.file)
        return parts

    def _release(self, parts: list[_Part], failed: bool) -> None:
        """Settle one flight's parts; on failure cut each file back to before them."""
        for part in parts:
            current = part.file
            current.flights -= 1
            if failed and not current.broken:
                current.broken = True
                self._retire(current)
                try:
                    os.ftruncate(current.fd, part.start)
                    current.size = part.start
                    if self.fsync:
                        _fsync(current.fd)
                except OSError as error:
                    log.error("cannot cut %s back to its durable lines: %s", current.path.name, error)
            if current.retired and current.flights == 0:
                self._close_file(current)

    def _retire(self, current: _OpenFile) -> None:
        if self._files.get(current.kind) is current:
            del self._files[current.kind]
        current.retired = True

    def _rotate_aged(self) -> None:
        now = time.monotonic()
        for current in list(self._files.values()):
            if now - current.opened >= self.rotate_seconds:
                self._retire(current)
                if current.flights == 0:
                    self._close_file(current)

    def _new_name(self, prefix: str, suffix: str) -> Path:
        self._sequence += 1
        return self.directory / f"{prefix}-{_utc_stamp()}-{self._sequence:06d}{suffix}"

    def _open_file(self, kind: Kind) -> _OpenFile:
        path = self._new_name(kind.value, OPEN_SUFFIX)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND | os.O_CLOEXEC, 0o644)
        try:
            self._sync_directory()
        except OSError:
            os.close(fd)
            raise
        opened = _OpenFile(kind, path, fd, 0, time.monotonic(), self._sequence)
        self._files[kind] = opened
        if kind is Kind.PART:
            self._open_parts[opened.sequence] = opened
        return opened

    def durable_extent(self, sequence: int) -> int | None:
        """How many bytes of the part file numbered ``sequence`` are durable, while it is being written.

        None once the file is closed (renamed to ``.jsonl``: all of it is
        durable) or when no such file is open.
        """
        current = self._open_parts.get(sequence)
        return None if current is None else current.durable

    def _close_file(self, current: _OpenFile) -> None:
        self._open_parts.pop(current.sequence, None)
        try:
            if current.size == 0:
                os.unlink(current.path)
            else:
                final = current.path.with_name(current.path.name[: -len(".open")])
                os.replace(current.path, final)
            self._sync_directory()
        except OSError as error:
            log.error("cannot close %s: %s", current.path.name, error)
        finally:
            os.close(current.fd)

    def _sync_directory(self) -> None:
        if self.fsync:
            _fsync_directory(self.directory)

    # -- health -----------------------------------------------------------

    async def check_writable(self, timeout: float = 5.0) -> str | None:
        """None when the store can take lines; otherwise why not.

        It cannot when the latest batch failed (and none succeeded since), or
        when a small probe file cannot be written, fsync'd and removed in the
        directory within ``timeout`` seconds. Probes do not pile up: a check
        made while one runs waits for that one.
        """
        if self.last_failure is not None:
            return f"the latest lines could not be stored: {self.last_failure}"
        if self._probe is None or self._probe.done():
            self._probe = asyncio.ensure_future(asyncio.to_thread(self._write_probe))
        try:
            async with asyncio.timeout(timeout):
                await asyncio.shield(self._probe)
        except TimeoutError:
            return f"a probe file in {self.directory} was not written within {timeout:g}s"
        except OSError as error:
            return f"cannot write in {self.directory}: {error.strerror or error}"
        return None

    def _write_probe(self) -> None:
        path = self.directory / ".health-probe"
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        try:
            os.write(fd, b"ok\n")
            if self.fsync:
                _fsync(fd)
        finally:
            os.close(fd)
            with contextlib.suppress(OSError):
                os.unlink(path)

    # -- shutdown ---------------------------------------------------------

    async def close(self) -> None:
        """Write what is waiting, close the open files (renamed to ``.jsonl``) and stop the sync threads."""
        if self._loop is None or self._drained is not None:
            return
        self._closing = True
        self._drained = self._loop.create_future()
        if self._queue and not self._write_scheduled:
            self._write_next()
        self._check_drained()
        await self._drained
        if self._rotation_timer is not None:
            self._rotation_timer.cancel()
            self._rotation_timer = None
        self._close_all()
        if self._pool is not None:
            self._loop.remove_reader(self._pool.fileno())
            self._pool.close()
            self._pool = None
        for _ in self._sync_threads:
            self._sync_requests.put(None)
        for thread in self._sync_threads:
            thread.join()

    def _close_all(self) -> None:
        for current in list(self._files.values()):
            self._retire(current)
            self._close_file(current)

    @property
    def open_paths(self) -> list[Path]:
        """The files being written now."""
        return [item.path for item in list(dict(self._files).values())]


@dataclasses.dataclass(slots=True)
class _SyncRequest:
    fds: list[int]
    loop: asyncio.AbstractEventLoop
    store: Store
    flight: _Flight


def _sync_worker(requests: queue.SimpleQueue[_SyncRequest | None]) -> None:
    """A sync thread: fsync and close each request's descriptors, then settle its future on its loop.

    Plain threads and one call back to the loop per request: the executor
    machinery cost more than the fsync's share of the work.
    """
    while True:
        request = requests.get()
        if request is None:
            return
        error: OSError | None = None
        started = time.perf_counter()
        try:
            for fd in request.fds:
                _fsync(fd, True)
        except OSError as failure:
            error = failure
        finally:
            for fd in request.fds:
                os.close(fd)
        seconds = time.perf_counter() - started
        with contextlib.suppress(RuntimeError):  # the loop is gone: nobody waits any more
            request.loop.call_soon_threadsafe(request.store._synced, request.flight, error, seconds)
