"""MLLP framing: the function that frames a message and an incremental decoder.

A frame is the start byte 0x0B (VT), the message bytes, the end byte 0x1C (FS)
and a carriage return 0x0D. :class:`FrameDecoder` is sans-IO: it is fed the
bytes as they arrive (from a socket, a file, a test) and returns what they
completed, so the same decoder serves a network receiver and a file splitter.

    decoder = FrameDecoder()
    for data in reads:
        for event in decoder.feed(data):
            ...                      # Frame, Skipped or Oversized
    for event in decoder.finish():   # end of input
        ...
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TypeAlias

__all__ = [
    "CARRIAGE_RETURN",
    "END",
    "START",
    "Frame",
    "FrameDecoder",
    "FrameEvent",
    "Oversized",
    "Skipped",
    "frame",
]

START = b"\x0b"
END = b"\x1c"
CARRIAGE_RETURN = b"\r"

_START = 0x0B
_END = 0x1C
_CR = 0x0D
_LF = 0x0A

DEFAULT_MAX_FRAME_SIZE = 16 * 1024 * 1024

OUTSIDE = "bytes outside a frame"
NOT_CLOSED_BEFORE_START = "frame not closed before the next start byte"
NOT_CLOSED_AT_END = "frame not closed at end of input"

# The trailer after FS: nothing pending, FS seen (a CR may follow), FS CR seen (an LF may follow).
_NO_TRAILER = 0
_AFTER_END = 1
_AFTER_END_CR = 2


def frame(message: bytes) -> bytes:
    """The MLLP frame of ``message``: ``b"\\x0b" + message + b"\\x1c\\r"``.

    ``message`` is the encoded message (bytes, bytearray or memoryview). Raises
    ``TypeError`` for anything else (a ``str`` must be encoded first) and
    ``ValueError`` when it holds the start byte 0x0B or the end byte 0x1C,
    which would cut the frame short at the receiver.
    """
    if not isinstance(message, (bytes, bytearray, memoryview)):
        raise TypeError(f"frame() needs bytes, not {type(message).__name__}")
    payload = bytes(message)
    for byte, name in ((START, "start byte 0x0B"), (END, "end byte 0x1C")):
        at = payload.find(byte)
        if at >= 0:
            raise ValueError(f"cannot frame a message holding the MLLP {name} (at offset {at})")
    return START + payload + END + CARRIAGE_RETURN


@dataclass(frozen=True, slots=True)
class Frame:
    """One complete frame: ``payload`` is the message bytes without VT, FS and CR;
    ``offset`` is the byte offset of its start byte 0x0B in everything fed so far."""

    offset: int
    payload: bytes


@dataclass(frozen=True, slots=True)
class Skipped:
    """Bytes that belong to no frame, exactly as they were in the stream.

    ``offset`` is the offset of ``data[0]``. ``reason`` is one of
    ``"bytes outside a frame"`` (consecutive such bytes of one feed form one
    event), ``"frame not closed before the next start byte"`` and
    ``"frame not closed at end of input"``; for the last two, ``data`` is the
    abandoned frame from its start byte 0x0B on."""

    offset: int
    data: bytes
    reason: str


@dataclass(frozen=True, slots=True)
class Oversized:
    """A frame grew past ``max_frame_size`` before its end byte. ``size`` is the
    payload seen so far (more than the limit). The decoder stops there: every
    later ``feed`` raises ``ValueError``."""

    offset: int
    size: int


FrameEvent: TypeAlias = Frame | Skipped | Oversized


class FrameDecoder:
    """Incremental, sans-IO MLLP frame decoder.

    Handles frames split across feeds, many frames in one feed, FS and CR
    arriving alone, FS CR LF at the end of a frame, and FS without CR: FS alone
    ends the frame, and a CR directly after it, then an LF directly after that
    CR, are swallowed as the frame's trailer. Junk, CR, LF, NUL or FF between
    frames is reported as :class:`Skipped` (consecutive bytes merged into one
    event per feed); a start byte inside an open frame reports the partial frame
    as :class:`Skipped` and begins a new frame; an empty frame gives
    ``Frame(offset, b"")``. A frame's payload is returned as soon as its FS
    arrives.

    ``max_frame_size``: the largest payload accepted, in bytes (16 MiB by
    default; ``None`` for no limit). A larger frame gives :class:`Oversized`
    and stops the decoder. Raises ``ValueError`` for a negative limit and
    ``TypeError`` for one that is not an int.
    """

    __slots__ = (
        "_finished",
        "_frame_start",
        "_in_frame",
        "_max",
        "_parts",
        "_position",
        "_size",
        "_stopped",
        "_trailer",
    )

    def __init__(self, max_frame_size: int | None = DEFAULT_MAX_FRAME_SIZE) -> None:
        if max_frame_size is not None:
            if not isinstance(max_frame_size, int) or isinstance(max_frame_size, bool):
                raise TypeError(f"max_frame_size must be an int or None, not {type(max_frame_size).__name__}")
            if max_frame_size < 0:
                raise ValueError(f"max_frame_size must not be negative (got {max_frame_size})")
        self._max = max_frame_size
        self._position = 0
        self._in_frame = False
        self._frame_start = 0
        self._parts: list[bytes] = []
        self._size = 0
        self._trailer = _NO_TRAILER
        self._stopped = False
        self._finished = False

    @property
    def in_frame(self) -> bool:
        """Whether a start byte was seen and its frame has not ended yet."""
        return self._in_frame

    @property
    def position(self) -> int:
        """How many bytes were fed so far."""
        return self._position

    def feed(self, data: bytes) -> list[FrameEvent]:
        """Take the next bytes of the stream; return the events they complete, in
        stream order (often none: a partial frame waits for more data).

        Raises ``TypeError`` when ``data`` is not bytes-like, and ``ValueError``
        after an :class:`Oversized` event or after :meth:`finish`.
        """
        if self._stopped:
            raise ValueError("the MLLP decoder stopped after an oversized frame")
        if self._finished:
            raise ValueError("feed() called after finish()")
        if not isinstance(data, bytes):
            if not isinstance(data, (bytearray, memoryview)):
                raise TypeError(f"feed() needs bytes, not {type(data).__name__}")
            data = bytes(data)
        base = self._position
        size = len(data)
        self._position += size
        if (
            not self._in_frame
            and size >= 3
            and data[0] == _START
            and data[-1] == _CR
            and data[-2] == _END
            and data.find(END, 1, size - 2) < 0
            and data.find(START, 1) < 0
            and (self._max is None or size - 3 <= self._max)
        ):
            # The usual read of a sender waiting for its ACKs: exactly one whole frame (its start
            # byte also ends any trailer of the frame before).
            self._trailer = _AFTER_END_CR
            return [Frame(base, data[1:-2])]
        events: list[FrameEvent] = []
        i = 0
        # Next start and end byte at or after i (size when there is none); found
        # again only once passed, so a feed is scanned in linear time.
        next_start = -1
        next_end = -1
        while i < size:
            if self._trailer != _NO_TRAILER:
                expected = _CR if self._trailer == _AFTER_END else _LF
                if data[i] == expected:
                    self._trailer = _AFTER_END_CR if expected == _CR else _NO_TRAILER
                    i += 1
                    continue
                self._trailer = _NO_TRAILER
            if next_start < i:
                next_start = data.find(START, i)
                if next_start < 0:
                    next_start = size
            if not self._in_frame:
                if next_start > i:
                    events.append(Skipped(base + i, data[i:next_start], OUTSIDE))
                    i = next_start
                    if i == size:
                        break
                self._open(base + i)
                i += 1
                continue
            if next_end < i:
                next_end = data.find(END, i)
                if next_end < 0:
                    next_end = size
            stop = min(next_start, next_end)
            if stop > i:
                self._parts.append(data[i:stop])
                self._size += stop - i
            if self._max is not None and self._size > self._max:
                events.append(Oversized(self._frame_start, self._size))
                self._stopped = True
                self._in_frame = False
                self._parts = []
                return events
            if stop == size:
                break
            payload = b"".join(self._parts)
            if stop == next_end:
                events.append(Frame(self._frame_start, payload))
                self._in_frame = False
                self._parts = []
                self._trailer = _AFTER_END
            else:
                events.append(Skipped(self._frame_start, START + payload, NOT_CLOSED_BEFORE_START))
                self._open(base + stop)
            i = stop + 1
        return events

    def finish(self) -> list[FrameEvent]:
        """End of input: an open frame is reported as ``Skipped`` with the reason
        ``"frame not closed at end of input"``. Later calls return ``[]``; a
        later ``feed`` raises ``ValueError``."""
        if self._finished or self._stopped:
            self._finished = True
            return []
        self._finished = True
        self._trailer = _NO_TRAILER
        if not self._in_frame:
            return []
        self._in_frame = False
        payload = b"".join(self._parts)
        self._parts = []
        return [Skipped(self._frame_start, START + payload, NOT_CLOSED_AT_END)]

    def _open(self, offset: int) -> None:
        self._in_frame = True
        self._frame_start = offset
        self._parts = []
        self._size = 0
