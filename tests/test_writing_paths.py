"""JsonHl7 writing, shape by shape, against the pure-Python reference.

The writer takes a short path for the usual record (every key a small
position, no two keys naming one place, a header only with the usual field
1) and a general one for the rest; it sorts a record's places by a layout it
remembers, by insertion, by merging runs or by radix depending on the
record's size and disorder, escapes long runs in bulk and
dense stretches byte by byte, and makes the str at the narrowest width that
holds the text. Each table below drives one of those choices and compares the
text with the reference, for records given as dicts and read from a JSON file.
"""

from __future__ import annotations

import json
import random

import pytest

import reference as ref
from brenvolt import JsonHl7


def expected(records: list[dict]) -> str:
    return "\n".join(ref.line(record) for record in records)


def check(records: list[dict], tmp_path) -> None:
    want = expected(records)
    assert JsonHl7(records).hl7_string == want
    path = tmp_path / "records.json"
    path.write_text(json.dumps(records), encoding="utf-8")
    assert JsonHl7.from_file(str(path)).hl7_string == want


def shuffled(record: dict, seed: int) -> dict:
    items = list(record.items())
    random.Random(seed).shuffle(items)
    return dict(items)


def fields(count: int, order: str) -> dict:
    keys = [str(n) for n in range(1, count + 1)]
    if order == "bytes":
        keys.sort(key=str.encode)
    elif order == "reversed":
        keys.reverse()
    elif order == "random":
        random.Random(count).shuffle(keys)
    return {"segment_name": "ZZZ", **{key: f"v{key}" for key in keys}}


@pytest.mark.parametrize("order", ["numeric", "bytes", "reversed", "random"])
@pytest.mark.parametrize("count", [3, 16, 17, 64, 300, 5000])
def test_wide_records_in_any_order(tmp_path, count, order):
    check([fields(count, order)], tmp_path)


@pytest.mark.parametrize(
    "record",
    [
        {f"5[{r}]": f"r{r}" for r in range(120)},
        {f"5[{r}].{c}": f"{r}.{c}" for r in range(12) for c in range(1, 15)},
        {f"{f}.{c}": "x" for f in range(1, 40) for c in (1, 2, 10, 11)},
        {"3": "whole", "3.1": "one", "3.12": "twelve", "4[2]": "a", "4[10].3": "b", "2": ""},
        {f"{f}[{r}].{c}": "" for f in (1, 300, 70000) for r in (0, 9, 300) for c in (1, 20, 700)},
    ],
    ids=["many-repetitions", "repetitions-and-components", "components-past-nine", "mixed-forms", "sparse-large"],
)
@pytest.mark.parametrize("seed", [0, 1])
def test_nested_places(tmp_path, record, seed):
    check([{"segment_name": "OBX", **shuffled(record, seed)}], tmp_path)


@pytest.mark.parametrize(
    "record",
    [
        {"3": "plain", "03": "zero-led"},
        {"3": "whole", "3[0]": "repetition"},
        {"2.1": "a", "+2.1": "b", "2.01": "c"},
        {"segment_name": "MSH", "1": "^~\\&", "2": "APP"},
        {"1[65536]": "repetition beyond what packs"},
    ],
    ids=["leading-zero", "whole-and-repetition-0", "three-spellings", "header", "large-repetition"],
)
def test_records_for_the_general_path(tmp_path, record):
    check([record, shuffled(record, 3)], tmp_path)


SPECIALS = "|^~&\\\t\n\r \x0b\x0c"


@pytest.mark.parametrize("length", [1, 5, 15, 16, 17, 31, 32, 33, 64, 100, 1000])
@pytest.mark.parametrize("density", ["none", "first", "last", "every-3rd", "all"])
@pytest.mark.parametrize("width", ["ascii", "wide-text", "wide-value"])
def test_escaping_runs(tmp_path, length, density, width):
    # Wide text (a wider value elsewhere) or a wide value takes the writer's
    # block-wise scan of code points rather than its byte scan.
    rng = random.Random(length)
    letters = "abcXYZ019.-" + ("\u0100\u4e2d" if width == "wide-value" else "")
    chars = [rng.choice(letters) for _ in range(length)]
    if density == "first":
        chars[0] = "|"
    elif density == "last":
        chars[-1] = " "
    elif density == "every-3rd":
        chars[::3] = [SPECIALS[i % len(SPECIALS)] for i in range(len(chars[::3]))]
    elif density == "all":
        chars = [SPECIALS[i % len(SPECIALS)] for i in range(length)]
    value = "".join(chars)
    records = [{"segment_name": "NTE", "3": value, "4.2": value[::-1]}]
    if width == "wide-text":
        records.append({"segment_name": "NTE", "3": "\u4e2d"})
    check(records, tmp_path)


@pytest.mark.parametrize("special", list(SPECIALS) + ["é", "\x7f", "\xfc", "\xfe", "\u017c", "\u015c"])
@pytest.mark.parametrize("width", ["narrow", "wide-text", "wide-value"])
def test_short_values(tmp_path, special, width):
    # Values of one to seventeen characters, the usual ones, with the
    # character at every position: values of four to fifteen are tested and
    # copied from two overlapping loads, the shorter and longer ones are not.
    x, y = ("\u4e2d", "\u0100") if width == "wide-value" else ("x", "y")
    records = [
        {"segment_name": "OBX", "3": x * at + special + y * (length - at - 1), "5.2": special * length}
        for length in range(1, 18)
        for at in range(length)
    ]
    if width == "wide-text":
        records.append({"segment_name": "NTE", "3": "\u4e2d"})
    check(records, tmp_path)


@pytest.mark.parametrize("char", ["é", "ÿ", "Ā", "中", "\uffff", "😀", "\U0010ffff"])
@pytest.mark.parametrize("before", [0, 1, 15, 16, 17, 40])
def test_text_at_every_width(tmp_path, char, before):
    value = "a" * before + char + "b" * 20 + char + "c" * 3
    records = [{"segment_name": "PID", "5.1": value}, {"segment_name": "NTE", "3": "all ASCII " * 5}]
    check(records, tmp_path)
    text = JsonHl7(records).hl7_string
    assert max(map(ord, text)) == ord(char)


def test_keys_as_new_objects_each_record(tmp_path):
    # Thousands of distinct key objects, more than the table of key codes
    # holds, some with the same text as others.
    records = []
    for n in range(3000):
        key = "".join(["1", str(n % 40)])  # a new str object each time
        records.append({"segment_name": "ZZZ", key: str(n), f"{n % 7}.{n % 5 + 1}": "c"})
    check(records, tmp_path)


def test_str_subclasses_are_written_as_their_text():
    class Key(str):
        pass

    class Value(str):
        def __str__(self) -> str:
            return "not this"

    records = [{Key("segment_name"): Value("PID"), Key("3"): Value("a|b"), "5.2": Value("é")}]
    plain = [{str(k): str.__str__(v) for k, v in record.items()} for record in records]
    written = JsonHl7(records)
    assert written.hl7_string == expected(plain)
    assert all(type(k) is str and type(v) is str for r in written.json_data for k, v in r.items())


def test_insertion_order_does_not_change_the_text():
    record = {"segment_name": "OBX", **{f"{n}": f"v{n}" for n in range(1, 30)}, "5.1": "a", "5.2": "b"}
    texts = {JsonHl7([shuffled(record, seed)]).hl7_string for seed in range(20)}
    assert texts == {expected([record])}


def test_layouts_remembered_from_call_to_call(tmp_path):
    # The writer remembers, per thread, how records of a layout sort. Records
    # of one size but other places or other orders, alternating, one call
    # each and all in one, must each come out in their own order; so must one
    # whose keys name a place twice, after its size was remembered.
    rng = random.Random(11)
    records = []
    for n in range(300):
        places = rng.sample(range(1, 40), 12)
        keys = [f"{p}" if p % 3 else f"{p}.2" for p in places]
        if n % 3 == 0:
            keys.sort(key=str.encode)
        elif n % 3 == 1:
            keys.sort(key=lambda k: float(k))
        records.append({"segment_name": "ZZ" + chr(65 + n % 26), **{k: f"{n}:{k}" for k in keys}})
    twice = {f"{n}": "x" for n in range(1, 11)}
    twice.update({"4[0]": "again", "11": "y"})
    records.insert(150, {"segment_name": "ZZZ", **twice})
    for record in records[140:160]:
        assert JsonHl7([record]).hl7_string == expected([record])
    check(records, tmp_path)
    # Layouts that differ only between the few places a layout is told by
    # share what is remembered, taking turns.
    keys = sorted((str(p) for p in range(1, 13)), key=str.encode)
    swapped = keys.copy()
    swapped[1], swapped[3] = swapped[3], swapped[1]
    alike = [{"segment_name": "ZZA", **{k: f"{n}:{k}" for k in (keys, swapped)[n % 2]}} for n in range(10)]
    for record in alike:
        assert JsonHl7([record]).hl7_string == expected([record])
    check(alike, tmp_path)


@pytest.mark.parametrize(
    "field_one",
    [
        {"1": "^~\\&"},
        {"1.1": "", "1.2": "~\\&"},
        {"1": "^~\\&#"},
        {"1": "|"},
        {"1.1": "", "1.2": "~\\&", "1.3": "x"},
        {"1.1": "^", "1.2": "~\\&"},
        {"1": "^~\\&", "1.2": "~"},
        {"1[1]": "^~\\&"},
        {},
    ],
    ids=["whole", "two-components", "five-characters", "a-pipe", "a-third-component", "escaped-first",
         "whole-and-component", "a-repetition", "none"],
)
@pytest.mark.parametrize("seed", [0, 1])
def test_headers(tmp_path, field_one, seed):
    # A header whose field 1 is the usual encoding characters is written as
    # they are, on the short path; the rest of its fields are escaped.
    header = {"segment_name": "MSH", **field_one, "2": "A|B", "9.1": "ADT", "9.2": "A01", "10": "1~2", "12": "2.5"}
    check([shuffled(header, seed), {"segment_name": "PID", "3": "x^y"}, shuffled(header, seed + 2)], tmp_path)
