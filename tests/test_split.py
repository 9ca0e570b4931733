"""brenvolt_feeds.split: inputs of many messages cut into messages and notices.

Every input is also split with chunk sizes 1, 2, 3, 7 and 64: the result must
not depend on where the chunks end. Every result is checked to account for the
whole input: each byte is a message's, a notice's, a separator, an envelope
line's, a byte-order mark's or a frame byte."""

from __future__ import annotations

import io
import re
import tracemalloc
from collections.abc import Iterator
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvolt_feeds.split import (
    NOTICE_DATA_LIMIT,
    Message,
    Notice,
    Piece,
    split_bytes,
    split_file,
    split_stream,
    split_text,
)

A = b"MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01|1|P|2.5.1\rPID|1||4711||DOE^ANNA\r"
B = b"MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A08|2|P|2.5.1\rPID|1||4712||ROE^RICHARD\r"
BOM = b"\xef\xbb\xbf"
CHUNK_SIZES = [1, 2, 3, 7, 64]
JUNK = "not an MSH segment or a batch envelope"

# What may stand between messages and notices: separators, frame bytes, byte-order
# marks and envelope lines.
ACCOUNTED_GAP = re.compile(
    rb"(?:[\r\n\x00\x0b\x0c\x1c \t]|\xef\xbb\xbf"
    rb"|(?:FHS|BHS|BTS|FTS)[\x21-\x2f\x3a-\x40\x5b-\x60\x7b-\x7e][^\r\n]*)*"
)
SEPARATORS = b"\r\n\x00\x0b\x0c\x1c \t"


def split(data: bytes, chunk_size: int | None = None) -> list[Piece]:
    if chunk_size is None:
        return list(split_bytes(data))
    return list(split_stream(io.BytesIO(data), chunk_size=chunk_size))


def shape(pieces: list[Piece]) -> list[tuple[object, ...]]:
    """Messages as ("M", offset, raw, batch), notices as ("N", offset, message, data)."""
    return [
        ("M", p.offset, p.raw, p.batch) if isinstance(p, Message) else ("N", p.offset, p.message, p.data)
        for p in pieces
    ]


def check_accounts(data: bytes, pieces: list[Piece]) -> None:
    """Each piece is the input's bytes at its offset, pieces come in input order,
    and what lies between them is only separators, frame bytes, byte-order marks
    and envelope lines."""
    messages = [p for p in pieces if isinstance(p, Message)]
    assert [m.index for m in messages] == list(range(len(messages)))
    offsets = [p.offset for p in pieces]
    assert offsets == sorted(offsets)
    spans = []
    for piece in pieces:
        if isinstance(piece, Message):
            assert data[piece.offset : piece.offset + len(piece.raw)] == piece.raw
            assert piece.raw[:3] == b"MSH"
            spans.append((piece.offset, piece.offset + len(piece.raw)))
        elif piece.size:
            assert len(piece.data) == min(piece.size, NOTICE_DATA_LIMIT)
            assert data[piece.offset : piece.offset + len(piece.data)] == piece.data
            # A skipped run starts at its first byte that is not a separator (an MLLP
            # frame's start byte and FS outside frames are not separators there).
            blanks = SEPARATORS if JUNK in piece.message else b"\r\n\x00\x0c \t"
            assert piece.data[:1] not in (b"", *(bytes([c]) for c in blanks))
            spans.append((piece.offset, piece.offset + piece.size))
    position = 0
    for begin, end in spans:
        assert begin >= position, f"pieces overlap at {begin}"
        gap = data[position:begin]
        assert ACCOUNTED_GAP.fullmatch(gap), f"bytes {position}..{begin} not accounted for: {gap[:80]!r}"
        position = end
    assert ACCOUNTED_GAP.fullmatch(data[position:]), f"tail from {position} not accounted for"


def check_everything(data: bytes) -> list[Piece]:
    """Split ``data`` whole and in small chunks; the results agree and account for the input."""
    whole = split(data)
    for size in CHUNK_SIZES:
        assert shape(split(data, size)) == shape(whole), f"chunk_size={size}"
    check_accounts(data, whole)
    return whole


def messages_of(pieces: list[Piece]) -> list[bytes]:
    return [p.raw for p in pieces if isinstance(p, Message)]


def notices_of(pieces: list[Piece]) -> list[tuple[int, str, bytes]]:
    return [(p.offset, p.message, p.data) for p in pieces if isinstance(p, Notice)]


# Line mode: input, then the expected messages as (offset, raw).
LINE_CASES = [
    ("cr", A + B, [(0, A), (len(A), B)]),
    (
        "lf",
        A.replace(b"\r", b"\n") + B.replace(b"\r", b"\n"),
        [(0, A.replace(b"\r", b"\n")), (len(A), B.replace(b"\r", b"\n"))],
    ),
    (
        "crlf",
        A.replace(b"\r", b"\r\n") + B.replace(b"\r", b"\r\n"),
        [(0, A.replace(b"\r", b"\r\n")), (len(A) + 2, B.replace(b"\r", b"\r\n"))],
    ),
    (
        "mixed",
        b"MSH|a\rPID|1\nMSH|b\r\nPID|2\rMSH|c\n",
        [(0, b"MSH|a\rPID|1\n"), (12, b"MSH|b\r\nPID|2\r"), (25, b"MSH|c\n")],
    ),
    (
        "blank-lines-between",
        b"MSH|a\r\rMSH|b\n\n\nMSH|c\r\n\r\n",
        [(0, b"MSH|a\r"), (7, b"MSH|b\n"), (15, b"MSH|c\r\n")],
    ),
    (
        "ff-nul-between",
        b"MSH|a\r\x0c\rMSH|b\r\x00\x00\rMSH|c",
        [(0, b"MSH|a\r"), (8, b"MSH|b\r"), (17, b"MSH|c")],
    ),
    ("nul-right-before-msh", b"MSH|a\r\x00MSH|b", [(0, b"MSH|a\r"), (7, b"MSH|b")]),
    ("ff-ends-last-line", b"MSH|a\rPID|1\x0cMSH|b", [(0, b"MSH|a\rPID|1"), (12, b"MSH|b")]),
    (
        "blank-line-inside-kept",
        b"MSH|a\r\rPID|1\r\n\r\nMSH|b\r",
        [(0, b"MSH|a\r\rPID|1\r\n"), (16, b"MSH|b\r")],
    ),
    ("space-line-inside-kept", b"MSH|a\n \nPID|1\n", [(0, b"MSH|a\n \nPID|1\n")]),
    ("no-final-line-end", b"MSH|a\rPID|1", [(0, b"MSH|a\rPID|1")]),
    ("trailing-spaces-kept", b"MSH|a\rPID|1  \r\n  \r\n", [(0, b"MSH|a\rPID|1  \r\n")]),
    ("trailing-blank-lines-dropped", b"MSH|a\r\n\r\n\x00\x0c \t\r", [(0, b"MSH|a\r\n")]),
    ("leading-separators", b"\r\n\x00 \x0c\tMSH|a\r", [(6, b"MSH|a\r")]),
    ("bom", BOM + b"MSH|a\rPID|1\r", [(3, b"MSH|a\rPID|1\r")]),
    ("bom-then-blanks", BOM + b"\r\nMSH|a\r", [(5, b"MSH|a\r")]),
    ("bom-before-second", b"MSH|a\r\n" + BOM + b"MSH|b\r\n", [(0, b"MSH|a\r\n"), (10, b"MSH|b\r\n")]),
    (
        "msh-in-field",
        b"MSH|a\rOBX||||MSH||||MSH\rOBX||||xMSHx\r",
        [(0, b"MSH|a\rOBX||||MSH||||MSH\rOBX||||xMSHx\r")],
    ),
    ("msh-after-space", b"MSH|a\rNTE|1|| MSH|b\r", [(0, b"MSH|a\rNTE|1|| MSH|b\r")]),
    ("msh-without-separator", b"MSH|a\rMSH\rMSHX|b\r", [(0, b"MSH|a\rMSH\rMSHX|b\r")]),
    (
        "other-field-separator",
        b"MSH^~|\\&^A\rPID^1\rMSH$%~\\&$B\r",
        [(0, b"MSH^~|\\&^A\rPID^1\r"), (17, b"MSH$%~\\&$B\r")],
    ),
    ("vt-debris-after-message", b"MSH|a\rPID|1\r\x0b\r\r\n", [(0, b"MSH|a\rPID|1\r")]),
    ("fs-ends-last-line", b"MSH|a\rPID|1\x1c\r", [(0, b"MSH|a\rPID|1")]),
    ("non-utf8-kept", b"MSH|a\rPID|1||D\xd6E\r", [(0, b"MSH|a\rPID|1||D\xd6E\r")]),
    ("empty", b"", []),
    ("only-separators", b"\r\n\x00\x0c \t\r\n", []),
    ("only-bom", BOM, []),
]


class TestLineMode:
    @pytest.mark.parametrize(
        ("data", "expected"), [c[1:] for c in LINE_CASES], ids=[c[0] for c in LINE_CASES]
    )
    def test_messages(self, data: bytes, expected: list[tuple[int, bytes]]) -> None:
        pieces = check_everything(data)
        assert [(p.offset, p.raw) for p in pieces if isinstance(p, Message)] == expected
        assert notices_of(pieces) == []
        assert all(p.batch is None for p in pieces if isinstance(p, Message))

    def test_real_messages_round_trip(self) -> None:
        data = b"\r\n".join([A, B, A])
        assert messages_of(check_everything(data)) == [A, B, A]


# Text that belongs to no message: input, then the expected notices as (offset, message, data).
JUNK_CASES = [
    (
        "before-first",
        b"hello\r\nMSH|a\r",
        [(0, f"skipped 5 bytes before the first message: {JUNK}", b"hello")],
    ),
    (
        "blank-lines-around",
        b"\r\n  hello\r\n\r\nworld \r\n\r\nMSH|a\r",
        [(4, f"skipped 14 bytes before the first message: {JUNK}", b"hello\r\n\r\nworld")],
    ),
    (
        "only-junk",
        b"not hl7 at all\n",
        [(0, f"skipped 14 bytes before the first message: {JUNK}", b"not hl7 at all")],
    ),
    ("one-byte", b"x", [(0, f"skipped 1 byte before the first message: {JUNK}", b"x")]),
    ("pid-first", b"PID|1\rMSH|a\r", [(0, f"skipped 5 bytes before the first message: {JUNK}", b"PID|1")]),
    (
        "after-envelope",
        b"FHS|^~\\&\rcomment\rBHS|^~\\&\rMSH|a\r",
        [(9, f"skipped 7 bytes after the FHS line: {JUNK}", b"comment")],
    ),
    (
        "after-bts",
        b"MSH|a\rBTS|1\rtrailing text\r",
        [(12, f"skipped 13 bytes after the BTS line: {JUNK}", b"trailing text")],
    ),
    ("vt-is-a-separator", b"MSH|a\rFTS|1\r\x0bx", [(13, f"skipped 1 byte after the FTS line: {JUNK}", b"x")]),
]


class TestJunk:
    @pytest.mark.parametrize(
        ("data", "expected"), [c[1:] for c in JUNK_CASES], ids=[c[0] for c in JUNK_CASES]
    )
    def test_notices(self, data: bytes, expected: list[tuple[int, str, bytes]]) -> None:
        pieces = check_everything(data)
        assert notices_of(pieces) == expected
        assert all(p.size == len(p.data) for p in pieces if isinstance(p, Notice))

    def test_skipped_data_is_bounded(self) -> None:
        junk = b"x" * (NOTICE_DATA_LIMIT + 1000) + b"\r\n" + b"y" * 1000
        pieces = check_everything(junk + b"\rMSH|a\r")
        notice = pieces[0]
        assert isinstance(notice, Notice)
        assert notice.size == len(junk)
        assert notice.data == junk[:NOTICE_DATA_LIMIT]
        assert messages_of(pieces) == [b"MSH|a\r"]


# Batch files: input, then each message's batch, then the notices as (offset, message).
FILE = b"FHS|^~\\&|APP\r"
BATCH_CASES = [
    ("one-batch", FILE + b"BHS|^~\\&\rMSH|a\rMSH|b\rBTS|2\rFTS|1\r", [0, 0], []),
    ("two-batches", FILE + b"BHS|\rMSH|a\rBTS|1\rBHS|\rMSH|b\rMSH|c\rBTS|2\rFTS|2\r", [0, 1, 1], []),
    (
        "bts-says-more",
        b"BHS|\rMSH|a\rMSH|b\rBTS|3\r",
        [0, 0],
        [(17, "BTS-1 says 3 messages, the batch holds 2")],
    ),
    (
        "bts-says-one",
        b"BHS|\rMSH|a\rMSH|b\rBTS|1\r",
        [0, 0],
        [(17, "BTS-1 says 1 message, the batch holds 2")],
    ),
    ("empty-batch", FILE + b"BHS|\rBTS|0\rFTS|1\r", [], []),
    (
        "empty-batch-says-2",
        FILE + b"BHS|\rBTS|2\rFTS|1\r",
        [],
        [(18, "BTS-1 says 2 messages, the batch holds 0")],
    ),
    (
        "fts-says-more",
        FILE + b"BHS|\rMSH|a\rBTS|1\rFTS|2\r",
        [0],
        [(30, "FTS-1 says 2 batches, the file holds 1")],
    ),
    ("fts-says-one", FILE + b"BHS|\rBHS|\rFTS|1\r", [], [(23, "FTS-1 says 1 batch, the file holds 2")]),
    ("counts-not-numbers", FILE + b"BHS|\rMSH|a\rBTS|two\rFTS|\r", [0], []),
    ("count-with-spaces", b"BHS|\rMSH|a\rBTS| 1 \r", [0], []),
    ("no-bhs", FILE + b"MSH|a\rMSH|b\rFTS|1\r", [None, None], []),
    ("bts-without-bhs", b"MSH|a\rMSH|b\rBTS|2\rFTS|1\r", [None, None], []),
    ("after-bts-no-batch", b"BHS|\rMSH|a\rBTS|1\rMSH|b\r", [0, None], []),
    ("bhs-without-bts", b"BHS|\rMSH|a\rBHS|\rMSH|b\rFTS|2\r", [0, 1], []),
    ("envelope-ends-message", b"BHS|\rMSH|a\rPID|1\rBTS|1\n", [0], []),
    ("second-file", FILE + b"BHS|\rMSH|a\rFTS|1\r" + FILE + b"BHS|\rMSH|b\rBTS|1\rFTS|1\r", [0, 1], []),
    ("lf-and-field-separator", b"BHS^\nMSH|a\nBTS^1\n", [0], []),
]


class TestBatches:
    @pytest.mark.parametrize(
        ("data", "batches", "notices"), [c[1:] for c in BATCH_CASES], ids=[c[0] for c in BATCH_CASES]
    )
    def test_batches(self, data: bytes, batches: list[int | None], notices: list[tuple[int, str]]) -> None:
        pieces = check_everything(data)
        assert [p.batch for p in pieces if isinstance(p, Message)] == batches
        assert [(p.offset, p.message) for p in pieces if isinstance(p, Notice)] == notices
        assert all(p.size == 0 and p.data == b"" for p in pieces if isinstance(p, Notice))

    def test_envelope_lines_are_not_in_messages(self) -> None:
        data = FILE + b"BHS|\rMSH|a\rPID|1\rBTS|1\rFTS|1"
        assert messages_of(check_everything(data)) == [b"MSH|a\rPID|1\r"]


def frame(payload: bytes) -> bytes:
    return b"\x0b" + payload + b"\x1c\r"


# MLLP dumps: input, then the expected pieces as shape() gives them.
MLLP_CASES = [
    ("two-frames", frame(A) + frame(B), [("M", 1, A, None), ("M", len(A) + 4, B, None)]),
    (
        "crlf-between",
        frame(b"MSH|a\r") + b"\r\n" + frame(b"MSH|b\r"),
        [("M", 1, b"MSH|a\r", None), ("M", 12, b"MSH|b\r", None)],
    ),
    ("leading-blanks", b"\r\n \x00" + frame(b"MSH|a\r"), [("M", 5, b"MSH|a\r", None)]),
    ("bom", BOM + frame(b"MSH|a\r"), [("M", 4, b"MSH|a\r", None)]),
    ("fs-lf", b"\x0bMSH|a\r\x1c\n\x0bMSH|b\x1c", [("M", 1, b"MSH|a\r", None), ("M", 10, b"MSH|b", None)]),
    (
        "junk-between",
        frame(b"MSH|a\r") + b"\r\njunk\r\n" + frame(b"MSH|b\r"),
        [
            ("M", 1, b"MSH|a\r", None),
            ("N", 11, "skipped 4 bytes outside MLLP frames", b"junk"),
            ("M", 18, b"MSH|b\r", None),
        ],
    ),
    (
        "unframed-message-between",
        frame(b"MSH|a\r") + b"MSH|b\r" + frame(b"MSH|c\r"),
        [
            ("M", 1, b"MSH|a\r", None),
            ("N", 9, "skipped 5 bytes outside MLLP frames", b"MSH|b"),
            ("M", 16, b"MSH|c\r", None),
        ],
    ),
    (
        "two-messages-in-a-frame",
        frame(b"MSH|a\rMSH|b\r"),
        [("M", 1, b"MSH|a\r", None), ("M", 7, b"MSH|b\r", None)],
    ),
    ("blank-payload-start", frame(b"\r\nMSH|a\r"), [("M", 3, b"MSH|a\r", None)]),
    ("empty-frame", frame(b"") + frame(b"MSH|a\r"), [("M", 4, b"MSH|a\r", None)]),
    (
        "commit-ack",
        frame(b"\x06") + frame(b"MSH|a\r"),
        [
            (
                "N",
                1,
                "skipped 1 byte at the start of an MLLP frame: not an MSH segment or a batch envelope",
                b"\x06",
            ),
            ("M", 5, b"MSH|a\r", None),
        ],
    ),
    (
        "not-closed-at-end",
        frame(b"MSH|a\r") + b"\x0bMSH|b\r",
        [("M", 1, b"MSH|a\r", None), ("N", 9, "MLLP frame not closed at end of input", b"\x0bMSH|b\r")],
    ),
    (
        "not-closed-before-start",
        b"\x0bMSH|a\r" + frame(b"MSH|b\r"),
        [
            ("N", 0, "MLLP frame not closed before the next start byte", b"\x0bMSH|a\r"),
            ("M", 8, b"MSH|b\r", None),
        ],
    ),
    (
        "batch-across-frames",
        frame(b"FHS|\rBHS|") + frame(b"MSH|a\r") + frame(b"MSH|b\r") + frame(b"BTS|3\rFTS|1\r"),
        [
            ("M", 13, b"MSH|a\r", 0),
            ("M", 22, b"MSH|b\r", 0),
            ("N", 31, "BTS-1 says 3 messages, the batch holds 2", b""),
        ],
    ),
    (
        "lone-fs-junk",
        frame(b"MSH|a\r") + b"\x1c",
        [("M", 1, b"MSH|a\r", None), ("N", 9, "skipped 1 byte outside MLLP frames", b"\x1c")],
    ),
]


class TestMllpMode:
    @pytest.mark.parametrize(
        ("data", "expected"), [c[1:] for c in MLLP_CASES], ids=[c[0] for c in MLLP_CASES]
    )
    def test_pieces(self, data: bytes, expected: list[tuple[object, ...]]) -> None:
        assert shape(check_everything(data)) == expected

    def test_start_byte_later_is_line_mode(self) -> None:
        # The first byte that is not blank decides: here it is M, so the frame bytes are debris.
        pieces = check_everything(b"MSH|a\r\x1c\r" + frame(b"MSH|b\r"))
        assert messages_of(pieces) == [b"MSH|a\r", b"MSH|b\r"]

    def test_big_frame(self) -> None:
        big = b"MSH|a\rOBX|1|ED|||" + b"A" * (3 << 20) + b"\r"
        pieces = list(split_stream(io.BytesIO(frame(big) * 2), chunk_size=1 << 16))
        assert messages_of(pieces) == [big, big]


class TestCorpus:
    def test_every_file(self, corpus_file: Path) -> None:
        data = corpus_file.read_bytes()
        pieces = check_everything(data)
        starts = len(re.findall(rb"(?:^|[\r\n])MSH", data.removeprefix(BOM)))
        if starts == 1 and not re.search(rb"(?:^|[\r\n])(?:FHS|BHS|BTS|FTS)", data):
            # One message: it is the file's content, less a byte-order mark and trailing separators.
            assert notices_of(pieces) == []
            (message,) = pieces
            assert isinstance(message, Message)
            head = data[: message.offset]
            assert head in (b"", BOM)
            assert data[message.offset + len(message.raw) :].strip(SEPARATORS) == b""
            assert message.raw.rstrip(b"\r\n")[-1:] not in (b"", b"\x00", b"\x0b", b"\x0c", b"\x1c")
        else:
            assert len(messages_of(pieces)) == starts

    @pytest.mark.parametrize(
        ("name", "count", "batches", "notices"),
        [
            ("mirth-connect/adt_stream_124_messages.hl7", 124, {None}, []),
            ("mirth-connect/siu_s12_batch_three_messages.hl7", 3, {None}, []),
            ("python-hl7/fhs_bhs_batch_file_adt_a04_v25.hl7", 3, {0, 1}, []),
            ("ruby-hl7/fhs_bhs_batch_oru_r01_v251.hl7", 2, {0}, []),
            ("mirth-connect/fhs_bhs_batch_orm_o01.hl7", 1, {0}, []),
            ("node-hl7-client/fhs_bhs_batch_adt_rsp.hl7", 2, {0}, []),
            ("ruby-hl7/fhs_bhs_empty_batch.hl7", 0, set(), ["BTS-1 says 2 messages, the batch holds 0"]),
        ],
        ids=lambda value: value.split("/")[-1] if isinstance(value, str) else None,
    )
    def test_named_files(
        self, corpus_dir: Path, name: str, count: int, batches: set[int | None], notices: list[str]
    ) -> None:
        pieces = check_everything((corpus_dir / name).read_bytes())
        messages = [p for p in pieces if isinstance(p, Message)]
        assert len(messages) == count
        assert {m.batch for m in messages} == batches
        assert [p.message for p in pieces if isinstance(p, Notice)] == notices
        assert all(m.raw.startswith(b"MSH|") for m in messages)

    def test_python_hl7_batches(self, corpus_dir: Path) -> None:
        pieces = split_file(corpus_dir / "python-hl7/fhs_bhs_batch_file_adt_a04_v25.hl7")
        assert [p.batch for p in pieces if isinstance(p, Message)] == [0, 0, 1]

    def test_msh_inside_values_stays_in_its_message(self, corpus_dir: Path) -> None:
        pieces = list(split_file(corpus_dir / "node-hl7-client/fhs_bhs_batch_adt_rsp.hl7"))
        last = pieces[-1]
        assert isinstance(last, Message)
        assert last.raw.endswith(b"OBX||||xMSHx||||\nOBX||||xMSH||||\nOBX||||MSH||||MSH\n")

    def test_stream_of_124(self, corpus_dir: Path) -> None:
        data = (corpus_dir / "mirth-connect/adt_stream_124_messages.hl7").read_bytes()
        messages = [p for p in split_bytes(data) if isinstance(p, Message)]
        assert len(messages) == 124
        # Messages are followed by blank lines in this file: those stay out of them.
        assert all(m.raw.endswith(b"\r\n") and not m.raw.endswith(b"\r\n\r\n") for m in messages)
        assert all(m.raw.count(b"MSH|") == 1 for m in messages)


class TestApi:
    def test_split_text_offsets_are_utf8_bytes(self) -> None:
        text = "MSH|a\rPID|1||M\u00fcller\rMSH|b\r"
        pieces = list(split_text(text))
        assert [(p.offset, p.text()) for p in pieces if isinstance(p, Message)] == [
            (0, "MSH|a\rPID|1||M\u00fcller\r"),
            (len("MSH|a\rPID|1||M\u00fcller\r".encode()), "MSH|b\r"),
        ]

    def test_split_text_bom(self) -> None:
        (message,) = split_text("\ufeffMSH|a\r")
        assert isinstance(message, Message) and message.offset == 3 and message.text() == "MSH|a\r"

    def test_text_is_strict(self) -> None:
        (message,) = split_bytes(b"MSH|a\rPID|1||D\xd6E\r")
        assert isinstance(message, Message)
        assert message.text("latin-1") == "MSH|a\rPID|1||D\u00d6E\r"
        with pytest.raises(UnicodeDecodeError):
            message.text()

    @pytest.mark.parametrize("data", [bytearray(A), memoryview(A)], ids=["bytearray", "memoryview"])
    def test_bytes_like(self, data: bytes) -> None:
        assert messages_of(list(split_bytes(data))) == [A]

    @pytest.mark.parametrize(
        ("call", "error", "text"),
        [
            (
                lambda: split_bytes("MSH|a"),
                TypeError,
                "split_bytes() needs bytes, not str: use split_text() for text",
            ),
            (lambda: split_bytes(None), TypeError, "split_bytes() needs bytes, not NoneType"),
            (lambda: split_text(b"MSH|a"), TypeError, "split_text() needs str, not bytes"),
            (
                lambda: split_stream(io.BytesIO(), chunk_size=0),
                ValueError,
                "chunk_size must be at least 1 (got 0)",
            ),
            (
                lambda: split_stream(io.BytesIO(), chunk_size=1.0),
                TypeError,
                "chunk_size must be an int, not float",
            ),
            (
                lambda: split_file("x.hl7", chunk_size=-1),
                ValueError,
                "chunk_size must be at least 1 (got -1)",
            ),
            (
                lambda: split_stream(io.StringIO("MSH|a")),
                TypeError,
                "split_stream() needs a binary stream (open the file with 'rb'), not a text stream",
            ),
            (lambda: split_file(3), TypeError, "expected str, bytes or os.PathLike object, not int"),
        ],
        ids=[
            "bytes-str",
            "bytes-none",
            "text-bytes",
            "chunk-zero",
            "chunk-float",
            "file-chunk",
            "text-stream",
            "path-int",
        ],
    )
    def test_bad_arguments_raise_at_once(self, call, error: type[Exception], text: str) -> None:
        with pytest.raises(error) as raised:
            call()
        assert type(raised.value) is error and str(raised.value) == text

    def test_split_text_lone_surrogate(self) -> None:
        with pytest.raises(UnicodeEncodeError):
            split_text("MSH|\udc80")

    def test_stream_returning_str(self) -> None:
        class Odd(io.RawIOBase):
            def read(self, size: int = -1) -> str:  # type: ignore[override]
                return "MSH|a"

        with (
            Odd() as stream,
            pytest.raises(TypeError, match="^the stream's read\\(\\) returned str, not bytes"),
        ):
            list(split_stream(stream))  # type: ignore[arg-type]

    def test_missing_file_raises_on_first_next(self, tmp_path: Path) -> None:
        pieces = split_file(tmp_path / "missing.hl7")
        with pytest.raises(FileNotFoundError):
            next(pieces)

    def test_file_closed_when_iteration_stops_early(self, tmp_path: Path) -> None:
        path = tmp_path / "two.hl7"
        path.write_bytes(A + B)
        pieces = split_file(path, chunk_size=8)
        assert next(pieces) == Message(0, 0, A, None)
        pieces.close()  # type: ignore[attr-defined]
        # filterwarnings = error turns an unclosed file into a failure.

    def test_split_file_matches_split_bytes(self, tmp_path: Path) -> None:
        data = FILE + b"BHS|\r" + A + b"\r\n" + B + b"BTS|3\rFTS|1\r"
        path = tmp_path / "batch.hl7"
        path.write_bytes(data)
        assert list(split_file(str(path), chunk_size=5)) == list(split_bytes(data))

    def test_stream_is_left_open(self) -> None:
        stream = io.BytesIO(A)
        assert messages_of(list(split_stream(stream))) == [A]
        assert not stream.closed
        stream.close()

    def test_lazy(self) -> None:
        class Endless(io.RawIOBase):
            """A stream that never ends; splitting must yield before reading it all."""

            def readable(self) -> bool:
                return True

            def readinto(self, buffer) -> int:  # type: ignore[no-untyped-def]
                data = (A * (len(buffer) // len(A) + 1))[: len(buffer)]
                buffer[: len(data)] = data
                return len(data)

        with Endless() as stream:
            pieces = split_stream(stream, chunk_size=1000)
            first = [next(pieces) for _ in range(3)]
            pieces.close()  # type: ignore[attr-defined]
        assert [p.raw for p in first if isinstance(p, Message)] == [A, A, A]


class GeneratedBatch(io.RawIOBase):
    """A batch file of ``count`` messages made on the fly, never held whole."""

    def __init__(self, count: int) -> None:
        self._parts = self._make(count)
        self._pending = b""

    @staticmethod
    def _make(count: int) -> Iterator[bytes]:
        yield b"FHS|^~\\&\rBHS|^~\\&\r"
        for n in range(count):
            yield A.replace(b"|1|P|", b"|%d|P|" % n) + b"OBX|1|TX|||" + b"x" * 900 + b"\r"
        yield b"BTS|%d\rFTS|1\r" % count

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[no-untyped-def]
        while not self._pending:
            self._pending = next(self._parts, b"")
            if not self._pending:
                return 0
        size = min(len(buffer), len(self._pending))
        buffer[:size] = self._pending[:size]
        self._pending = self._pending[size:]
        return size


class TestSteadyMemory:
    def test_peak_memory_does_not_grow_with_the_input(self) -> None:
        count = 10_000  # about 10 MB
        tracemalloc.start()
        try:
            found = 0
            with GeneratedBatch(count) as stream:
                for piece in split_stream(stream, chunk_size=64 * 1024):
                    assert isinstance(piece, Message), piece
                    found += 1
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert found == count
        assert peak < 1024 * 1024, f"peak {peak} bytes for a {count}-message input"


# Inputs built from pieces that matter to the splitter: messages, segment lines,
# envelope lines, "MSH" in values, junk, separators of every kind, frame bytes,
# byte-order marks and non-ASCII bytes.
TOKENS = [
    b"MSH|^~\\&|A|B\r",
    b"MSH|x\n",
    b"MSH^~|\\&^\r\n",
    b"PID|1|MSH|x\r\n",
    b"OBX||||MSH\r",
    b"PID|2",
    b"FHS|^~\\&\r",
    b"BHS|^~\\&\n",
    b"BTS|1\r",
    b"BTS|0\r\n",
    b"FTS|1\n",
    b"junk",
    b"MSH",
    b"BTS",
    b"|",
    b"\r",
    b"\n",
    b"\r\n",
    b"\x00",
    b"\x0c",
    b"\x0b",
    b"\x1c",
    b" ",
    b"\t",
    BOM,
    b"\xef",
    "\u00e9".encode(),
]
inputs = st.lists(st.sampled_from(TOKENS), max_size=40).map(b"".join)


class TestProperties:
    @settings(max_examples=300)
    @given(inputs, st.integers(min_value=1, max_value=50))
    def test_chunk_size_does_not_matter(self, data: bytes, chunk_size: int) -> None:
        whole = split(data)
        assert shape(split(data, chunk_size)) == shape(whole)
        check_accounts(data, whole)

    @settings(max_examples=200)
    @given(
        st.lists(st.sampled_from(TOKENS), max_size=30).map(b"".join), st.integers(min_value=1, max_value=30)
    )
    def test_mllp_dump_chunk_size_does_not_matter(self, data: bytes, chunk_size: int) -> None:
        dump = b"\x0b" + data
        whole = split(dump)
        assert shape(split(dump, chunk_size)) == shape(whole)
        check_accounts(dump, whole)

    @given(
        st.lists(st.sampled_from([A, B, b"MSH|a\nPID|1\n", b"MSH|b\r\n\r\nPID|2\r\n"]), max_size=6),
        st.sampled_from([b"", b"\r\n", b"\x00", b"\x0c\r"]),
    )
    def test_messages_come_back_as_written(self, messages: list[bytes], separator: bytes) -> None:
        data = b"".join(message + separator for message in messages)
        assert messages_of(split(data)) == messages
