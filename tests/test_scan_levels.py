"""The escaping writer scans values many bytes at a time (SSE2, AVX2 or NEON)
unless BRENVOLT_SIMD=scalar selects the plain loop: both must write the same
text, and the same as escaping a byte at a time in Python.

Values of every length around the block sizes (16 and 32 bytes) hold each
escaped character at each position, so every block boundary and tail is met.
"""

from __future__ import annotations

import pytest

from brenvolt import Hl7Json, JsonHl7

SEQUENCES = {"|": "\\F\\", "^": "\\S\\", "~": "\\R\\", "&": "\\T\\", "\\": "\\E\\",
             "\t": "\\X09\\", "\n": "\\X0A\\", "\r": "\\X0D\\"}
# Written as themselves, though they sit beside the escaped ones.
PLAIN = [" ", "\x0b", "\x7f"]


def escaped(value: str) -> str:
    return "".join(SEQUENCES.get(c, c) for c in value)


def values() -> list[str]:
    out = []
    for length in (0, 1, 15, 16, 17, 31, 32, 33, 47, 64, 65, 100):
        out.append("a" * length)
        out.append("é" * length)
        for special in [*SEQUENCES, *PLAIN]:
            for at in range(length):
                out.append("b" * at + special + "c" * (length - at - 1))
    # Every step-th character escaped: blocks with one to sixteen sequences,
    # where the writer turns to byte by byte and back.
    specials = list(SEQUENCES)
    for length in (16, 17, 31, 32, 33, 48, 65, 100, 200):
        for step in (1, 2, 3, 5, 7, 11):
            out.append("".join(specials[i % len(specials)] if i % step == 0 else "d"
                               for i in range(length)))
    out.append("|" * 40 + "a" * 40 + "^&" * 20 + "b" * 33 + "\r\n" * 9 + "é" * 20)
    out.append(" ".join(["wörd"] * 500))  # dense, as in a narrative
    out.append("x" * 5000 + "|" + "y" * 5000)
    return out


RECORDS = [{"segment_name": "ZZZ", "1": value} for value in values()]

# The text written from the records as given and from the same records in a
# JSON file: two writers over one escaping routine.
SCRIPT = """
import json, os, sys, tempfile
from brenvolt import JsonHl7
records = json.loads(sys.stdin.read())
with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False, encoding="utf-8") as f:
    json.dump(records, f)
try:
    texts = [JsonHl7(records).hl7_string, JsonHl7.from_file(f.name).hl7_string]
finally:
    os.unlink(f.name)
sys.stdout.write(json.dumps(texts))
"""


@pytest.mark.parametrize("level", ["scalar", "best"])
def test_writer_matches_the_byte_at_a_time_reference(at_simd_level, level):
    given, from_file = at_simd_level(SCRIPT, RECORDS, level)
    expected = ["ZZZ|" + escaped(r["1"]) for r in RECORDS]
    assert given.split("\n") == expected
    assert from_file.split("\n") == expected


def field_one(record: dict[str, str]) -> str:
    """Field 1's decoded text, its components joined again where a decoded "^" split it."""
    if "1" in record:
        return record["1"]
    components = sorted((k for k in record if k.startswith("1.")), key=lambda k: int(k[2:]))
    return "^".join(record[k] for k in components)


def test_in_process_level_round_trips():
    text = JsonHl7(RECORDS).hl7_string
    back = Hl7Json(text).hl7_json
    assert [field_one(r) for r in back] == [r["1"] for r in RECORDS]
