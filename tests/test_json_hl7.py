"""JsonHl7: records back to HL7 text, the line bound, construction, JSON files and the round trip.

Assembly is checked on tables of records and, on generated records, against
a small pure-Python reference assembler written from the key scheme. The
round trip HL7 text -> records -> HL7 text -> records is checked on generated
text, the sample files and the corpus.
"""

from __future__ import annotations

import collections
import json
import re
import types
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brenvolt import Hl7Json, JsonHl7

def is_utf8(path: Path) -> bool:
    try:
        path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


# Hl7Json cannot load a sample that is not UTF-8, so it has no records to send back.
DATA_FILES = [p for p in sorted((Path(__file__).resolve().parent / "data").glob("*.hl7")) if is_utf8(p)]
LIMIT = 16_777_216
INVALID_JSON = "HL7 invalid format: Invalid JSON: "
PROPERTY_SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def items(records):
    return [list(record.items()) for record in records]


def write(folder: Path, content) -> str:
    path = folder / "records.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


def too_far(index: int, key: str) -> str:
    return (
        f"HL7 encoding error: record {index}: key '{key}' names a position beyond the limit of "
        f"{LIMIT} delimiters per segment line"
    )


# ---------------------------------------------------------------------------
# Reference assembler
# ---------------------------------------------------------------------------

ESCAPES = {"|": "\\F\\", "^": "\\S\\", "~": "\\R\\", "&": "\\T\\", "\\": "\\\\"}
ESCAPES |= {"\t": "\\X09\\", "\n": "\\X0A\\", "\r": "\\X0D\\", " ": "\\X20\\"}


def ref_number(text: str):
    text = text[1:] if text.startswith("+") else text
    if not text or any(ch not in "0123456789" for ch in text) or int(text) >= 2**64:
        return None
    return int(text)


def ref_position(key: str):
    if not key:
        return None
    if (n := ref_number(key)) is not None:
        return n, 0, 0
    if "[" in key and "]" in key:
        open_, close = key.index("["), key.index("]")
        if close < open_:
            return None
        n, r = ref_number(key[:open_]), ref_number(key[open_ + 1 : close])
        if n is None or r is None:
            return None
        rest = key[close + 1 :]
        if not rest.startswith("."):
            return n, r, 0
        c = ref_number(rest[1:])
        return None if c is None else (n, r, c)
    pieces = key.split(".")
    if len(pieces) != 2 or None in (n := ref_number(pieces[0]), c := ref_number(pieces[1])):
        return None
    return n, 0, c


def ref_line(record: dict) -> str:
    table: dict = {}
    for key in sorted(record, key=str.encode):
        if key != "segment_name" and (pos := ref_position(key)) is not None:
            table.setdefault(pos[0], {}).setdefault(pos[1], {})[pos[2]] = "".join(
                ESCAPES.get(ch, ch) for ch in record[key]
            )
    parts = [record["segment_name"]] if "segment_name" in record else []
    for f in range(1, max(table, default=0) + 1):
        texts = []
        for r in range(max(table.get(f, {}), default=-1) + 1):
            slots = table[f].get(r, {})
            top = max(slots, default=0)
            texts.append("^".join(slots.get(c, "") for c in range(1, top + 1)) if top else slots.get(0, ""))
        parts.append("~".join(texts))
    return "|".join(parts)


NUMBERS = st.integers(0, 12).map(str) | st.sampled_from(["+3", "03", "+0", "007", "+", "", "-1", " 2", "\u0663"])
KEYS = st.one_of(
    NUMBERS,
    st.builds("{}.{}".format, NUMBERS, NUMBERS),
    st.builds("{}[{}]".format, NUMBERS, NUMBERS),
    st.builds("{}[{}].{}".format, NUMBERS, NUMBERS, NUMBERS),
    st.builds("{}[{}]{}".format, NUMBERS, NUMBERS, st.sampled_from(["x", "]", "[1]", ".", ".x", ".1.2"])),
    st.sampled_from(["segment_name", "note", "]3[", "3.1.2", "3.1[0]", "18446744073709551616", "1.2.3"]),
)
VALUES = st.text(alphabet=st.sampled_from(list("|^~&\\\t\r\n aZ9é😀\x00")), max_size=6)
RECORDS = st.lists(st.dictionaries(KEYS, VALUES, max_size=8), max_size=4)

HL7_CHARACTERS = list("|^~\\&\r\n \tFSRETXH0129az.-é中½\u00a0😀\x00")
HL7_TOKENS = ["\\F\\", "\\S\\", "\\R\\", "\\E\\", "\\T\\", "\\X0D\\", "\\X0A\\", "\\X0D0A\\", "\\X20\\", "\\X09\\"]
HL7_TOKENS += ["\\H\\", "\\X41\\", "\\.br\\", "\\Z", "^~\\&", "MSH|^~\\&|", "\rPID|", "\r\n", "ab"]
HL7_TEXTS = st.one_of(
    st.text(alphabet=st.sampled_from(HL7_CHARACTERS), max_size=80),
    st.lists(st.sampled_from(HL7_TOKENS + HL7_CHARACTERS), max_size=40).map("".join),
)

WORKED_RECORDS = [
    {"segment_name": "PID", "1": "1", "3[0].1": "123", "3[0].4": "HOSP", "3[1]": "456", "5.1": "DOE", "5.2": "JOHN",
     "note": "x"},
    {"segment_name": "OBX", "2": "ST", "3": "R&D", "5[2]": "Z"},
]
WORKED_TEXT = "PID|1||123^^^HOSP~456||DOE^JOHN\nOBX||ST|R\\T\\D||~~Z"


# ---------------------------------------------------------------------------
# Assembly
# ---------------------------------------------------------------------------


class TestLineShape:
    @pytest.mark.parametrize(
        ("records", "text"),
        [
            ([], ""), (WORKED_RECORDS, WORKED_TEXT), ([{}], ""), ([{}, {"segment_name": "PID"}], "\nPID"),
            ([{"segment_name": "A"}, {}, {"segment_name": "B"}], "A\n\nB"), ([{"segment_name": "PID"}], "PID"),
            ([{"segment_name": ""}], ""), ([{"segment_name": "", "1": "a"}], "|a"), ([{"1": "A", "2": "B"}], "A|B"),
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
            "no-records", "worked-example", "empty-record", "empty-record-then-name", "empty-line-between",
            "name-only", "empty-name", "empty-name-still-a-part", "no-name", "missing-fields", "missing-components",
            "missing-repetitions", "empty-value-still-placed", "empty-component-still-placed",
            "gaps-within-one-field", "field-0-with-name", "field-0-without-name", "fields-in-numeric-order",
            "components-in-numeric-order", "repetitions-in-numeric-order"
        ],
    )
    def test_text(self, records, text):
        assert JsonHl7(records).hl7_string == text


# Sixty keys, all but three of them naming (3, 0, 0): more than a sort keeps in order by chance.
ALIASES = [form.format("0" * k) for k in range(12) for form in ("{}3", "+{}3", "3.{}", "3[{}]", "3[0].{}")]


class TestPositionPrecedence:
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
            "suffixed-repetition-beats-plain", "repetition-0-component-beats-n.c", "many-aliases-last-wins"
        ],
    )
    def test_later_key_in_byte_order_wins(self, record, text):
        assert JsonHl7([record]).hl7_string == text


class TestKeyForms:
    @pytest.mark.parametrize(
        ("key", "text"),
        [
            ("+3", "ZZZ|a||v"), ("03", "ZZZ|a||v"), ("0003", "ZZZ|a||v"), ("+3.+2", "ZZZ|a||^v"),
            ("03[01].02", "ZZZ|a||~^v"), ("3[+1]", "ZZZ|a||~v"), ("3[1]x", "ZZZ|a||~v"), ("3[1]]", "ZZZ|a||~v"),
            ("3[1][2]", "ZZZ|a||~v"), ("3[1].2", "ZZZ|a||~^v"),
        ],
        ids=["plus", "leading-zero", "leading-zeros", "plus-everywhere", "leading-zeros-everywhere",
             "plus-repetition", "text-after-bracket", "second-close-bracket", "second-bracket-pair",
             "repetition-component"],
    )
    def test_accepted(self, key, text):
        assert JsonHl7([{"segment_name": "ZZZ", "1": "a", key: "v"}]).hl7_string == text

    @pytest.mark.parametrize(
        "key",
        [
            "-3", "3.", ".1", "3.1.2", "3[]", "3[x]", "x[1]", "3[1].", "3[1].x", "3.1[0]", "]3[", "1" * 21,
            "18446744073709551616", "3[18446744073709551616]", "+", "++3", "+-3", " 3", "3 ", "\u0663", "\uff13",
            "", "3[-1]", "3[1].+", "segment_name ", "Segment_name", "note",
        ],
        ids=[
            "minus", "trailing-dot", "leading-dot", "two-dots", "empty-brackets", "letter-repetition",
            "letter-field", "trailing-dot-after-bracket", "letter-component", "component-then-bracket",
            "brackets-reversed", "21-digits", "past-64-bits", "repetition-past-64-bits", "lone-plus", "two-pluses",
            "plus-minus", "leading-space", "trailing-space", "arabic-indic-digit", "fullwidth-digit", "empty",
            "negative-repetition", "lone-plus-component", "name-with-space", "name-capitalised", "word"
        ],
    )
    def test_ignored(self, key):
        assert JsonHl7([{"segment_name": "ZZZ", "1": "a", key: "v"}]).hl7_string == "ZZZ|a"


class TestEscaping:
    @pytest.mark.parametrize(
        ("value", "written"),
        [
            ("A|B", "A\\F\\B"), ("A^B", "A\\S\\B"), ("A~B", "A\\R\\B"), ("A&B", "A\\T\\B"), ("A\\B", "A\\\\B"),
            ("a\tb", "a\\X09\\b"), ("a\rb", "a\\X0D\\b"), ("a\nb", "a\\X0A\\b"), ("a\r\nb", "a\\X0D\\\\X0A\\b"),
            ("DOE JOHN", "DOE\\X20\\JOHN"), ("\\F\\", "\\\\F\\\\"), ("é中😀\x00\x0b", "é中😀\x00\x0b"),
            ("", ""),
        ],
        ids=[
            "field-separator", "component-separator", "repetition-separator", "subcomponent-separator",
            "escape-character", "tab", "carriage-return", "line-feed", "cr-lf-two-sequences", "space",
            "escape-sequence-text", "other-characters", "empty"
        ],
    )
    def test_value(self, value, written):
        record = {"segment_name": "ZZZ", "1": value, "2.2": value, "3[1]": value, "4[1].2": value}
        assert JsonHl7([record]).hl7_string == f"ZZZ|{written}|^{written}|~{written}|~^{written}"

    @pytest.mark.parametrize(
        "name", ["P|D", "P^D~\\&", "A\nB", "MSH\r", " P D ", "é"],
        ids=["pipe", "delimiters", "line-feed", "carriage-return", "spaces", "non-ascii"],
    )
    def test_segment_name_verbatim(self, name):
        assert JsonHl7([{"segment_name": name, "1": "a b"}]).hl7_string == name + "|a\\X20\\b"

    @pytest.mark.parametrize(
        ("record", "text"),
        [
            ({"segment_name": "MSH", "1": "^~\\&", "2": "APP"}, "MSH|\\S\\\\R\\\\\\\\T\\|APP"),
            (Hl7Json("MSH|^~\\&|APP").hl7_json[0], "MSH|^\\R\\\\\\\\T\\|APP"),
            ({"segment_name": "MSH", "1": "#", "2.1": "a", "2.2": "b"}, "MSH|#|a^b"),
        ],
        ids=["key-1-escaped", "decoded-encoding-characters", "delimiters-not-taken-from-msh"],
    )
    def test_msh_is_not_special(self, record, text):
        assert JsonHl7([record]).hl7_string == text


class TestAgainstReference:
    @PROPERTY_SETTINGS
    @given(records=RECORDS)
    def test_generated_records(self, records):
        assert JsonHl7(records).hl7_string == "\n".join(ref_line(record) for record in records)


# ---------------------------------------------------------------------------
# The bound on line size
# ---------------------------------------------------------------------------


class TestLineBound:
    @pytest.mark.parametrize(
        ("records", "index", "key"),
        [
            ([{"segment_name": "ZZZ", "4294967296": "x"}], 0, "4294967296"),
            ([{}, {"5[18446744073709551615]": "x"}], 1, "5[18446744073709551615]"),
            ([{"segment_name": "A"}, {}, {"1.18446744073709551615": "x"}], 2, "1.18446744073709551615"),
            ([{"18446744073709551615": "x"}], 0, "18446744073709551615"),
            ([{"segment_name": "ZZZ", "16777217": "x"}], 0, "16777217"),
            ([{"16777218": "x"}], 0, "16777218"),
            ([{"1[16777217]": "x"}], 0, "1[16777217]"),
            ([{"1.16777218": "x"}], 0, "1.16777218"),
            ([{"segment_name": "ZZZ", "1.16777217": "x"}], 0, "1.16777217"),
            ([{"segment_name": "Z", "8388608[8388609]": "x"}], 0, "8388608[8388609]"),
            ([{f"{f}[1000000]": "x" for f in range(1, 21)}], 0, "17[1000000]"),
            ([{f"{f}[2000000]": "x" for f in range(1, 12)}], 0, "9[2000000]"),
            ([{"1": "a", "4294967296": "x", "5[18446744073709551615]": "y"}], 0, "5[18446744073709551615]"),
        ],
        ids=[
            "field-2^32", "repetition-2^64-1", "component-2^64-1", "field-2^64-1", "one-past-with-name",
            "one-past-without-name", "repetitions-one-past", "components-one-past", "name-pipe-counts",
            "pipes-and-tildes-one-past", "sum-over-20-fields", "first-in-line-order-not-key-order",
            "first-position-not-first-key"
        ],
    )
    def test_refused(self, raises_hl7_error, records, index, key):
        obj = JsonHl7(records)
        for read in (lambda: obj.hl7_string, obj._convert_json_to_hl7):
            with raises_hl7_error(too_far(index, key)):
                read()
        assert obj.json_data == records

    @pytest.mark.parametrize(
        ("records", "pieces"),
        [
            ([{"segment_name": "ZZZ", "16777216": "x"}], [("ZZZ", 1), ("|", LIMIT), ("x", 1)]),
            ([{"16777217": "x"}], [("|", LIMIT), ("x", 1)]),
            ([{"1[16777216]": "x"}], [("~", LIMIT), ("x", 1)]),
            ([{"1.16777217": "x"}], [("^", LIMIT), ("x", 1)]),
            ([{"segment_name": "Z", "8388608[8388608]": "x"}], [("Z", 1), ("|", 8388608), ("~", 8388608), ("x", 1)]),
            ([{"1[10000000]": "x"}] * 2, [("~", 10_000_000), ("x\n", 1), ("~", 10_000_000), ("x", 1)]),
            ([{"segment_name": "ZZZ", "0[18446744073709551615]": "x", "18446744073709551616": "y", "1": "a"}],
             [("ZZZ|a", 1)]),
        ],
        ids=[
            "field-at-limit", "field-at-limit-without-name", "repetitions-at-limit", "components-at-limit",
            "pipes-and-tildes-at-limit", "bound-is-per-line", "ignored-keys-take-no-room"
        ],
    )
    def test_accepted(self, records, pieces):
        assert JsonHl7(records).hl7_string == "".join(text * count for text, count in pieces)


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------


class RecordDict(dict):
    pass


class Text(str):
    pass


class RecordSourceError(Exception):
    pass


class TestConstructorAccepts:
    @pytest.mark.parametrize(
        "make",
        [
            lambda recs: recs,
            tuple,
            lambda recs: [collections.OrderedDict(r) for r in recs],
            lambda recs: [RecordDict(r) for r in recs],
            lambda recs: [{Text(k): Text(v) for k, v in r.items()} for r in recs],
        ],
        ids=["list", "tuple", "ordered-dicts", "dict-subclass", "str-subclass-keys-and-values"],
    )
    def test_shape(self, make):
        obj = JsonHl7(make(WORKED_RECORDS))
        assert obj.hl7_string == WORKED_TEXT
        assert items(obj.json_data) == [sorted(r.items(), key=lambda kv: kv[0].encode()) for r in WORKED_RECORDS]
        assert all(type(r) is dict and all(type(k) is str and type(v) is str for k, v in r.items())
                   for r in obj.json_data)

    def test_keyword_and_empty(self):
        assert JsonHl7(json_data=WORKED_RECORDS).hl7_string == WORKED_TEXT
        assert (JsonHl7([]).hl7_string, JsonHl7([]).json_data, JsonHl7(()).json_data) == ("", [], [])

    def test_length_is_only_a_hint(self):
        class Records:
            def __init__(self, size_error):
                self.size_error = size_error

            def __len__(self):
                if self.size_error:
                    raise RuntimeError("no size")
                return 0

            def __getitem__(self, index):
                if index < 2:
                    return {"segment_name": f"S{index}"}
                raise IndexError(index)

        assert JsonHl7(Records(True)).hl7_string == JsonHl7(Records(False)).hl7_string == "S0\nS1"


class TestConstructorRefuses:
    @pytest.mark.parametrize(
        ("make", "type_name"),
        [
            (lambda: "", None), (lambda: "x", None), (lambda: '[{"1": "a"}]', None), (lambda: Text("[]"), None),
            (lambda: {"1": "a"}, "dict"), (lambda: {"a"}, "set"), (lambda: (r for r in []), "generator"),
            (lambda: iter([]), "list_iterator"), (lambda: 1, "int"), (lambda: None, "NoneType"),
            (lambda: [{"1": "a"}, 1], "int"), (lambda: [[("1", "a")]], "list"), (lambda: [{1: "a"}], "int"),
            (lambda: [{"1": 1}], "int"), (lambda: [{"1": None}], "NoneType"), (lambda: [{"1": ["a"]}], "list"),
            (lambda: [{"1": "a", "2": b"x"}], "bytes"), (lambda: [collections.UserDict({"1": "a"})], "UserDict"),
            (lambda: [types.MappingProxyType({"1": "a"})], "mappingproxy"),
        ],
        ids=[
            "empty-str", "str", "json-text", "str-subclass", "dict", "set", "generator", "iterator", "int", "none",
            "second-item-int", "list-of-pairs", "int-key", "int-value", "none-value", "list-value",
            "bytes-value", "user-dict", "mapping-proxy"
        ],
    )
    def test_type_error(self, make, type_name):
        with pytest.raises(TypeError) as excinfo:
            JsonHl7(make())
        assert type(excinfo.value) is TypeError
        text = str(excinfo.value)
        assert text.startswith("argument 'json_data': "), text
        assert f"'{type_name}'" in text if type_name else " str " in text, text

    @pytest.mark.parametrize(
        "error", [ValueError("bad item"), RecordSourceError("custom"), TypeError("from the sequence")],
        ids=["value-error", "custom-exception", "type-error"],
    )
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

    @pytest.mark.parametrize("record", [{"\ud800": "a"}, {"1": "a\udfff"}], ids=["key", "value"])
    def test_lone_surrogate(self, record):
        with pytest.raises(UnicodeEncodeError) as excinfo:
            JsonHl7([{"1": "a"}, record])
        assert type(excinfo.value) is UnicodeEncodeError

    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (lambda: JsonHl7(), "JsonHl7.__new__() missing 1 required positional argument: 'json_data'"),
            (lambda: JsonHl7([], x=1), "JsonHl7.__new__() got an unexpected keyword argument 'x'"),
            (lambda: JsonHl7(1, x=1), "JsonHl7.__new__() got an unexpected keyword argument 'x'"),
            (lambda: JsonHl7([], []), "JsonHl7.__new__() takes 1 positional argument but 2 were given"),
            (lambda: JsonHl7([], json_data=[]), "JsonHl7.__new__() got multiple values for argument 'json_data'"),
            (lambda: JsonHl7.from_file(), "JsonHl7.from_file() missing 1 required positional argument: 'path'"),
            (lambda: JsonHl7.from_file("a", "b"), "JsonHl7.from_file() takes 1 positional argument but 2 were given"),
            (lambda: JsonHl7.from_file(p="a"), "JsonHl7.from_file() got an unexpected keyword argument 'p'"),
            (
                lambda: JsonHl7([])._convert_json_to_hl7(1),
                "JsonHl7._convert_json_to_hl7() takes no arguments (1 given)",
            ),
        ],
        ids=[
            "new-missing", "new-unknown-keyword", "keyword-before-conversion", "new-two-positional",
            "new-twice", "from-file-missing", "from-file-two-positional", "from-file-unknown-keyword",
            "convert-takes-no-arguments"
        ],
    )
    def test_argument_parsing(self, raises_type_error, call, message):
        with raises_type_error(message):
            call()


# ---------------------------------------------------------------------------
# Reading the object
# ---------------------------------------------------------------------------


class TestReads:
    def test_keys_in_byte_order(self):
        assert list(JsonHl7([{"5": "a", "10": "b", "segment_name": "Z"}]).json_data[0]) == ["10", "5", "segment_name"]
        keys = ["segment_name", "3[0]", "3.1", "30", "39", "é", "\uffff", "😀", "Z", "+3", "", " 3 "]
        assert list(JsonHl7([dict.fromkeys(keys, "v")]).json_data[0]) == sorted(keys, key=str.encode)

    def test_records_are_kept_as_given(self):
        record = {"note": " x ", " 3 ": "", "3.1.2": "\\F\\"}
        assert JsonHl7([record, {}]).json_data == [record, {}]

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
        assert obj.hl7_string == WORKED_TEXT

    def test_text_built_afresh(self):
        obj = JsonHl7(WORKED_RECORDS)
        texts = [obj.hl7_string, obj._convert_json_to_hl7(), obj.hl7_string]
        assert texts == [WORKED_TEXT] * 3
        assert texts[0] is not texts[1] and texts[0] is not texts[2]

    @pytest.mark.parametrize("name", ["hl7_string", "json_data"])
    def test_read_only(self, name):
        obj = JsonHl7(WORKED_RECORDS)
        for change in (lambda: setattr(obj, name, []), lambda: delattr(obj, name)):
            with pytest.raises(AttributeError) as excinfo:
                change()
            assert type(excinfo.value) is AttributeError
        assert obj.hl7_string == WORKED_TEXT


# ---------------------------------------------------------------------------
# JSON files
# ---------------------------------------------------------------------------


class TestFromFileAccepts:
    @pytest.mark.parametrize(
        ("content", "expected"),
        [
            ("[]", []), (" \n\t[ ]\r\n ", []), ("[{}, {}]", [{}, {}]),
            ('[{"a": "1", "a": "2"}]', [{"a": "2"}]),
            ('[{"5": "x", "10": "y", "segment_name": "Z"}]', [{"10": "y", "5": "x", "segment_name": "Z"}]),
            ('[{"1": "\\u00e9\\n\\t\\"\\\\\\/"}]', [{"1": "é\n\t\"\\/"}]),
            ('[{"1": "\\ud83d\\ude00", "2": "a\\u0000b"}]', [{"1": "😀", "2": "a\x00b"}]),
            ('[{"é中": "😀", "": ""}]', [{"": "", "é中": "😀"}]),
            ('[\n{"a": "b"}\n,\n\n{"c": "d"}\n]\n', [{"a": "b"}, {"c": "d"}]),
        ],
        ids=[
            "empty-array", "white-space-around", "empty-objects", "duplicate-member-later-wins",
            "member-order-irrelevant", "escaped-strings", "surrogate-pair-and-nul", "raw-utf8-and-empty-name",
            "line-breaks-between"
        ],
    )
    def test_records(self, tmp_path, content, expected):
        assert items(JsonHl7.from_file(write(tmp_path, content)).json_data) == items(expected)

    def test_text(self, tmp_path):
        path = write(tmp_path, '[{"segment_name": "PID", "1": "1", "5.1": "DOE"}]')
        assert JsonHl7.from_file(path).hl7_string == "PID|1||||DOE"
        assert JsonHl7.from_file(path=path).hl7_string == "PID|1||||DOE"

    def test_called_through_an_instance(self, tmp_path):
        obj = JsonHl7([{"segment_name": "OLD"}])
        loaded = obj.from_file(write(tmp_path, json.dumps(WORKED_RECORDS)))
        assert type(loaded) is JsonHl7 and loaded is not obj
        assert (loaded.hl7_string, obj.hl7_string) == (WORKED_TEXT, "OLD")


class TestFromFileRefuses:
    @pytest.mark.parametrize(
        "content",
        [
            '{"a": "b"}', "1", "null", "true", '"[]"', '[{"a": 1}]', '[{"a": null}]', '[{"a": false}]',
            '[{"a": []}]', '[{"a": {}}]', '["x"]', "[1]", "[[]]", "[null]", "[] x", "[][]", "[{},]",
            '[{"a": "b",}]', "[] // c", "/* c */ []", "[NaN]", '[{"a": NaN}]', "[Infinity]", "[{'a': 'b'}]",
            '[{a: "b"}]', "\ufeff[]", "\u00a0[]", "[", '[{"a": "b"}', "[" * 100_000,
            '[{"a": ' + "[" * 100_000 + "]" * 100_000 + "}]",
        ],
        ids=[
            "top-level-object", "number", "null", "boolean", "string", "member-number", "member-null",
            "member-boolean", "member-array", "member-object", "element-string", "element-number", "element-array",
            "element-null", "trailing-text", "two-arrays", "trailing-comma-array", "trailing-comma-object",
            "line-comment", "block-comment", "nan", "nan-member", "infinity", "single-quotes", "bare-name",
            "byte-order-mark", "no-break-space-is-not-json-white-space", "unfinished-array", "unfinished-object",
            "100k-open-brackets", "deep-member-value"
        ],
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
            ('[{"a":' + "[" * 100_000 + "]" * 100_000 + "}]",
             "record 0, member 'a': expected a string, found an array (line 1, column 7)"),
        ],
        ids=["top-level-object", "record-not-object", "member-not-string", "columns-count-characters", "deep-value"],
    )
    def test_shape_error_names_the_place(self, tmp_path, raises_hl7_error, content, message):
        with raises_hl7_error(INVALID_JSON + message):
            JsonHl7.from_file(write(tmp_path, content))

    def test_syntax_error_names_the_place(self, tmp_path):
        with pytest.raises(Exception) as excinfo:
            JsonHl7.from_file(write(tmp_path, "[]\n\n  ,"))
        assert str(excinfo.value).startswith(INVALID_JSON)
        assert str(excinfo.value).endswith(" (line 3, column 3)")

    @pytest.mark.parametrize(
        ("content", "message"),
        [
            (b"", "HL7 message is empty"), (b" \n\n \t\r\n", "HL7 message is empty"),
            ("\u00a0 \u3000\n".encode(), "HL7 message is empty"),
            (b"[\xff]", "I/O error: stream did not contain valid UTF-8"),
            (b" \xc3 ", "I/O error: stream did not contain valid UTF-8"),
            (b'[{"a": "\xed\xa0\x80"}]', "I/O error: stream did not contain valid UTF-8"),
        ],
        ids=["zero-bytes", "ascii-white-space", "unicode-white-space", "bad-byte", "blank-but-not-utf8",
             "encoded-surrogate"],
    )
    def test_blank_or_unreadable_text(self, tmp_path, raises_hl7_error, content, message):
        with raises_hl7_error(message):
            JsonHl7.from_file(write(tmp_path, content))

    @pytest.mark.parametrize(
        ("make_path", "message"),
        [
            (lambda tmp: str(tmp / "missing.json"), "I/O error: No such file or directory (os error 2)"),
            (lambda tmp: str(tmp), "I/O error: Is a directory (os error 21)"),
            (lambda tmp: str(tmp / "a\x00b.json"), "I/O error: file name contained an unexpected NUL byte"),
        ],
        ids=["missing-file", "directory", "nul-in-path"],
    )
    def test_unreadable_path(self, tmp_path, raises_hl7_error, make_path, message):
        with raises_hl7_error(message):
            JsonHl7.from_file(make_path(tmp_path))

    @pytest.mark.parametrize(
        ("make_path", "type_name"),
        [(lambda tmp: tmp / "missing.json", "PosixPath"), (lambda tmp: b"records.json", "bytes"),
         (lambda tmp: None, "NoneType")],
        ids=["path-object-checked-before-reading", "bytes", "none"],
    )
    def test_path_not_str(self, tmp_path, raises_conversion_error, make_path, type_name):
        with raises_conversion_error("path", type_name):
            JsonHl7.from_file(make_path(tmp_path))


# ---------------------------------------------------------------------------
# Round trip
# ---------------------------------------------------------------------------


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
    @given(text=HL7_TEXTS)
    def test_generated_text(self, json_folder, text):
        assert_round_trip(Hl7Json(text).hl7_json, json_folder)

    @pytest.mark.parametrize("path", DATA_FILES, ids=[p.name for p in DATA_FILES])
    def test_sample_file(self, tmp_path, path):
        assert_round_trip(Hl7Json.from_file(str(path)).hl7_json, tmp_path)

    def test_corpus_file(self, tmp_path, corpus_file):
        if not is_utf8(corpus_file):
            pytest.skip("not UTF-8: Hl7Json cannot load it")
        assert_round_trip(Hl7Json.from_file(str(corpus_file)).hl7_json, tmp_path)
