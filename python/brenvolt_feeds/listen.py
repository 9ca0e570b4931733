"""``brenvolt listen``: an MLLP receiver that stores every message as a JSON line before it says AA.

Each connection is served by one asyncio task. Its bytes go through an
incremental ``FrameDecoder``; each complete frame is decoded (``--encoding``),
converted with ``Hl7Json`` and appended to the store (see
``brenvolt_feeds.store``), strictly in the order the frames came; only when
the line is written and fsync'd does the ACK go out. What happens to each
frame:

- a message that converts: a part line ``{"received", "peer", "control_id",
  "sha256", "records"}``, answered ``AA``;
- a message already stored recently (same MSH-10 and same bytes): not stored
  again, counted as a duplicate, answered ``AA``;
- bytes that do not decode, a frame that does not start with an MSH segment,
  or a message that ``Hl7Json`` cannot convert: a rejects line ``{"received",
  "peer", "error", "raw"}``, answered ``AE``; one that fails ``--validate`` /
  ``--strict``: a rejects line, answered ``AR``;
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
import contextlib
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
from brenvolt_feeds.store import (
    DEFAULT_DUP_WINDOW,
    DEFAULT_PARALLEL_SYNCS,
    DEFAULT_ROTATE_BYTES,
    DEFAULT_ROTATE_SECONDS,
    Kind,
    Store,
    StoreClosed,
    StoreError,
    part_line,
    reject_line,
)

__all__ = [
    "Connection",
    "Counters",
    "ListenConfig",
    "Receiver",
    "add_listen_arguments",
    "add_listen_command",
    "main",
    "run_listen",
    "serve",
]

log = logging.getLogger("brenvolt.listen")

READ_SIZE: Final = 1 << 16
DEFAULT_MAX_FRAME_SIZE: Final = 16 * 1024 * 1024
DEFAULT_IDLE_TIMEOUT: Final = 600.0
DEFAULT_FRAME_TIMEOUT: Final = 30.0
DEFAULT_MAX_CONNECTIONS: Final = 100
STOP_GRACE: Final = 10.0
"""Seconds a connection may take to finish its frames in hand once a stop began."""

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


@dataclasses.dataclass(slots=True)
class Connection:
    """One served connection: who it is, its task, and whether it is waiting for bytes."""

    peer: str
    task: asyncio.Task[None] | None
    reading: bool = False


class _Answer:
    """What one frame asks of the store and of the reply."""

    __slots__ = ("kind", "line", "key", "reply", "code")

    def __init__(
        self, kind: Kind, line: bytes, key: tuple[str, str] | None, reply: str | None, code: Code
    ) -> None:
        self.kind = kind
        self.line = line
        self.key = key
        self.reply = reply
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
        self._connections: dict[asyncio.Task[None], Connection] = {}
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
            self._server = await asyncio.start_server(
                self._serve_connection,
                self.config.host,
                self.config.port,
                ssl=context,
                limit=READ_SIZE,
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
        for task, connection in list(self._connections.items()):
            if connection.reading:
                task.cancel()
        tasks = list(self._connections)
        if tasks:
            # A peer that stopped reading its ACKs must not hold the shutdown.
            _, stuck = await asyncio.wait(tasks, timeout=STOP_GRACE)
            for task in stuck:
                log.warning(
                    "%s: still busy %gs after the stop: closing", self._connections[task].peer, STOP_GRACE
                )
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
        if self._server is not None:
            await self._server.wait_closed()
        if self.store is not None:
            await self.store.close()

    # -- one connection ---------------------------------------------------

    async def _serve_connection(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        address = writer.get_extra_info("peername")
        peer = f"{address[0]}:{address[1]}" if isinstance(address, tuple) else str(address)
        if self._stopping or len(self._connections) >= self.config.max_connections:
            self.counters.refused += 1
            log.warning("%s: refused: %d connections already open", peer, len(self._connections))
            writer.close()
            with contextlib.suppress(OSError, asyncio.TimeoutError):
                async with asyncio.timeout(1):
                    await writer.wait_closed()
            return
        task = asyncio.current_task()
        assert task is not None
        connection = Connection(peer, task)
        self._connections[task] = connection
        self.counters.connections += 1
        log.debug("%s: connected", peer)
        try:
            await self.serve_stream(reader, writer, connection)
        except asyncio.CancelledError:
            if not self._stopping:
                raise
        except (ConnectionError, ssl.SSLError) as error:
            log.info("%s: connection lost: %s", peer, error)
        finally:
            del self._connections[task]
            writer.close()
            with contextlib.suppress(OSError, ssl.SSLError, asyncio.TimeoutError, asyncio.CancelledError):
                async with asyncio.timeout(1):
                    await writer.wait_closed()
            log.debug("%s: closed", peer)

    async def serve_stream(
        self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, connection: Connection
    ) -> None:
        """Read frames from ``reader`` and answer them on ``writer`` until the peer stops or a limit hits."""
        config = self.config
        peer = connection.peer
        decoder = mllp.FrameDecoder(config.max_frame_size)
        while True:
            limit = config.frame_timeout if decoder.in_frame else config.idle_timeout
            connection.reading = True
            try:
                async with asyncio.timeout(limit or None):
                    data = await reader.read(READ_SIZE)
            except TimeoutError:
                self.counters.timeouts += 1
                if decoder.in_frame:
                    log.warning(
                        "%s: frame stalled for %gs at offset %d: closing", peer, limit, decoder.position
                    )
                else:
                    log.info("%s: idle for %gs: closing", peer, limit)
                return
            finally:
                connection.reading = False
            events = decoder.feed(data) if data else decoder.finish()
            for event in events:
                if isinstance(event, mllp.Frame):
                    if not await self._answer_frame(event, peer, writer):
                        return
                elif isinstance(event, mllp.Skipped):
                    self.counters.bytes_skipped += len(event.data)
                    log.warning(
                        "%s: skipped %d bytes at offset %d: %s",
                        peer,
                        len(event.data),
                        event.offset,
                        event.reason,
                    )
                else:
                    self.counters.oversized += 1
                    log.warning(
                        "%s: frame at offset %d passed %d bytes (--max-frame-size %d): closing, no answer",
                        peer,
                        event.offset,
                        event.size,
                        config.max_frame_size,
                    )
                    return
            if not data or self._stopping:
                return
            try:
                async with asyncio.timeout(config.idle_timeout or None):
                    await writer.drain()
            except TimeoutError:
                self.counters.timeouts += 1
                log.warning("%s: has not read its ACKs for %gs: closing", peer, config.idle_timeout)
                return

    async def _answer_frame(self, frame: mllp.Frame, peer: str, writer: asyncio.StreamWriter) -> bool:
        """Store one frame's message and send its answer; False when the connection must close."""
        answer = self.take(frame.payload, peer)
        assert self.store is not None
        try:
            fresh = await self.store.append(answer.kind, answer.line, answer.key)
        except (StoreError, StoreClosed) as error:
            self.counters.store_failures += 1
            log.error(
                "%s: frame at offset %d not stored (%s): closing without an answer", peer, frame.offset, error
            )
            return False
        if answer.kind is Kind.REJECTS:
            self.counters.rejected += 1
        elif not fresh:
            self.counters.duplicates += 1
        else:
            self.counters.stored += 1
        if answer.reply is None:
            self.counters.acknowledgements += fresh
            return True
        writer.write(mllp.frame(answer.reply.encode(self.config.encoding, "replace")))
        return True

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
        if not text.lstrip("\r\n").startswith("MSH"):
            return self._reject(
                received, peer, payload, text, is_ack, "AE", "the message does not start with an MSH segment"
            )
        if config.validate or config.strict:
            try:
                Hl7Json(text, escaping_enabled=config.escaping).validate(config.strict, False)
            except Exception as error:
                return self._reject(received, peer, payload, text, is_ack, "AR", str(error))
        try:
            records = Hl7Json(text, escaping_enabled=config.escaping).hl7_json
        except Exception as error:
            return self._reject(received, peer, payload, text, is_ack, "AE", str(error))
        control = ack.control_id(text)
        digest = hashlib.sha256(payload).hexdigest()
        line = part_line(received, peer, control, digest, records)
        reply = None if is_ack else _build_ack(text, "AA", None)
        return _Answer(Kind.PART, line, (control, digest), reply, "AA")

    def _reject(
        self, received: str, peer: str, payload: bytes, text: str, is_ack: bool, code: Code, error: str
    ) -> _Answer:
        line = reject_line(received, peer, error, payload)
        reply = None if is_ack else _build_ack(text, code, error)
        log.info("%s: rejected (%s): %s", peer, code, error)
        return _Answer(Kind.REJECTS, line, None, reply, code)


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


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _size(text: str) -> int:
    """A byte count with an optional K, M or G suffix (powers of 1024)."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper().removesuffix("IB").removesuffix("B")
    factor = units.get(text[-1:], 1)
    number = text[:-1] if text[-1:] in units else text
    try:
        value = int(float(number) * factor)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (say 512K, 16M, 1G)") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1 byte")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _encoding(text: str) -> str:
    """A character set MLLP can carry: one that writes ASCII as ASCII bytes (not UTF-16 or UTF-32)."""
    try:
        ascii_as_ascii = "MSH|\r".encode(text) == b"MSH|\r"
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text}") from None
    if not ascii_as_ascii:
        raise argparse.ArgumentTypeError(f"{text} does not write ASCII as ASCII bytes; MLLP cannot carry it")
    return text


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def add_listen_arguments(parser: argparse.ArgumentParser) -> None:
    """Add ``brenvolt listen``'s options to ``parser`` and set its handler."""
    parser.add_argument("--out", required=True, metavar="DIR", help="directory of the part and rejects files")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    parser.add_argument(
        "--port", type=int, default=2575, help="TCP port; 0 asks the system for a free one (default: 2575)"
    )
    parser.add_argument(
        "--encoding", type=_encoding, default="utf-8", help="how message bytes are decoded (default: utf-8)"
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
    limits = parser.add_argument_group("limits")
    limits.add_argument(
        "--max-frame-size",
        type=_size,
        default=DEFAULT_MAX_FRAME_SIZE,
        metavar="SIZE",
        help="largest frame; a larger one closes the connection without an answer (default: 16M)",
    )
    limits.add_argument(
        "--idle-timeout",
        type=_seconds,
        default=DEFAULT_IDLE_TIMEOUT,
        metavar="SECONDS",
        help="close a connection silent this long between frames; 0: never (default: 600)",
    )
    limits.add_argument(
        "--frame-timeout",
        type=_seconds,
        default=DEFAULT_FRAME_TIMEOUT,
        metavar="SECONDS",
        help="close a connection whose open frame gets no byte for this long; 0: never (default: 30)",
    )
    limits.add_argument(
        "--max-connections",
        type=_positive_int,
        default=DEFAULT_MAX_CONNECTIONS,
        metavar="N",
        help="connections served at once; more are closed at once (default: 100)",
    )
    limits.add_argument(
        "--rotate-size",
        type=_size,
        default=DEFAULT_ROTATE_BYTES,
        metavar="SIZE",
        help="start a new part or rejects file past this size (default: 64M)",
    )
    limits.add_argument(
        "--rotate-time",
        type=_seconds,
        default=DEFAULT_ROTATE_SECONDS,
        metavar="SECONDS",
        help="start a new file after this long (default: 3600)",
    )
    limits.add_argument(
        "--dup-window",
        type=_count,
        default=DEFAULT_DUP_WINDOW,
        metavar="N",
        help="stored messages remembered to spot duplicates; 0: off (default: 100000)",
    )
    limits.add_argument(
        "--parallel-fsyncs",
        type=_positive_int,
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
