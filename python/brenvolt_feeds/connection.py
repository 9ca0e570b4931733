"""One served MLLP connection of the receiver: frames in, answers out in order, timeouts.

``MllpConnection`` is an ``asyncio.BufferedProtocol`` made by ``Receiver``
for each accepted connection; see the class for what it does with the bytes.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import time
import typing
from typing import TYPE_CHECKING, Final

from brenvolt_feeds import mllp
from brenvolt_feeds.frames import Answer
from brenvolt_feeds.store import Kind, StoreClosed, StoreError

if TYPE_CHECKING:
    from brenvolt_feeds.receiver import Receiver

__all__ = ["LOG_INTERVAL", "MAX_UNANSWERED", "READ_SIZE", "MllpConnection", "Throttle"]

log = logging.getLogger("brenvolt.listen")

READ_SIZE: Final = 1 << 16
"""Bytes one read of a connection may take."""
MAX_UNANSWERED: Final = 256
"""Frames of one connection waiting for the store before its reading pauses."""
LOG_INTERVAL: Final = 10.0
"""Seconds between log lines about the same kind of repeated trouble (the first one is logged at once)."""


class Throttle:
    """Repeated trouble: ``burst`` lines per ``LOG_INTERVAL`` at most, then one that counts the rest."""

    __slots__ = ("burst", "held", "logged", "window_end")

    def __init__(self, burst: int = 5) -> None:
        self.burst = burst
        self.window_end = 0.0
        self.logged = 0
        self.held = 0

    def due(self, now: float) -> int | None:
        """None while quiet (the occurrence is counted); else how many were held back before this one."""
        if now >= self.window_end:
            self.window_end = now + LOG_INTERVAL
            self.logged = 0
        if self.logged >= self.burst:
            self.held += 1
            return None
        self.logged += 1
        held, self.held = self.held, 0
        return held


def held_note(count: int) -> str:
    return f" ({count} more since the last such line)" if count else ""


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
    frame, ``frame_timeout`` without a byte inside an open frame,
    ``frame_time_limit`` after an open frame's start, or ``idle_timeout``
    with the peer not reading its ACKs (writing paused). ``closed`` is done
    once the transport is gone.
    """

    def __init__(self, receiver: Receiver, peer: str = "?") -> None:
        self.receiver = receiver
        self.config = receiver.config
        self.peer = peer
        self.transport: asyncio.Transport | None = None
        self.closed: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._loop = asyncio.get_running_loop()
        self._decoder = mllp.FrameDecoder(self.config.max_frame_size)
        self._buffer = memoryview(bytearray(READ_SIZE))
        self._unanswered: collections.deque[Answer] = collections.deque()
        self._timer: asyncio.TimerHandle | None = None
        self._last_activity = 0.0
        self._frame_started: float | None = None
        self._paused_since: float | None = None
        self._reading_paused = False
        self._skips = Throttle()
        self._ending = False
        """Read nothing more; close once every frame in hand is answered."""
        self._gone = False
        """The transport is closed or closing: write nothing more."""
        self._failed = False
        """The store failed a frame: no answer goes out any more."""

    # -- asyncio.Protocol --------------------------------------------------

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = typing.cast(asyncio.Transport, transport)
        if self.peer == "?":
            address = transport.get_extra_info("peername")
            self.peer = f"{address[0]}:{address[1]}" if isinstance(address, tuple) else str(address)
        receiver = self.receiver
        if receiver._stopping:
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
        decoder = self._decoder
        before = decoder.in_frame
        events = decoder.feed(data)
        if events or decoder.in_frame or before:
            # Bytes outside frames do not keep an idle connection open.
            now = self._loop.time()
            self._last_activity = now
            if decoder.in_frame and (self._frame_started is None or events):
                self._frame_started = now
            elif not decoder.in_frame:
                self._frame_started = None
        if events:
            self._handle(events)
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
        if self._skips.held:
            log.warning(
                "%s: %d more pieces of bytes outside frames skipped before it closed",
                self.peer,
                self._skips.held,
            )
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
        store = receiver.store
        assert store is not None
        read_at = time.perf_counter()
        for event in events:
            if isinstance(event, mllp.Frame):
                counters.frames += 1
                answer = receiver.take(event.payload, self.peer)
                answer.connection = self
                answer.read_at = read_at
                answer.offset = event.offset
                try:
                    store.submit_to(answer.kind, answer.line, answer.key, answer)
                except StoreClosed as error:
                    self._store_failed(event.offset, error)
                    return
                self._unanswered.append(answer)
            elif isinstance(event, mllp.Skipped):
                counters.bytes_skipped += len(event.data)
                held = self._skips.due(self._loop.time())
                if held is not None:
                    log.warning(
                        "%s: skipped %d bytes at offset %d: %s%s",
                        self.peer,
                        len(event.data),
                        event.offset,
                        event.reason,
                        held_note(held),
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

    def _settled(self) -> None:
        """Answer, in order, every frame at the head of the line whose store call is done."""
        unanswered = self._unanswered
        counters = self.receiver.counters
        transport = self.transport
        assert transport is not None
        latency = self.receiver.ack_latency
        now = 0.0
        while unanswered and unanswered[0].outcome is not None:
            answer = unanswered.popleft()
            outcome = answer.outcome
            if isinstance(outcome, StoreError):
                self._store_failed(answer.offset, outcome)
                continue
            if answer.kind is Kind.REJECTS:
                counters.rejected += 1
                if answer.code == "AE":
                    counters.errors += 1
                else:
                    counters.refusals += 1
            elif not outcome:
                counters.duplicates += 1
            else:
                counters.stored += 1
            if answer.is_ack:
                counters.acknowledgements += outcome is True
            elif answer.frame is None:
                counters.unanswered_by_request += 1
            elif not self._gone and not self._failed:
                transport.write(answer.frame)
                if not now:
                    now = time.perf_counter()
                latency.observe(now - answer.read_at)
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
        config = self.config
        limits = [
            limit
            for limit in (config.idle_timeout, config.frame_timeout, config.frame_time_limit)
            if limit > 0
        ]
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
        # (limit, since, what to log) of every limit that applies now.
        checks: list[tuple[float, float, str]] = []
        if self._paused_since is not None:
            checks.append((config.idle_timeout, self._paused_since, "unread"))
        elif self._unanswered:
            pass  # waiting for the store, not for the peer
        elif self._decoder.in_frame:
            checks.append((config.frame_timeout, self._last_activity, "stalled"))
            if self._frame_started is not None:
                checks.append((config.frame_time_limit, self._frame_started, "slow"))
        else:
            checks.append((config.idle_timeout, self._last_activity, "idle"))
        due: list[float] = []
        for limit, since, what in checks:
            if limit <= 0:
                continue
            # One subtraction decides both: with a clock of whole milliseconds (uvloop's)
            # "now - since >= limit" and "since + limit - now > 0" can both be false.
            remaining = since + limit - now
            if remaining <= 0:
                self._time_out(what, limit)
                return
            due.append(remaining)
        shortest = self._shortest_limit()
        self._arm(min([shortest, *due]) if due else shortest)

    def _time_out(self, what: str, limit: float) -> None:
        self.receiver.counters.timeouts += 1
        if what == "unread":
            log.warning("%s: has not read its ACKs for %gs: closing", self.peer, limit)
        elif what == "stalled":
            log.warning(
                "%s: frame stalled for %gs at offset %d: closing", self.peer, limit, self._decoder.position
            )
        elif what == "slow":
            log.warning(
                "%s: frame not complete %gs after its start (%d bytes read; --frame-time-limit): closing",
                self.peer,
                limit,
                self._decoder.position,
            )
        else:
            log.info("%s: idle for %gs: closing", self.peer, limit)
        self._ending = True
        if what == "unread":
            self.abort()  # what is buffered will never be read
        else:
            self._close()
