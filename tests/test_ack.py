"""brenvolt_feeds.ack: the original-mode acknowledgement of a received message text.

ACKs are read back three ways: as brenvolt records (``Hl7Json``, escapes
decoded), as python-hl7 and as hl7apy read them, and by brenvolt's validator.
"""

from __future__ import annotations

import datetime
import os
import re
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvolt import Hl7Json
from brenvolt_feeds.ack import (
    ERROR_CODES,
    TEXT_MESSAGE_LIMIT,
    build_ack,
    control_id,
    is_acknowledgement,
    new_control_id,
)
from brenvolt_feeds.delimiters import (
    Delimiters,
    declared_delimiters,
    from_standard_delimiters,
    to_standard_delimiters,
)

hl7 = pytest.importorskip("hl7")
hl7apy_parser = pytest.importorskip("hl7apy.parser")

NOW = datetime.datetime(2026, 12, 8, 23, 15, 0, 123456, tzinfo=datetime.UTC)
TIME_KEY, ID_KEY = "6", "9"  # ACK record keys of MSH-7 and MSH-10


def segments(ack: str) -> list[dict[str, str]]:
    """The ACK's records, escapes decoded, after checking that every segment ends with CR."""
    assert ack.endswith("\r") and "\n" not in ack, repr(ack)
    return Hl7Json(ack).hl7_json


def field(record: dict[str, str], number: int) -> dict[str, str]:
    """The entries of field ``number`` of a record: key suffix ("", ".2", "[1].2") -> value."""
    return {k[len(str(number)) :]: v for k, v in record.items() if re.fullmatch(rf"{number}(?![0-9]).*", k)}


def raw_fields(ack: str, name: str) -> list[str]:
    line = next(line for line in ack.split("\r") if line.startswith(name + "|"))
    return line.split("|")


# (id, received text, the ACK's MSH record without MSH-7 and MSH-10, MSA-2 as written)
HEADERS = [
    (
        "normal",
        "MSH|^~\\&|ADT1|GOOD HEALTH|RCV|HUB|20261208||ADT^A01^ADT_A01|MSG00001|P|2.5.1\rPID|1\r",
        {
            "2": "RCV",
            "3": "HUB",
            "4": "ADT1",
            "5": "GOOD HEALTH",
            "8.1": "ACK",
            "8.2": "A01",
            "8.3": "ACK",
            "10": "P",
            "11": "2.5.1",
        },
        "MSG00001",
    ),
    (
        "components-in-msh3-to-6",
        "MSH|^~\\&|APP^1.2.3^ISO|FAC^2.16.840^ISO|R^9.9^ISO|RF|x||ORU^R01|42|P^T|2.3^CAN^x\r",
        {
            "2.1": "R",
            "2.2": "9.9",
            "2.3": "ISO",
            "3": "RF",
            "4.1": "APP",
            "4.2": "1.2.3",
            "4.3": "ISO",
            "5.1": "FAC",
            "5.2": "2.16.840",
            "5.3": "ISO",
            "8.1": "ACK",
            "8.2": "R01",
            "8.3": "ACK",
            "10.1": "P",
            "10.2": "T",
            "11.1": "2.3",
            "11.2": "CAN",
            "11.3": "x",
        },
        "42",
    ),
    (
        "escapes-in-fields",
        "MSH|^~\\&|A\\T\\B|F\\F\\G|R\\E\\S|X Y||||C\\F\\1|P|2.4\r",
        {
            "2": "R\\S",
            "3": "X Y",
            "4": "A&B",
            "5": "F|G",
            "8.1": "ACK",
            "8.2": "",
            "8.3": "ACK",
            "10": "P",
            "11": "2.4",
        },
        "C\\F\\1",
    ),
    (
        "non-ascii",
        "MSH|^~\\&|MÜLLER|Hôpital|受信|ΑΘΗΝΑ|x||ADT^A08|ü-1|P|2.5|||||DE|UNICODE UTF-8\r",
        {
            "2": "受信",
            "3": "ΑΘΗΝΑ",
            "4": "MÜLLER",
            "5": "Hôpital",
            "8.1": "ACK",
            "8.2": "A08",
            "8.3": "ACK",
            "10": "P",
            "11": "2.5",
            "17": "UNICODE UTF-8",
        },
        "ü-1",
    ),
    (
        "lf-line-ends-and-junk-before",
        "garbage\nMORE|x\nMSH|^~\\&|S|SF|R|RF|x||ADT^A01|ID7|T|2.5\nPID|1\n",
        {
            "2": "R",
            "3": "RF",
            "4": "S",
            "5": "SF",
            "8.1": "ACK",
            "8.2": "A01",
            "8.3": "ACK",
            "10": "T",
            "11": "2.5",
        },
        "ID7",
    ),
    (
        "byte-order-mark",
        "\ufeffMSH|^~\\&|S||||x||ADT^A04|B1|P|2.3\r",
        {
            "2": "",
            "3": "",
            "4": "S",
            "5": "",
            "8.1": "ACK",
            "8.2": "A04",
            "8.3": "ACK",
            "10": "P",
            "11": "2.3",
        },
        "B1",
    ),
    (
        "header-cut-after-msh4",
        "MSH|^~\\&|S|SF\r",
        {"4": "S", "5": "SF", "8.1": "ACK", "8.2": "", "8.3": "ACK", "11": "2.5"},
        "",
    ),
    (
        "no-msh10-no-version",
        "MSH|^~\\&|S|SF|R|RF|x||ADT^A01\r",
        {"2": "R", "3": "RF", "4": "S", "5": "SF", "8.1": "ACK", "8.2": "A01", "8.3": "ACK", "11": "2.5"},
        "",
    ),
    ("msh-name-only", "MSH", {"8.1": "ACK", "8.2": "", "8.3": "ACK", "11": "2.5"}, ""),
    ("empty-text", "", {"8.1": "ACK", "8.2": "", "8.3": "ACK", "11": "2.5"}, ""),
    ("lone-field-separators", "||||\r|", {"8.1": "ACK", "8.2": "", "8.3": "ACK", "11": "2.5"}, ""),
    ("msh-inside-a-value", "PID|MSH|^~\\&|S|F\r", {"8.1": "ACK", "8.2": "", "8.3": "ACK", "11": "2.5"}, ""),
    (
        "no-encoding-characters",
        "MSH||S||||||ADT^A01|Z|P|2.5\r",
        {"4": "S", "5": "", "8.1": "ACK", "8.2": "A01", "8.3": "ACK", "10": "P", "11": "2.5"},
        "Z",
    ),
]
HEADER_IDS = [case[0] for case in HEADERS]
# MSH-12 is copied with its components; strict validation wants the bare version.
COPIED_VERSION_NOT_STRICT = {"components-in-msh3-to-6"}


class TestHeader:
    @pytest.mark.parametrize(("name", "received", "expected", "msa2"), HEADERS, ids=HEADER_IDS)
    def test_records(self, name: str, received: str, expected: dict[str, str], msa2: str) -> None:
        msh, msa = segments(build_ack(received, now=NOW, control_id="ACK1"))
        named = {int(re.match(r"\d+", key).group()) for key in expected}  # type: ignore[union-attr]
        # Positions up to MSH-12 (MSH-18 when copied) that no key names are written empty.
        wanted = {str(n): "" for n in range(2, 18 if 17 in named else 12) if n not in named}
        wanted.update(expected)
        wanted.update({"1.1": "", "1.2": "~\\&", TIME_KEY: "20261208231500.123+0000", ID_KEY: "ACK1"})
        wanted["segment_name"] = "MSH"
        assert msh == wanted
        assert msa["1"] == "AA"

    @pytest.mark.parametrize(("name", "received", "expected", "msa2"), HEADERS, ids=HEADER_IDS)
    def test_msa2_is_msh10_as_written(
        self, name: str, received: str, expected: dict[str, str], msa2: str
    ) -> None:
        ack = build_ack(received)
        assert control_id(received) == msa2
        assert raw_fields(ack, "MSA")[2] == msa2

    @pytest.mark.parametrize(("name", "received", "expected", "msa2"), HEADERS, ids=HEADER_IDS)
    def test_peers_and_validator_read_it(
        self, name: str, received: str, expected: dict[str, str], msa2: str
    ) -> None:
        ack = build_ack(received, "AE", "could not store: disk full | retry ^ later")
        Hl7Json(ack).validate(strict_mode=False, validate_required_fields=False)
        if name not in COPIED_VERSION_NOT_STRICT:
            Hl7Json(ack).validate(strict_mode=True, validate_required_fields=False)
        message = hl7.parse(ack)
        assert [str(segment[0]) for segment in message] == ["MSH", "MSA", "ERR"]
        assert str(message.segment("MSH")[9]) == f"ACK^{expected['8.2']}^ACK"
        assert message.unescape(str(message.segment("MSA")[2])) == message.unescape(msa2)
        parsed = hl7apy_parser.parse_message(ack, find_groups=False)
        assert parsed.msa.msa_1.value == "AE"
        assert parsed.msa.msa_2.value == msa2

    def test_msa2_keeps_what_reencoding_would_change(self) -> None:
        # Re-escaped from its decoded value, "A B\\X41\\" would become "A\X20\B\E\X41\E\".
        received = "MSH|^~\\&|S|F|R|RF|x||ADT^A01|A B\\X41\\|P|2.5\r"
        assert raw_fields(build_ack(received), "MSA")[2] == "A B\\X41\\"

    def test_lone_surrogates_are_read_as_replacement_characters(self) -> None:
        received = b"MSH|^~\\&|S\xff|F|R|RF|x||ADT^A01|I\xfe|P|2.5\r".decode("utf-8", "surrogateescape")
        ack = build_ack(received)
        ack.encode("utf-8")
        assert segments(ack)[0]["4"] == "S\ufffd"
        assert raw_fields(ack, "MSA")[2] == "I\ufffd"


class TestCodes:
    @pytest.mark.parametrize(
        ("code", "text", "error_code", "msa3", "err"),
        [
            ("AA", None, None, None, None),
            ("AA", "stored as 17", None, "stored as 17", None),
            ("AE", None, None, "Application internal error", ("207", "Application internal error")),
            ("AE", "database down", None, "database down", ("207", "database down")),
            ("AR", "unknown event", "201", "unknown event", ("201", "unknown event")),
            ("AR", None, "203", "Unsupported version id", ("203", "Unsupported version id")),
            ("AE", "x|y^z~w&v\\u", "101", "x|y^z~w&v\\u", ("101", "x|y^z~w&v\\u")),
            (
                "AE",
                "bad\r\nPID|forged\rMSH|x",
                None,
                "bad PID|forged MSH|x",
                ("207", "bad\r\nPID|forged\rMSH|x"),
            ),
            (
                "AE",
                "Prüfung fehlgeschlagen: ß",
                None,
                "Prüfung fehlgeschlagen: ß",
                ("207", "Prüfung fehlgeschlagen: ß"),
            ),
        ],
        ids=[
            "aa",
            "aa-text",
            "ae-default",
            "ae-text",
            "ar-code",
            "ar-no-text",
            "delimiters",
            "line-ends",
            "non-ascii",
        ],
    )
    def test_msa_and_err(
        self,
        code: str,
        text: str | None,
        error_code: str | None,
        msa3: str | None,
        err: tuple[str, str] | None,
    ) -> None:
        ack = build_ack("MSH|^~\\&|S|F|R|RF|x||ADT^A01|M1|P|2.5\r", code, text, error_code=error_code)  # type: ignore[arg-type]
        assert ack.count("\r") == (3 if err else 2)
        message = hl7.parse(ack)
        msa = message.segment("MSA")
        assert str(msa[1]) == code
        assert str(msa[2]) == "M1"
        assert (message.unescape(str(msa[3])) if len(msa) > 3 else None) == msa3
        if err is None:
            assert "\rERR|" not in ack
            return
        fields = raw_fields(ack, "ERR")
        assert message.unescape(fields[3]) == f"{err[0]}^{ERROR_CODES[err[0]]}^HL70357"
        assert fields[4] == "E"
        assert message.unescape(fields[8]) == err[1]

    def test_text_message_is_cut_to_the_limit(self) -> None:
        text = "word " * 40 + "end"
        ack = build_ack("MSH|^~\\&|S||||x||ADT^A01|1|P|2.5\r", "AE", text)
        message = hl7.parse(ack)
        msa3 = message.unescape(str(message.segment("MSA")[3]))
        assert len(msa3) == TEXT_MESSAGE_LIMIT and msa3.endswith("...") and text.startswith(msa3[:-3])
        assert message.unescape(raw_fields(ack, "ERR")[8]) == text


class TestRefusals:
    @pytest.mark.parametrize(
        "received",
        [
            "MSH|^~\\&|S|F|R|RF|x||ACK^A01^ACK|9|P|2.5\rMSA|AA|1\r",
            "MSH|^~\\&|S|F|R|RF|x||ACK|9|P|2.3\r",
            "MSH|^~\\&|S|F|R|RF|x||ACK~ADT|9|P|2.3\r",
            "junk\rMSH|^~\\&|||||x||ACK^^ACK\r",
            "\ufeffMSH|^~\\&|||||x||ACK\nMSA|AE|1\n",
        ],
        ids=["ack", "ack-no-components", "ack-repeated", "after-junk", "byte-order-mark-lf"],
    )
    def test_an_ack_is_never_acknowledged(self, received: str) -> None:
        assert is_acknowledgement(received)
        with pytest.raises(ValueError) as excinfo:
            build_ack(received, "AE", "x")
        assert type(excinfo.value) is ValueError
        assert (
            str(excinfo.value)
            == "the message is an acknowledgement (MSH-9 is ACK); an ACK is never acknowledged"
        )

    @pytest.mark.parametrize(
        ("kwargs", "error", "text"),
        [
            ({"code": "AK"}, ValueError, "code must be one of AA, AE, AR, CA, CE, CR, not 'AK'"),
            (
                {"code": "AE", "error_code": "999"},
                ValueError,
                "error_code '999' is not in HL7 table 0357 (known: " + ", ".join(ERROR_CODES) + ")",
            ),
            (
                {"error_code": "207"},
                ValueError,
                "error_code is for AE, AR, CE and CR acknowledgements; an AA has no ERR segment",
            ),
            (
                {"now": datetime.datetime(2026, 1, 1)},
                ValueError,
                "now must be timezone-aware (MSH-7 carries the UTC offset)",
            ),
            ({"control_id": ""}, ValueError, "control_id must not be empty"),
            ({"message": b"MSH|"}, TypeError, "message must be str, not bytes"),
            ({"text": 5, "code": "AE"}, TypeError, "text must be str or None, not int"),
            ({"now": "2026"}, TypeError, "now must be a datetime.datetime, not str"),
            ({"control_id": 7}, TypeError, "control_id must be str or None, not int"),
        ],
        ids=[
            "code",
            "error-code-unknown",
            "error-code-with-aa",
            "naive-now",
            "empty-control-id",
            "bytes",
            "text-type",
            "now-type",
            "control-id-type",
        ],
    )
    def test_bad_arguments(self, kwargs: dict[str, object], error: type[Exception], text: str) -> None:
        arguments: dict[str, object] = {"message": "MSH|^~\\&|S||||x||ADT^A01|1|P|2.5\r", **kwargs}
        with pytest.raises(error) as excinfo:
            build_ack(**arguments)  # type: ignore[arg-type]
        assert type(excinfo.value) is error
        assert str(excinfo.value) == text


class TestControlId:
    def test_unique_and_short(self) -> None:
        ids = [new_control_id() for _ in range(20_000)]
        ids += [segments(build_ack("MSH|^~\\&|S\r"))[0][ID_KEY] for _ in range(500)]
        assert len(set(ids)) == len(ids)
        assert all(re.fullmatch(r"[0-9A-Z]{20}", value) for value in ids)

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    def test_a_forked_child_draws_its_own(self) -> None:
        read_end, write_end = os.pipe()
        with warnings.catch_warnings():
            # Python 3.12+ warns about forking while other threads run; the child only draws an id.
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:  # pragma: no cover - the child
            try:
                os.write(write_end, new_control_id().encode())
            finally:
                os._exit(0)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            child = pipe.read().decode()
        os.waitpid(pid, 0)
        assert len(child) == 20 and child[:8] != new_control_id()[:8]


class TestTime:
    @pytest.mark.parametrize(
        ("now", "written"),
        [
            (NOW, "20261208231500.123+0000"),
            (
                datetime.datetime(
                    2026,
                    3,
                    1,
                    5,
                    4,
                    3,
                    9000,
                    tzinfo=datetime.timezone(datetime.timedelta(hours=5, minutes=30)),
                ),
                "20260301050403.009+0530",
            ),
            (
                datetime.datetime(
                    2026, 7, 4, 0, 0, 0, tzinfo=datetime.timezone(-datetime.timedelta(hours=8))
                ),
                "20260704000000.000-0800",
            ),
            (
                datetime.datetime(
                    1890, 1, 1, 0, 0, 0, tzinfo=datetime.timezone(datetime.timedelta(minutes=53, seconds=28))
                ),
                "18891231230632.000+0000",
            ),
        ],
        ids=["utc", "plus-0530", "minus-0800", "offset-with-seconds-as-utc"],
    )
    def test_msh7(self, now: datetime.datetime, written: str) -> None:
        assert raw_fields(build_ack("MSH|^~\\&|S\r", now=now), "MSH")[6] == written

    def test_default_is_now_in_utc(self) -> None:
        before = datetime.datetime.now(datetime.UTC).replace(microsecond=0)
        stamp = raw_fields(build_ack(""), "MSH")[6]
        after = datetime.datetime.now(datetime.UTC)
        when = datetime.datetime.strptime(stamp, "%Y%m%d%H%M%S.%f%z")
        assert stamp.endswith("+0000") and before <= when <= after


class TestIsAcknowledgement:
    @pytest.mark.parametrize(
        ("received", "expected"),
        [
            ("MSH|^~\\&|||||x||ACK^A01^ACK|1\r", True),
            ("MSH|^~\\&|||||x||ACK\r", True),
            ("MSH|^~\\&|||||x||ADT^A01|1\r", False),
            ("MSH|^~\\&|||||x||ACKX^A01|1\r", False),
            ("MSH|^~\\&|||||x||ack^A01|1\r", False),
            ("MSH|^~\\&|||||x||^ACK|1\r", False),
            ("PID|ACK\r", False),
            ("", False),
        ],
        ids=["ack", "ack-plain", "adt", "ackx", "lower-case", "ack-as-trigger", "no-msh", "empty"],
    )
    def test_table(self, received: str, expected: bool) -> None:
        assert is_acknowledgement(received) is expected


class TestOtherDelimiters:
    """A message in other delimiters is read in them and answered in them."""

    @pytest.mark.parametrize(
        ("received", "code", "text", "ack"),
        [
            (
                "MSH^~|\\&^SENDING^200M^RECEIVING^200^20120918^^ADT~A24^2003582144^T^2.4\r\nPID^1\r\n",
                "AA",
                None,
                "MSH^~|\\&^RECEIVING^200^SENDING^200M^20261208231500.123+0000^^ACK~A24~ACK^ACK1^T^2.4\r"
                "MSA^AA^2003582144\r",
            ),
            (
                "MSH:-+?*:S:F:R:RF:x::ORM-O01:C?F?1:P:2.3\r",
                "AR",
                "bad:field-x",
                "MSH:-+?*:R:RF:S:F:20261208231500.123?R?0000::ACK-O01-ACK:ACK1:P:2.3\r"
                "MSA:AR:C?F?1:bad?F?field?S?x\r"
                "ERR:::207-Application internal error-HL70357:E::::bad?F?field?S?x\r",
            ),
            (
                "MSH$%~\\&#$S$F$R$RF$x$$ADT%A01$7$P$2.7\r",
                "AA",
                None,
                "MSH$%~\\&#$R$RF$S$F$20261208231500.123+0000$$ACK%A01%ACK$ACK1$P$2.7\rMSA$AA$7\r",
            ),
            (
                "MSH$%~$S$F$R$RF$x$$ADT%A01$C|1$P$2.5\r",
                "AA",
                None,
                "MSH|^~\\&|||||20261208231500.123+0000||ACK^^ACK|ACK1||2.5\rMSA|AA|C\\F\\1\r",
            ),
        ],
        ids=["vista", "colon-rejected", "truncation-character", "unusable-encoding-characters"],
    )
    def test_ack_text(self, received: str, code: str, text: str | None, ack: str) -> None:
        assert build_ack(received, code, text, now=NOW, control_id="ACK1") == ack  # type: ignore[arg-type]

    @pytest.mark.parametrize(
        ("received", "expected"),
        [
            ("MSH^~|\\&^S^F^R^RF^x^^ADT~A01^ID|1~2^P^2.4\r", "ID|1~2"),
            ("MSH:-+?*:S:F:R:RF:x::ADT-A01:C?F?1\r", "C?F?1"),
            ("MSH$%~$S$F$R$RF$x$$ADT%A01$C|1$P$2.5\r", "C|1"),
        ],
        ids=["vista", "colon", "unusable-encoding-characters"],
    )
    def test_control_id_is_cut_at_the_own_field_separator(self, received: str, expected: str) -> None:
        assert control_id(received) == expected

    @pytest.mark.parametrize(
        ("received", "expected"),
        [
            ("MSH^~|\\&^^^^^x^^ACK~A01~ACK^1\r", True),
            ("MSH:-+?*:::::x::ACK:1\r", True),
            ("MSH^~|\\&^^^^^x^^ADT~A01^1\r", False),
            ("MSH^~|\\&^ACK^^^^x^^ADT~A01^1\r", False),
        ],
        ids=["vista-ack", "colon-ack", "vista-adt", "vista-ack-in-another-field"],
    )
    def test_is_acknowledgement(self, received: str, expected: bool) -> None:
        assert is_acknowledgement(received) is expected
        if expected:
            with pytest.raises(ValueError, match="never acknowledged"):
                build_ack(received)

    @settings(max_examples=150, deadline=None)
    @given(
        delimiters=st.permutations("!#$%*+-/:;?@^~|\\&").map(lambda c: Delimiters(*c[:5])),
        fields=st.lists(st.text(st.sampled_from("AZ09 .^~|\\&!#$%*+-/:;?@é"), max_size=8), max_size=12),
        code=st.sampled_from(["AA", "AE", "AR"]),
        text=st.text(st.sampled_from("AZ09 .^~|\\&!#$%*+-/:;?@é"), max_size=12),
    )
    def test_read_back_as_the_answer_to_the_standard_message(
        self, delimiters: Delimiters, fields: list[str], code: str, text: str
    ) -> None:
        standard = "|".join(["MSH", "^~\\&", *[f.replace("\\", "\\E\\") for f in fields]]) + "\r"
        received = from_standard_delimiters(standard, delimiters)
        if is_acknowledgement(received) or declared_delimiters(received) != delimiters:
            return
        ack = build_ack(received, code, text, now=NOW, control_id="ACK1")  # type: ignore[arg-type]
        assert declared_delimiters(ack) == delimiters
        again = build_ack(to_standard_delimiters(received), code, text, now=NOW, control_id="ACK1")  # type: ignore[arg-type]
        assert Hl7Json(to_standard_delimiters(ack)).hl7_json == Hl7Json(again).hl7_json


FIELD_TEXT = st.text(st.characters(codec="utf-8", exclude_characters="|\r\n"), max_size=12)


@settings(max_examples=150, deadline=None)
@given(
    fields=st.lists(FIELD_TEXT, min_size=0, max_size=12),
    code=st.sampled_from(["AA", "AE", "AR"]),
    text=FIELD_TEXT,
)
def test_any_header_gets_a_readable_ack(fields: list[str], code: str, text: str) -> None:
    received = "|".join(["MSH", "^~\\&", *fields]) + "\r"
    if is_acknowledgement(received):
        return
    ack = build_ack(received, code, text)  # type: ignore[arg-type]
    Hl7Json(ack).validate(strict_mode=False, validate_required_fields=False)
    assert raw_fields(ack, "MSA")[2] == (fields[7] if len(fields) > 7 else "")
    assert len(raw_fields(ack, "MSH")[9]) == 20
    # MSH-3..6 come back swapped, as brenvolt decodes them.
    mine, theirs = segments(ack)[0], Hl7Json(received).hl7_json[0]
    for target, source in ((2, 4), (3, 5), (4, 2), (5, 3)):
        assert field(mine, target) == (field(theirs, source) or {"": ""})
    hl7.parse(ack)


# Plain headers are answered straight from their text; the full reading must agree.
PLAIN_PIECE = st.text(st.sampled_from(list("AZaz09.-_^#'%!}{[]")), max_size=8)
NEAR_PLAIN_PIECE = PLAIN_PIECE | st.sampled_from(["A B", " ", "a\\T\\b", "x&y", "r~s", "é", "\t", "\\", "~"])


@settings(max_examples=300, deadline=None)
@given(fields=st.lists(NEAR_PLAIN_PIECE, min_size=0, max_size=20), code=st.sampled_from(["AA", "CA"]))
def test_plain_header_answer_equals_the_full_reading(fields: list[str], code: str) -> None:
    from brenvolt_feeds import ack as ack_module

    line = "|".join(["MSH", "^~\\&", *fields])
    if is_acknowledgement(line):
        return
    stamp = ack_module._timestamp(NOW)
    plain = ack_module._plain_ack(line, code, stamp, "ACK00000000000000001")
    full = ack_module._read_ack(line, code, None, None, stamp, "ACK00000000000000001")  # type: ignore[arg-type]
    if plain is not None:
        assert plain == full
    else:
        assert any(not re.fullmatch(r"[!-%'-\[\]-}]*", piece) for piece in fields) or "ACK" in line


@pytest.mark.parametrize(
    "line",
    [
        pytest.param("MSH|^~\\&|LAB|HOSP|EHR|HOSP|20261208||ORU^R01^ORU_R01|C1|P|2.5.1", id="usual"),
        pytest.param("MSH|^~\\&|A^1.2^ISO|B||D|x||ADT^A01|1|P^T|2.3||||||UNICODE", id="components-charset"),
        pytest.param("MSH|^~\\&|A||C|D|x||ADT|1", id="no-trigger-no-version"),
        pytest.param("MSH|^~\\&|A|B|C|D|x||ADT^A01|1|P|^^||||||", id="empty-version-empty-charset"),
        pytest.param("MSH|^~\\&", id="bare"),
    ],
)
def test_plain_headers_take_the_plain_way(line: str) -> None:
    from brenvolt_feeds import ack as ack_module

    stamp = ack_module._timestamp(NOW)
    plain = ack_module._plain_ack(line, "AA", stamp, "X1")
    assert plain is not None
    assert plain == ack_module._read_ack(line, "AA", None, None, stamp, "X1")
    assert build_ack(line + "\rPID|1\r", now=NOW, control_id="X1") == plain
