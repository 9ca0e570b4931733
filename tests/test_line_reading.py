"""Hl7Json keeps the caller's str and cuts its lines where the text has them,
as if its line endings had been normalised first; a non-ASCII str is encoded a
line at a time. Segment lines are cut at delimiters found many bytes at a
time (SSE2, AVX2 or NEON) unless BRENVOLT_SIMD=scalar selects the plain loop.

Every case is checked against the pure-Python model in reference.py, for each
str kind (ASCII, one byte, two byte, four byte code points) and for lengths
around the block sizes (8, 16, 32 and 64 bytes), so every block boundary and
tail of the scans is met.
"""

from __future__ import annotations

import itertools
import json
import os
import subprocess
import sys

import pytest

import reference
from brenvolt import Hl7Json
from reference import items

# One character of each str kind; the ASCII one keeps the str ASCII.
KINDS = {"ascii": "a", "one-byte": "é", "two-byte": "中", "four-byte": "😀"}
LENGTHS = [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 130]
# Every line ending of up to four carriage returns and line feeds.
ENDINGS = ["".join(p) for n in range(1, 5) for p in itertools.product("\r\n", repeat=n)]


def padded(kind: str, length: int) -> str:
    """`length` characters of field text, the kind's character last."""
    return "x" * max(length - 1, 0) + KINDS[kind] * min(length, 1)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("ending", ENDINGS, ids=[e.encode().hex() for e in ENDINGS])
def test_line_endings_cut_as_normalised_text_is(kind, ending):
    for length in (0, 9, 33):
        text = f"MSH|^~\\&|{padded(kind, length)}{ending}PID|1|{padded(kind, length)}{ending}"
        obj = Hl7Json(text)
        assert items(obj.hl7_json) == reference.message(text, escaping=True), repr(text)
        assert obj.hl7_string == reference.normalise(text)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("length", LENGTHS)
def test_lines_of_every_length_and_kind(kind, length):
    value = padded(kind, length)
    text = "\r".join([f"MSH|^~\\&|{value}", f"OBX|1|{value}^{value}~{value}|\\F\\{value}", value, ""])
    for escaping in (False, True):
        assert items(Hl7Json(text, escaping_enabled=escaping).hl7_json) == reference.message(text, escaping)


def test_a_str_without_carriage_returns_is_handed_back_as_it_is():
    text = "MSH|^~\\&|A\nPID|1||Müller\n"
    assert Hl7Json(text).hl7_string is text
    assert Hl7Json(text + "\r").hl7_string == reference.normalise(text + "\r")


def test_a_str_subclass_comes_back_as_a_plain_str():
    class Text(str):
        pass

    got = Hl7Json(Text("MSH|^~\\&|A\nPID|1")).hl7_string
    assert type(got) is str
    assert got == "MSH|^~\\&|A\nPID|1"


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("ending", ENDINGS, ids=[e.encode().hex() for e in ENDINGS])
def test_validate_reads_the_lines_conversion_reads(kind, ending):
    header = f"MSH|^~\\&|{padded(kind, 20)}|B|C|D|20260101||ADT^A01^ADT_A01|1|P|2.5"
    for segments in (["PID|1||42"], ["P|1"], ["PID|1", "", "NTE|1"]):
        text = ending.join([header, *segments, ""])
        for strict, required in itertools.product((False, True), repeat=2):
            expected = reference.validate(text, strict, required)
            if expected is None:
                assert Hl7Json(text).validate(strict, required) is None
                continue
            with pytest.raises(Exception) as excinfo:
                Hl7Json(text).validate(strict, required)
            assert excinfo.value.args == (expected,), repr(text)


def delimiter_lines() -> list[str]:
    """Lines with each delimiter and a multi-byte character at each position
    of lengths around the block sizes."""
    out = []
    for length in (1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 129):
        for special in ["|", "^", "~", "\\", "é", "^~\\&", "\\F\\"]:
            for at in range(0, length, 3):
                out.append("ZZZ|" + "b" * at + special + "c" * (length - at - 1))
    return out


SCRIPT = """
import json, sys
from brenvolt import Hl7Json
lines = json.loads(sys.stdin.read())
out = [[Hl7Json(line, escaping_enabled=e).hl7_json for e in (False, True)] for line in lines]
sys.stdout.write(json.dumps(out))
"""


@pytest.mark.parametrize("level", ["scalar", "best"])
def test_every_scan_level_reads_as_the_reference_does(level):
    lines = delimiter_lines()
    env = dict(os.environ, BRENVOLT_SIMD=level)
    done = subprocess.run([sys.executable, "-c", SCRIPT], input=json.dumps(lines), env=env,
                          capture_output=True, text=True, check=True, timeout=300)
    got = json.loads(done.stdout)
    for line, (raw, decoded) in zip(lines, got, strict=True):
        assert [list(map(tuple, r.items())) for r in raw] == reference.message(line, False), line
        assert [list(map(tuple, r.items())) for r in decoded] == reference.message(line, True), line


LONG_LINES = {
    "fields": "ZZZ|" + "|".join(f"v{i}" if i % 3 else "" for i in range(5000)),
    "components": "ZZZ|1|" + "^".join(f"c{i}é" if i % 7 == 0 else str(i) for i in range(5000)),
    "repetitions": "ZZZ|" + "~".join(f"a{i}^b\\F\\{i}" for i in range(3000)) + "|end",
    "long-values": "ZZZ|" + "|".join(("wörd " * (i % 9)) + str(i) for i in range(4200)),
}


@pytest.mark.parametrize("line", LONG_LINES.values(), ids=LONG_LINES.keys())
@pytest.mark.parametrize("escaping", [False, True])
def test_lines_of_thousands_of_entries_read_as_the_reference_does(line, escaping):
    """Records past the key tables, made with their keys printed into new strs
    and put into the dict a slot prefetch ahead."""
    text = f"MSH|^~\\&|A\r{line}\r"
    assert items(Hl7Json(text, escaping_enabled=escaping).hl7_json) == reference.message(text, escaping)
