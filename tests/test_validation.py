"""Message validation: rule order, every message, the strict and required-field switches.

Header positions count HL7's fields: MSH-1 (the field separator itself) has
no position, so MSH-2..MSH-12 are positions 1..11. A header that ends at
MSH-12 is complete. Empty lines after the last segment are not looked at.
"""

from __future__ import annotations

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvolt import Hl7Json

SUPPORTED = ["2.1", "2.2", "2.3", "2.4", "2.5", "2.5.1", "2.6", "2.7", "2.8", "2.9"]
SUPPORTED_TEXT = ", ".join(SUPPORTED)

MISSING_MSH = "Missing required segment: MSH (Message Header)"
MISSING_PID = "Missing required segment: PID (Patient Identification)"
SHORT_MSH = "HL7 validation failed: MSH segment must have at least 12 fields"
MESSAGE_TYPE = "HL7 validation failed: Message type (field 8) must have at least 3 components: event^structure^version"


def msh(
    encoding: str = "^~\\&",
    message_type: str = "ADT^A01^ADT_A01",
    version: str = "2.5",
    extra: list[str] | None = None,
) -> str:
    """An MSH line that ends at MSH-12 (eleven positions), plus ``extra`` fields."""
    fields = [encoding, "APP", "FAC", "RAPP", "RFAC", "20240101", "", message_type, "MSG1", "P", version]
    return "|".join(["MSH", *fields, *(extra or [])])


def message(*lines: str, header: str | None = None) -> str:
    return "\r".join([msh() if header is None else header, *lines])


VALID = message("PID|1||123")


def unsupported(version: str) -> str:
    return f"HL7 version not supported: {version} (supported versions: {SUPPORTED_TEXT})"


def invalid_name(name: str) -> str:
    return f"Invalid segment name: {name} (must be exactly 3 alphabetic characters)"


def empty_name(n: int) -> str:
    return f"HL7 validation failed: Segment {n} has empty segment name"


def too_long(length: int) -> str:
    return f"Field value exceeds maximum length: {length} > 65536 characters"


# ---------------------------------------------------------------------------
# Reference validator, written from the rules, for the corpus
# ---------------------------------------------------------------------------


def ref_validate(text: str, strict: bool, required: bool) -> str | None:
    lines = text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n").split("\n")
    while lines and lines[-1] == "":
        lines.pop()
    if not lines:
        return MISSING_MSH
    segments = [line.split("|") for line in lines]
    header = segments[0]
    if header[0] != "MSH":
        return MISSING_MSH
    if len(header) - 1 < 11:
        return SHORT_MSH
    if len(header[1].encode()) != 4:
        return f"Invalid field separators: {header[1]} (must be exactly 4 characters)"
    if strict and header[11] not in SUPPORTED:
        return unsupported(header[11])
    if strict and len(header[8].split("^")) < 3:
        return MESSAGE_TYPE
    if required and not any(s[0] == "PID" for s in segments):
        return MISSING_PID
    for i, segment in enumerate(segments, 1):
        name = segment[0]
        if name == "":
            return empty_name(i)
        if not re.fullmatch(r"[A-Za-z][A-Za-z0-9]{2}", name):
            return invalid_name(name)
        for field in segment[1:]:
            if len(field.encode()) > 65536:
                return too_long(len(field.encode()))
    return None


# ---------------------------------------------------------------------------
# Rules
# ---------------------------------------------------------------------------


class TestPasses:
    @pytest.mark.parametrize(
        ("text", "strict", "required"),
        [
            (VALID, False, False),
            (VALID, True, True),
            (msh(), True, False),
            (msh(extra=["", "x"]), True, False),
            (message("PID|1", "PV1|1", "NK1|1", "ZP1|x", "zpd|y", "ZZ1|z", "Obx|1", "A12|2"), True, True),
            (message("EVN|A01", "PID"), True, True),
            (message("PID|1", header=msh(encoding="abcd", message_type="^^", version="")), False, True),
            (message("PID|1", header=msh(encoding="^~é")), False, False),
            (msh(message_type="ADT^A01^"), True, False),
            (msh(message_type="A~B^C^D"), True, False),
        ],
        ids=[
            "header-and-pid", "header-and-pid-strict", "header-alone-ends-at-msh-12",
            "header-with-msh-13-and-14", "letter-then-letters-or-digits", "pid-without-fields",
            "any-four-bytes-and-any-text-when-lenient", "four-bytes-three-characters",
            "empty-third-message-type-piece", "tilde-in-message-type"
        ],
    )
    def test_valid(self, text, strict, required):
        assert Hl7Json(text).validate(strict, required) is None

    @pytest.mark.parametrize("version", SUPPORTED)
    def test_supported_version(self, version):
        assert Hl7Json(message("PID|1", header=msh(version=version))).validate(True, True) is None


class TestHeaderRules:
    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("", MISSING_MSH),
            ("\n\n", MISSING_MSH),
            ("\r\n\r", MISSING_MSH),
            ("PID|1\r" + msh(), MISSING_MSH),
            (msh().lower(), MISSING_MSH),
            (" " + msh(), MISSING_MSH),
            ("\ufeff" + msh(), MISSING_MSH),
            ("\r" + msh(), MISSING_MSH),
            ("MSH", SHORT_MSH),
            ("MSH|^~\\&", SHORT_MSH),
            ("MSH" + "|x" * 10, SHORT_MSH),
            ("MSH" + "|x" * 10 + "\rPID|1|2|3|4|5|6|7|8|9|10|11", SHORT_MSH),
            (msh(encoding="^~\\"), "Invalid field separators: ^~\\ (must be exactly 4 characters)"),
            (msh(encoding="^~\\&#"), "Invalid field separators: ^~\\&# (must be exactly 4 characters)"),
            (msh(encoding=""), "Invalid field separators:  (must be exactly 4 characters)"),
            (msh(encoding="^~\\é"), "Invalid field separators: ^~\\é (must be exactly 4 characters)"),
        ],
        ids=[
            "empty-text", "only-line-feeds", "only-line-ends", "pid-first", "lower-case-msh", "leading-blank",
            "byte-order-mark", "leading-empty-line", "name-only", "encoding-characters-only", "ten-positions",
            "ten-positions-with-long-next-segment", "three-encoding-characters", "five-encoding-characters",
            "empty-encoding-characters", "five-bytes-four-characters"
        ],
    )
    def test_always_checked(self, raises_hl7_error, text, expected):
        obj = Hl7Json(text)
        for strict in (False, True):
            with raises_hl7_error(expected):
                obj.validate(strict, False)

    def test_exactly_eleven_positions_pass(self):
        assert Hl7Json("MSH|^~\\&" + "|x" * 10).validate(False, False) is None

    @pytest.mark.parametrize(
        ("version", "passes"),
        [
            ("2.5.1", True),
            ("2.5.2", False),
            ("2.5 ", False),
            ("V2.5", False),
            ("2.3.1", False),
            ("2.10", False),
            ("", False),
            ("2.5^x", False),
            ("2.5~2.6", False),
        ],
        ids=["2.5.1", "2.5.2", "trailing-blank", "v-prefix", "2.3.1", "2.10", "empty", "with-component", "repeated"],
    )
    def test_version_is_msh_12_in_strict_mode(self, raises_hl7_error, version, passes):
        obj = Hl7Json(msh(version=version))
        assert obj.validate(False, False) is None
        if passes:
            assert obj.validate(True, False) is None
        else:
            with raises_hl7_error(unsupported(version)):
                obj.validate(True, False)

    def test_msh_13_is_not_the_version(self, raises_hl7_error):
        assert Hl7Json(msh(version="2.5", extra=["junk"])).validate(True, False) is None
        with raises_hl7_error(unsupported("junk")):
            Hl7Json(msh(version="junk", extra=["2.5"])).validate(True, False)

    @pytest.mark.parametrize(
        ("message_type", "passes"),
        [
            ("ADT^A01^ADT_A01", True),
            ("ADT^A01^", True),
            ("^^", True),
            ("ADT^A01^ADT_A01^X", True),
            ("ADT^A01", False),
            ("ADT", False),
            ("", False),
            ("ADT\\S\\A01\\S\\ADT_A01", False),
        ],
        ids=["three", "last-empty", "only-carets", "four", "two", "one", "empty", "escaped-carets"],
    )
    def test_message_type_pieces_in_strict_mode(self, raises_hl7_error, message_type, passes):
        obj = Hl7Json(msh(message_type=message_type))
        assert obj.validate(False, False) is None
        if passes:
            assert obj.validate(True, False) is None
        else:
            with raises_hl7_error(MESSAGE_TYPE):
                obj.validate(True, False)


class TestRequiredSegment:
    @pytest.mark.parametrize(
        ("text", "passes"),
        [
            (message("PID|1"), True),
            (message("EVN|1", "PV1|1", "PID"), True),
            (message("EVN|1"), False),
            (message("pid|1"), False),
            (message("PI1|1", "PIE|1", "DIP|1"), False),
            (msh(), False),
        ],
        ids=["pid-second", "pid-last", "no-pid", "lower-case-pid", "near-misses", "header-only"],
    )
    def test_pid_rule(self, raises_hl7_error, text, passes):
        obj = Hl7Json(text)
        if passes:
            assert obj.validate(False, True) is None
        else:
            with raises_hl7_error(MISSING_PID):
                obj.validate(False, True)
            # Every other rule holds: without the switch the message passes.
            assert obj.validate(True, False) is None


class TestSegmentNames:
    @pytest.mark.parametrize(
        "name",
        ["Z-Z", "1ZZ", "ZZ", "ZZZZ", "Z", "Z Z", "ZZ ", " ZZ", "ÄBC", "PI\u0131", "Z_1", "ZZ\x00"]
        + ["MS\u0048\u0301", "€", "éA"],
        ids=[
            "dash", "digit-first", "two-letters", "four-letters", "one-letter", "inner-blank", "trailing-blank",
            "leading-blank", "non-ascii-letter", "dotless-i", "underscore", "nul", "combining-mark",
            "one-three-byte-character", "three-bytes-two-characters"
        ],
    )
    def test_invalid_name(self, raises_hl7_error, name):
        obj = Hl7Json(message("PID|1", f"{name}|x"))
        with raises_hl7_error(invalid_name(name)):
            obj.validate(False, True)

    def test_name_without_fields_is_checked(self, raises_hl7_error):
        with raises_hl7_error(invalid_name("PIDX")):
            Hl7Json(message("PIDX")).validate(False, False)


class TestEmptyLines:
    @pytest.mark.parametrize(
        "text",
        [VALID + "\r", VALID + "\r\n", VALID + "\n\n\n", VALID + "\r\r\r\n", msh() + "\r"],
        ids=["cr", "crlf", "three-lf", "mixed", "header-then-cr"],
    )
    def test_trailing_empty_lines_are_ignored(self, text):
        obj = Hl7Json(text)
        assert obj.validate(True, False) is None
        assert obj.hl7_json[-1] == {"segment_name": ""}

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            (message("", "PID|1"), empty_name(2)),
            (message("PID|1", "", "PV1|1", ""), empty_name(3)),
            (message("PID|1", "|A"), empty_name(3)),
            (message("PID|1", "||||"), empty_name(3)),
            (message("PID|1", " "), invalid_name(" ")),
            (VALID + "\r \r", invalid_name(" ")),
        ],
        ids=[
            "between-header-and-pid", "inner-before-trailing", "field-without-name", "separators-only",
            "blank-last-line", "blank-line-then-line-end"
        ],
    )
    def test_other_empty_or_blank_lines_fail(self, raises_hl7_error, text, expected):
        with raises_hl7_error(expected):
            Hl7Json(text).validate(False, False)


class TestFieldLength:
    @pytest.mark.parametrize(
        ("value", "error"),
        [
            ("a" * 65536, None),
            ("a" * 65537, too_long(65537)),
            ("é" * 32768, None),
            ("é" * 32768 + "a", too_long(65537)),
            ("a" * 65534 + "\\F\\", too_long(65537)),
            ("a" * 40000 + "^" + "b" * 40000, too_long(80001)),
            ("a" * 40000 + "~" + "b" * 40000, too_long(80001)),
            ("a" * 30000 + "^" + "b" * 30000, None),
        ],
        ids=[
            "at-limit", "one-over", "two-byte-characters-at-limit", "byte-length-not-characters",
            "raw-length-before-decoding", "long-components", "long-repetitions", "components-within-limit"
        ],
    )
    def test_limit(self, raises_hl7_error, value, error):
        obj = Hl7Json(message(f"PID|1|{value}"))
        if error is None:
            assert obj.validate(True, True) is None
        else:
            with raises_hl7_error(error):
                obj.validate(False, False)

    def test_header_field_is_checked(self, raises_hl7_error):
        header = msh(extra=["x" * 70000])
        with raises_hl7_error(too_long(70000)):
            Hl7Json(header).validate(False, False)

    def test_big_field_through_conversion(self, raises_hl7_error):
        obj = Hl7Json(message("PID|" + "a" * 10_000_000), validation_enabled=True)
        with raises_hl7_error(too_long(10_000_000)):
            obj.hl7_json


class TestRuleOrder:
    @pytest.mark.parametrize(
        ("text", "strict", "required", "expected"),
        [
            ("MSH|^~\\&|x\rEVN|1", False, True, SHORT_MSH),
            (msh(encoding="^~") + "\rZZ|1", True, True, "Invalid field separators: ^~ (must be exactly 4 characters)"),
            (msh(version="9.9", message_type="ADT"), True, True, unsupported("9.9")),
            (msh(message_type="ADT") + "\rP-D|1", True, True, MESSAGE_TYPE),
            (message("EVN|1", "P-D|1"), False, True, MISSING_PID),
            (message("PID|1", "", "A-B|1"), False, True, empty_name(3)),
            (message("PID|1", "A-B|1", ""), False, True, invalid_name("A-B")),
            (message("PID|1", "A-B|" + "x" * 70000), False, True, invalid_name("A-B")),
            (message("PID|" + "x" * 70000, "A-B|1"), False, True, too_long(70000)),
            (message("PID|1|" + "x" * 70000 + "|" + "y" * 80000), False, True, too_long(70000)),
            (message("PID|1", "A-B|1", "C-D|1"), False, True, invalid_name("A-B")),
        ],
        ids=[
            "short-header-before-pid", "separators-before-everything-else", "version-before-message-type",
            "message-type-before-names", "pid-before-names", "empty-name-in-list-order",
            "bad-name-before-trailing-empty", "name-before-length-in-one-segment", "earlier-segment-first",
            "lower-position-first", "first-bad-name"
        ],
    )
    def test_first_broken_rule_wins(self, raises_hl7_error, text, strict, required, expected):
        with raises_hl7_error(expected):
            Hl7Json(text).validate(strict, required)


# ---------------------------------------------------------------------------
# Switches
# ---------------------------------------------------------------------------

NO_PID_BAD_VERSION = msh(version="3.0") + "\rEVN|1"


class TestSwitches:
    @pytest.mark.parametrize(
        ("strict_option", "args", "expected"),
        [
            (False, (None, None), MISSING_PID),
            (True, (None, None), unsupported("3.0")),
            (True, (False, None), MISSING_PID),
            (False, (True, None), unsupported("3.0")),
            (False, (None, False), None),
            (True, (None, False), unsupported("3.0")),
            (True, (False, False), None),
        ],
        ids=[
            "defaults-require-pid", "strict-from-option", "argument-overrides-option", "strict-argument",
            "pid-switched-off", "strict-option-without-pid-rule", "both-off"
        ],
    )
    def test_validate_arguments(self, raises_hl7_error, strict_option, args, expected):
        obj = Hl7Json(NO_PID_BAD_VERSION, strict_validation=strict_option)
        if expected is None:
            assert obj.validate(*args) is None
        else:
            with raises_hl7_error(expected):
                obj.validate(*args)

    def test_keyword_arguments(self, raises_hl7_error):
        obj = Hl7Json(NO_PID_BAD_VERSION)
        with raises_hl7_error(unsupported("3.0")):
            obj.validate(validate_required_fields=False, strict_mode=True)

    @pytest.mark.parametrize(
        ("strict_option", "expected"),
        [(False, None), (True, unsupported("3.0"))],
        ids=["lenient", "strict"],
    )
    def test_conversion_uses_option_and_never_requires_pid(self, raises_hl7_error, strict_option, expected):
        obj = Hl7Json(NO_PID_BAD_VERSION, validation_enabled=True, strict_validation=strict_option)
        if expected is None:
            assert len(obj.hl7_json) == 2
        else:
            with raises_hl7_error(expected):
                obj.hl7_json

    def test_validate_ignores_validation_option_and_escaping(self, raises_hl7_error):
        obj = Hl7Json(message("A\\F\\B|1"), validation_enabled=False, escaping_enabled=True)
        with raises_hl7_error(invalid_name("A\\F\\B")):
            obj.validate(False, False)

    def test_validate_changes_nothing(self, raises_hl7_error):
        obj = Hl7Json(NO_PID_BAD_VERSION, True, True, False)
        with raises_hl7_error(unsupported("3.0")):
            obj.validate(None, None)
        assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (True, True, False)
        assert obj.hl7_string == NO_PID_BAD_VERSION.replace("\r", "\n")


# ---------------------------------------------------------------------------
# Generated messages against the reference
# ---------------------------------------------------------------------------

_field_text = st.text(alphabet=st.sampled_from(list("^~\\&aZ09.é ")), max_size=6)
_header = st.builds(
    lambda enc, fields, mtype, version, extra: "|".join(["MSH", enc, *fields, mtype, "M1", "P", version, *extra]),
    st.sampled_from(["^~\\&", "^~\\", "^~\\&#", "abcd", "", "^~é"]),
    st.lists(_field_text, min_size=6, max_size=6),
    st.sampled_from(["ADT^A01^ADT_A01", "ADT^A01", "^^", "ADT", "A~B^C^D", ""]),
    st.sampled_from(SUPPORTED + ["", "2.3.1", "3.0", "2.5 "]),
    st.lists(_field_text, max_size=3),
)
_short_header = st.integers(0, 10).map(lambda n: "MSH" + "|^~\\&" * min(n, 1) + "|x" * max(n - 1, 0))
_segment = st.builds(
    lambda name, fields: "|".join([name, *fields]),
    st.sampled_from(["PID", "pid", "PV1", "ZZ1", "Z-Z", "1ZZ", "ZZ", "ZZZZ", "", " ", "€", "NTE", "MSH"]),
    st.lists(_field_text, max_size=4),
)
_line_end = st.sampled_from(["\r", "\n", "\r\n", "\n\r"])
generated_messages = st.builds(
    lambda head, segments, trailing, end: end.join([head, *segments]) + end * trailing,
    st.one_of(_header, _header, _short_header, _segment),
    st.lists(_segment, max_size=5),
    st.integers(0, 3),
    _line_end,
)


@settings(max_examples=400, deadline=None)
@given(text=generated_messages, strict=st.booleans(), required=st.booleans())
def test_generated_message_matches_reference(text, strict, required):
    expected = ref_validate(text, strict, required)
    obj = Hl7Json(text)
    if expected is None:
        assert obj.validate(strict, required) is None
    else:
        with pytest.raises(Exception) as excinfo:
            obj.validate(strict, required)
        assert type(excinfo.value) is Exception
        assert excinfo.value.args == (expected,)


# ---------------------------------------------------------------------------
# Corpus
# ---------------------------------------------------------------------------

KNOWN_PREFIXES = (
    "Missing required segment: ",
    "HL7 validation failed: ",
    "Invalid field separators: ",
    "HL7 version not supported: ",
    "Invalid segment name: ",
    "Field value exceeds maximum length: ",
)


def test_corpus_file(corpus_file, raises_hl7_error):
    raw = corpus_file.read_bytes()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8")
    obj = Hl7Json.from_file(str(corpus_file))
    records = obj.hl7_json  # conversion without validation never raises
    assert len(records) == obj.hl7_string.count("\n") + 1
    for strict, required in ((False, False), (True, False), (False, True), (True, True)):
        expected = ref_validate(text, strict, required)
        if expected is None:
            assert obj.validate(strict, required) is None
        else:
            assert expected.startswith(KNOWN_PREFIXES)
            with raises_hl7_error(expected):
                obj.validate(strict, required)
    obj.validation_enabled = True
    expected = ref_validate(text, False, False)
    if expected is None:
        assert obj.hl7_json == records
    else:
        with raises_hl7_error(expected):
            obj.hl7_json


def test_corpus_has_valid_messages(corpus_dir):
    """The reference and the rules agree that real messages pass: keep the corpus check meaningful."""
    passing = []
    for path in sorted(corpus_dir.rglob("*.hl7")):
        try:
            text = path.read_bytes().decode("utf-8")
        except UnicodeDecodeError:
            continue
        if ref_validate(text, False, False) is None:
            passing.append(path)
            assert Hl7Json.from_file(str(path)).validate(False, False) is None
    assert len(passing) >= 20
