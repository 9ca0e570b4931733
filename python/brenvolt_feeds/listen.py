"""``brenvolt listen``: an MLLP receiver that stores every message as a JSON line before it says AA.

Each connection is an ``asyncio.BufferedProtocol`` (``MllpConnection``): no
task and no stream per connection. Its bytes go straight into an incremental
``FrameDecoder``; each complete frame is decoded (``--encoding``), converted
with ``Hl7Json`` and handed to the store (see ``brenvolt_feeds.store``) as it
arrives, and the answers go out strictly in the order the frames came, each
only once its line is written and fsync'd. What happens to each frame:

- a message that converts: a part line ``{"received", "peer", "control_id",
  "sha256", "records"}``, answered ``AA``;
- a message already stored recently (same MSH-10 and same bytes): not stored
  again, counted as a duplicate, answered ``AA``;
- bytes that do not decode, a frame that does not start with an MSH segment,
  or a message that ``Hl7Json`` cannot convert: a rejects line ``{"received",
  "peer", "error", "raw"}``, answered ``AE``; one that fails ``--validate`` /
  ``--strict``: a rejects line, answered ``AR``;
- a message whose header declares other delimiters than ``| ^ ~ \\ &``: read
  through ``brenvolt_feeds.delimiters.to_standard_delimiters`` and stored
  like any other; with ``--no-delimiter-rewrite``, or when its encoding
  characters cannot be honoured (``MSH$^&&^$``), a rejects line, answered
  ``AR`` with the reason. Every answer is written in the delimiters the
  message declared;
- an acknowledgement (MSH-9 ``ACK``): stored like any message, never answered;
- a frame over ``--max-frame-size``: logged, the connection is closed without
  an answer;
- a store that cannot write or fsync: the connection is closed without an
  answer.

Bytes outside frames are skipped and logged (peer and stream offset); they
never end the connection.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import dataclasses
import datetime
import hashlib
import logging
import signal
import ssl
import sys
from collections.abc import Callable, Sequence
from typing import Final, Literal

from brenvolt import Hl7Json
from brenvolt_feeds import ack, mllp
from brenvolt_feeds import options as option_types
from brenvolt_feeds.delimiters import (
    declared_delimiters,
    delimiter_problem,
    header_field_separator,
    to_standard_delimiters,
)
from brenvolt_feeds.store import (
    DEFAULT_DUP_WINDOW,
    DEFAULT_PARALLEL_SYNCS,
    DEFAULT_ROTATE_BYTES,
    DEFAULT_ROTATE_SECONDS,
    Kind,
    Store,
    StoreClosed,
    part_line,
    reject_line,
)

__all__ = [
    "Counters",
    "ListenConfig",
    "MllpConnection",
    "Receiver",
    "add_listen_arguments",
    "add_listen_command",
    "main",
    "run_listen",
    "serve",
]

log = logging.getLogger("brenvolt.listen")

DEFAULT_MAX_FRAME_SIZE: Final = 16 * 1024 * 1024
DEFAULT_IDLE_TIMEOUT: Final = 600.0
DEFAULT_FRAME_TIMEOUT: Final = 30.0
DEFAULT_MAX_CONNECTIONS: Final = 100
READ_SIZE: Final = 1 << 16
"""Bytes one read of a connection may take."""
STOP_GRACE: Final = 10.0
"""Seconds a connection may take to finish its frames in hand once a stop began."""
MAX_UNANSWERED: Final = 256
"""Frames of one connection waiting for the store before its reading pauses."""

Code = Literal["AA", "AE", "AR"]


@dataclasses.dataclass(frozen=True, slots=True)
class ListenConfig:
    """Everything ``brenvolt listen`` can be told; the defaults are the command's."""

    out: str
    host: str = "127.0.0.1"
    port: int = 2575
    max_frame_size: int = DEFAULT_MAX_FRAME_SIZE
    idle_timeout: float = DEFAULT_IDLE_TIMEOUT
    """Seconds a connection may stay silent between frames (0: no limit)."""
    frame_timeout: float = DEFAULT_FRAME_TIMEOUT
    """Seconds without a byte while a frame is open before the connection is closed (0: no limit)."""
    max_connections: int = DEFAULT_MAX_CONNECTIONS
    rotate_bytes: int = DEFAULT_ROTATE_BYTES
    rotate_seconds: float = DEFAULT_ROTATE_SECONDS
    dup_window: int = DEFAULT_DUP_WINDOW
    encoding: str = "utf-8"
    validate: bool = False
    strict: bool = False
    escaping: bool = True
    rewrite_delimiters: bool = True
    """Read messages that declare other delimiters in them (``to_standard_delimiters``); off: AR."""
    tls_cert: str | None = None
    tls_key: str | None = None
    fsync: bool = True
    parallel_fsyncs: int = DEFAULT_PARALLEL_SYNCS


@dataclasses.dataclass(slots=True)
class Counters:
    """What the receiver did since it started."""

    stored: int = 0
    rejected: int = 0
    duplicates: int = 0
    acknowledgements: int = 0
    bytes_skipped: int = 0
    oversized: int = 0
    timeouts: int = 0
    refused: int = 0
    store_failures: int = 0
    connections: int = 0

    def summary(self) -> str:
        """The one-line summary printed at shutdown."""
        return (
            f"stored {self.stored}, rejected {self.rejected}, duplicates {self.duplicates}, "
            f"bytes skipped {self.bytes_skipped}"
        )


class _Answer:
    """What one frame asks of the store and of the reply."""

    __slots__ = ("kind", "line", "key", "frame", "code")

    def __init__(
        self, kind: Kind, line: bytes, key: tuple[str, str] | None, frame: bytes | None, code: Code
    ) -> None:
        self.kind = kind
        self.line = line
        self.key = key
        self.frame = frame
        """The framed answer to write once the line is durable; None for an acknowledgement."""
        self.code = code


def _now() -> str:
    # UTC: the offset is always right (a local zone read once would go stale at a
    # daylight saving change) and it costs no time zone look-up per message.
    return datetime.datetime.now(datetime.UTC).isoformat(timespec="microseconds")


class Receiver:
    """The MLLP server. ``await start()``, then ``await stop()`` (or use ``serve``).

    ``port`` is the port actually bound once ``start`` returns (useful with
    port 0). ``counters`` says what was done.
    """

    def __init__(self, config: ListenConfig) -> None:
        if config.max_frame_size < 1:
            raise ValueError("max_frame_size must be at least 1")
        if config.max_connections < 1:
            raise ValueError("max_connections must be at least 1")
        "".encode(config.encoding)  # raises LookupError for an unknown encoding
        self.config = config
        self.counters = Counters()
        self.store: Store | None = None
        self.port = 0
        self._server: asyncio.Server | None = None
        self._connections: dict[MllpConnection, None] = {}
        self._stopping = False

    async def start(self) -> int:
        """Open the store (recovering the directory) and start listening; return the bound port.

        Raises ``OSError`` when the address cannot be bound or the directory
        cannot be used, and ``ssl.SSLError``/``OSError`` for a bad certificate or key.
        """
        context: ssl.SSLContext | None = None
        if self.config.tls_cert:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(self.config.tls_cert, self.config.tls_key)
        self.store = await self.open_store()
        try:
            self._server = await asyncio.get_running_loop().create_server(
                lambda: MllpConnection(self),
                self.config.host,
                self.config.port,
                ssl=context,
                ssl_handshake_timeout=self.config.frame_timeout or None if context else None,
            )
        except BaseException:
            await self.store.close()
            raise
        self.port = self._server.sockets[0].getsockname()[1]
        return self.port

    async def open_store(self) -> Store:
        """Open (and recover) the output directory as ``self.store``; ``start`` does this first."""
        self.store = await Store.open(
            self.config.out,
            rotate_bytes=self.config.rotate_bytes,
            rotate_seconds=self.config.rotate_seconds,
            dup_window=self.config.dup_window,
            fsync=self.config.fsync,
            parallel_syncs=self.config.parallel_fsyncs,
        )
        return self.store

    async def stop(self) -> None:
        """Stop accepting, finish and answer the frames in hand, close every connection, flush the store."""
        self._stopping = True
        if self._server is not None:
            self._server.close()
        connections = list(self._connections)
        for connection in connections:
            connection.finish()
        if connections:
            closed = [connection.closed for connection in connections]
            # A peer that stopped reading its ACKs must not hold the shutdown.
            _, stuck = await asyncio.wait(closed, timeout=STOP_GRACE)
            for connection in connections:
                if connection.closed in stuck:
                    log.warning("%s: still busy %gs after the stop: closing", connection.peer, STOP_GRACE)
                    connection.abort()
            await asyncio.gather(*closed, return_exceptions=True)
        if self._server is not None:
            await self._server.wait_closed()
        if self.store is not None:
            await self.store.close()

    @property
    def connections(self) -> int:
        """How many connections are being served now."""
        return len(self._connections)

    def take(self, payload: bytes, peer: str) -> _Answer:
        """Decide where one frame's message goes and what answers it (nothing is written here)."""
        config = self.config
        received = _now()
        try:
            text = payload.decode(config.encoding)
        except UnicodeDecodeError as error:
            loose = payload.decode(config.encoding, "replace")
            return self._reject(
                received,
                peer,
                payload,
                loose,
                _is_acknowledgement(loose),
                "AE",
                f"cannot decode as {config.encoding}: {error}",
            )
        is_ack = _is_acknowledgement(text)
        start = text.lstrip("\r\n")
        if not start.startswith("MSH"):
            return self._reject(
                received, peer, payload, text, is_ack, "AE", "the message does not start with an MSH segment"
            )
        readable = text
        if config.rewrite_delimiters:
            rewritten = to_standard_delimiters(start)
            if rewritten is not start:
                readable = text[: len(text) - len(start)] + rewritten
                start = rewritten
        if not start.startswith(_STANDARD_HEADER) and _unread(start):
            return self._reject(received, peer, payload, text, is_ack, "AR", _unread_delimiters(start))
        if config.validate or config.strict:
            try:
                Hl7Json(readable, escaping_enabled=config.escaping).validate(config.strict, False)
            except Exception as error:
                return self._reject(received, peer, payload, text, is_ack, "AR", str(error))
        try:
            records = Hl7Json(readable, escaping_enabled=config.escaping).hl7_json
        except Exception as error:
            return self._reject(received, peer, payload, text, is_ack, "AE", str(error))
        control = ack.control_id(text)
        digest = hashlib.sha256(payload).hexdigest()
        line = part_line(received, peer, control, digest, records)
        reply = None if is_ack else self._frame(_build_ack(text, "AA", None))
        return _Answer(Kind.PART, line, (control, digest), reply, "AA")

    def _reject(
        self, received: str, peer: str, payload: bytes, text: str, is_ack: bool, code: Code, error: str
    ) -> _Answer:
        line = reject_line(received, peer, error, payload)
        reply = None if is_ack else self._frame(_build_ack(text, code, error))
        log.info("%s: rejected (%s): %s", peer, code, error)
        return _Answer(Kind.REJECTS, line, None, reply, code)

    def _frame(self, reply: str) -> bytes:
        return mllp.frame(reply.encode(self.config.encoding, "replace"))


class MllpConnection(asyncio.BufferedProtocol):
    """One served connection, driven by the event loop's callbacks.

    The transport reads into one buffer per connection (a plain protocol gets a
    fresh 256 KiB bytes object per read, which the allocator maps and unmaps
    each time); the bytes read go straight into a ``FrameDecoder``; every complete frame
    is taken (``Receiver.take``) and submitted to the store at once, and its
    answer is written when its line is durable, strictly in the order the
    frames came (a later frame's answer waits for every earlier one). A store
    failure closes the connection without an answer. Timeouts: one timer per
    connection, re-armed lazily, closes it after ``idle_timeout`` without a
    frame, ``frame_timeout`` without a byte inside an open frame, or
    ``idle_timeout`` with the peer not reading its ACKs (writing paused).
    ``closed`` is done once the transport is gone.
    """

    def __init__(self, receiver: Receiver) -> None:
        self.receiver = receiver
        self.config = receiver.config
        self.peer = "?"
        self.transport: asyncio.Transport | None = None
        self.closed: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._loop = asyncio.get_running_loop()
        self._decoder = mllp.FrameDecoder(self.config.max_frame_size)
        self._buffer = memoryview(bytearray(READ_SIZE))
        self._unanswered: collections.deque[tuple[_Answer, asyncio.Future[bool], int]] = collections.deque()
        self._timer: asyncio.TimerHandle | None = None
        self._last_activity = 0.0
        self._paused_since: float | None = None
        self._reading_paused = False
        self._ending = False
        """Read nothing more; close once every frame in hand is answered."""
        self._gone = False
        """The transport is closed or closing: write nothing more."""
        self._failed = False
        """The store failed a frame: no answer goes out any more."""

    # -- asyncio.Protocol --------------------------------------------------

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        address = transport.get_extra_info("peername")
        self.peer = f"{address[0]}:{address[1]}" if isinstance(address, tuple) else str(address)
        receiver = self.receiver
        if receiver._stopping or len(receiver._connections) >= self.config.max_connections:
            receiver.counters.refused += 1
            log.warning("%s: refused: %d connections already open", self.peer, len(receiver._connections))
            self._gone = True
            transport.close()
            return
        receiver._connections[self] = None
        receiver.counters.connections += 1
        log.debug("%s: connected", self.peer)
        self._last_activity = self._loop.time()
        self._arm(self._shortest_limit())

    def get_buffer(self, sizehint: int) -> memoryview:
        return self._buffer

    def buffer_updated(self, nbytes: int) -> None:
        self.data_received(self._buffer[:nbytes].tobytes())

    def data_received(self, data: bytes) -> None:
        """Take the next bytes the peer sent (the transport calls it through ``buffer_updated``)."""
        if self._ending:
            return
        self._last_activity = self._loop.time()
        self._handle(self._decoder.feed(data))
        if len(self._unanswered) >= MAX_UNANSWERED:
            self._pause_reading()

    def eof_received(self) -> bool:
        if not self._ending:
            self._handle(self._decoder.finish())
        self._ending = True
        # Keep the socket open to write the answers still owed (TLS cannot half-close).
        assert self.transport is not None
        return bool(self._unanswered) and self.transport.get_extra_info("sslcontext") is None

    def connection_lost(self, exc: Exception | None) -> None:
        self._gone = True
        if exc is not None:
            log.info("%s: connection lost: %s", self.peer, exc)
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        if self in self.receiver._connections:
            del self.receiver._connections[self]
            log.debug("%s: closed", self.peer)
        if not self.closed.done():
            self.closed.set_result(None)

    def pause_writing(self) -> None:
        # The peer does not read its ACKs: read nothing more until it does.
        self._paused_since = self._loop.time()
        self._pause_reading()

    def resume_writing(self) -> None:
        self._paused_since = None
        self._last_activity = self._loop.time()
        if len(self._unanswered) < MAX_UNANSWERED:
            self._resume_reading()

    @property
    def unanswered(self) -> int:
        """Frames taken whose answer has not gone out yet."""
        return len(self._unanswered)

    # -- stopping ------------------------------------------------------------

    def finish(self) -> None:
        """Read nothing more; close once the frames in hand are answered (at once when there are none)."""
        self._ending = True
        self._pause_reading()
        if not self._unanswered:
            self._close()

    def abort(self) -> None:
        """Close now, answered or not."""
        if self.transport is not None and not self._gone:
            self._gone = True
            self.transport.abort()

    # -- frames ----------------------------------------------------------------

    def _handle(self, events: list[mllp.FrameEvent]) -> None:
        receiver = self.receiver
        counters = receiver.counters
        for event in events:
            if isinstance(event, mllp.Frame):
                answer = receiver.take(event.payload, self.peer)
                assert receiver.store is not None
                try:
                    future = receiver.store.submit(answer.kind, answer.line, answer.key)
                except StoreClosed as error:
                    self._store_failed(event.offset, error)
                    return
                self._unanswered.append((answer, future, event.offset))
                future.add_done_callback(self._settled)
            elif isinstance(event, mllp.Skipped):
                counters.bytes_skipped += len(event.data)
                log.warning(
                    "%s: skipped %d bytes at offset %d: %s",
                    self.peer,
                    len(event.data),
                    event.offset,
                    event.reason,
                )
            else:
                counters.oversized += 1
                log.warning(
                    "%s: frame at offset %d passed %d bytes (--max-frame-size %d): closing, no answer",
                    self.peer,
                    event.offset,
                    event.size,
                    self.config.max_frame_size,
                )
                self.finish()
                return

    def _settled(self, _: asyncio.Future[bool]) -> None:
        """Answer, in order, every frame at the head of the line whose store call is done."""
        unanswered = self._unanswered
        counters = self.receiver.counters
        transport = self.transport
        assert transport is not None
        while unanswered and unanswered[0][1].done():
            answer, future, offset = unanswered.popleft()
            failure = future.exception()
            if failure is not None:
                self._store_failed(offset, failure)
                continue
            fresh = future.result()
            if answer.kind is Kind.REJECTS:
                counters.rejected += 1
            elif not fresh:
                counters.duplicates += 1
            else:
                counters.stored += 1
            if answer.frame is None:
                counters.acknowledgements += fresh
            elif not self._gone and not self._failed:
                transport.write(answer.frame)
        if not unanswered:
            self._last_activity = self._loop.time()
            if self._ending:
                self._close()
            elif self._paused_since is None:
                self._resume_reading()

    def _store_failed(self, offset: int, error: BaseException) -> None:
        if not self._failed:
            self._failed = True
            self.receiver.counters.store_failures += 1
            log.error(
                "%s: frame at offset %d not stored (%s): closing without an answer", self.peer, offset, error
            )
        self._ending = True
        self._close()

    # -- the transport -----------------------------------------------------------

    def _close(self) -> None:
        if self.transport is not None and not self._gone:
            self._gone = True
            self.transport.close()

    def _pause_reading(self) -> None:
        if not self._reading_paused and self.transport is not None and not self._gone:
            self._reading_paused = True
            self.transport.pause_reading()

    def _resume_reading(self) -> None:
        if self._reading_paused and not self._ending and self.transport is not None and not self._gone:
            self._reading_paused = False
            self.transport.resume_reading()

    # -- timeouts ------------------------------------------------------------------

    def _shortest_limit(self) -> float:
        limits = [limit for limit in (self.config.idle_timeout, self.config.frame_timeout) if limit > 0]
        return min(limits) if limits else 0.0

    def _arm(self, delay: float) -> None:
        if delay > 0:
            self._timer = self._loop.call_later(delay, self._check_time)

    def _check_time(self) -> None:
        """The connection's one timer: close it when a limit ran out, else look again when the next could."""
        self._timer = None
        if self._gone:
            return
        config = self.config
        now = self._loop.time()
        if self._paused_since is not None:
            limit, since = config.idle_timeout, self._paused_since
        elif self._unanswered:
            limit, since = 0.0, now  # waiting for the store, not for the peer
        elif self._decoder.in_frame:
            limit, since = config.frame_timeout, self._last_activity
        else:
            limit, since = config.idle_timeout, self._last_activity
        if limit > 0 and now - since >= limit:
            self.receiver.counters.timeouts += 1
            if self._paused_since is not None:
                log.warning("%s: has not read its ACKs for %gs: closing", self.peer, limit)
            elif self._decoder.in_frame:
                log.warning(
                    "%s: frame stalled for %gs at offset %d: closing",
                    self.peer,
                    limit,
                    self._decoder.position,
                )
            else:
                log.info("%s: idle for %gs: closing", self.peer, limit)
            self._ending = True
            if self._paused_since is not None:
                self.abort()  # what is buffered will never be read
            else:
                self._close()
            return
        shortest = self._shortest_limit()
        self._arm(min(shortest, since + limit - now) if limit > 0 else shortest)


def _is_acknowledgement(text: str) -> bool:
    # Cheap test first: MSH-9 of an ACK spells "ACK" in the header line.
    start = text.find("MSH")
    if start < 0:
        return False
    if (start == 0 or text[start - 1] in "\r\n") and "ACK" not in text[start : _line_end(text, start)]:
        return False
    try:
        return ack.is_acknowledgement(text)
    except Exception:  # a frame that is not a message at all is not an ACK
        return False


def _line_end(text: str, start: int) -> int:
    ends = [index for index in (text.find("\r", start), text.find("\n", start)) if index >= 0]
    return min(ends) if ends else len(text)


_STANDARD_HEADER: Final = "MSH|^~\\&"


def _unread(header: str) -> bool:
    """Whether a header not in the standard delimiters is one that the records would misread.

    It declares other delimiters that are usable (the rewrite is off), or
    unusable ones after another field separator than ``|``. Unusable ones
    after ``|`` (``MSH|^~&|``) are read with the standard delimiters, as
    brenvolt has always read them.
    """
    declared = declared_delimiters(header)
    if declared is not None:
        return not declared.is_standard
    return header_field_separator(header) not in (None, "|")


def _unread_delimiters(header: str) -> str:
    """Why a message whose header is not ``MSH|`` is not read.

    Its encoding characters cannot be honoured, or it declares usable ones
    and the rewrite is off.
    """
    problem = delimiter_problem(header)
    declared = declared_delimiters(header)
    if problem is not None or declared is None:
        return f"the header's delimiters cannot be read: {problem}"
    return (
        f"the message declares other delimiters than | ^ ~ \\ & (MSH-1 '{declared.field}', MSH-2 "
        f"'{declared.encoding_characters}'); with --no-delimiter-rewrite they are not read"
    )


def _build_ack(text: str, code: Code, error: str | None) -> str:
    """The answer to ``text`` (never an ACK); a frame without a header gets an ACK with an empty MSA-2."""
    return ack.build_ack(text, code, error)


# -- running --------------------------------------------------------------


async def serve(config: ListenConfig, *, ready: Callable[[Receiver], None] | None = None) -> Counters:
    """Run a receiver until SIGTERM or SIGINT; return its counters.

    ``ready`` is called once the port is bound. Raises what ``Receiver.start`` raises.
    """
    receiver = Receiver(config)
    await receiver.start()
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop.set)
    try:
        if ready is not None:
            ready(receiver)
        await stop.wait()
        log.info("stopping: finishing the frames in hand")
    finally:
        for number in (signal.SIGTERM, signal.SIGINT):
            loop.remove_signal_handler(number)
        await receiver.stop()
    return receiver.counters


def run_listen(options: argparse.Namespace) -> int:
    """The handler of ``brenvolt listen``: serve until SIGTERM/SIGINT, print the summary; the exit status."""
    if options.tls_key and not options.tls_cert:
        print("brenvolt listen: --tls-key needs --tls-cert", file=sys.stderr)
        return 2
    config = ListenConfig(
        out=options.out,
        host=options.host,
        port=options.port,
        max_frame_size=options.max_frame_size,
        idle_timeout=options.idle_timeout,
        frame_timeout=options.frame_timeout,
        max_connections=options.max_connections,
        rotate_bytes=options.rotate_size,
        rotate_seconds=options.rotate_time,
        dup_window=options.dup_window,
        encoding=options.encoding,
        validate=options.validate or options.strict,
        strict=options.strict,
        escaping=not options.no_escaping,
        rewrite_delimiters=not options.no_delimiter_rewrite,
        tls_cert=options.tls_cert,
        tls_key=options.tls_key,
        fsync=not options.no_fsync,
        parallel_fsyncs=options.parallel_fsyncs,
    )
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    for name in ("brenvolt.listen", "brenvolt.store"):
        logger = logging.getLogger(name)
        logger.addHandler(handler)
        logger.setLevel(
            logging.DEBUG if options.verbose else logging.INFO if not options.quiet else logging.WARNING
        )
        logger.propagate = False

    def ready(receiver: Receiver) -> None:
        assert receiver.store is not None
        recovery = receiver.store.recovery
        if recovery.closed:
            log.warning("closed %d files left open by an earlier run", len(recovery.closed))
        print(f"listening on {config.host}:{receiver.port}", file=sys.stderr, flush=True)

    try:
        counters = asyncio.run(serve(config, ready=ready))
    except (OSError, ssl.SSLError, LookupError, ValueError) as error:
        print(f"brenvolt listen: {error}", file=sys.stderr)
        return 1
    print(counters.summary(), file=sys.stderr, flush=True)
    return 0


def add_listen_arguments(parser: argparse.ArgumentParser) -> None:
    """Add ``brenvolt listen``'s options to ``parser`` and set its handler."""
    parser.add_argument("--out", required=True, metavar="DIR", help="directory of the part and rejects files")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    parser.add_argument(
        "--port", type=int, default=2575, help="TCP port; 0 asks the system for a free one (default: 2575)"
    )
    parser.add_argument(
        "--encoding",
        type=option_types.encoding,
        default="utf-8",
        help="how message bytes are decoded (default: utf-8)",
    )
    parser.add_argument(
        "--validate",
        action="store_true",
        help="reject (AR) messages that break the structural rules, as to-json --validate",
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        help="also require a known version and three MSH-9 components; implies --validate",
    )
    parser.add_argument(
        "--no-escaping", action="store_true", help="keep escape sequences as written in the records"
    )
    parser.add_argument(
        "--no-delimiter-rewrite",
        action="store_true",
        help="do not read messages whose header declares other delimiters than | ^ ~ \\ & in them: "
        "answer them AR (by default they are rewritten into the standard ones and stored)",
    )
    limits = parser.add_argument_group("limits")
    limits.add_argument(
        "--max-frame-size",
        type=option_types.size,
        default=DEFAULT_MAX_FRAME_SIZE,
        metavar="SIZE",
        help="largest frame; a larger one closes the connection without an answer (default: 16M)",
    )
    limits.add_argument(
        "--idle-timeout",
        type=option_types.seconds,
        default=DEFAULT_IDLE_TIMEOUT,
        metavar="SECONDS",
        help="close a connection silent this long between frames; 0: never (default: 600)",
    )
    limits.add_argument(
        "--frame-timeout",
        type=option_types.seconds,
        default=DEFAULT_FRAME_TIMEOUT,
        metavar="SECONDS",
        help="close a connection whose open frame gets no byte for this long; 0: never (default: 30)",
    )
    limits.add_argument(
        "--max-connections",
        type=option_types.positive_count,
        default=DEFAULT_MAX_CONNECTIONS,
        metavar="N",
        help="connections served at once; more are closed at once (default: 100)",
    )
    limits.add_argument(
        "--rotate-size",
        type=option_types.size,
        default=DEFAULT_ROTATE_BYTES,
        metavar="SIZE",
        help="start a new part or rejects file past this size (default: 64M)",
    )
    limits.add_argument(
        "--rotate-time",
        type=option_types.seconds,
        default=DEFAULT_ROTATE_SECONDS,
        metavar="SECONDS",
        help="start a new file after this long (default: 3600)",
    )
    limits.add_argument(
        "--dup-window",
        type=option_types.count,
        default=DEFAULT_DUP_WINDOW,
        metavar="N",
        help="stored messages remembered to spot duplicates; 0: off (default: 100000)",
    )
    limits.add_argument(
        "--parallel-fsyncs",
        type=option_types.positive_count,
        default=DEFAULT_PARALLEL_SYNCS,
        metavar="N",
        help="batches of lines whose fsync may run at once (default: 4)",
    )
    tls = parser.add_argument_group("TLS")
    tls.add_argument("--tls-cert", metavar="FILE", help="serve TLS with this PEM certificate (chain)")
    tls.add_argument(
        "--tls-key", metavar="FILE", help="the certificate's PEM private key (default: in --tls-cert)"
    )
    parser.add_argument("--no-fsync", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("-v", "--verbose", action="store_true", help="log every connection")
    parser.add_argument("-q", "--quiet", action="store_true", help="log only problems")
    parser.set_defaults(handler=run_listen)


DESCRIPTION: Final = (
    "Receive HL7 v2 messages over MLLP and store each as one JSON line in DIR "
    "(part-*.jsonl; rejects-*.jsonl for what cannot be converted). AA is sent only "
    "after the line is written and fsync'd. SIGTERM or SIGINT finishes what is in "
    "hand and prints a summary."
)


def add_listen_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add the ``listen`` sub-command, with all its options, to a ``brenvolt`` sub-parser set."""
    parser = commands.add_parser(
        "listen", help="receive HL7 over MLLP into JSON Lines files", description=DESCRIPTION
    )
    add_listen_arguments(parser)


def main(argv: Sequence[str] | None = None) -> int:
    """Run ``brenvolt listen`` with ``argv`` (``python -m brenvolt_feeds.listen ARGS``)."""
    parser = argparse.ArgumentParser(prog="brenvolt listen", description=DESCRIPTION)
    add_listen_arguments(parser)
    options = parser.parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = options.handler
    return handler(options)


if __name__ == "__main__":
    sys.exit(main())
