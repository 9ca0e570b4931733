"""Properties that hold for every input, checked through the Python API on
generated text and records: conversion never fails with validation off,
validation fails only with its own messages, JsonHl7 takes any dict of str to
str, and escaping makes values come back as they went in. Last, every file of
the sample corpus against the reference models."""

from __future__ import annotations

import copy
import json
import os
import re
import tempfile

from hypothesis import given
from hypothesis import strategies as st

import reference as ref
from brenvolt import Hl7Json, JsonHl7
from reference import PROPERTY_SETTINGS as PROPERTY
from reference import items

BOUND = 16_777_216
SUPPORTED = ", ".join(ref.SUPPORTED)

# Any text, HL7-like text and messages that break any one validation rule or none.
hl7_text = st.one_of(st.text(), ref.hl7_texts, ref.messages)

VALIDATION_MESSAGES = [
    re.escape("Missing required segment: MSH (Message Header)"),
    re.escape("Missing required segment: PID (Patient Identification)"),
    re.escape("HL7 validation error: Message contains no segments"),
    re.escape("HL7 validation failed: MSH segment must have at least 12 fields"),
    re.escape("HL7 validation failed: Field separators (field 1) are required"),
    r"Invalid field separators: .* \(must be exactly 4 characters\)",
    re.escape("HL7 validation failed: HL7 version (field 12) is required"),
    r"HL7 version not supported: .* \(supported versions: " + re.escape(SUPPORTED) + r"\)",
    re.escape("HL7 validation failed: Message type (field 8) is required"),
    re.escape("HL7 validation failed: Message type (field 8) must have at least 3 components: event^structure^version"),
    re.escape("HL7 validation failed: Message type (field 8) must have at least 2 components: type^trigger"),
    r"HL7 validation failed: Segment [1-9][0-9]* has empty segment name",
    r"Invalid segment name: .* \(must be exactly 3 alphabetic characters\)",
    r"Field value exceeds maximum length: [0-9]+ > 65536 characters",
    r"Component value exceeds maximum length: [0-9]+ > 65536 characters",
]
VALIDATION_MESSAGE = re.compile("|".join(f"(?:{m})" for m in VALIDATION_MESSAGES), re.DOTALL)


def byte_order(keys) -> list[str]:
    return sorted(keys, key=lambda k: k.encode())


class TestConversion:
    @PROPERTY
    @given(text=hl7_text, escaping=st.booleans())
    def test_never_raises_with_validation_off(self, text, escaping):
        obj = Hl7Json(text, escaping_enabled=escaping)
        stored = obj.hl7_string
        assert "\r" not in stored
        records = obj.hl7_json
        lines = ref.segment_lines(stored)
        assert len(records) == len(lines)
        split = obj._split_hl7_seg_to_json_with_escaping if escaping else obj._split_hl7_seg_to_json
        for line, record in zip(lines, records, strict=True):
            assert all(type(k) is str and type(v) is str for k, v in record.items())
            assert list(record) == byte_order(record) and list(record)[-1] == "segment_name"
            assert split(line) == record
        assert obj.hl7_string == stored and obj.escaping_enabled is escaping


class TestValidation:
    @PROPERTY
    @given(text=hl7_text, strict=st.booleans(), required=st.booleans())
    def test_raises_only_its_own_messages(self, text, strict, required):
        obj = Hl7Json(text)
        outcomes = []
        for call in (lambda: obj.validate(strict, required), lambda: Hl7Json(text, True, strict).hl7_json):
            try:
                call()
                outcomes.append(None)
            except Exception as error:  # noqa: BLE001 - the class is what is checked
                assert type(error) is Exception and len(error.args) == 1
                assert VALIDATION_MESSAGE.fullmatch(error.args[0]), error.args[0]
                outcomes.append(error.args[0])
        # Conversion checks the same rules without the PID rule.
        if not required:
            assert outcomes[0] == outcomes[1]


# Keys of every form, with numbers mostly small, at times near the 64-bit
# limit or far beyond it, and rarely near the line bound (a line of 16 MB).
common_numbers = st.one_of(
    st.integers(0, 40).map(str),
    st.builds(lambda sign, zeros, n: f"{sign}{'0' * zeros}{n}", st.sampled_from(["", "+"]), st.integers(0, 5),
              st.integers(0, 999)),
    st.integers(2**64 - 2, 2**64 + 1).map(str),
    st.builds(lambda digit, n: digit * n, st.sampled_from("0123456789"), st.integers(20, 1000)),
)
numbers = st.integers(0, 49).flatmap(
    lambda n: st.integers(BOUND - 2, BOUND + 2).map(str) if n == 0 else common_numbers
)
keys = st.one_of(
    st.text(max_size=12),
    st.sampled_from(["", "segment_name", "+", "3.", ".1", "3[]", "]3[", "3[1]x", "3.1.2"]),
    numbers,
    st.builds(lambda n, c: f"{n}.{c}", numbers, numbers),
    st.builds(lambda n, r: f"{n}[{r}]", numbers, numbers),
    st.builds(lambda n, r, c: f"{n}[{r}].{c}", numbers, numbers, numbers),
)
records_strategy = st.lists(st.dictionaries(keys, st.text(max_size=20), max_size=8), max_size=4)
ENCODING_ERROR = re.compile(
    rf"HL7 encoding error: record ([0-9]+): key '(.*)' (?:names a position beyond the limit of {BOUND} "
    rf"delimiters per segment line|brings the delimiters written for positions that no key names to more "
    rf"than {BOUND} in the message)",
    re.DOTALL,
)


# Header records: field 1 (the encoding characters) in the shapes records
# give it, usual and not, beside a few other fields.
header_field_ones = st.sampled_from(
    [
        {"1": "^~\\&"},
        {"1.1": "", "1.2": "~\\&"},
        {"1.1": "", "1.2": "~\\&", "1.3": "x"},
        {"1": "^~\\&", "1.2": "~\\&"},
        {"1": "^~\\&", "1[1]": "a"},
        {"1.1": "x", "1.2": "~\\&"},
        {"1": "^~\\&#"},
        {"1": "^~\\&\u00e9"},
        {"01": "^~\\&"},
        {"1": "|"},
        {"1": ""},
        {},
    ]
)
header_records = st.builds(
    lambda name, field_one, rest: {**rest, "segment_name": name, **field_one},
    st.sampled_from(["MSH", "MSH", "MSh", "FHS"]),
    header_field_ones,
    st.dictionaries(st.sampled_from(["2", "3.1", "3.2", "9[1]", "12", "10"]), st.text(max_size=6), max_size=4),
)


def outcome(call):
    try:
        return ("text", call())
    except Exception as error:  # noqa: BLE001 - the class and message are compared
        return (type(error), str(error))


class TestRecords:
    @PROPERTY
    @given(records=records_strategy)
    def test_any_records_give_text_or_the_bound_error(self, records):
        given_records = copy.deepcopy(records)
        obj = JsonHl7(records)
        try:
            text = obj.hl7_string
        except Exception as error:  # noqa: BLE001 - the class is what is checked
            assert type(error) is Exception
            match = ENCODING_ERROR.fullmatch(error.args[0])
            assert match, error.args[0]
            assert match.group(2) in records[int(match.group(1))]
        else:
            names = sum(r.get("segment_name", "").count("\n") for r in records)
            assert text.count("\n") == max(len(records) - 1, 0) + names
            assert obj._convert_json_to_hl7() == text
        assert obj.json_data == records == given_records
        assert [list(r) for r in obj.json_data] == [byte_order(r) for r in records]

    @PROPERTY
    @given(records=st.one_of(records_strategy, st.lists(header_records, min_size=1, max_size=3)))
    def test_dicts_and_the_same_records_from_a_file_give_one_text(self, records):
        # Records given as dicts are written from their str objects by a short
        # path of their own; read from a file they are written from a flat
        # record list, whose short path the fuzz target holds to the general
        # one. Text and errors agree.
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "records.json")
            with open(path, "w", encoding="utf-8") as file:
                json.dump(records, file)
            from_file = JsonHl7.from_file(path)
        assert outcome(lambda: JsonHl7(records).hl7_string) == outcome(lambda: from_file.hl7_string)

    @PROPERTY
    @given(value=st.text())
    def test_a_value_comes_back_as_it_went_in(self, value):
        line = JsonHl7([{"segment_name": "ZZZ", "1": value}]).hl7_string
        assert line.count("|") == 1 and "\n" not in line and "\r" not in line
        record = Hl7Json(line).hl7_json[0]
        if "^" in value:
            pieces = value.split("^")
            assert record == {**{f"1.{c}": p for c, p in enumerate(pieces, 1)}, "segment_name": "ZZZ"}
        else:
            assert record == {"1": value, "segment_name": "ZZZ"}


# --- The sample corpus ---


def test_corpus_file(corpus_file, tmp_path, raises_hl7_error):
    """Conversion and validation as the reference models give them, and the round trip."""
    try:
        text = corpus_file.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        with raises_hl7_error("I/O error: stream did not contain valid UTF-8"):
            Hl7Json.from_file(str(corpus_file))
        return
    for escaping in (False, True):
        obj = Hl7Json.from_file(str(corpus_file), escaping_enabled=escaping)
        assert obj.hl7_string == ref.normalise(text)
        assert items(obj.hl7_json) == items(Hl7Json(text, escaping_enabled=escaping).hl7_json)
        assert items(obj.hl7_json) == ref.message(text, escaping)
    records = obj.hl7_json
    for strict, required in ((False, False), (True, False), (False, True), (True, True)):
        expected = ref.validate(text, strict, required)
        if expected is None:
            assert obj.validate(strict, required) is None
        else:
            with raises_hl7_error(expected):
                obj.validate(strict, required)
    obj.validation_enabled = True
    if (expected := ref.validate(text, False, False)) is None:
        assert obj.hl7_json == records
    else:
        with raises_hl7_error(expected):
            obj.hl7_json
    hl7 = JsonHl7(records).hl7_string
    assert items(Hl7Json(hl7).hl7_json) == items(records)
    (tmp_path / "r.json").write_text(json.dumps(records), encoding="utf-8")
    loaded = JsonHl7.from_file(str(tmp_path / "r.json"))
    assert (loaded.hl7_string, items(loaded.json_data)) == (hl7, items(records))


def test_corpus_has_valid_messages(corpus_dir):
    """Real messages pass: keeps the corpus check above meaningful."""
    passing = 0
    for path in sorted(corpus_dir.rglob("*.hl7")):
        try:
            passing += ref.validate(path.read_bytes().decode("utf-8"), False, False) is None
        except UnicodeDecodeError:
            continue
    assert passing >= 20
