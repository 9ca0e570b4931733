"""The MLLP receiver behind ``brenvolt listen``: accepting, admission, the store, metrics and health.

``Receiver(config)`` listens on its own sockets and accepts connections
itself, so that a peer outside ``--allow``, or past ``--max-connections``,
is closed before a byte of it is read, and a process out of file
descriptors closes the connections waiting for it instead of leaving them
hanging. Each connection admitted is served by an ``MllpConnection``
(after its TLS handshake, when TLS is on); the store, the forwarder and the
HTTP endpoint are started and stopped with the receiver.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import dataclasses
import errno
import logging
import os
import resource
import socket
import ssl
from typing import Final

from brenvolt_feeds.access import AllowList, server_context
from brenvolt_feeds.connection import MllpConnection, Throttle, held_note
from brenvolt_feeds.forward import Forwarder
from brenvolt_feeds.frames import Answer, take
from brenvolt_feeds.metrics import ACK_LATENCY_BUCKETS, FSYNC_BUCKETS, Exposition, Histogram
from brenvolt_feeds.monitor import Monitor
from brenvolt_feeds.send import SendConfig
from brenvolt_feeds.store import (
    DEFAULT_DUP_WINDOW,
    DEFAULT_PARALLEL_SYNCS,
    DEFAULT_ROTATE_BYTES,
    DEFAULT_ROTATE_SECONDS,
    Store,
)

__all__ = ["Counters", "ListenConfig", "Receiver"]

log = logging.getLogger("brenvolt.listen")

DEFAULT_MAX_FRAME_SIZE: Final = 16 * 1024 * 1024
DEFAULT_IDLE_TIMEOUT: Final = 600.0
DEFAULT_FRAME_TIMEOUT: Final = 30.0
DEFAULT_FRAME_TIME_LIMIT: Final = 300.0
DEFAULT_MAX_CONNECTIONS: Final = 100
STOP_GRACE: Final = 10.0
"""Seconds a connection may take to finish its frames in hand once a stop began."""
BACKLOG: Final = 1024
"""Connections the system may hold waiting to be accepted."""
ACCEPT_BATCH: Final = 256
"""Connections accepted per readiness of the listening socket, before other work gets a turn."""
SPARE_DESCRIPTORS: Final = 32
"""Descriptors the receiver keeps for its files, the store's fsyncs and the HTTP endpoint."""


@dataclasses.dataclass(frozen=True, slots=True)
class ListenConfig:
    """Everything ``brenvolt listen`` can be told; the defaults are the command's."""

    out: str
    host: str = "127.0.0.1"
    port: int = 2575
    max_frame_size: int = DEFAULT_MAX_FRAME_SIZE
    idle_timeout: float = DEFAULT_IDLE_TIMEOUT
    """Seconds a connection may go without a frame (0: no limit)."""
    frame_timeout: float = DEFAULT_FRAME_TIMEOUT
    """Seconds without a byte while a frame is open before the connection is closed (0: no limit);
    also the time a TLS handshake may take."""
    frame_time_limit: float = DEFAULT_FRAME_TIME_LIMIT
    """Seconds a frame may take from its start byte to its end, however steadily it comes (0: no limit)."""
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
    original_mode: bool = False
    """Answer every message AA, AE or AR, whatever MSH-15 asks (off: enhanced mode where MSH-15 is filled)."""
    tls_cert: str | None = None
    tls_key: str | None = None
    tls_client_ca: str | None = None
    """Require client certificates signed by this authority (PEM)."""
    allow: tuple[str, ...] = ()
    """Addresses and networks that may connect; empty: everyone."""
    http: tuple[str, int] | None = None
    """Where ``/metrics`` and ``/health`` are served; None: nowhere."""
    forward: SendConfig | None = None
    """The downstream receiver every stored message is passed on to; None: none."""
    fsync: bool = True
    parallel_fsyncs: int = DEFAULT_PARALLEL_SYNCS


@dataclasses.dataclass(slots=True)
class Counters:
    """What the receiver did since it started."""

    frames: int = 0
    stored: int = 0
    rejected: int = 0
    errors: int = 0
    """Rejected frames answered (or due) AE or CE."""
    refusals: int = 0
    """Rejected frames answered (or due) AR or CR."""
    duplicates: int = 0
    acknowledgements: int = 0
    unanswered_by_request: int = 0
    """Frames whose MSH-15 asked for no answer in their case (stored all the same)."""
    bytes_skipped: int = 0
    oversized: int = 0
    timeouts: int = 0
    refused: int = 0
    refused_allow: int = 0
    refused_limit: int = 0
    refused_tls: int = 0
    refused_descriptors: int = 0
    store_failures: int = 0
    connections: int = 0

    def summary(self) -> str:
        """The one-line summary printed at shutdown."""
        return (
            f"stored {self.stored}, rejected {self.rejected}, duplicates {self.duplicates}, "
            f"bytes skipped {self.bytes_skipped}"
        )


class Receiver:
    """The MLLP server. ``await start()``, then ``await stop()`` (or use ``serve``).

    ``port`` is the port actually bound once ``start`` returns (useful with
    port 0), ``http_port`` the HTTP endpoint's. ``counters`` says what was
    done; ``metrics_text()`` says it in the Prometheus text format.
    """

    def __init__(self, config: ListenConfig) -> None:
        if config.max_frame_size < 1:
            raise ValueError("max_frame_size must be at least 1")
        if config.max_connections < 1:
            raise ValueError("max_connections must be at least 1")
        "".encode(config.encoding)  # raises LookupError for an unknown encoding
        self.config = config
        self.counters = Counters()
        self.allow = AllowList(config.allow)
        self.store: Store | None = None
        self.forwarder: Forwarder | None = None
        self.port = 0
        self.http_port = 0
        self.ack_latency = Histogram(ACK_LATENCY_BUCKETS)
        self.fsync_time = Histogram(FSYNC_BUCKETS)
        self._tls: ssl.SSLContext | None = None
        self._listeners: list[socket.socket] = []
        self._monitor: Monitor | None = None
        self._connections: dict[MllpConnection, None] = {}
        self._opening: set[asyncio.Task[None]] = set()
        """Accepted connections whose transport (and TLS handshake) is being made."""
        self._spare = -1
        """A descriptor held back to accept and close a connection when the process has no other."""
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stopping = False
        self._accept_paused = False
        self._throttles: dict[str, Throttle] = collections.defaultdict(lambda: Throttle(10))

    async def start(self) -> int:
        """Open the store (recovering the directory) and start listening; return the bound port.

        Raises ``OSError`` when the address cannot be bound or the directory
        cannot be used, and ``ssl.SSLError``/``OSError`` for a bad certificate or key.
        """
        config = self.config
        self._loop = asyncio.get_running_loop()
        if config.tls_cert:
            self._tls = server_context(config.tls_cert, config.tls_key, config.tls_client_ca)
        self.store = await self.open_store()
        try:
            await self._bind()
            if config.http is not None:
                self._monitor = Monitor(config.http[0], config.http[1], self.metrics_text, self.health)
                self.http_port = await self._monitor.start()
            if config.forward is not None:
                self.forwarder = Forwarder(self.store, config.forward, encoding=config.encoding)
                self.forwarder.start()
        except BaseException:
            await self._close_listeners()
            if self._monitor is not None:
                await self._monitor.stop()
            await self.store.close()
            raise
        with contextlib.suppress(OSError):
            self._spare = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
        for listener in self._listeners:
            self._loop.add_reader(listener.fileno(), self._accept, listener)
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
        self.store.fsync_observer = self.fsync_time.observe
        return self.store

    async def _bind(self) -> None:
        """Listen on every address ``host`` names, all on the same port."""
        assert self._loop is not None
        infos = await self._loop.getaddrinfo(
            self.config.host or None, self.config.port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
        )
        seen: set[tuple[int, object]] = set()
        port = self.config.port
        for family, kind, protocol, _, address in infos:
            if (family, address[0]) in seen:
                continue
            seen.add((family, address[0]))
            listener = socket.socket(family, kind, protocol)
            try:
                listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                if family == socket.AF_INET6:
                    listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
                listener.bind((address[0], port, *address[2:]))
                listener.listen(BACKLOG)
                listener.setblocking(False)
            except BaseException:
                listener.close()
                raise
            self._listeners.append(listener)
            port = listener.getsockname()[1]
        self.port = port

    async def _close_listeners(self) -> None:
        for listener in self._listeners:
            if self._loop is not None:
                with contextlib.suppress(Exception):
                    self._loop.remove_reader(listener.fileno())
            listener.close()
        self._listeners = []

    async def stop(self) -> None:
        """Stop accepting, finish and answer the frames in hand, close every connection, flush the store."""
        self._stopping = True
        await self._close_listeners()
        for task in list(self._opening):
            task.cancel()
        if self._opening:
            await asyncio.gather(*self._opening, return_exceptions=True)
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
        if self.forwarder is not None:
            await self.forwarder.stop()
        if self._monitor is not None:
            await self._monitor.stop()
        if self.store is not None:
            await self.store.close()
        if self._spare >= 0:
            os.close(self._spare)
            self._spare = -1
        for kind, throttle in self._throttles.items():
            if throttle.held:
                log.warning("%d more lines of the kind '%s' were not logged", throttle.held, kind)

    @property
    def connections(self) -> int:
        """How many connections are being served now."""
        return len(self._connections)

    # -- accepting ---------------------------------------------------------------

    def _log_throttled(self, kind: str, level: int, text: str, *args: object) -> None:
        assert self._loop is not None
        held = self._throttles[kind].due(self._loop.time())
        if held is not None:
            log.log(level, text + "%s", *args, held_note(held))

    def _accept(self, listener: socket.socket) -> None:
        """Take the connections waiting on ``listener`` (called when it is readable)."""
        for _ in range(ACCEPT_BATCH):
            try:
                sock, address = listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:
                if error.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                    self._out_of_descriptors(listener, error)
                elif error.errno not in (errno.ECONNABORTED, errno.EPROTO):
                    self._log_throttled("accept", logging.ERROR, "cannot accept a connection: %s", error)
                return
            self._admit(sock, address)

    def _out_of_descriptors(self, listener: socket.socket, error: OSError) -> None:
        """No descriptor is left for another connection: close the waiting ones, not leave them hanging.

        The spare descriptor is given up to accept each waiting connection and
        close it at once; without one, accepting pauses for a moment.
        """
        assert self._loop is not None
        refused = 0
        while self._spare >= 0 and refused < ACCEPT_BATCH:
            os.close(self._spare)
            self._spare = -1
            try:
                sock, _ = listener.accept()
            except OSError:
                sock = None
            if sock is not None:
                sock.close()
                refused += 1
            with contextlib.suppress(OSError):
                self._spare = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
            if sock is None:
                break
        self.counters.refused += refused
        self.counters.refused_descriptors += refused
        soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
        self._log_throttled(
            "descriptors",
            logging.ERROR,
            "cannot accept connections: %s (%d open, open-file limit %d): waiting connections are closed",
            error.strerror,
            len(self._connections),
            soft,
        )
        if self._spare < 0 and not self._accept_paused:
            # Nothing to accept with: look again shortly instead of spinning on a readable socket.
            self._accept_paused = True
            self._loop.remove_reader(listener.fileno())
            self._loop.call_later(0.1, self._resume_accepting, listener)

    def _resume_accepting(self, listener: socket.socket) -> None:
        self._accept_paused = False
        if self._loop is not None and not self._stopping and listener.fileno() >= 0:
            self._loop.add_reader(listener.fileno(), self._accept, listener)
            with contextlib.suppress(OSError):
                if self._spare < 0:
                    self._spare = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)

    def _admit(self, sock: socket.socket, address: object) -> None:
        """Refuse a connection before reading a byte of it, or start serving it."""
        assert self._loop is not None
        host = address[0] if isinstance(address, tuple) else str(address)
        peer = f"{host}:{address[1]}" if isinstance(address, tuple) else str(address)
        counters = self.counters
        if self._stopping:
            sock.close()
            return
        if not self.allow.admits(host):
            counters.refused += 1
            counters.refused_allow += 1
            self._log_throttled(
                "allow", logging.WARNING, "%s: refused: not in --allow (%s)", peer, self.allow
            )
            sock.close()
            return
        open_now = len(self._connections) + len(self._opening)
        if open_now >= self.config.max_connections:
            counters.refused += 1
            counters.refused_limit += 1
            self._log_throttled(
                "limit",
                logging.WARNING,
                "%s: refused: %d connections already open (--max-connections %d)",
                peer,
                open_now,
                self.config.max_connections,
            )
            sock.close()
            return
        sock.setblocking(False)
        task = self._loop.create_task(self._open(sock, peer))
        self._opening.add(task)
        task.add_done_callback(self._opening.discard)

    async def _open(self, sock: socket.socket, peer: str) -> None:
        """Make the transport of an accepted socket (and its TLS handshake)."""
        assert self._loop is not None
        tls = self._tls
        try:
            if tls is None:
                await self._loop.connect_accepted_socket(lambda: MllpConnection(self, peer), sock)
            else:
                await self._loop.connect_accepted_socket(
                    lambda: MllpConnection(self, peer),
                    sock,
                    ssl=tls,
                    ssl_handshake_timeout=self.config.frame_timeout or None,
                )
        except asyncio.CancelledError:
            sock.close()
            raise
        except Exception as error:
            sock.close()
            if tls is None:
                self._log_throttled("open", logging.WARNING, "%s: connection failed: %s", peer, error)
                return
            self.counters.refused += 1
            self.counters.refused_tls += 1
            reason = getattr(error, "reason", None) or str(error) or type(error).__name__
            self._log_throttled("tls", logging.WARNING, "%s: refused: TLS handshake failed: %s", peer, reason)

    # -- frames -------------------------------------------------------------------

    def take(self, payload: bytes, peer: str) -> Answer:
        """Decide where one frame's message goes and what answers it (nothing is written here)."""
        return take(self.config, payload, peer)

    # -- metrics and health -----------------------------------------------------

    def metrics_text(self) -> str:
        """What the receiver did and holds, in the Prometheus text format."""
        counters = self.counters
        text = Exposition()
        text.counter(
            "brenvolt_frames_received_total", "Complete frames read from all connections.", counters.frames
        )
        text.counter(
            "brenvolt_messages_stored_total", "Messages written to a part file and fsync'd.", counters.stored
        )
        text.counter(
            "brenvolt_messages_rejected_total",
            "Frames kept in a rejects file, by the original-mode code they earned (CE as AE, CR as AR).",
            {("code", "AE"): counters.errors, ("code", "AR"): counters.refusals},
        )
        text.counter(
            "brenvolt_duplicates_total",
            "Frames that repeated a recently stored message.",
            counters.duplicates,
        )
        text.counter("brenvolt_bytes_skipped_total", "Bytes outside frames, skipped.", counters.bytes_skipped)
        text.counter(
            "brenvolt_frames_oversized_total",
            "Frames over --max-frame-size (the connection closed).",
            counters.oversized,
        )
        text.counter(
            "brenvolt_store_failures_total",
            "Connections closed because their lines could not be stored.",
            counters.store_failures,
        )
        text.counter("brenvolt_connections_opened_total", "Connections served.", counters.connections)
        text.counter(
            "brenvolt_connections_refused_total",
            "Connections closed before they were served, by reason.",
            {
                ("reason", "allow"): counters.refused_allow,
                ("reason", "limit"): counters.refused_limit,
                ("reason", "tls"): counters.refused_tls,
                ("reason", "descriptors"): counters.refused_descriptors,
            },
        )
        text.counter(
            "brenvolt_connections_timed_out_total", "Connections closed by a timeout.", counters.timeouts
        )
        forward = self.forwarder.counters if self.forwarder is not None else None
        text.counter(
            "brenvolt_forward_sent_total",
            "Frames written to the downstream receiver, resends included.",
            forward.sent if forward else 0,
        )
        text.counter(
            "brenvolt_forward_acknowledged_total",
            "Messages the downstream receiver answered AA (or CA).",
            forward.acknowledged if forward else 0,
        )
        text.counter(
            "brenvolt_forward_dead_lettered_total",
            "Messages the downstream receiver refused (AE, AR, CE, CR), kept in the dead-letter files.",
            forward.dead_lettered if forward else 0,
        )
        text.gauge("brenvolt_connections_open", "Connections being served now.", len(self._connections))
        text.gauge(
            "brenvolt_frames_unanswered",
            "Frames read whose answer has not been written yet.",
            sum(connection.unanswered for connection in self._connections),
        )
        text.gauge(
            "brenvolt_forward_lag_seconds",
            "Age of the oldest stored message not yet accepted downstream; 0 while forwarding is caught up.",
            self.forwarder.lag_seconds if self.forwarder is not None else 0.0,
        )
        text.histogram(
            "brenvolt_ack_latency_seconds",
            "From a frame's last byte read to its answer written.",
            self.ack_latency,
        )
        text.histogram("brenvolt_fsync_seconds", "How long each batch's fsyncs took.", self.fsync_time)
        return text.render()

    async def health(self) -> list[str]:
        """Why the receiver is not healthy; empty while it accepts connections and its store is writable."""
        problems: list[str] = []
        if self._stopping:
            problems.append("stopping")
        elif not self._listeners:
            problems.append("not listening")
        elif self._accept_paused:
            problems.append("not accepting: no file descriptor left")
        if self.store is None:
            problems.append("no store")
        else:
            problem = await self.store.check_writable()
            if problem is not None:
                problems.append(problem)
        if self.forwarder is not None and not self.forwarder.running and not self._stopping:
            problems.append(f"forwarding stopped: {self.forwarder.error}")
        return problems
