"""Escape-sequence decoding, seen through the single-segment helper and ``hl7_json``.

Every case puts the text into field 1 of a ZZZ segment. In the tables below a
Python string "\\" is one backslash, the escape character.
"""

from __future__ import annotations

from pathlib import Path

import pytest

from brenvolt import Hl7Json


@pytest.fixture(scope="module")
def obj():
    # Escaping switched off on the object: the helper decodes regardless.
    return Hl7Json("", escaping_enabled=False)


def field_one(record: dict) -> str:
    """The decoded text of field 1, whether or not a decoded caret split it."""
    if "1" in record:
        return record["1"]
    components = sorted((k for k in record if k.startswith("1.")), key=lambda k: int(k[2:]))
    assert components, record
    return "^".join(record[k] for k in components)


def decode(obj, text: str) -> str:
    return field_one(obj._split_hl7_seg_to_json_with_escaping("ZZZ|" + text))


DECODED = {
    # The sequence table, each name once.
    "F-bar": ("\\F\\", "|"), "S-caret": ("\\S\\", "^"), "R-tilde": ("\\R\\", "~"), "E-backslash": ("\\E\\", "\\"),
    "T-ampersand": ("\\T\\", "&"), "X0A-line-feed": ("\\X0A\\", "\n"), "X0D-carriage-return": ("\\X0D\\", "\r"),
    "X0D0A-crlf": ("\\X0D0A\\", "\r\n"), "X20-space": ("\\X20\\", " "), "X09-tab": ("\\X09\\", "\t"),
    "X0D-then-X0A": ("\\X0D\\\\X0A\\", "\r\n"), "between-text": ("a\\F\\b\\T\\c", "a|b&c"),
    # An unknown name keeps its opening escape character and loses its closing one.
    "H-highlight": ("\\H\\", "\\H"), "highlighted-word": ("\\H\\bold\\N\\", "\\Hbold\\N"),
    "no-general-hex": ("\\X41\\", "\\X41"), "longer-than-X0D0A": ("\\X0D0A0\\", "\\X0D0A0"),
    "name-runs-over-digits": ("\\F1\\", "\\F1"), "digit-first": ("\\1F\\", "\\1F"),
    "formatting-br": ("\\.br\\", "\\.br"), "space-as-name": ("\\ \\", "\\ "),
    # Names are case-sensitive.
    "lower-f": ("\\f\\", "\\f"), "lower-x0A": ("\\x0A\\", "\\x0A"), "lower-hex-digits": ("\\X0d0a\\", "\\X0d0a"),
    # A name that is not closed by an escape character: the terminator is kept.
    "name-at-end": ("A\\F", "A|"), "hex-name-at-end": ("\\X0D", "\r"), "unknown-at-end": ("\\ZZ", "\\ZZ"),
    "space-terminates-and-stays": ("\\F x", "| x"), "dash-terminates-then-trailing-escape": ("\\F-x\\", "|-x\\"),
    "underscore-is-not-alphanumeric": ("\\F_\\", "|_\\"), "dot-terminator-then-sequence": ("\\T.\\T\\", "&.&"),
    # Stray escape characters.
    "lone": ("\\", "\\"), "trailing": ("A\\", "A\\"), "doubled": ("\\\\", "\\"), "three": ("\\\\\\", "\\\\"),
    "doubled-then-F": ("\\\\F\\", "\\F\\"), "E-then-text": ("\\E\\E\\", "\\E\\"),
    "double-encoded": ("\\E\\T\\E\\", "\\T\\"),
    "digit-name-with-space": ("BSV 4\\5 re.", "BSV 4\\5 re."),
    # Names run over Unicode letters and numbers ...
    "latin-letter": ("\\Fé\\", "\\Fé"), "han": ("\\F中\\", "\\F中"), "circled-letter": ("\\FⒶ\\", "\\FⒶ"),
    "arabic-indic-digit": ("\\F\u0663\\", "\\F\u0663"), "roman-numeral": ("\\FⅫ\\", "\\FⅫ"),
    "vulgar-fraction": ("\\F½\\", "\\F½"), "non-ascii-first": ("\\éF\\", "\\éF"),
    # ... and anything else ends them.
    "no-break-space": ("\\F\u00a0x", "|\u00a0x"), "euro-sign": ("\\T€", "&€"), "emoji": ("\\F😀\\", "|😀\\"),
    "combining-accent": ("\\F\u0301\\", "|\u0301\\"),
}


@pytest.mark.parametrize(("text", "expected"), DECODED.values(), ids=DECODED.keys())
def test_decoded(obj, text, expected):
    assert decode(obj, text) == expected


class TestSplittingAfterDecoding:
    """Components come from decoded carets; repetitions only from raw tildes."""

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("A\\S\\B", [("1.1", "A"), ("1.2", "B")]),
            ("A\\S\\\\S\\B", [("1.1", "A"), ("1.2", ""), ("1.3", "B")]),
            ("A^B\\S\\C", [("1.1", "A"), ("1.2", "B"), ("1.3", "C")]),
            ("A\\R\\B~C", [("1[0]", "A~B"), ("1[1]", "C")]),
            ("A~B\\S\\C", [("1[0]", "A"), ("1[1].1", "B"), ("1[1].2", "C")]),
            ("^~\\&", [("1.1", ""), ("1.2", "~\\&")]),
            ("X^~\\&Y", [("1.1", "X"), ("1.2", "~\\&Y")]),
            ("~\\S\\~", [("1[0]", ""), ("1[1].1", ""), ("1[1].2", ""), ("1[2]", "")]),
            ("A\\T\\B", [("1", "A&B")]),
            ("\\^\\", [("1.1", "\\"), ("1.2", "")]),
        ],
        ids=[
            "decoded-caret-splits", "two-decoded-carets", "raw-and-decoded-carets", "raw-tilde-splits-decoded-does-not",
            "component-inside-repetition", "encoding-characters-split", "encoding-characters-inside-text",
            "empty-repetitions-around-caret", "ampersand-stays-in-value", "caret-as-unknown-name",
        ],
    )
    def test_record(self, obj, text, expected):
        record = obj._split_hl7_seg_to_json_with_escaping("ZZZ|" + text)
        assert list(record.items()) == expected + [("segment_name", "ZZZ")]


@pytest.mark.parametrize(
    ("text", "records"),
    [
        ("ZZZ|a\\X0D\\b\\X0A\\c\\X0D0A\\d", [{"1": "a\rb\nc\r\nd", "segment_name": "ZZZ"}]),
        ("\\F\\|x", [{"1": "x", "segment_name": "\\F\\"}]),
        ("MSH|^~\\&|A\\T\\B\rPID|1\\F\\",
         [{"1.1": "", "1.2": "~\\&", "2": "A&B", "segment_name": "MSH"}, {"1": "1|", "segment_name": "PID"}]),
    ],
    ids=["decoded-line-breaks-do-not-split-segments", "segment-name-never-decoded", "every-segment-decoded"],
)
def test_through_conversion(text, records):
    assert Hl7Json(text).hl7_json == records


UCD = Path("/usr/share/unicode")


def _ranges(name: str, keep) -> set[int]:
    """Code points of the "lo..hi ; value" lines of a UCD file whose value ``keep`` accepts."""
    found: set[int] = set()
    for line in (UCD / name).read_text(encoding="utf-8").splitlines():
        fields = [f.strip() for f in line.split("#", 1)[0].split(";")]
        if len(fields) >= 2 and keep(fields[1]):
            lo, _, hi = fields[0].partition("..")
            found.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return found


def _name_characters_from_ucd() -> set[int]:
    """Code points that are Alphabetic or of category Nd, Nl or No, read from the UCD files."""
    wanted = _ranges("DerivedCoreProperties.txt", lambda value: value == "Alphabetic")
    first = None
    for line in (UCD / "UnicodeData.txt").read_text(encoding="utf-8").splitlines():
        code, name, category = line.split(";")[:3]
        cp = int(code, 16)
        if category in ("Nd", "Nl", "No"):
            if name.endswith(", First>"):
                first = cp
            else:
                wanted.update(range(cp if first is None else first, cp + 1))
                first = None
    return wanted


def test_name_characters_follow_the_character_database(obj):
    """Each code point, right after the name F: part of the name or its terminator.

    Only characters assigned by Unicode 13 are checked, so that a newer or
    older database on the test machine cannot change the answer.
    """
    if not (UCD / "DerivedAge.txt").is_file():
        pytest.skip("Unicode character database not installed")
    name_chars = _name_characters_from_ucd()
    assigned = _ranges("DerivedAge.txt", lambda age: tuple(map(int, age.split("."))) <= (13, 0))
    candidates = sorted(cp for cp in assigned if cp >= 0x80 and not 0xD800 <= cp <= 0xDFFF)
    # One field per code point, so each sequence is decoded on its own.
    fields = ["\\F" + chr(cp) + "\\" for cp in candidates]
    record = obj._split_hl7_seg_to_json_with_escaping("ZZZ|" + "|".join(fields))
    wrong = []
    for n, cp in enumerate(candidates, 1):
        ch = chr(cp)
        expected = "\\F" + ch if cp in name_chars else "|" + ch + "\\"
        if record[str(n)] != expected:
            wrong.append(f"U+{cp:04X}")
    assert wrong == []
