"""JsonHl7: records back to HL7 text, the line bound, construction, JSON files and the round trip.

Assembly is checked on tables of records and, on generated records, against
the reference assembler in tests/reference.py. The round trip HL7 text ->
records -> HL7 text -> records is checked on generated text and the sample
files (the corpus is in test_properties.py).
"""

from __future__ import annotations

import collections
import json
import re
import sys
import types
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference as ref
from brenvolt import Hl7Json, JsonHl7
from reference import PROPERTY_SETTINGS, items

# Hl7Json cannot load a sample that is not UTF-8, so it has no records to send back.
DATA_FILES = [p for p in sorted((Path(__file__).resolve().parent / "data").glob("*.hl7")) if "not_utf8" not in p.name]
LIMIT = 16_777_216
INVALID_JSON = "HL7 invalid format: Invalid JSON: "


def write(folder: Path, content) -> str:
    path = folder / "records.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


def too_many_gaps(index: int, key: str) -> str:
    return (
        f"HL7 encoding error: record {index}: key '{key}' brings the delimiters written for positions that no "
        f"key names to more than {LIMIT} in the message"
    )


def too_far(index: int, key: str) -> str:
    return (
        f"HL7 encoding error: record {index}: key '{key}' names a position beyond the limit of "
        f"{LIMIT} delimiters per segment line"
    )


WORKED_RECORDS = [
    {"segment_name": "PID", "1": "1", "3[0].1": "123", "3[0].4": "HOSP", "3[1]": "456", "5.1": "DOE", "5.2": "JOHN",
     "note": "x"},
    {"segment_name": "OBX", "2": "ST", "3": "R&D", "5[2]": "Z"},
]
WORKED_TEXT = "PID|1||123^^^HOSP~456||DOE^JOHN\nOBX||ST|R\\T\\D||~~Z"


# --- Assembly ---


@pytest.mark.parametrize(
    ("records", "text"),
    [
        ([], ""), (WORKED_RECORDS, WORKED_TEXT), ([{}, {"segment_name": "PID"}], "\nPID"),
        ([{"segment_name": "A"}, {}, {"segment_name": "B"}], "A\n\nB"), ([{"segment_name": ""}], ""),
        ([{"segment_name": "", "1": "a"}], "|a"), ([{"1": "A", "2": "B"}], "A|B"),
        ([{"segment_name": "ZZZ", "3": "C"}], "ZZZ|||C"), ([{"segment_name": "PID", "5.3": "X"}], "PID|||||^^X"),
        ([{"3[2]": "C"}], "||~~C"), ([{"segment_name": "ZZZ", "3": ""}], "ZZZ|||"),
        ([{"segment_name": "ZZZ", "1[2].2": ""}], "ZZZ|~~^"),
        ([{"segment_name": "ZZZ", "2[0]": "a", "2[2].3": "b"}], "ZZZ||a~~^^b"),
        ([{"segment_name": "PID", "0": "X"}], "PID"), ([{"0": "X", "2": "Y"}], "|Y"),
        ([{"segment_name": "PID", "10": "X", "9": "Y"}], "PID|||||||||Y|X"),
        ([{"segment_name": "ZZZ", "1.10": "j", "1.9": "i"}], "ZZZ|" + "^" * 8 + "i^j"),
        ([{"segment_name": "ZZZ", "1[10]": "k", "1[9]": "j"}], "ZZZ|" + "~" * 9 + "j~k"),
    ],
    ids=[
        "no-records", "worked-example", "empty-record-then-name", "empty-line-between", "empty-name",
        "empty-name-still-a-part", "no-name", "missing-fields", "missing-components", "missing-repetitions",
        "empty-value-still-placed", "empty-component-still-placed", "gaps-within-one-field", "field-0-with-name",
        "field-0-without-name", "fields-in-numeric-order", "components-in-numeric-order",
        "repetitions-in-numeric-order",
    ],
)
def test_line_shape(records, text):
    assert JsonHl7(records).hl7_string == text


# Sixty keys, all but three of them naming (3, 0, 0): more than a sort keeps in order by chance.
ALIASES = [form.format("0" * k) for k in range(12) for form in ("{}3", "+{}3", "3.{}", "3[{}]", "3[0].{}")]


@pytest.mark.parametrize(
    ("record", "text"),
    [
        ({"3": "A", "3[1]": "B"}, "||A~B"), ({"5": "W", "5.1": "A"}, "||||A"),
        ({"5.0": "W", "5.2": "B"}, "||||^B"), ({"3[1]": "W", "3[1].2": "B"}, "||~^B"),
        ({"5.0": "W"}, "||||W"), ({"3[1].0": "W"}, "||~W"), ({"3": "W", "3[0]": "R"}, "||R"),
        ({"03": "Z", "3": "W"}, "||W"), ({"3": "W", "3.0": "C"}, "||C"), ({"+3": "P", "03": "Z"}, "||Z"),
        ({"3[1]": "A", "3[1]x": "B"}, "||~B"), ({"3.1": "B", "3[0].1": "A"}, "||A"),
        ({key: key for key in ALIASES}, "||3[0].00000000000"),
    ],
    ids=[
        "whole-value-and-repetition", "components-beat-whole-value", "whole-value-is-not-component-1",
        "components-beat-repetition-value", "component-0-is-the-whole-value", "repetition-component-0",
        "n[0]-beats-n", "n-beats-leading-zero", "n.0-beats-n", "leading-zero-beats-plus",
        "suffixed-repetition-beats-plain", "repetition-0-component-beats-n.c", "many-aliases-last-wins",
    ],
)
def test_later_key_in_byte_order_wins(record, text):
    assert JsonHl7([record]).hl7_string == text


KEY_FORMS = {  # the text of {"segment_name": "ZZZ", "1": "a", key: "v"}; "ZZZ|a" when the key names no place
    "plus": ("+3", "ZZZ|a||v"), "leading-zeros": ("0003", "ZZZ|a||v"), "plus-everywhere": ("+3.+2", "ZZZ|a||^v"),
    "leading-zeros-everywhere": ("03[01].02", "ZZZ|a||~^v"), "plus-repetition": ("3[+1]", "ZZZ|a||~v"),
    "text-after-bracket": ("3[1]x", "ZZZ|a||~v"), "second-bracket-pair": ("3[1][2]", "ZZZ|a||~v"),
    "repetition-component": ("3[1].2", "ZZZ|a||~^v"),
    **{f"ignored-{id_}": (key, "ZZZ|a") for id_, key in {
        "minus": "-3", "trailing-dot": "3.", "leading-dot": ".1", "two-dots": "3.1.2", "empty-brackets": "3[]",
        "letter-repetition": "3[x]", "letter-field": "x[1]", "trailing-dot-after-bracket": "3[1].",
        "letter-component": "3[1].x", "component-then-bracket": "3.1[0]", "brackets-reversed": "]3[",
        "past-64-bits": "18446744073709551616", "repetition-past-64-bits": "3[18446744073709551616]",
        "lone-plus": "+", "two-pluses": "++3", "leading-space": " 3", "arabic-indic-digit": "\u0663", "empty": "",
        "name-capitalised": "Segment_name", "word": "note",
    }.items()},
}


@pytest.mark.parametrize(("key", "text"), KEY_FORMS.values(), ids=KEY_FORMS.keys())
def test_key_forms(key, text):
    assert JsonHl7([{"segment_name": "ZZZ", "1": "a", key: "v"}]).hl7_string == text


class TestEscaping:
    @pytest.mark.parametrize(
        ("value", "written"),
        [
            ("A|B", "A\\F\\B"), ("A^B", "A\\S\\B"), ("A~B", "A\\R\\B"), ("A&B", "A\\T\\B"), ("A\\B", "A\\E\\B"),
            ("a\tb", "a\\X09\\b"), ("a\rb", "a\\X0D\\b"), ("a\nb", "a\\X0A\\b"), ("a\r\nb", "a\\X0D\\\\X0A\\b"),
            ("DOE JOHN", "DOE JOHN"), (" ", " "), ("\\F\\", "\\E\\F\\E\\"), ("é中😀\x00\x0b", "é中😀\x00\x0b"),
            ("", ""),
        ],
        ids=[
            "field-separator", "component-separator", "repetition-separator", "subcomponent-separator",
            "escape-character", "tab", "carriage-return", "line-feed", "cr-lf-two-sequences", "space-as-itself", "only-a-space",
            "escape-sequence-text", "other-characters", "empty",
        ],
    )
    def test_value(self, value, written):
        record = {"segment_name": "ZZZ", "1": value, "2.2": value, "3[1]": value, "4[1].2": value}
        assert JsonHl7([record]).hl7_string == f"ZZZ|{written}|^{written}|~{written}|~^{written}"

    @pytest.mark.parametrize("name", ["P^D~\\&|", "A\nB", " P D "], ids=["delimiters", "line-feed", "spaces"])
    def test_segment_name_verbatim(self, name):
        assert JsonHl7([{"segment_name": name, "1": "a b"}]).hl7_string == name + "|a b"



class TestEncodingCharacters:
    """An MSH record's field 1 (MSH-2) is written as it is when it reads back
    the same; otherwise it is escaped like every other value."""

    @pytest.mark.parametrize(
        ("record", "text"),
        [
            ({"segment_name": "MSH", "1": "^~\\&", "2": "A B"}, "MSH|^~\\&|A B"),
            ({"segment_name": "MSH", "1.1": "", "1.2": "~\\&", "2": "APP"}, "MSH|^~\\&|APP"),
            ({"segment_name": "MSH", "1": "^~\\&#"}, "MSH|^~\\&#"),
            (Hl7Json("MSH|^~\\}|APP").hl7_json[0], "MSH|^~\\}|APP"),
            (Hl7Json("MSH|^~\\}|APP", escaping_enabled=False).hl7_json[0], "MSH|^~\\}|APP"),
            # Raw, "^~\\&" reads back the same only without decoding, which
            # would turn the doubled backslash into one: escaped instead.
            (Hl7Json("MSH|^~\\\\&|APP", escaping_enabled=False).hl7_json[0], "MSH|^~\\E\\\\E\\\\T\\|APP"),
            # Decoded, "^~\\&" has repetitions that "^~\&" would not give back.
            (Hl7Json("MSH|^~\\\\&|APP").hl7_json[0], "MSH|^~\\E\\\\T\\|APP"),
            ({"segment_name": "MSH", "1": "^~\\}"}, "MSH|\\S\\\\R\\\\E\\}"),
            ({"segment_name": "MSH", "1": "^~\\&", "1.1": "x"}, "MSH|x"),
            ({"segment_name": "MSH", "1": "^~\\&", "1.2": "~\\&"}, "MSH|^\\R\\\\E\\\\T\\"),
            ({"segment_name": "MSH", "1": "^~|&"}, "MSH|\\S\\\\R\\\\F\\\\T\\"),
            ({"segment_name": "MSH", "1": "^~\\&\r"}, "MSH|\\S\\\\R\\\\E\\\\T\\\\X0D\\"),
            ({"segment_name": "MSH", "1": "^~\\&##"}, "MSH|\\S\\\\R\\\\E\\\\T\\##"),
            ({"segment_name": "MSH", "1": "^~"}, "MSH|\\S\\\\R\\"),
            ({"segment_name": "MSX", "1": "^~\\&"}, "MSX|\\S\\\\R\\\\E\\\\T\\"),
            ({"segment_name": "msh", "1": "^~\\&"}, "msh|\\S\\\\R\\\\E\\\\T\\"),
            ({"segment_name": "MSH", "1": "#", "2.1": "a", "2.2": "b"}, "MSH|#|a^b"),
        ],
        ids=[
            "key-1", "decoded-components", "truncation-character", "other-escape-character-decoded",
            "other-escape-character-raw", "doubled-backslash-raw", "doubled-backslash-decoded",
            "key-1-not-what-hl7json-gives", "components-win-over-whole-value", "whole-value-also-declared",
            "field-separator", "carriage-return", "six-characters", "two-characters", "other-name", "lower-case",
            "delimiters-not-taken-from-msh",
        ],
    )
    def test_written(self, record, text):
        assert JsonHl7([record]).hl7_string == text

    @pytest.mark.parametrize("escaping", [True, False], ids=["decoded", "raw"])
    @pytest.mark.parametrize("encoding", ["^~\\&", "^~\\&#", "^~\\}", "#~\\&", "^~\\\\&"])
    def test_written_as_received(self, encoding, escaping):
        header = f"MSH|{encoding}|APP|FAC"
        records = Hl7Json(header, escaping_enabled=escaping).hl7_json
        escaped = "^~\\E\\\\T\\" if escaping else "^~\\E\\\\E\\\\T\\"
        expected = encoding if encoding != "^~\\\\&" else escaped
        assert JsonHl7(records).hl7_string == f"MSH|{expected}|APP|FAC"

    @pytest.mark.parametrize(
        "header", ["MSH|^~\\&|A", "MSH|^~\\\\&|A", "MSH|^\\\\\\&|A", "MSH|^~|\\&|A", "MSH|^|A", "MSH|~\\&^|A", "MSH"]
    )
    def test_round_trip(self, header):
        records = Hl7Json(header).hl7_json
        assert Hl7Json(JsonHl7(records).hl7_string).hl7_json == records


@PROPERTY_SETTINGS
@given(records=ref.record_lists)
def test_generated_records_against_reference(records):
    assert JsonHl7(records).hl7_string == "\n".join(ref.line(record) for record in records)


# --- The bound on line size (more rows in test_bad_input.py) ---


class TestLineBound:
    @pytest.mark.parametrize(
        ("records", "index", "key"),
        [
            ([{"segment_name": "ZZZ", "4294967296": "x"}], 0, "4294967296"),
            ([{"segment_name": "A"}, {}, {"1.18446744073709551615": "x"}], 2, "1.18446744073709551615"),
            ([{"16777218": "x"}], 0, "16777218"),
            ([{"1.16777218": "x"}], 0, "1.16777218"),
            ([{"segment_name": "ZZZ", "1.16777217": "x"}], 0, "1.16777217"),
            ([{"segment_name": "Z", "8388608[8388609]": "x"}], 0, "8388608[8388609]"),
            ([{f"{f}[1000000]": "x" for f in range(1, 21)}], 0, "17[1000000]"),
            ([{f"{f}[2000000]": "x" for f in range(1, 12)}], 0, "9[2000000]"),
        ],
        ids=[
            "field-2^32", "component-2^64-1", "one-past-without-name", "components-one-past", "name-pipe-counts",
            "pipes-and-tildes-one-past", "sum-over-20-fields", "first-in-line-order-not-key-order",
        ],
    )
    def test_refused(self, raises_hl7_error, records, index, key):
        obj = JsonHl7(records)
        with raises_hl7_error(too_far(index, key)):
            obj.hl7_string

    @pytest.mark.parametrize(
        ("records", "pieces"),
        [
            ([{"1[16777216]": "x"}], [("~", LIMIT), ("x", 1)]),
            ([{"1.16777217": "x"}], [("^", LIMIT), ("x", 1)]),
            ([{"segment_name": "Z", "8388608[8388608]": "x"}], [("Z", 1), ("|", 8388608), ("~", 8388608), ("x", 1)]),
            ([{"1[8388609]": "x"}, {"1[8388608]": "x"}], [("~", 8388609), ("x\n", 1), ("~", 8388608), ("x", 1)]),
            ([{"segment_name": "ZZZ", "0[18446744073709551615]": "x", "18446744073709551616": "y", "1": "a"}],
             [("ZZZ|a", 1)]),
        ],
        ids=["repetitions-at-limit", "components-at-limit", "pipes-and-tildes-at-limit",
             "gaps-over-two-lines-at-the-message-limit", "ignored-keys-take-no-room"],
    )
    def test_accepted(self, records, pieces):
        assert JsonHl7(records).hl7_string == "".join(text * count for text, count in pieces)

    @pytest.mark.parametrize(
        ("records", "index", "key"),
        [
            ([{"16777216": "x"}] * 100, 1, "16777216"),
            ([{"1[8388609]": "x"}, {"1[8388610]": "x"}], 1, "1[8388610]"),
            ([{"segment_name": "MSH", "1": "^~\\&", "2.5000000": "x"}] * 4, 3, "2.5000000"),
            ([{"segment_name": "A", "9000000": "x"}, {"1.9000000": "x"}], 1, "1.9000000"),
        ],
        ids=["a-hundred-records-of-a-far-field", "two-lines-one-past", "headers-take-the-general-path",
             "fields-then-components"],
    )
    def test_gaps_refused_over_the_message(self, raises_hl7_error, records, index, key):
        with raises_hl7_error(too_many_gaps(index, key)):
            JsonHl7(records).hl7_string

    @pytest.mark.parametrize(
        "key", ["1[0].3000000000", "1[0].9940113085841", "1[3000000000]", "3000000000"],
    )
    def test_header_field_one_bound_checked_first(self, raises_hl7_error, key):
        # The header's encoding characters are assembled only when they can
        # be four or five characters: never gigabytes of carets first.
        with raises_hl7_error(too_far(0, key)):
            JsonHl7([{"segment_name": "MSH", "1[0].1": "", key: ""}]).hl7_string

    def test_header_with_a_long_field_one_is_escaped(self):
        text = JsonHl7([{"segment_name": "MSH", "1[0].1": "", "1[0].100000": "&"}]).hl7_string
        assert text == "MSH|" + "^" * 99999 + "\\T\\"


# --- Construction ---


class RecordDict(dict):
    pass


class Text(str):
    pass


class RecordSourceError(Exception):
    pass


STR_REFUSED = (
    "a str cannot be converted to a sequence of records; pass a list of dicts "
    "(JsonHl7.from_file reads JSON text from a file)"
)


class TestConstructor:
    @pytest.mark.parametrize(
        "make",
        [
            lambda recs: recs, tuple, lambda recs: [collections.OrderedDict(r) for r in recs],
            lambda recs: [RecordDict(r) for r in recs],
            lambda recs: [{Text(k): Text(v) for k, v in r.items()} for r in recs],
        ],
        ids=["list", "tuple", "ordered-dicts", "dict-subclass", "str-subclass-keys-and-values"],
    )
    def test_accepted_shape(self, make):
        obj = JsonHl7(make(WORKED_RECORDS))
        assert obj.hl7_string == WORKED_TEXT
        assert items(obj.json_data) == [sorted(r.items(), key=lambda kv: kv[0].encode()) for r in WORKED_RECORDS]
        assert all(type(r) is dict and all(type(k) is str and type(v) is str for k, v in r.items())
                   for r in obj.json_data)

    def test_keyword_and_empty(self):
        assert JsonHl7(json_data=WORKED_RECORDS).hl7_string == WORKED_TEXT
        assert (JsonHl7([]).hl7_string, JsonHl7([]).json_data, JsonHl7(()).json_data) == ("", [], [])

    @pytest.mark.parametrize("size_error", [True, False], ids=["len-raises", "len-too-small"])
    def test_length_is_only_a_hint(self, size_error):
        class Records:
            def __len__(self):
                if size_error:
                    raise RuntimeError("no size")
                return 0

            def __getitem__(self, index):
                if index < 2:
                    return {"segment_name": f"S{index}"}
                raise IndexError(index)

        assert JsonHl7(Records()).hl7_string == "S0\nS1"

    @pytest.mark.parametrize(
        ("value", "message"),
        [
            ("x", STR_REFUSED), ("", STR_REFUSED), (Text("[]"), STR_REFUSED),
            ({"1": "a"}, "'dict' object cannot be converted to a sequence of records (a list or tuple of dicts)"),
            ([{"1": "a"}, 1], "item 1 is a 'int' object, not a dict of str to str"),
            ([{1: "a"}], "item 0 has a key of type 'int', not str"),
            ([{"1": "a"}, {"1": "b", "2": 1}], "item 1, key '2': value is a 'int' object, not a str"),
        ],
        ids=["str", "empty-str", "str-subclass", "not-a-sequence", "item-not-a-dict", "key-not-a-str",
             "value-not-a-str"],
    )
    def test_refused_with_message(self, raises_type_error, value, message):
        with raises_type_error(f"argument 'json_data': {message}"):
            JsonHl7(value)

    # 800 records of 70 entries are a large message, whose dicts are read a
    # stretch of entries ahead of their checks; one record is a small one.
    # The bad entry comes first, within, at the end of or after a stretch.
    @pytest.mark.parametrize("count", [1, 800], ids=["small", "large"])
    @pytest.mark.parametrize("at", [0, 5, 31, 32, 40, 69])
    @pytest.mark.parametrize("bad", ["int-value", "int-key", "surrogate-value", "surrogate-key"])
    def test_refusal_within_a_record_lets_go_what_it_took(self, count, at, bad):
        keys = [str(k) for k in range(1, 71)]
        values = [f"value {k}" for k in keys]
        records = [dict(zip(keys, values, strict=True)) for _ in range(count)]
        last = dict(zip(keys, values, strict=True))
        items = list(last.items())
        if bad == "int-value":
            items[at] = (keys[at], at)
            error, message = TypeError, f"item {count - 1}, key '{keys[at]}': value is a 'int' object, not a str"
        elif bad == "int-key":
            items[at] = (at, values[at])
            error, message = TypeError, f"item {count - 1} has a key of type 'int', not str"
        elif bad == "surrogate-value":
            items[at] = (keys[at], "a\ud800b")
            error, message = UnicodeEncodeError, "surrogates not allowed"
        else:
            items[at] = ("\ud800", values[at])
            error, message = UnicodeEncodeError, "surrogates not allowed"
        records[-1] = dict(items)
        # The key table keeps the keys it has met; the values only the records.
        before = [sys.getrefcount(o) for o in values]
        with pytest.raises(error, match=re.escape(message)):
            JsonHl7(records)
        assert [sys.getrefcount(o) for o in values] == before

    @pytest.mark.parametrize("count", [1, 800], ids=["small", "large"])
    def test_str_subclasses_write_as_their_text(self, count):
        keys = [str(k) for k in range(1, 71)]
        plain = [{"segment_name": "ZZZ", **{k: f"v{k}|é" for k in keys}} for _ in range(count)]
        given = [{Text(k): Text(v) for k, v in record.items()} for record in plain]
        given[-1] = {k: v for k, v in plain[-1].items()}
        given[-1]["5"] = Text("\u20ac^")
        plain[-1]["5"] = "\u20ac^"
        assert JsonHl7(given).hl7_string == JsonHl7(plain).hl7_string

    @pytest.mark.parametrize(
        ("value", "type_name"),
        [
            ({"a"}, "set"), ((r for r in []), "generator"), (iter([]), "list_iterator"), (None, "NoneType"),
            ([[("1", "a")]], "list"), ([{"1": None}], "NoneType"), ([{"1": b"x"}], "bytes"),
            ([collections.UserDict({"1": "a"})], "UserDict"), ([types.MappingProxyType({"1": "a"})], "mappingproxy"),
        ],
        ids=["set", "generator", "iterator", "none", "list-of-pairs", "none-value", "bytes-value", "user-dict",
             "mapping-proxy"],
    )
    def test_refused_type(self, raises_conversion_error, value, type_name):
        with raises_conversion_error("json_data", type_name):
            JsonHl7(value)

    @pytest.mark.parametrize("error", [RecordSourceError("custom"), TypeError("from the sequence")],
                             ids=["custom-exception", "type-error"])
    @pytest.mark.parametrize("where", ["getitem", "iter"])
    def test_caller_error_passes_through(self, error, where):
        class Records:
            def __len__(self):
                return 2

            def __getitem__(self, index):
                if index == 0:
                    return {"1": "a"}
                raise error

            if where == "iter":
                def __iter__(self):
                    yield {"1": "a"}
                    raise error

        with pytest.raises(BaseException) as excinfo:
            JsonHl7(Records())
        assert excinfo.value is error


# --- Reading the object ---


class TestReads:
    def test_fresh_and_detached(self):
        source = [dict(r) for r in WORKED_RECORDS]
        obj = JsonHl7(source)
        first, second = obj.json_data, obj.json_data
        assert first == second == WORKED_RECORDS
        assert first is not second and first[0] is not second[0]
        first[0]["1"] = "changed"
        first.append({"segment_name": "NEW"})
        source[1]["3"] = "changed"
        source.append({"segment_name": "NEW"})
        assert obj.json_data == WORKED_RECORDS
        texts = [obj.hl7_string, obj._convert_json_to_hl7(), obj.hl7_string]
        assert texts == [WORKED_TEXT] * 3
        assert texts[0] is not texts[1] and texts[0] is not texts[2]


# --- JSON files (unreadable, blank and non-UTF-8 files are in test_bad_input.py) ---


class TestFromFileAccepts:
    @pytest.mark.parametrize(
        ("content", "expected"),
        [
            ("[{}, {}]", [{}, {}]),
            ('[{"5": "x", "10": "y", "segment_name": "Z"}]', [{"10": "y", "5": "x", "segment_name": "Z"}]),
            ('[{"1": "\\u00e9\\n\\t\\"\\\\\\/"}]', [{"1": "é\n\t\"\\/"}]),
            ('[{"é中": "😀", "": ""}]', [{"": "", "é中": "😀"}]),
            ('[\n{"a": "b"}\n,\n\n{"c": "d"}\n]\n', [{"a": "b"}, {"c": "d"}]),
        ],
        ids=[
            "empty-objects", "member-order-irrelevant", "escaped-strings", "raw-utf8-and-empty-name",
            "line-breaks-between",
        ],
    )
    def test_records(self, tmp_path, content, expected):
        assert items(JsonHl7.from_file(write(tmp_path, content)).json_data) == items(expected)

    def test_text_keyword_and_instance_call(self, tmp_path):
        path = write(tmp_path, json.dumps(WORKED_RECORDS))
        assert JsonHl7.from_file(path).hl7_string == WORKED_TEXT
        obj = JsonHl7([{"segment_name": "OLD"}])
        loaded = obj.from_file(path=path)
        assert type(loaded) is JsonHl7 and loaded is not obj
        assert (loaded.hl7_string, obj.hl7_string) == (WORKED_TEXT, "OLD")


class TestFromFileRefuses:
    @pytest.mark.parametrize(
        "content",
        ['"[]"', '[{"a": false}]', '[{"a": {}}]', '["x"]', "[] x", "[][]", '[{a: "b"}]', "\u00a0[]", "[",
         '[{"a": "b"}'],
        ids=["string", "member-boolean", "member-object", "element-string", "trailing-text", "two-arrays", "bare-name",
             "no-break-space-is-not-json-white-space", "unfinished-array", "unfinished-object"],
    )
    def test_invalid_json(self, tmp_path, content):
        with pytest.raises(Exception) as excinfo:
            JsonHl7.from_file(write(tmp_path, content))
        assert type(excinfo.value) is Exception
        assert str(excinfo.value).startswith(INVALID_JSON), excinfo.value
        assert re.search(r" \(line [1-9][0-9]*, column [1-9][0-9]*\)$", str(excinfo.value)), excinfo.value

    @pytest.mark.parametrize(
        ("content", "message"),
        [
            ("\n  {\"a\": \"b\"}", "expected an array of records, found an object (line 2, column 3)"),
            ("[\n {},\n {},\n  []\n]", "record 2: expected an object, found an array (line 4, column 3)"),
            ('[\n {"a": "b"},\n {"5.1":5}\n]',
             "record 1, member '5.1': expected a string, found a number (line 3, column 9)"),
            ('[{"é中":"x","b":null}]', "record 0, member 'b': expected a string, found null (line 1, column 16)"),
        ],
        ids=["top-level-object", "record-not-object", "member-not-string", "columns-count-characters"],
    )
    def test_shape_error_names_the_place(self, tmp_path, raises_hl7_error, content, message):
        with raises_hl7_error(INVALID_JSON + message):
            JsonHl7.from_file(write(tmp_path, content))

    def test_syntax_error_names_the_place(self, tmp_path):
        with pytest.raises(Exception) as excinfo:
            JsonHl7.from_file(write(tmp_path, "[]\n\n  ,"))
        assert str(excinfo.value).startswith(INVALID_JSON)
        assert str(excinfo.value).endswith(" (line 3, column 3)")


# --- Round trip ---


def assert_round_trip(records, folder: Path):
    """Records -> HL7 text -> the same records; and the same text from the records' JSON file."""
    text = JsonHl7(records).hl7_string
    assert items(Hl7Json(text).hl7_json) == items(records)
    for ensure_ascii in (True, False):
        loaded = JsonHl7.from_file(write(folder, json.dumps(records, ensure_ascii=ensure_ascii)))
        assert loaded.hl7_string == text
        assert items(loaded.json_data) == items(records)


@pytest.fixture(scope="module")
def json_folder(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("round-trip")


class TestRoundTrip:
    @PROPERTY_SETTINGS
    @given(text=st.one_of(st.text(), ref.hl7_texts))
    def test_generated_text(self, json_folder, text):
        assert_round_trip(Hl7Json(text).hl7_json, json_folder)

    @pytest.mark.parametrize("path", DATA_FILES, ids=[p.name for p in DATA_FILES])
    def test_sample_file(self, tmp_path, path):
        assert_round_trip(Hl7Json.from_file(str(path)).hl7_json, tmp_path)
