"""Files and streams of many HL7 v2 messages, cut into messages.

An input may hold messages back to back, messages in FHS/BHS batch envelopes,
or MLLP frames (a dump of a network feed). The functions here read it lazily,
in chunks, holding no more than the current message and one chunk, and yield
:class:`Message` pieces in input order. Nothing is dropped silently: bytes that
belong to no message and are not separators or envelope lines come out as
:class:`Notice` pieces with their offset, and so do batch counts that do not
match.

    for piece in split_file("batch.hl7"):
        if isinstance(piece, Message):
            records = Hl7Json(piece.text()).hl7_json
        else:
            log.warning("offset %d: %s", piece.offset, piece.message)

How an input is cut:

* A UTF-8 byte-order mark at the very start is dropped, and so are CR, LF,
  NUL, FF, space and tab before the first message (they are separators).
* The input is an MLLP dump when its first byte that is not CR, LF, NUL, FF,
  space or tab is the start byte 0x0B. Each frame's payload is then cut by the
  line rules below (it normally holds one message); bytes outside frames other
  than CR, LF, NUL, FF, space and tab are reported, and so is a frame that is
  never closed. A frame that holds no message (empty, or only blanks) gives
  nothing; the envelope and batch counts carry on across frames.
* Otherwise the input is cut into lines at CR, LF or CR LF (mixed freely). A
  message begins at each line that starts with ``MSH`` and a field separator
  (``MSH|`` in practice; any ASCII punctuation is taken, so messages written
  with other delimiters are found too). "MSH" anywhere else, such as inside a
  field value, begins nothing. A NUL, FF, VT (0x0B) or FS (0x1C) byte, or a
  byte-order mark (files joined with ``cat``), directly before ``MSH`` counts
  as a line start as well.
* A message runs to the next such line, the next envelope line or the end of
  the input. Lines starting with ``FHS``, ``BHS``, ``BTS`` or ``FTS`` (and a
  field separator) are the batch envelope: never part of a message.
* Blank lines (empty, or only NUL, FF, VT, FS, space and tab) are separators
  between messages, but a blank line inside a message, that is one followed by
  a segment line that is not a message start or an envelope line, stays in the
  message as it was written: the message's ``raw`` ends after the end of its
  last non-blank line (the line's own trailing spaces and tabs included, and its
  CR, LF or CR LF when present). A NUL, FF, VT or FS after the last segment's
  text ends the message there.
* Any other text outside a message (before the first one, or after an envelope
  line) is reported as a Notice; separators around it are not part of it.
* BTS-1 (the batch's message count) and FTS-1 (the file's batch count) are
  checked when they hold a number; a mismatch is a Notice at the BTS/FTS line.
  A batch is a BHS and what follows it up to its BTS; messages outside any BHS
  batch that are closed by a BTS, or followed by a BHS or FTS, count as one
  batch too (the BHS is optional). FHS starts a new count.
"""

from __future__ import annotations

import io
import os
import re
import typing
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import TypeAlias

from .mllp import OUTSIDE, Frame, FrameDecoder, Oversized, Skipped

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "NOTICE_DATA_LIMIT",
    "Message",
    "Notice",
    "Piece",
    "split_bytes",
    "split_file",
    "split_stream",
    "split_text",
]

DEFAULT_CHUNK_SIZE = 1 << 20
NOTICE_DATA_LIMIT = 64 * 1024
"""The most skipped bytes a Notice carries in ``data`` (``size`` has the full count)."""


@dataclass(frozen=True, slots=True)
class Message:
    """One message of the input.

    ``index``: its 0-based place among the messages of this input.
    ``offset``: the byte offset of its first byte (the ``M`` of ``MSH``) in the input.
    ``raw``: its bytes, from its MSH line through the end of its last segment
    line, that line's CR, LF or CR LF included when present; line ends inside
    are kept as they were; never any frame bytes.
    ``batch``: the 0-based index of the BHS batch it sits in, ``None`` outside any.
    """

    index: int
    offset: int
    raw: bytes
    batch: int | None

    def text(self, encoding: str = "utf-8") -> str:
        """``raw`` decoded with ``encoding`` (strict: ``UnicodeDecodeError`` propagates;
        ``LookupError`` for an unknown encoding)."""
        return self.raw.decode(encoding)


@dataclass(frozen=True, slots=True)
class Notice:
    """Something in the input that is not a message, or a batch count that does not match.

    ``offset``: the byte offset in the input where the problem lies (the first
    skipped byte, or the BTS/FTS line). ``message``: one line saying what
    happened. ``data``: the skipped bytes, where bytes were skipped (the first
    64 KiB at most); ``size``: how many bytes were skipped (0 for count mismatches).
    """

    offset: int
    message: str
    data: bytes = b""
    size: int = 0


Piece: TypeAlias = Message | Notice

_BOM = b"\xef\xbb\xbf"
# Bytes that may stand before the first message and decide nothing about the mode.
_BLANKS = b"\r\n\x00\x0c \t"
# Bytes of a blank line in line mode: a line of only these is a separator.
_SEPARATORS = b"\r\n\x00\x0b\x0c\x1c \t"
_SEPARATOR_SET = frozenset(_SEPARATORS)
# A message start or an envelope line: a line start (CR, LF, NUL, VT, FF, FS or a
# byte-order mark) before the segment name and its field separator (ASCII punctuation).
# The pattern starts with one class so that the regex engine scans for it quickly;
# group 1 is the rest of a byte-order mark, which is valid only after 0xEF (checked in code).
_BOUNDARY = re.compile(
    rb"[\r\n\x00\x0b\x0c\x1c\xef](\xbb\xbf)?(MSH|FHS|BHS|BTS|FTS)[\x21-\x2f\x3a-\x40\x5b-\x60\x7b-\x7e]"
)
# How far before the end of the bytes read a start may begin and still be incomplete:
# three bytes of byte-order mark, the three letters of the name and its separator, less one.
_LOOK_BACK = 6
# The end of a message's last line after its last non-separator byte.
_LINE_TAIL = re.compile(rb"[ \t]*(?:\r\n|\r|\n)?")
_LINE_END = re.compile(rb"[\r\n]")
_CR = 0x0D
_LF = 0x0A
_BOM_FIRST = 0xEF

_NOT_A_MESSAGE = "not an MSH segment or a batch envelope"
_BEFORE_FIRST = "before the first message"
_FRAME_START = "at the start of an MLLP frame"
_NOT_CLOSED = {
    "frame not closed before the next start byte": "MLLP frame not closed before the next start byte",
    "frame not closed at end of input": "MLLP frame not closed at end of input",
}


def _count(number: int, word: str, plural: str | None = None) -> str:
    return f"{number} {word if number == 1 else plural or word + 's'}"


class _SkipRun:
    """Skipped bytes gathered until the run ends: from its first byte that is not
    a separator to its last one, so that separators around it stay out."""

    __slots__ = ("_describe", "_first", "_kept", "_pending", "_pending_size", "_separators", "_size")

    def __init__(self, separators: bytes, describe: Callable[[int], str]) -> None:
        self._separators = separators
        self._describe = describe
        self._first: int | None = None
        self._size = 0
        self._kept = bytearray()
        self._pending = bytearray()  # separators after the last kept byte (bounded)
        self._pending_size = 0

    def add(self, offset: int, data: bytes) -> None:
        """Take the next bytes of the run; ``offset`` is that of ``data[0]``."""
        lead = len(data) - len(data.lstrip(self._separators))
        if lead == len(data):
            if self._first is not None:
                self._hold(data)
            return
        body_end = len(data.rstrip(self._separators))
        if self._first is None:
            self._first = offset + lead
            self._keep(data[lead:body_end], body_end - lead)
        else:
            self._keep(bytes(self._pending), self._pending_size)
            self._keep(data[:body_end], body_end)
        self._pending = bytearray()
        self._pending_size = 0
        self._hold(data[body_end:])

    def flush(self) -> Notice | None:
        """The notice of the run so far (``None`` when it held only separators); starts a new run."""
        if self._first is None:
            return None
        notice = Notice(self._first, self._describe(self._size), bytes(self._kept), self._size)
        self._first = None
        self._size = 0
        self._kept = bytearray()
        self._pending = bytearray()
        self._pending_size = 0
        return notice

    def _keep(self, data: bytes, size: int) -> None:
        room = NOTICE_DATA_LIMIT - len(self._kept)
        if room > 0:
            self._kept += data[:room]
        self._size += size

    def _hold(self, data: bytes) -> None:
        room = NOTICE_DATA_LIMIT - len(self._pending)
        if room > 0:
            self._pending += data[:room]
        self._pending_size += len(data)


def _not_a_message(where: str) -> Callable[[int], str]:
    return lambda size: f"skipped {_count(size, 'byte')} {where}: {_NOT_A_MESSAGE}"


class _Batches:
    """The message index and the batch envelope state of one input, kept across MLLP frames."""

    __slots__ = ("batch", "file_batches", "implicit", "in_batch", "next_batch", "next_index")

    def __init__(self) -> None:
        self.next_index = 0
        self.next_batch = 0
        self.batch: int | None = None  # the open BHS batch
        self.in_batch = 0  # messages since the last FHS, BHS or BTS (what BTS-1 counts)
        self.file_batches = 0  # batches since the last FHS (what FTS-1 counts)
        self.implicit = False  # messages outside a BHS batch not yet counted as a batch

    def message(self) -> tuple[int, int | None]:
        """Count one message; return its index and batch."""
        index = self.next_index
        self.next_index += 1
        self.in_batch += 1
        if self.batch is None:
            self.implicit = True
        return index, self.batch

    def envelope(self, line: bytes, offset: int) -> Notice | None:
        """Apply one envelope line (without its line end); return a count mismatch, if any."""
        name = line[:3]
        fields = line.split(line[3:4], 2)
        count_text = fields[1].strip(b" ") if len(fields) > 1 else b""
        count = int(count_text) if count_text.isdigit() else None
        notice = None
        if name == b"FHS":
            self.file_batches = 0
        elif name == b"BHS":
            self._close_implicit()
            self.batch = self.next_batch
            self.next_batch += 1
            self.file_batches += 1
        elif name == b"BTS":
            if count is not None and count != self.in_batch:
                notice = Notice(
                    offset, f"BTS-1 says {_count(count, 'message')}, the batch holds {self.in_batch}"
                )
            if self.batch is None:
                self.file_batches += 1
        else:  # FTS
            self._close_implicit()
            if count is not None and count != self.file_batches:
                notice = Notice(
                    offset,
                    f"FTS-1 says {_count(count, 'batch', 'batches')}, the file holds {self.file_batches}",
                )
            self.file_batches = 0
        self.batch = self.batch if name == b"BHS" else None
        self.implicit = False
        self.in_batch = 0
        return notice

    def _close_implicit(self) -> None:
        if self.implicit:
            self.file_batches += 1


_OUTSIDE = 0
_MESSAGE = 1
_ENVELOPE = 2


class _LineSplitter:
    """The line rules over one run of contiguous bytes (a whole input, or one frame's payload).

    ``feed`` is a generator: exhaust it before the next call. Holds the current
    message (as parts) and a few bytes of context, never more."""

    __slots__ = ("_batches", "_buf", "_buf_offset", "_mode", "_parts", "_pos", "_scan", "_skip", "_start")

    def __init__(self, batches: _Batches, offset: int, where: str) -> None:
        self._batches = batches
        # A virtual LF before the first byte makes the start of the run a line start.
        self._buf = b"\n"
        self._buf_offset = offset - 1
        self._pos = 1  # start of the bytes not yet given to the current region
        self._scan = 0  # no message start or envelope line (with its line start) begins before this index
        self._mode = _OUTSIDE
        self._skip = _SkipRun(_SEPARATORS, _not_a_message(where))
        self._start = 0  # offset of the current message
        self._parts: list[bytes] = []

    def feed(self, chunk: bytes, final: bool) -> Iterator[Piece]:
        buf = self._buf + chunk if chunk else self._buf
        offset = self._buf_offset
        pos = self._pos
        scan = self._scan
        search = _BOUNDARY.search
        while True:
            if self._mode == _ENVELOPE:
                end_match = _LINE_END.search(buf, scan)
                if end_match is None:
                    if not final:
                        scan = len(buf)
                        break
                    line_end = after = len(buf)
                else:
                    line_end = end_match.start()
                    if buf[line_end] == _CR:
                        if line_end + 1 == len(buf) and not final:
                            scan = line_end
                            break
                        after = line_end + 2 if buf[line_end + 1 : line_end + 2] == b"\n" else line_end + 1
                    else:
                        after = line_end + 1
                line = buf[pos:line_end]
                notice = self._batches.envelope(line, offset + pos)
                if notice is not None:
                    yield notice
                self._mode = _OUTSIDE
                self._skip = _SkipRun(
                    _SEPARATORS, _not_a_message(f"after the {line[:3].decode('ascii')} line")
                )
                pos = after
                scan = after - 1  # the line end is the next start's line start
                continue
            match = search(buf, scan)
            while match is not None and (buf[match.start()] == _BOM_FIRST) != (match.group(1) is not None):
                match = search(buf, match.start() + 1)
            if match is None:
                if final:
                    yield from self._end_region(buf, pos, len(buf), offset)
                    pos = scan = len(buf)
                    break
                # A start found later needs bytes not read yet: it begins at len(buf) - 6
                # or after (three bytes of byte-order mark, the name, the separator), so the
                # bytes before that belong to the current region.
                scan = max(scan, len(buf) - _LOOK_BACK)
                if scan > pos:
                    self._give(buf, pos, scan, offset)
                    pos = scan
                break
            start = match.start(2)
            region_end = match.start() if match.group(1) is not None else start
            if self._mode == _MESSAGE and not self._parts:
                index, batch = self._batches.message()
                yield Message(index, self._start, _trimmed(buf[pos:region_end]), batch)
            else:
                yield from self._end_region(buf, pos, region_end, offset)
            pos = start
            if match.group(2) == b"MSH":
                self._mode = _MESSAGE
                self._start = offset + start
                scan = start + 1
            else:
                self._mode = _ENVELOPE
                scan = start + 4
        keep = min(pos, scan)
        self._buf = buf[keep:]
        self._buf_offset = offset + keep
        self._pos = pos - keep
        self._scan = scan - keep

    def _give(self, buf: bytes, begin: int, end: int, offset: int) -> None:
        if end <= begin:
            return
        if self._mode == _MESSAGE:
            self._parts.append(buf[begin:end])
        else:
            self._skip.add(offset + begin, buf[begin:end])

    def _end_region(self, buf: bytes, begin: int, end: int, offset: int) -> Iterator[Piece]:
        if self._mode == _MESSAGE:
            self._parts.append(buf[begin:end])
            raw = b"".join(self._parts)
            self._parts = []
            index, batch = self._batches.message()
            yield Message(index, self._start, _trimmed(raw), batch)
        else:
            self._give(buf, begin, end, offset)
            notice = self._skip.flush()
            if notice is not None:
                yield notice


def _trimmed(raw: bytes) -> bytes:
    """``raw`` without the separators after its last line (see the module's rules)."""
    last = raw[-1]
    if last == _CR or last == _LF:
        before = len(raw) - 2
        if last == _LF and before >= 0 and raw[before] == _CR:
            before -= 1
        if raw[before] not in _SEPARATOR_SET:  # the usual case: one line end after text
            return raw
    elif last not in _SEPARATOR_SET:
        return raw
    tail = _LINE_TAIL.match(raw, len(raw.rstrip(_SEPARATORS)))
    assert tail is not None  # the pattern matches the empty string
    return raw[: tail.end()]


def _outside_frames(size: int) -> str:
    return f"skipped {_count(size, 'byte')} outside MLLP frames"


def _split_chunks(chunks: Iterable[bytes]) -> Iterator[Piece]:
    """Cut the input made of ``chunks`` (non-empty bytes, in order) into pieces."""
    source = iter(chunks)
    head = b""
    for chunk in source:
        head += chunk
        if len(head) >= len(_BOM):
            break
    offset = 0
    if head.startswith(_BOM):
        head = head[len(_BOM) :]
        offset = len(_BOM)
    while True:
        rest = head.lstrip(_BLANKS)
        offset += len(head) - len(rest)
        head = rest
        if head:
            break
        head = next(source, b"")
        if not head:
            return
    batches = _Batches()
    if head[0] != 0x0B:
        lines = _LineSplitter(batches, offset, _BEFORE_FIRST)
        yield from lines.feed(head, False)
        for chunk in source:
            yield from lines.feed(chunk, False)
        yield from lines.feed(b"", True)
        return
    decoder = FrameDecoder(max_frame_size=None)
    skip = _SkipRun(_BLANKS, _outside_frames)
    base = offset
    yield from _frame_pieces(decoder.feed(head), base, skip, batches)
    for chunk in source:
        yield from _frame_pieces(decoder.feed(chunk), base, skip, batches)
    yield from _frame_pieces(decoder.finish(), base, skip, batches)
    notice = skip.flush()
    if notice is not None:
        yield notice


def _frame_pieces(
    events: list[Frame | Skipped | Oversized], base: int, skip: _SkipRun, batches: _Batches
) -> Iterator[Piece]:
    for event in events:
        if isinstance(event, Skipped) and event.reason == OUTSIDE:
            skip.add(base + event.offset, event.data)
            continue
        notice = skip.flush()
        if notice is not None:
            yield notice
        if isinstance(event, Frame):
            payload = event.payload
            body = payload.lstrip(_BLANKS)
            start = base + event.offset + 1 + len(payload) - len(body)
            if body:
                yield from _LineSplitter(batches, start, _FRAME_START).feed(body, True)
        elif isinstance(event, Skipped):
            data = event.data
            yield Notice(base + event.offset, _NOT_CLOSED[event.reason], data[:NOTICE_DATA_LIMIT], len(data))
        else:  # pragma: no cover - the decoder has no size limit here
            raise AssertionError(f"unexpected {event!r}")


def _check_chunk_size(chunk_size: int) -> None:
    if not isinstance(chunk_size, int) or isinstance(chunk_size, bool):
        raise TypeError(f"chunk_size must be an int, not {type(chunk_size).__name__}")
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1 (got {chunk_size})")


def _read_chunks(stream: typing.BinaryIO, chunk_size: int) -> Iterator[bytes]:
    while True:
        data: object = stream.read(chunk_size)
        if isinstance(data, bytes):
            chunk = data
        elif isinstance(data, (bytearray, memoryview)):
            chunk = bytes(data)
        elif data is None:
            raise TypeError("the stream's read() returned None: a non-blocking stream cannot be split")
        else:
            raise TypeError(
                f"the stream's read() returned {type(data).__name__}, not bytes: open it in binary mode"
            )
        if not chunk:
            return
        yield chunk


def split_stream(stream: typing.BinaryIO, *, chunk_size: int = DEFAULT_CHUNK_SIZE) -> Iterator[Piece]:
    """The messages and notices of a binary stream, read lazily ``chunk_size`` bytes at a time.

    Memory stays steady whatever the input's size: the current message, one
    chunk and a few bytes of context. The result does not depend on
    ``chunk_size``. The stream is read to its end and not closed.

    Raises ``TypeError`` for a text stream or a stream whose ``read`` returns
    anything but bytes, ``TypeError``/``ValueError`` for a ``chunk_size`` that is
    not a positive int (at once); errors of ``read`` itself (``OSError``)
    propagate while iterating.
    """
    _check_chunk_size(chunk_size)
    if isinstance(stream, io.TextIOBase):
        raise TypeError("split_stream() needs a binary stream (open the file with 'rb'), not a text stream")
    return _split_chunks(_read_chunks(stream, chunk_size))


def _slices(data: bytes | bytearray | memoryview, size: int) -> Iterator[bytes]:
    view = memoryview(data)
    for begin in range(0, len(view), size):
        yield bytes(view[begin : begin + size])


def split_bytes(data: bytes) -> Iterator[Piece]:
    """The messages and notices of ``data`` (bytes, bytearray or memoryview),
    cut lazily. Raises ``TypeError`` for anything else (use :func:`split_text`
    for a ``str``)."""
    if isinstance(data, str):
        raise TypeError("split_bytes() needs bytes, not str: use split_text() for text")
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"split_bytes() needs bytes, not {type(data).__name__}")
    return _split_chunks(_slices(data, DEFAULT_CHUNK_SIZE))


def split_text(text: str) -> Iterator[Piece]:
    """The messages and notices of ``text``, encoded as UTF-8 first: offsets are
    UTF-8 byte offsets and ``Message.text()`` gives each message's text back.
    Raises ``TypeError`` when ``text`` is not a ``str`` and ``UnicodeEncodeError``
    for a lone surrogate."""
    if not isinstance(text, str):
        raise TypeError(f"split_text() needs str, not {type(text).__name__}")
    return split_bytes(text.encode("utf-8"))


def split_file(path: str | os.PathLike[str], *, chunk_size: int = DEFAULT_CHUNK_SIZE) -> Iterator[Piece]:
    """The messages and notices of the file at ``path``, read lazily as by
    :func:`split_stream`. The file is opened when iteration starts and closed
    when it ends (or when the iterator is closed or dropped).

    Raises ``TypeError``/``ValueError`` for a bad ``chunk_size`` and
    ``TypeError`` for a path that is not a str or path-like (at once); opening
    and reading errors (``OSError``: missing file, a folder, no permission)
    are raised by the first ``next()``.
    """
    _check_chunk_size(chunk_size)
    path = os.fspath(path)
    return _split_file(path, chunk_size)


def _split_file(path: str, chunk_size: int) -> Iterator[Piece]:
    with open(path, "rb") as stream:
        yield from _split_chunks(_read_chunks(stream, chunk_size))
