"""Message validation: rule order, every message, the strict and required-field switches.

Header positions count HL7's fields: MSH-1 (the field separator itself) has
no position, so MSH-2..MSH-12 are positions 1..11. A header that ends at
MSH-12 is complete. Empty lines after the last segment are not looked at.
"""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import reference as ref
from brenvolt import Hl7Json
from reference import (
    MESSAGE_TYPE,
    MISSING_MSH,
    MISSING_PID,
    SHORT_MSH,
    empty_name,
    invalid_name,
    too_long,
    unsupported,
)


def msh(encoding="^~\\&", message_type="ADT^A01^ADT_A01", version="2.5", extra: list[str] | None = None) -> str:
    """An MSH line that ends at MSH-12 (eleven positions), plus ``extra`` fields."""
    fields = [encoding, "APP", "FAC", "RAPP", "RFAC", "20240101", "", message_type, "MSG1", "P", version]
    return "|".join(["MSH", *fields, *(extra or [])])


def message(*lines: str, header: str | None = None) -> str:
    return "\r".join([msh() if header is None else header, *lines])


VALID = message("PID|1||123")


def check(obj, strict, required, expected) -> None:
    """validate() gives None when ``expected`` is None, else raises exactly that message."""
    if expected is None:
        assert obj.validate(strict, required) is None
        return
    with pytest.raises(Exception) as excinfo:
        obj.validate(strict, required)
    assert type(excinfo.value) is Exception
    assert excinfo.value.args == (expected,)


# --- Rules: (text, strict_mode, validate_required_fields, the message or None) ---

F = "PID|1|"  # a PID segment whose field 2 the length rows fill
CASES = {
    # Passing messages.
    "header-and-pid": (VALID, True, True, None),
    "header-alone-ends-at-msh-12": (msh(), True, False, None),
    "exactly-eleven-positions": ("MSH|^~\\&" + "|x" * 10, False, False, None),
    "header-with-msh-13-and-14": (msh(extra=["", "x"]), True, False, None),
    "letter-then-letters-or-digits": (message("PID|1", "PV1|1", "NK1|1", "ZP1|x", "zpd|y", "ZZ1|z", "Obx|1", "A12|2"),
                                      True, True, None),
    "pid-without-fields": (message("EVN|A01", "PID"), True, True, None),
    "any-four-bytes-and-any-text-when-lenient": (message("PID|1", header=msh("abcd", "^^", "")), False, True, None),
    "four-bytes-three-characters": (message("PID|1", header=msh(encoding="^~é")), False, False, None),
    # The header: checked whatever the switches.
    "only-line-ends": ("\r\n\r", True, False, MISSING_MSH),
    "pid-first": ("PID|1\r" + msh(), False, False, MISSING_MSH),
    "lower-case-msh": (msh().lower(), False, False, MISSING_MSH),
    "leading-empty-line": ("\r" + msh(), True, False, MISSING_MSH),
    "name-only": ("MSH", False, False, SHORT_MSH),
    "ten-positions": ("MSH" + "|x" * 10, True, False, SHORT_MSH),
    "ten-positions-with-long-next-segment": ("MSH" + "|x" * 10 + "\rPID|1|2|3|4|5|6|7|8|9|10|11", False, False,
                                             SHORT_MSH),
    "three-encoding-characters": (msh(encoding="^~\\"), False, False, ref.separators("^~\\")),
    "empty-encoding-characters": (msh(encoding=""), True, False, ref.separators("")),
    "five-bytes-four-characters": (msh(encoding="^~\\é"), False, False, ref.separators("^~\\é")),
    # Version (MSH-12) and message type (MSH-9), in strict mode only.
    "version-2.5.1": (msh(version="2.5.1"), True, False, None),
    "version-2.5.2": (msh(version="2.5.2"), True, False, unsupported("2.5.2")),
    "version-trailing-blank": (msh(version="2.5 "), True, False, unsupported("2.5 ")),
    "version-2.3.1": (msh(version="2.3.1"), True, False, None),
    "version-2.8.2": (msh(version="2.8.2"), True, False, None),
    "version-2.6.1-is-no-hl7-version": (msh(version="2.6.1"), True, False, unsupported("2.6.1")),
    "version-vid-with-internationalisation": (msh(version="2.5^FRA^2.5"), True, False, None),
    "version-id-empty-before-component": (msh(version="^2.5"), True, False, unsupported("^2.5")),
    "version-unsupported-names-whole-vid": (msh(version="3.0^FRA"), True, False, unsupported("3.0^FRA")),
    "version-id-escaped-caret-is-not-a-component": (msh(version="2.5\\S\\x"), True, False,
                                                    unsupported("2.5\\S\\x")),
    "version-empty": (msh(version=""), True, False, unsupported("")),
    "version-with-component": (msh(version="2.5^x"), True, False, None),
    "msh-13-is-not-the-version": (msh(extra=["junk"]), True, False, None),
    "version-before-msh-13": (msh(version="junk", extra=["2.5"]), True, False, unsupported("junk")),
    "type-last-piece-empty": (msh(message_type="ADT^A01^"), True, False, None),
    "type-four-pieces": (msh(message_type="ADT^A01^ADT_A01^X"), True, False, None),
    "type-tilde": (msh(message_type="A~B^C^D"), True, False, None),
    "type-two-pieces": (msh(message_type="ADT^A01"), True, False, MESSAGE_TYPE),
    "type-empty": (msh(message_type=""), True, False, MESSAGE_TYPE),
    "type-escaped-carets": (msh(message_type="ADT\\S\\A01\\S\\ADT_A01"), True, False, MESSAGE_TYPE),
    "type-two-pieces-lenient": (msh(message_type="ADT^A01"), False, False, None),
    "type-two-pieces-v2.3": (msh(message_type="ADT^A01", version="2.3"), True, False, None),
    "type-two-pieces-v2.1-vid": (msh(message_type="ADT^A01", version="2.1^USA"), True, False, None),
    "type-one-piece-v2.2": (msh(message_type="ADT", version="2.2"), True, False, ref.MESSAGE_TYPE_BEFORE_231),
    "type-empty-v2.3": (msh(message_type="", version="2.3"), True, False, ref.MESSAGE_TYPE_BEFORE_231),
    "type-two-pieces-v2.3.1": (msh(message_type="ADT^A01", version="2.3.1"), True, False, MESSAGE_TYPE),
    "type-one-piece-v2.2-lenient": (msh(message_type="ADT", version="2.2"), False, False, None),
    # The PID rule, only with validate_required_fields.
    "pid-last": (message("EVN|1", "PV1|1", "PID"), False, True, None),
    "no-pid": (message("EVN|1"), False, True, MISSING_PID),
    "lower-case-pid": (message("pid|1"), False, True, MISSING_PID),
    "pid-near-misses": (message("PI1|1", "PIE|1", "DIP|1"), True, True, MISSING_PID),
    "header-only": (msh(), False, True, MISSING_PID),
    "no-pid-not-required": (message("PI1|1", "PIE|1", "DIP|1"), True, False, None),
    # Segment names: a letter, then two letters or digits.
    "name-dash": (message("PID|1", "Z-Z|x"), False, True, invalid_name("Z-Z")),
    "name-digit-first": (message("PID|1", "1ZZ|x"), False, True, invalid_name("1ZZ")),
    "name-two-letters": (message("PID|1", "ZZ|x"), False, True, invalid_name("ZZ")),
    "name-four-letters": (message("PID|1", "ZZZZ|x"), False, True, invalid_name("ZZZZ")),
    "name-inner-blank": (message("PID|1", "Z Z|x"), False, True, invalid_name("Z Z")),
    "name-non-ascii-letter": (message("PID|1", "ÄBC|x"), False, True, invalid_name("ÄBC")),
    "name-dotless-i": (message("PID|1", "PI\u0131|x"), False, True, invalid_name("PI\u0131")),
    "name-nul": (message("PID|1", "ZZ\x00|x"), False, True, invalid_name("ZZ\x00")),
    "name-combining-mark": (message("PID|1", "MS\u0048\u0301|x"), False, True, invalid_name("MS\u0048\u0301")),
    "name-one-three-byte-character": (message("PID|1", "€|x"), False, True, invalid_name("€")),
    "name-three-bytes-two-characters": (message("PID|1", "éA|x"), False, True, invalid_name("éA")),
    "name-without-fields": (message("PID|1", "PIDX"), False, True, invalid_name("PIDX")),
    # Empty lines: those after the last segment are not looked at.
    "trailing-crlf": (VALID + "\r\n", True, False, None),
    "trailing-three-lf": (VALID + "\n\n\n", True, False, None),
    "trailing-mixed": (VALID + "\r\r\r\n", True, False, None),
    "header-then-cr": (msh() + "\r", True, False, None),
    "empty-between-header-and-pid": (message("", "PID|1"), False, False, empty_name(2)),
    "empty-inner-before-trailing": (message("PID|1", "", "PV1|1", ""), False, False, empty_name(3)),
    "field-without-name": (message("PID|1", "|A"), False, False, empty_name(3)),
    "blank-last-line": (message("PID|1", " "), False, False, invalid_name(" ")),
    "blank-line-then-line-end": (VALID + "\r \r", False, False, invalid_name(" ")),
    # Field length: at most 65536 bytes of raw text.
    "length-at-limit": (message(F + "a" * 65536), True, True, None),
    "length-one-over": (message(F + "a" * 65537), True, True, too_long(65537)),
    "length-two-byte-characters-at-limit": (message(F + "é" * 32768), True, True, None),
    "length-bytes-not-characters": (message(F + "é" * 32768 + "a"), False, False, too_long(65537)),
    "length-raw-before-decoding": (message(F + "a" * 65534 + "\\F\\"), False, False, too_long(65537)),
    "length-components-count-together": (message(F + "a" * 40000 + "^" + "b" * 40000), False, False, too_long(80001)),
    "length-repetitions-within-limit": (message(F + "a" * 30000 + "~" + "b" * 30000), True, True, None),
    "length-header-field": (msh(extra=["a" * 65537]), False, False, too_long(65537)),
    "length-header-field-at-limit": (msh(extra=["a" * 65536]), False, False, None),
    # The first broken rule wins.
    "short-header-before-pid": ("MSH|^~\\&|x\rEVN|1", False, True, SHORT_MSH),
    "separators-before-everything-else": (msh(encoding="^~") + "\rZZ|1", True, True, ref.separators("^~")),
    "version-before-message-type": (msh(version="9.9", message_type="ADT"), True, True, unsupported("9.9")),
    "message-type-before-names": (msh(message_type="ADT") + "\rP-D|1", True, True, MESSAGE_TYPE),
    "pid-before-names": (message("EVN|1", "P-D|1"), False, True, MISSING_PID),
    "empty-name-in-list-order": (message("PID|1", "", "A-B|1"), False, True, empty_name(3)),
    "bad-name-before-trailing-empty": (message("PID|1", "A-B|1", ""), False, True, invalid_name("A-B")),
    "name-before-length-in-one-segment": (message("PID|1", "A-B|" + "x" * 70000), False, True, invalid_name("A-B")),
    "earlier-segment-first": (message("PID|" + "x" * 70000, "A-B|1"), False, True, too_long(70000)),
    "lower-position-first": (message("PID|1|" + "x" * 70000 + "|" + "y" * 80000), False, True, too_long(70000)),
    "first-bad-name": (message("PID|1", "A-B|1", "C-D|1"), False, True, invalid_name("A-B")),
}


@pytest.mark.parametrize(("text", "strict", "required", "expected"), CASES.values(), ids=CASES.keys())
def test_rule(text, strict, required, expected):
    check(Hl7Json(text), strict, required, expected)


@pytest.mark.parametrize("version", ref.SUPPORTED)
def test_supported_version(version):
    check(Hl7Json(message("PID|1", header=msh(version=version))), True, True, None)


def test_conversion_gives_no_records_for_the_trailing_empty_lines_it_ignores():
    obj = Hl7Json(VALID + "\r\r", validation_enabled=True, strict_validation=True)
    assert obj.hl7_json == Hl7Json(VALID).hl7_json
    assert obj.hl7_json[-1]["segment_name"] != ""


# --- Switches ---

NO_PID_BAD_VERSION = msh(version="3.0") + "\rEVN|1"


SWITCHES = {  # strict_validation option, validate() arguments, outcome
    "defaults-require-pid": (False, (None, None), MISSING_PID),
    "strict-from-option": (True, (None, None), unsupported("3.0")),
    "argument-overrides-option": (True, (False, None), MISSING_PID),
    "strict-argument": (False, (True, None), unsupported("3.0")),
    "pid-switched-off": (False, (None, False), None),
    "strict-option-without-pid-rule": (True, (None, False), unsupported("3.0")),
}


class TestSwitches:
    @pytest.mark.parametrize(("strict_option", "args", "expected"), SWITCHES.values(), ids=SWITCHES.keys())
    def test_validate_arguments(self, strict_option, args, expected):
        check(Hl7Json(NO_PID_BAD_VERSION, strict_validation=strict_option), *args, expected)

    def test_keyword_arguments(self, raises_hl7_error):
        with raises_hl7_error(unsupported("3.0")):
            Hl7Json(NO_PID_BAD_VERSION).validate(validate_required_fields=False, strict_mode=True)

    @pytest.mark.parametrize("strict_option", [False, True], ids=["lenient", "strict"])
    def test_conversion_uses_option_and_never_requires_pid(self, raises_hl7_error, strict_option):
        obj = Hl7Json(NO_PID_BAD_VERSION, validation_enabled=True, strict_validation=strict_option)
        if not strict_option:
            assert len(obj.hl7_json) == 2
        else:
            with raises_hl7_error(unsupported("3.0")):
                obj.hl7_json

    def test_validate_ignores_options_and_changes_nothing(self, raises_hl7_error):
        obj = Hl7Json(message("A\\F\\B|1"), validation_enabled=False, escaping_enabled=True)
        check(obj, False, False, invalid_name("A\\F\\B"))
        obj = Hl7Json(NO_PID_BAD_VERSION, True, True, False)
        check(obj, None, None, unsupported("3.0"))
        assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (True, True, False)
        assert obj.hl7_string == NO_PID_BAD_VERSION.replace("\r", "\n")


# --- Generated messages against the reference validator ---


@settings(max_examples=400, deadline=None)
@given(text=ref.messages, strict=st.booleans(), required=st.booleans())
def test_generated_message_matches_reference(text, strict, required):
    check(Hl7Json(text), strict, required, ref.validate(text, strict, required))
