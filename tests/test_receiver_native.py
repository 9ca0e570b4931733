"""brenvolt_receiver: the part-file line written natively from a message's bytes, held byte for
byte to the line the store writes from Hl7Json's records, and the plain ACK cut natively, held to
the one ack.py cuts."""

from __future__ import annotations

import base64

import orjson
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvolt import Hl7Json
from brenvolt_feeds import ack, frames, mllp
from brenvolt_feeds.receiver import ListenConfig
from brenvolt_feeds.store import part_line

brenvolt_receiver = pytest.importorskip("brenvolt_receiver")

RECEIVED = "2026-12-11T10:00:00.123456+00:00"
PEER = "127.0.0.1:40000"
DIGEST = "0f" * 32


def from_records(payload: bytes, escaping: bool, control: str = "C1") -> bytes:
    records = Hl7Json(payload.decode("utf-8"), escaping_enabled=escaping).hl7_json
    return part_line(RECEIVED, PEER, control, DIGEST, records, payload)


def native(payload: bytes, escaping: bool, control: str = "C1") -> bytes | None:
    return brenvolt_receiver.part_line(RECEIVED, PEER, control, DIGEST, payload, escaping)


ADT = (
    b"MSH|^~\\&|SEND|FAC|RECV|FAC|20261208120000||ADT^A01^ADT_A01|MSG1|P|2.5\r"
    b"EVN|A01|20261208120000\r"
    b"PID|1||123^^^HOSP^MR~456^^^SSA^SS||DOE^JOHN^Q||19800101|M\r"
)

MESSAGES = {
    "adt": ADT,
    "escapes": b"MSH|^~\\&|A|B\rNTE|1||a\\F\\b\\S\\c\\T\\d\\R\\e\\E\\f\\X0D\\g\\.br\\h\\\\i\\Zq\\\r",
    "subcomponents and repetitions": b"MSH|^~\\&|A\rOBX|1|CE|a&b^c&&d~~e^^|x~y\r",
    "line feeds": ADT.replace(b"\r", b"\n"),
    "crlf": ADT.replace(b"\r", b"\r\n"),
    "lf then cr": b"MSH|^~\\&|A\n\rPID|1\n\r",
    "no last line end": ADT.rstrip(b"\r"),
    "empty lines between": b"MSH|^~\\&|A\r\r\rPID|1\r",
    "empty lines after": ADT + b"\r\r\n\r",
    "only line ends": b"\r\r\n",
    "empty": b"",
    "msh only": b"MSH|^~\\&",
    "odd header": b"MSH|^~&|A\rPID|^~\\&\r",
    "no fields": b"ZZZ\rMSH\r",
    "json specials": b'MSH|^~\\&|"q"|b\\\\s|/\rNTE|\x01\x08\t\x0b\x0c\x1b\x1f\x7f|"\r',
    "non-ascii": "MSH|^~\\&|Ré|Köln\rNTE|1||łódź^日本^𝄞\r".encode(),
    "many fields": b"MSH|^~\\&" + b"|x" * 150 + b"\rPID" + b"|" * 120 + b"y\r",
    "many components": b"MSH|^~\\&|A\rPID|1|" + b"^".join(b"c%d" % i for i in range(130)) + b"\r",
}


class TestSameLineAsFromRecords:
    @pytest.mark.parametrize("escaping", [True, False], ids=["escaping", "raw"])
    @pytest.mark.parametrize("payload", list(MESSAGES.values()), ids=list(MESSAGES))
    def test_message(self, payload, escaping):
        assert native(payload, escaping) == from_records(payload, escaping)

    @pytest.mark.parametrize(
        "control", ["", "ÄBC-1", 'a"b\\c', "tab\there", "\x00\x1f"], ids=["empty", "non-ascii", "quote", "tab", "controls"]
    )
    def test_header_values_escaped_as_json(self, control):
        assert native(ADT, True, control) == from_records(ADT, True, control)

    def test_raw_is_the_payload(self):
        for size in range(7):  # every base64 tail: none, one and two padding characters
            payload = b"MSH|^~\\&|" + b"x" * size
            line = native(payload, True)
            assert line is not None
            assert base64.b64decode(orjson.loads(line)["raw"]) == payload

    @settings(max_examples=300, deadline=None)
    @given(
        st.lists(
            st.text(alphabet="|^~\\&ABEFRSTX0D.br \t\x01\"/é日\U0001d11e\r\n", max_size=40), max_size=6
        ),
        st.booleans(),
    )
    def test_generated(self, lines, escaping):
        payload = "\r".join(["MSH|^~\\&|A", *lines]).encode()
        assert native(payload, escaping) == from_records(payload, escaping)

    def test_corpus(self, corpus_file):
        payload = corpus_file.read_bytes()
        try:
            payload.decode("utf-8")
        except UnicodeDecodeError:
            assert native(payload, True) is None
            return
        for escaping in (True, False):
            assert native(payload, escaping) == from_records(payload, escaping)


class TestRefused:
    @pytest.mark.parametrize(
        "payload",
        [b"MSH|\xff", b"MSH|\xc0\xaf", b"MSH|\xed\xa0\x80", b"MSH|\xe6\x97"],
        ids=["invalid byte", "overlong", "surrogate", "cut short"],
    )
    def test_not_utf8_gives_none(self, payload):
        assert native(payload, True) is None

    @pytest.mark.parametrize(
        ("args", "message"),
        [
            ((RECEIVED, PEER, "C", DIGEST, ADT), "part_line expected 6 arguments, got 5"),
            ((RECEIVED, PEER, 1, DIGEST, ADT, True), "argument 'control_id' must be str, not int"),
            ((RECEIVED, PEER, "C", DIGEST, ADT.decode(), True), "argument 'payload' must be bytes, not str"),
        ],
        ids=["count", "str", "bytes"],
    )
    def test_bad_arguments(self, args, message):
        with pytest.raises(TypeError) as error:
            brenvolt_receiver.part_line(*args)
        assert str(error.value) == message


class TestTakeUsesIt:
    @pytest.mark.parametrize(
        ("options", "payload"),
        [
            ({}, ADT),
            ({"escaping": False}, MESSAGES["escapes"]),
            ({"encoding": "UTF8"}, MESSAGES["non-ascii"]),
            ({"encoding": "latin-1"}, "MSH|^~\\&|Ré\rPID|1\r".encode("latin-1")),
            ({}, b"MSH#^~\\&#A#B\rPID#1\r"),
        ],
        ids=["plain", "raw", "utf8 spelled otherwise", "latin-1", "other delimiters"],
    )
    def test_same_answer_with_and_without(self, monkeypatch, tmp_path, options, payload):
        config = ListenConfig(out=tmp_path, **options)
        with_native = frames.take(config, payload, PEER)
        monkeypatch.setattr(frames, "native_part_line", None)
        monkeypatch.setattr(ack, "_native_ack_frame", None)
        without = frames.take(config, payload, PEER)
        first, second = orjson.loads(with_native.line), orjson.loads(without.line)
        assert first.pop("received") <= second.pop("received")
        assert first == second
        assert (with_native.kind, with_native.key, with_native.code) == (without.kind, without.key, without.code)
        assert without_time_and_id(with_native.frame) == without_time_and_id(without.frame)


def without_time_and_id(frame: bytes | None) -> list[bytes]:
    """An ACK frame's fields but MSH-7 and MSH-10, which each ACK makes afresh."""
    assert frame is not None
    fields = frame.split(frame[4:5])  # the separator the ACK is written in, after "\x0bMSH"
    del fields[9], fields[6]
    return fields


def python_ack(header: str, code: str = "AA", control: str = "ID1") -> bytes | None:
    text = ack._plain_ack(header, code, "20261211100000.123+0000", control)
    return None if text is None else mllp.frame(text.encode("ascii"))


def native_ack(header: str, code: str = "AA", control: str = "ID1") -> bytes | None:
    return brenvolt_receiver.plain_ack_frame(header, code, "20261211100000.123+0000", control, ack.DEFAULT_VERSION)


HEADERS = {
    "usual": "MSH|^~\\&|SEND|FAC|RECV|FAC|20261208120000||ADT^A01^ADT_A01|MSG1|P|2.5",
    "encoding characters only": "MSH|^~\\&",
    "one empty field": "MSH|^~\\&|",
    "no trigger": "MSH|^~\\&|A|B|C|D|T||ADT|M1|P|2.3",
    "components everywhere": "MSH|^~\\&|A^x|B^y|C^z|D^w|T||ORU^R01|M^1|P^T|2.5^x^y",
    "version of carets": "MSH|^~\\&|A|B|C|D|T||ADT^A04|M1|P|^^",
    "no version": "MSH|^~\\&|A|B|C|D|T||ADT^A04|M1|P",
    "character set": "MSH|^~\\&|A|B|C|D|T||ADT^A04|M1|P|2.5|||AL|NE|USA|UNICODE UTF-8".replace(" ", "_"),
    "past MSH-18": "MSH|^~\\&|A|B|C|D|T||ADT^A04|M1|P|2.5||||||8859/1|x|y|z",
    "empty MSH-18": "MSH|^~\\&|A|B|C|D|T||ADT^A04|M1|P|2.5||||||",
    "an ACK": "MSH|^~\\&|A|B|C|D|T||ACK^A01|M1|P|2.5",
    "ACK lower case": "MSH|^~\\&|A|B|C|D|T||ack^A01|M1|P|2.5",
    "space": "MSH|^~\\&|A B|B",
    "subcomponent": "MSH|^~\\&|A&B|B",
    "repetition": "MSH|^~\\&|A~B|B",
    "escape": "MSH|^~\\&|A\\F\\B|B",
    "non-ascii": "MSH|^~\\&|Ré|B",
    "tab": "MSH|^~\\&|A\tB",
    "other encoding characters": "MSH|^~&|A|B",
    "other field separator": "MSH#^~\\&#A",
    "no MSH": "PID|^~\\&|A",
    "MSH alone": "MSH",
}


class TestPlainAck:
    @pytest.mark.parametrize("code", ["AA", "CA"])
    @pytest.mark.parametrize("header", list(HEADERS.values()), ids=list(HEADERS))
    def test_same_frame_as_python(self, header, code):
        assert native_ack(header, code) == python_ack(header, code)

    @pytest.mark.parametrize("control", ["", "ID-1", "ÄB1", "ID 1"], ids=["empty", "dash", "non-ascii", "space"])
    def test_control_id_not_letters_and_digits(self, control):
        assert native_ack(HEADERS["usual"], "AA", control) is None
        assert python_ack(HEADERS["usual"], "AA", control) is None

    @settings(max_examples=400, deadline=None)
    @given(st.lists(st.text(alphabet="|^~\\&AK C1.\t\x7fé", max_size=8), max_size=22))
    def test_generated(self, fields):
        header = "|".join(["MSH", "^~\\&", *fields])
        assert native_ack(header) == python_ack(header)

    def test_frame_is_what_ack_gives(self):
        frame = ack.plain_ack_frame(HEADERS["usual"])
        assert frame is not None and frame.startswith(b"\x0bMSH|^~\\&|RECV|FAC|SEND|FAC|")
        assert frame.endswith(b"||ACK^A01^ACK|" + frame.split(b"|")[9] + b"|P|2.5\rMSA|AA|MSG1\r\x1c\r")
        assert ack.plain_ack_frame(HEADERS["usual"], "AE") is None
