"""Store-and-forward: the messages a receiver stored, sent on to a downstream MLLP receiver, in order.

``Forwarder`` runs beside ``brenvolt listen --forward HOST:PORT``. It reads
the store's part files in the order their lines were written, only as far
as they are durable, and sends each message with ``brenvolt_feeds.send``'s
``Sender`` (one at a time, each waiting for the ACK whose MSA-2 matches,
timeouts, reconnects with backoff, TLS). A message goes as it arrived: the
part line's ``raw`` bytes (a line written before ``raw`` was kept is written
again from its records with ``JsonHl7``).

- ``AA`` (or ``CA``): the position moves past the message.
- ``AE`` or ``AR`` (or ``CE``, ``CR``): the message goes to a dead-letter
  file (``dead-*.jsonl``, with the downstream's answer and its reason), made
  durable, and then the position moves past it.
- no answer: the message is sent again, for as long as it takes; nothing
  after it goes first.
- a stored acknowledgement is not forwarded (an ACK is never answered).
- a message whose MSH-15 asks an enhanced-mode receiver for no answer on
  success (``NE``, ``ER``) is taken as delivered when no refusal comes
  within ``UNCONFIRMED_WAIT`` seconds of writing it on an open connection.

The position (part file number and byte offset of the next line) is kept in
``forward.position`` in the store's directory: written after every message,
fsync'd at least once a second and at stop. A restart resumes after the
last message the downstream answered; after a crash, or a downstream that
died before its answer came, a message may be sent twice, never skipped.

``stored_messages`` reads a store directory for ``brenvolt replay``.
"""

from __future__ import annotations

import asyncio
import base64
import contextlib
import dataclasses
import datetime
import logging
import os
import re
import zlib
from collections.abc import Iterator
from pathlib import Path
from typing import Final

import orjson

from brenvolt import JsonHl7
from brenvolt_feeds import ack
from brenvolt_feeds.send import (
    MAX_BACKOFF,
    UNCONFIRMED_WAIT,
    Outcome,
    Outgoing,
    SendConfig,
    Sender,
    parse_ack,
)
from brenvolt_feeds.store import Kind, Store, StoreError, file_sequence, stored_files

__all__ = [
    "POSITION_FILE",
    "UNCONFIRMED_WAIT",
    "ForwardCounters",
    "Forwarder",
    "PositionFile",
    "StoredMessage",
    "answer_reason",
    "message_bytes",
    "since_value",
    "stored_messages",
]

log = logging.getLogger("brenvolt.forward")

POSITION_FILE: Final = "forward.position"
SYNC_INTERVAL: Final = 1.0
"""Seconds between fsyncs of a changed position."""
READ_SIZE: Final = 1 << 18

_SLOT: Final = 64
_SLOT_TEXT = re.compile(rb"^(\d+) (\d+) (\d+) ([0-9a-f]{8})\s*\n$")
_LINE_ENDS = re.compile(rb"\r\n|\n")


# -- what a stored line holds ---------------------------------------------------


@dataclasses.dataclass(frozen=True, slots=True)
class StoredMessage:
    """One part (or dead-letter) line as a message to send again."""

    path: Path
    line_number: int
    """The line's number in its file, from 0."""
    start: int
    end: int
    """Byte offsets of the line (its newline included) in its file."""
    value: dict[str, object]
    """The parsed line."""

    @property
    def received(self) -> str:
        value = self.value.get("received")
        return value if isinstance(value, str) else ""

    @property
    def control_id(self) -> str:
        value = self.value.get("control_id")
        return value if isinstance(value, str) else ""


def message_bytes(value: dict[str, object], encoding: str = "utf-8") -> bytes:
    """The bytes to send for a stored line: its ``raw`` bytes, or its records written by ``JsonHl7``.

    Written records get CR segment ends. Raises ``ValueError`` for a line
    with neither, and ``Exception`` (from ``JsonHl7``) for records it cannot write.
    """
    raw = value.get("raw")
    if isinstance(raw, str):
        return base64.b64decode(raw, validate=True)
    records = value.get("records")
    if not isinstance(records, list):
        raise ValueError("the line has neither raw bytes nor records")
    text = JsonHl7(records).hl7_string
    data = _LINE_ENDS.sub(b"\r", text.encode(encoding))
    return data if data.endswith(b"\r") else data + b"\r"


def answer_reason(reply: bytes | None, encoding: str = "utf-8") -> str:
    """Why a downstream refused a message: MSA-3, or ERR-8, of its answer; a plain sentence without them."""
    if not reply:
        return "no reason given"
    text = reply.decode(encoding, "replace")
    fields = parse_ack(reply, encoding)
    separator = "|"
    for line in re.split(r"\r\n|\r|\n", text):
        if line.startswith("MSH") and len(line) > 3:
            separator = line[3]
        elif line.startswith("MSA" + separator):
            parts = line.split(separator)
            if len(parts) > 3 and parts[3].strip():
                return parts[3].strip()
        elif line.startswith("ERR" + separator):
            parts = line.split(separator)
            if len(parts) > 8 and parts[8].strip():
                return parts[8].strip()
    return f"answered {fields[0] if fields else '?'} without a reason"


def _parse_time(text: str) -> datetime.datetime | None:
    try:
        value = datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    return value if value.tzinfo is not None else value.replace(tzinfo=datetime.UTC)


def stored_messages(
    directory: str | os.PathLike[str],
    *,
    kind: Kind = Kind.PART,
    since: datetime.datetime | None = None,
) -> Iterator[StoredMessage]:
    """The lines of a store directory's ``kind`` files, oldest first, received at ``since`` or later.

    Closed files and the one being written (its whole lines) are read.
    Raises ``OSError`` when a file cannot be read and ``orjson.JSONDecodeError``
    for a line that is not JSON.
    """
    for path in stored_files(directory, kind, include_open=True):
        with path.open("rb") as stream:
            offset = 0
            for number, line in enumerate(stream):
                start, offset = offset, offset + len(line)
                if not line.endswith(b"\n"):
                    break  # the file being written: its last line is not whole yet
                value = orjson.loads(line)
                if not isinstance(value, dict):
                    continue
                if since is not None:
                    received = value.get("received")
                    when = _parse_time(received) if isinstance(received, str) else None
                    if when is None or when < since:
                        continue
                yield StoredMessage(path, number, start, offset, value)


# -- the position ----------------------------------------------------------------


class PositionFile:
    """Where forwarding stands, kept in two checksummed slots written in turn.

    A slot is one line of 64 bytes: ``generation sequence offset crc32``.
    ``save`` writes the slot not holding the newest copy, so a write cut
    short by a crash leaves the other intact; ``load`` takes the valid slot
    of the highest generation. ``sync`` fsyncs what was saved.
    """

    def __init__(self, path: Path, *, fsync: bool = True) -> None:
        self.path = path
        self.fsync = fsync
        self._fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        self._generation = 0
        self._dirty = False

    def load(self) -> tuple[int, int] | None:
        """(part file sequence, byte offset) of the next line to send; None when nothing was saved."""
        best: tuple[int, int, int] | None = None
        for slot in range(2):
            data = os.pread(self._fd, _SLOT, slot * _SLOT)
            match = _SLOT_TEXT.match(data)
            if match is None:
                continue
            generation, sequence, offset = (int(match.group(n)) for n in (1, 2, 3))
            body = f"{generation} {sequence} {offset}".encode()
            if f"{zlib.crc32(body):08x}".encode() != match.group(4):
                continue
            if best is None or generation > best[0]:
                best = (generation, sequence, offset)
        if best is None:
            if os.fstat(self._fd).st_size:
                log.error(
                    "%s holds no valid position: forwarding starts from the first stored message", self.path
                )
            return None
        self._generation = best[0]
        return best[1], best[2]

    def save(self, sequence: int, offset: int) -> None:
        """Record the position (durable after the next ``sync``)."""
        self._generation += 1
        body = f"{self._generation} {sequence} {offset}"
        text = f"{body} {zlib.crc32(body.encode()):08x}".ljust(_SLOT - 1) + "\n"
        os.pwrite(self._fd, text.encode("ascii"), (self._generation % 2) * _SLOT)
        self._dirty = True

    def sync(self) -> None:
        """fsync the file when a position was saved since the last call."""
        if self._dirty:
            self._dirty = False
            if self.fsync:
                os.fsync(self._fd)

    def close(self) -> None:
        with contextlib.suppress(OSError):
            self.sync()
        os.close(self._fd)


# -- reading the durable lines ---------------------------------------------------


class _LineReader:
    """The durable lines of the store's part files, in order, from a position."""

    def __init__(self, store: Store, sequence: int, offset: int) -> None:
        self.store = store
        self.sequence = sequence
        """The part file being read (0 before the first)."""
        self.offset = offset
        """Offset in it of the next line not yet handed out."""
        self._done = False
        """Every line of file ``sequence`` was handed out."""
        self._fd = -1
        self._path: Path | None = None
        self._buffer = b""
        self._read_to = offset

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    @property
    def file_name(self) -> str:
        return self._path.name if self._path is not None else ""

    def _open_next(self) -> bool:
        """Open the part file the position is in, or the first after it; False when there is none yet."""
        for _ in range(8):  # a file renamed between the listing and the open is listed again
            found = self._first_file()
            if found is None:
                return False
            path, sequence = found
            try:
                fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
            except FileNotFoundError:
                continue
            if sequence != self.sequence:
                if self.offset and not self._done:
                    log.warning("part file %d is gone: forwarding goes on with %s", self.sequence, path.name)
                self.sequence, self.offset, self._done = sequence, 0, False
            self._fd, self._path = fd, path
            self._buffer, self._read_to = b"", self.offset
            return True
        return False

    def _first_file(self) -> tuple[Path, int] | None:
        """The part file at the position, or the first after it, with its sequence number."""
        for path in stored_files(self.store.directory, Kind.PART, include_open=True):
            sequence = file_sequence(path)
            assert sequence is not None
            if sequence > self.sequence or (sequence == self.sequence and not self._done):
                return path, sequence
        return None

    def next_line(self) -> tuple[bytes, int, int] | None:
        """(line, start, end) of the next durable line, or None when there is none yet."""
        while True:
            if self._fd < 0 and not self._open_next():
                return None
            newline = self._buffer.find(b"\n")
            if newline >= 0:
                line = self._buffer[: newline + 1]
                self._buffer = self._buffer[newline + 1 :]
                start = self.offset
                self.offset += len(line)
                return line, start, self.offset
            durable = self.store.durable_extent(self.sequence)
            limit = durable if durable is not None else os.fstat(self._fd).st_size
            if self._read_to < limit:
                data = os.pread(self._fd, min(READ_SIZE, limit - self._read_to), self._read_to)
                self._read_to += len(data)
                self._buffer += data
                continue
            if durable is not None:
                return None  # still being written: wait for more to be durable
            # A closed file read to its end: on to the next one.
            if self._buffer:
                log.warning(
                    "%s ends with %d bytes without a newline: not forwarded",
                    self.file_name,
                    len(self._buffer),
                )
            self.close()
            self._done = True


# -- the forwarder ------------------------------------------------------------------


@dataclasses.dataclass(slots=True)
class ForwardCounters:
    """What the forwarder did since it started."""

    sent: int = 0
    """Frames written to the downstream, resends included."""
    acknowledged: int = 0
    """Messages the downstream answered AA (or CA)."""
    dead_lettered: int = 0
    """Messages the downstream refused (AE, AR, CE, CR), kept in the dead-letter files."""
    unconfirmed: int = 0
    """Messages whose MSH-15 asked for no answer on success, taken as delivered without one."""
    acknowledgements_skipped: int = 0
    """Stored acknowledgements, which are not forwarded."""


class Forwarder:
    """Sends the store's durable part lines to ``config``'s receiver; ``start()``, then ``await stop()``."""

    def __init__(self, store: Store, config: SendConfig, *, encoding: str = "utf-8") -> None:
        self.store = store
        self.config = config
        self.encoding = encoding
        self.counters = ForwardCounters()
        self.target = f"{config.host}:{config.port}"
        self._sender = Sender(config)
        self._position = PositionFile(store.directory / POSITION_FILE, fsync=store.fsync)
        saved = self._position.load()
        self._reader = _LineReader(store, *(saved or (0, 0)))
        self._wake = asyncio.Event()
        self._task: asyncio.Task[None] | None = None
        self._syncer: asyncio.Task[None] | None = None
        self._oldest: str | None = None
        """``received`` of the message being forwarded now; None while caught up."""
        self.error: BaseException | None = None
        """What stopped the forwarder, when something did."""

    @property
    def position(self) -> tuple[int, int]:
        """(part file sequence, offset) of the next line to forward."""
        return self._reader.sequence, self._reader.offset

    @property
    def lag_seconds(self) -> float:
        """How long ago the message being forwarded now was received; 0 while caught up."""
        if self._oldest is None:
            return 0.0
        when = _parse_time(self._oldest)
        if when is None:
            return 0.0
        return max(0.0, (datetime.datetime.now(datetime.UTC) - when).total_seconds())

    @property
    def running(self) -> bool:
        return self._task is not None and not self._task.done()

    def start(self) -> None:
        """Start forwarding (on the running loop)."""
        self.store.on_durable = self._wake.set
        self._task = asyncio.get_running_loop().create_task(self._run(), name="brenvolt-forward")
        self._syncer = asyncio.get_running_loop().create_task(
            self._sync_now_and_then(), name="brenvolt-forward-sync"
        )

    async def stop(self) -> None:
        """Stop forwarding; the position is kept.

        The message in hand is given up, and sent again after a restart.
        """
        for task in (self._task, self._syncer):
            if task is not None:
                task.cancel()
                with contextlib.suppress(asyncio.CancelledError, Exception):
                    await task
        if self.store.on_durable == self._wake.set:
            self.store.on_durable = None
        await self._sender.close()
        self._reader.close()
        self._position.close()

    async def _sync_now_and_then(self) -> None:
        while True:
            await asyncio.sleep(SYNC_INTERVAL)
            try:
                await asyncio.to_thread(self._position.sync)
            except OSError as error:
                log.error("cannot fsync %s: %s", self._position.path.name, error)

    async def _run(self) -> None:
        try:
            while True:
                item = self._reader.next_line()
                if item is None:
                    self._oldest = None
                    self._wake.clear()
                    item = self._reader.next_line()  # what became durable before the clear
                    if item is None:
                        await self._wake.wait()
                        continue
                line, start, end = item
                await self._forward(line, start)
                self._position.save(self._reader.sequence, end)
        except asyncio.CancelledError:
            raise
        except BaseException as error:  # pragma: no cover - logged; /health reports it
            self.error = error
            log.exception("forwarding stopped: %s", error)
            raise

    async def _forward(self, line: bytes, start: int) -> None:
        """Send one stored line until the downstream answers it (or it is not to be sent)."""
        name = self._reader.file_name
        try:
            value = orjson.loads(line)
            if not isinstance(value, dict):
                raise ValueError("not a JSON object")
            data = message_bytes(value, self.encoding)
        except Exception as error:
            log.error("%s at offset %d: cannot be forwarded (%s): skipped", name, start, error)
            return
        text = data.decode(self.encoding, "replace")
        if ack.is_acknowledgement(text):
            self.counters.acknowledgements_skipped += 1
            return
        received = value.get("received")
        self._oldest = received if isinstance(received, str) else None
        control = value.get("control_id")
        message = Outgoing(
            name, start, data, control if isinstance(control, str) else "", ack.accept_acknowledgement(text)
        )
        delay = self.config.backoff
        while True:
            outcome = await self._send(message)
            if outcome.code is not None:
                break
            if outcome.unconfirmed:
                self.counters.unconfirmed += 1
                return
            log.warning(
                "%s at offset %d (control id %r): no ACK from %s after %d tries (%s): trying again in %gs",
                name,
                message.index,
                message.control_id,
                self.target,
                outcome.attempts,
                outcome.detail,
                delay,
            )
            await asyncio.sleep(delay)
            delay = min(delay * 2, MAX_BACKOFF)
        if outcome.code in ("AA", "CA"):
            self.counters.acknowledged += 1
            return
        await self._dead_letter(value, outcome, name)

    async def _send(self, message: Outgoing) -> Outcome:
        before = self._sender.sends
        try:
            return await self._sender.send(message)
        finally:
            self.counters.sent += self._sender.sends - before

    async def _dead_letter(self, value: dict[str, object], outcome: Outcome, name: str) -> None:
        """Keep a refused message in the dead-letter file; returns once that line is durable."""
        reason = answer_reason(outcome.reply, self.encoding)
        log.warning(
            "%s: control id %r refused by %s (%s): %s; kept as a dead letter",
            name,
            outcome.message.control_id,
            self.target,
            outcome.code,
            reason,
        )
        entry: dict[str, object] = {
            "forwarded": datetime.datetime.now(datetime.UTC).isoformat(timespec="microseconds"),
            "to": self.target,
            "code": outcome.code,
            "reason": reason,
            "ack": (outcome.reply or b"").decode(self.encoding, "replace"),
            "source": name,
            **{
                key: value[key] for key in ("received", "peer", "control_id", "sha256", "raw") if key in value
            },
        }
        if "raw" not in entry:
            entry["raw"] = base64.b64encode(outcome.message.data).decode("ascii")
        line = orjson.dumps(entry) + b"\n"
        delay = self.config.backoff
        while True:
            try:
                await self.store.append(Kind.DEAD, line)
            except StoreError as error:
                log.error(
                    "cannot keep the dead letter of %r: %s; trying again in %gs",
                    outcome.message.control_id,
                    error,
                    delay,
                )
                await asyncio.sleep(delay)
                delay = min(delay * 2, MAX_BACKOFF)
                continue
            self.counters.dead_lettered += 1
            return


def since_value(text: str, now: datetime.datetime | None = None) -> datetime.datetime:
    """``--since``: an ISO 8601 time, or an age (``90m``, ``2h``, ``1d``, ``30s``) counted back from now.

    A time without an offset is UTC; a date alone is its midnight.

    Raises ``ValueError`` with what is wrong.
    """
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([smhd])\s*", text)
    if match:
        seconds = float(match.group(1)) * {"s": 1, "m": 60, "h": 3600, "d": 86400}[match.group(2)]
        return (now or datetime.datetime.now(datetime.UTC)) - datetime.timedelta(seconds=seconds)
    when = _parse_time(text.strip())
    if when is None:
        raise ValueError(
            f"not a time: {text!r} (say 2026-12-08T12:00:00+01:00, 2026-12-08, or an age: 90m, 2h, 1d)"
        )
    return when
