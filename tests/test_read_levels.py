"""Hl7Json turns the caller's str into UTF-8, decodes escape sequences and
turns each value back into a str many bytes at a time (SSE2 on x86-64),
unless BRENVOLT_SIMD=scalar selects the byte-at-a-time loops: both must give
the records the reference model gives.

The texts put each kind of character (Latin-1, two-byte, four-byte) and each
kind of escape sequence (the common names, the general rule's cases) at every
position of values of every length around the block sizes (8 and 16 units),
so every block boundary and tail is met, in str objects of each width.
"""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference
from brenvolt import Hl7Json
from reference import PROPERTY_SETTINGS, items

# One character of each UTF-8 length and of each str width, and the largest
# character each width holds.
CHARACTERS = {"latin-1": "é", "latin-1-top": "\xff", "two-byte": "ł", "two-byte-utf8-top": "\u07ff",
              "three-byte-first": "\u0800", "three-byte": "中", "unit-top-bit": "\u8000",
              "two-byte-top": "\uffff", "four-byte": "😀", "largest": "\U0010ffff"}
# Makes the whole str at least as wide as `kind` without touching the value
# under test (which sits alone in field 2).
WIDENERS = {"ascii": "", "one-byte": "\xe9", "two-byte": "\u0142", "four-byte": "\U0001f600"}
LENGTHS = (0, 1, 7, 8, 9, 15, 16, 17, 23, 24, 31, 32, 33, 47, 48, 64, 65, 100)
# Sequences of the table, cut short, doubled or trailing escape characters,
# unknown names, and names the general rule ends.
SEQUENCES = [*reference.TOKENS[:10], "\\\\", "\\", "\\X0D0", "\\X0D0A", "\\X2\\", "\\X41\\",
             "\\H\\", "\\Fé\\", "\\F中", "\\é\\", "\\F x", "\\X0D0A0\\", "\\\\F\\"]


def texts() -> list[str]:
    out = []
    for widener in WIDENERS.values():
        for length in LENGTHS:
            out.append(f"ZZZ|{widener}|" + "a" * length)
            for special in CHARACTERS.values():
                for at in range(length):
                    out.append(f"ZZZ|{widener}|" + "b" * at + special + "c" * (length - at - 1))
                out.append(f"ZZZ|{widener}|" + special * length)
    for sequence in SEQUENCES:
        for length in (1, 15, 16, 17, 31, 32, 33, 48):
            for at in range(length + 1):
                out.append("ZZZ||" + "a" * at + sequence + "ł" * (at % 2) + "b" * (length - at))
    # Lines of accented letters, the line end at every place of a block.
    for end in ("\r", "\n", "\r\n"):
        for accented in ("é", "ł", "é\u07ff"):
            for at in range(34):
                out.append("ZZZ|" + (accented * at)[:at] + end + "YYY|" + (accented * 40)[:40 - at])
    # A narrative: ASCII words with accented ones among them, and escapes.
    words = ["Müller", "über", "the", "patient", "Łukasz", "\\T\\", "łódź", "中文", "😀", "ok\\S\\no"]
    out.append("ZZZ||" + " ".join(words[i * 7 % len(words)] for i in range(3000)))
    return out


TEXTS = texts()

SCRIPT = """
import json, sys
from brenvolt import Hl7Json
texts = json.loads(sys.stdin.read())
sys.stdout.write(json.dumps([Hl7Json(t).hl7_json for t in texts]))
"""


@pytest.mark.parametrize("level", ["scalar", "best"])
def test_every_level_matches_the_reference_model(at_simd_level, level):
    got = at_simd_level(SCRIPT, TEXTS, level)
    wrong = [t for t, records in zip(TEXTS, got, strict=True)
             if items(records) != reference.message(t, escaping=True)]
    assert wrong == []


@pytest.mark.parametrize("text", ["ZZZ|" + "a" * 20 + "\ud800", "ZZZ|" + "é" * 20 + "\udfff",
                                  "ZZZ|\ud800" + "ł" * 40, "ZZZ|" + "ł" * 9 + "\udbff" + "ł" * 40,
                                  "ZZZ|" + "😀" * 20 + "\udc80|x"],
                         ids=["two-byte-str", "two-byte-str-after-latin-1", "first-block", "inside-a-block",
                              "four-byte-str"])
def test_a_surrogate_past_a_block_still_raises(text):
    with pytest.raises(UnicodeEncodeError):
        Hl7Json(text)


@PROPERTY_SETTINGS
@given(value=st.text(alphabet=st.sampled_from(list("ab \\^FSX0DA29|é\xffł中\uffff😀")), max_size=120),
       widener=st.sampled_from(list(WIDENERS.values())))
def test_any_value_matches_the_reference_model(value, widener):
    text = f"ZZZ|{widener}|{value}"
    assert items(Hl7Json(text).hl7_json) == reference.message(text, escaping=True)
