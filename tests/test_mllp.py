"""brenvolt_feeds.mllp: framing a message and the incremental frame decoder.

The decoder is fed the same streams whole, cut at every byte offset, byte by
byte and in random pieces; what it finds must not depend on how the bytes
arrived."""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

from brenvolt_feeds.mllp import (
    CARRIAGE_RETURN,
    END,
    START,
    Frame,
    FrameDecoder,
    FrameEvent,
    Oversized,
    Skipped,
    frame,
)

OUTSIDE = "bytes outside a frame"
BEFORE_START = "frame not closed before the next start byte"
AT_END = "frame not closed at end of input"

ADT = b"MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01|1|P|2.5.1\rPID|1||4711||DOE^ANNA\r"
ACK = b"MSH|^~\\&|LAB|HOSP|ADMIT|HOSP|20261208||ACK^A01|2|P|2.5.1\rMSA|AA|1\r"


def decode(*feeds: bytes, finish: bool = True, **options: int | None) -> list[FrameEvent]:
    decoder = FrameDecoder(**options)  # type: ignore[arg-type]
    events: list[FrameEvent] = []
    for data in feeds:
        events.extend(decoder.feed(data))
    if finish:
        events.extend(decoder.finish())
    return events


def merged(events: list[FrameEvent]) -> list[FrameEvent]:
    """Adjacent "outside" events joined: one feed merges them, several feeds may not."""
    result: list[FrameEvent] = []
    for event in events:
        last = result[-1] if result else None
        if (
            isinstance(event, Skipped)
            and event.reason == OUTSIDE
            and isinstance(last, Skipped)
            and last.reason == OUTSIDE
            and last.offset + len(last.data) == event.offset
        ):
            result[-1] = Skipped(last.offset, last.data + event.data, OUTSIDE)
        else:
            result.append(event)
    return result


class TestFrame:
    @pytest.mark.parametrize(
        ("message", "expected"),
        [
            (ADT, b"\x0b" + ADT + b"\x1c\r"),
            (b"", b"\x0b\x1c\r"),
            (bytearray(b"MSH|x\r"), b"\x0bMSH|x\r\x1c\r"),
            (memoryview(b"MSH|x\r"), b"\x0bMSH|x\r\x1c\r"),
        ],
        ids=["message", "empty", "bytearray", "memoryview"],
    )
    def test_frame(self, message: bytes, expected: bytes) -> None:
        assert frame(message) == expected
        assert START + bytes(message) + END + CARRIAGE_RETURN == expected

    @pytest.mark.parametrize(
        ("message", "error", "text"),
        [
            ("MSH|x\r", TypeError, "frame() needs bytes, not str"),
            (None, TypeError, "frame() needs bytes, not NoneType"),
            (
                b"MSH|\x0bx",
                ValueError,
                "cannot frame a message holding the MLLP start byte 0x0B (at offset 4)",
            ),
            (
                b"MSH|x\x1c\r",
                ValueError,
                "cannot frame a message holding the MLLP end byte 0x1C (at offset 5)",
            ),
        ],
        ids=["str", "none", "start-byte", "end-byte"],
    )
    def test_bad_message(self, message: object, error: type[Exception], text: str) -> None:
        with pytest.raises(error) as raised:
            frame(message)  # type: ignore[arg-type]
        assert type(raised.value) is error and str(raised.value) == text

    def test_framed_message_decodes_back(self) -> None:
        assert decode(frame(ADT)) == [Frame(0, ADT)]


# Streams fed in one piece, and every event they give.
STREAMS = [
    ("one-frame", b"\x0bMSH|a\r\x1c\r", [Frame(0, b"MSH|a\r")]),
    ("two-frames", b"\x0bA\x1c\r\x0bB\x1c\r", [Frame(0, b"A"), Frame(4, b"B")]),
    ("fs-cr-lf", b"\x0bA\x1c\r\n\x0bB\x1c\r\n", [Frame(0, b"A"), Frame(5, b"B")]),
    ("fs-without-cr", b"\x0bA\x1c\x0bB\x1c", [Frame(0, b"A"), Frame(3, b"B")]),
    ("fs-lf-no-cr", b"\x0bA\x1c\n\x0bB\x1c\r", [Frame(0, b"A"), Skipped(3, b"\n", OUTSIDE), Frame(4, b"B")]),
    ("fs-cr-cr", b"\x0bA\x1c\r\r", [Frame(0, b"A"), Skipped(4, b"\r", OUTSIDE)]),
    ("empty-frame", b"\x0b\x1c\r", [Frame(0, b"")]),
    ("junk-before", b"junk\x0bA\x1c\r", [Skipped(0, b"junk", OUTSIDE), Frame(4, b"A")]),
    ("junk-after", b"\x0bA\x1c\rjunk", [Frame(0, b"A"), Skipped(4, b"junk", OUTSIDE)]),
    (
        "blanks-between",
        b"\x0bA\x1c\r\r\n\x00\x0c\r\x0bB\x1c\r",
        [Frame(0, b"A"), Skipped(4, b"\r\n\x00\x0c\r", OUTSIDE), Frame(9, b"B")],
    ),
    ("lone-fs", b"\x1c\r\x0bA\x1c\r", [Skipped(0, b"\x1c\r", OUTSIDE), Frame(2, b"A")]),
    ("fs-fs", b"\x0bA\x1c\x1c\r", [Frame(0, b"A"), Skipped(3, b"\x1c\r", OUTSIDE)]),
    (
        "start-inside-frame",
        b"\x0bpartial\x0bA\x1c\r",
        [Skipped(0, b"\x0bpartial", BEFORE_START), Frame(8, b"A")],
    ),
    ("start-start", b"\x0b\x0bA\x1c\r", [Skipped(0, b"\x0b", BEFORE_START), Frame(1, b"A")]),
    ("open-at-end", b"\x0bA\x1c\r\x0bMSH|", [Frame(0, b"A"), Skipped(4, b"\x0bMSH|", AT_END)]),
    ("lone-start-at-end", b"\x0b", [Skipped(0, b"\x0b", AT_END)]),
    ("only-junk", b"not a frame", [Skipped(0, b"not a frame", OUTSIDE)]),
    ("nothing", b"", []),
    ("payload-with-cr-lf", b"\x0bMSH|a\r\nPID|b\n\x1c\r", [Frame(0, b"MSH|a\r\nPID|b\n")]),
    ("real-messages", frame(ADT) + b"\n" + frame(ACK), [Frame(0, ADT), Frame(len(ADT) + 4, ACK)]),
]


class TestOneFeed:
    @pytest.mark.parametrize(("stream", "expected"), [s[1:] for s in STREAMS], ids=[s[0] for s in STREAMS])
    def test_events(self, stream: bytes, expected: list[FrameEvent]) -> None:
        assert decode(stream) == expected

    @pytest.mark.parametrize(("stream", "expected"), [s[1:] for s in STREAMS], ids=[s[0] for s in STREAMS])
    def test_skipped_and_frames_cover_the_stream(self, stream: bytes, expected: list[FrameEvent]) -> None:
        for event in decode(stream):
            if isinstance(event, Skipped):
                assert stream[event.offset : event.offset + len(event.data)] == event.data
            elif isinstance(event, Frame):
                end = event.offset + 1 + len(event.payload)
                assert stream[event.offset] == 0x0B and stream[event.offset + 1 : end] == event.payload
                assert stream[end] == 0x1C


class TestCutFeeds:
    @pytest.mark.parametrize(("stream", "expected"), [s[1:] for s in STREAMS], ids=[s[0] for s in STREAMS])
    def test_two_feeds_at_every_offset(self, stream: bytes, expected: list[FrameEvent]) -> None:
        for cut in range(len(stream) + 1):
            assert merged(decode(stream[:cut], stream[cut:])) == expected, f"cut at {cut}"

    @pytest.mark.parametrize(("stream", "expected"), [s[1:] for s in STREAMS], ids=[s[0] for s in STREAMS])
    def test_byte_by_byte(self, stream: bytes, expected: list[FrameEvent]) -> None:
        assert merged(decode(*(stream[i : i + 1] for i in range(len(stream))))) == expected

    def test_frame_is_returned_when_its_end_byte_arrives(self) -> None:
        decoder = FrameDecoder()
        assert decoder.feed(b"\x0b" + ADT) == []
        assert decoder.in_frame
        assert decoder.feed(b"\x1c") == [Frame(0, ADT)]
        assert not decoder.in_frame
        assert decoder.feed(b"\r") == []
        assert decoder.feed(b"\n") == []
        assert decoder.position == len(ADT) + 4
        assert decoder.finish() == []

    def test_outside_bytes_merge_within_one_feed_only(self) -> None:
        decoder = FrameDecoder()
        assert decoder.feed(b"ab") == [Skipped(0, b"ab", OUTSIDE)]
        assert decoder.feed(b"cd\x0b") == [Skipped(2, b"cd", OUTSIDE)]


class TestManyFrames:
    @pytest.mark.parametrize("count", [1, 2, 3, 10, 99, 100])
    @pytest.mark.parametrize(
        "between", [b"", b"\r\n", b"\x00", b"\x0c", b"junk"], ids=["none", "crlf", "nul", "ff", "junk"]
    )
    def test_frames_in_one_feed(self, count: int, between: bytes) -> None:
        payloads = [ADT.replace(b"|1|P|", b"|%03d|P|" % n) for n in range(count)]
        stream = between.join(frame(payload) for payload in payloads)
        events = decode(stream)
        frames = [event for event in events if isinstance(event, Frame)]
        skipped = [event for event in events if isinstance(event, Skipped)]
        assert [f.payload for f in frames] == payloads
        assert [f.offset for f in frames] == [n * (len(payloads[0]) + 3 + len(between)) for n in range(count)]
        assert len(skipped) == (count - 1 if between else 0)
        assert all(s.data == between and s.reason == OUTSIDE for s in skipped)


class TestFinish:
    def test_finish_reports_the_open_frame_once(self) -> None:
        decoder = FrameDecoder()
        decoder.feed(b"\x0bA\x1c\r\x0bhalf")
        assert decoder.in_frame
        assert decoder.finish() == [Skipped(4, b"\x0bhalf", AT_END)]
        assert not decoder.in_frame
        assert decoder.finish() == []

    def test_finish_after_end_byte_without_cr(self) -> None:
        decoder = FrameDecoder()
        assert decoder.feed(b"\x0bA\x1c") == [Frame(0, b"A")]
        assert decoder.finish() == []

    def test_feed_after_finish_raises(self) -> None:
        decoder = FrameDecoder()
        decoder.finish()
        with pytest.raises(ValueError, match=r"^feed\(\) called after finish\(\)$"):
            decoder.feed(b"\x0b")


class TestOversized:
    @pytest.mark.parametrize(
        ("feeds", "expected"),
        [
            ((b"\x0b0123456789\x1c\r",), [Frame(0, b"0123456789")]),
            ((b"\x0b0123456789A\x1c\r",), [Oversized(0, 11)]),
            ((b"\x0b01234", b"56789", b"ABC"), [Oversized(0, 13)]),
            (
                (b"\x0bA\x1c\rjunk\x0b0123456789AB",),
                [Frame(0, b"A"), Skipped(4, b"junk", OUTSIDE), Oversized(8, 12)],
            ),
            ((b"\x0b0123456789\x0bA\x1c",), [Skipped(0, b"\x0b0123456789", BEFORE_START), Frame(11, b"A")]),
        ],
        ids=["at-limit", "over-in-one-feed", "over-across-feeds", "events-before-kept", "partial-at-limit"],
    )
    def test_limit(self, feeds: tuple[bytes, ...], expected: list[FrameEvent]) -> None:
        assert decode(*feeds, max_frame_size=10) == expected

    def test_decoder_stops(self) -> None:
        decoder = FrameDecoder(max_frame_size=2)
        assert decoder.feed(b"\x0babc") == [Oversized(0, 3)]
        assert not decoder.in_frame
        with pytest.raises(ValueError, match="^the MLLP decoder stopped after an oversized frame$"):
            decoder.feed(b"\x1c\r")
        assert decoder.finish() == []

    def test_no_limit(self) -> None:
        big = b"x" * (17 * 1024 * 1024)
        assert decode(b"\x0b" + big + b"\x1c\r", max_frame_size=None) == [Frame(0, big)]

    def test_default_limit_is_16_mib(self) -> None:
        limit = 16 * 1024 * 1024
        assert decode(b"\x0b" + b"x" * limit + b"\x1c") == [Frame(0, b"x" * limit)]
        assert decode(b"\x0b" + b"x" * (limit + 1) + b"\x1c") == [Oversized(0, limit + 1)]

    def test_zero_limit_takes_empty_frames(self) -> None:
        assert decode(b"\x0b\x1c\r\x0bx", max_frame_size=0) == [Frame(0, b""), Oversized(3, 1)]


class TestArguments:
    @pytest.mark.parametrize(
        ("limit", "error", "text"),
        [
            (-1, ValueError, "max_frame_size must not be negative (got -1)"),
            (1.5, TypeError, "max_frame_size must be an int or None, not float"),
            (True, TypeError, "max_frame_size must be an int or None, not bool"),
        ],
        ids=["negative", "float", "bool"],
    )
    def test_bad_limit(self, limit: object, error: type[Exception], text: str) -> None:
        with pytest.raises(error) as raised:
            FrameDecoder(limit)  # type: ignore[arg-type]
        assert type(raised.value) is error and str(raised.value) == text

    @pytest.mark.parametrize(
        "data", [bytearray(b"\x0bA\x1c"), memoryview(b"\x0bA\x1c")], ids=["bytearray", "memoryview"]
    )
    def test_bytes_like_feed(self, data: bytes) -> None:
        assert FrameDecoder().feed(data) == [Frame(0, b"A")]

    def test_str_feed(self) -> None:
        with pytest.raises(TypeError, match=r"^feed\(\) needs bytes, not str$"):
            FrameDecoder().feed("\x0bA\x1c")  # type: ignore[arg-type]


payloads = st.lists(
    st.binary(max_size=40).map(lambda b: b.replace(b"\x0b", b"").replace(b"\x1c", b"")),
    min_size=0,
    max_size=8,
)
gaps = st.lists(
    st.sampled_from([b"", b"\r", b"\n", b"\r\n", b"\x00", b"\x0c", b"junk", b"\x1c"]), min_size=9, max_size=9
)
trailers = st.lists(st.sampled_from([b"", b"\r", b"\r\n"]), min_size=8, max_size=8)


class TestProperties:
    @given(payloads, gaps, trailers, st.lists(st.integers(min_value=0, max_value=400), max_size=6))
    def test_any_cut_finds_every_frame(
        self, messages: list[bytes], between: list[bytes], ends: list[bytes], cuts: list[int]
    ) -> None:
        stream = between[0]
        for payload, gap, end in zip(messages, between[1:], ends, strict=False):
            stream += b"\x0b" + payload + b"\x1c" + end + gap
        points = sorted({min(cut, len(stream)) for cut in cuts})
        feeds = [stream[a:b] for a, b in zip([0, *points], [*points, len(stream)], strict=True)]
        decoder = FrameDecoder()
        events = [event for data in feeds for event in decoder.feed(data)] + decoder.finish()
        assert [e.payload for e in events if isinstance(e, Frame)] == messages
        assert decoder.position == len(stream)
        assert merged(events) == decode(stream)
        # Every byte is a frame's, a trailer's (CR, LF), or reported as skipped.
        covered = bytearray(len(stream))
        for event in events:
            if isinstance(event, Frame):
                covered[event.offset : event.offset + len(event.payload) + 2] = b"\x01" * (
                    len(event.payload) + 2
                )
            elif isinstance(event, Skipped):
                covered[event.offset : event.offset + len(event.data)] = b"\x01" * len(event.data)
        assert all(covered[i] or stream[i] in b"\r\n" for i in range(len(stream)))
