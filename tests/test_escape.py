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


class TestKnownSequences:
    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("\\F\\", "|"),
            ("\\S\\", "^"),
            ("\\R\\", "~"),
            ("\\E\\", "\\"),
            ("\\T\\", "&"),
            ("\\X0A\\", "\n"),
            ("\\X0D\\", "\r"),
            ("\\X0D0A\\", "\r\n"),
            ("\\X20\\", " "),
            ("\\X09\\", "\t"),
            ("\\X0D\\\\X0A\\", "\r\n"),
            ("a\\F\\b\\T\\c", "a|b&c"),
            ("\\F\\\\F\\\\F\\", "|||"),
            ("Smith\\F\\\\R\\\\E\\\\T\\", "Smith|~\\&"),
        ],
        ids=[
            "F-bar", "S-caret", "R-tilde", "E-backslash", "T-ampersand", "X0A-line-feed", "X0D-carriage-return",
            "X0D0A-crlf", "X20-space", "X09-tab", "X0D-then-X0A", "between-text", "back-to-back",
            "all-but-caret"
        ],
    )
    def test_decoded(self, obj, text, expected):
        assert decode(obj, text) == expected


class TestUnknownSequences:
    """An unknown name keeps its opening escape character and loses its closing one."""

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("\\H\\", "\\H"),
            ("\\N\\", "\\N"),
            ("\\H\\bold\\N\\", "\\Hbold\\N"),
            ("\\ZZ\\", "\\ZZ"),
            ("\\X41\\", "\\X41"),
            ("\\X0D0A0\\", "\\X0D0A0"),
            ("\\F1\\", "\\F1"),
            ("\\1F\\", "\\1F"),
            ("\\.br\\", "\\.br"),
            ("\\ \\", "\\ "),
            ("\\&\\", "\\&"),
            ("\\.\\", "\\."),
        ],
        ids=[
            "H-highlight", "N-normal", "highlighted-word", "two-letters", "no-general-hex", "longer-than-X0D0A",
            "name-runs-over-digits", "digit-first", "formatting-br", "space-as-name", "ampersand-as-name",
            "dot-as-name"
        ],
    )
    def test_kept_with_opening_escape(self, obj, text, expected):
        assert decode(obj, text) == expected

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("\\f\\", "\\f"),
            ("\\s\\", "\\s"),
            ("\\e\\", "\\e"),
            ("\\t\\", "\\t"),
            ("\\x0A\\", "\\x0A"),
            ("\\X0a\\", "\\X0a"),
            ("\\X0d0a\\", "\\X0d0a"),
        ],
        ids=["f", "s", "e", "t", "x0A", "X0a", "X0d0a"],
    )
    def test_names_are_case_sensitive(self, obj, text, expected):
        assert decode(obj, text) == expected


class TestUnterminatedSequences:
    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("A\\F", "A|"),
            ("\\X0D", "\r"),
            ("\\ZZ", "\\ZZ"),
            ("\\F x", "| x"),
            ("\\F-x\\", "|-x\\"),
            ("\\F_\\", "|_\\"),
            ("\\T.\\T\\", "&.&"),
            ("\\X20,\\X09", " ,\t"),
        ],
        ids=[
            "name-at-end", "hex-name-at-end", "unknown-at-end", "space-terminates-and-stays",
            "dash-terminates-then-trailing-escape", "underscore-is-not-alphanumeric",
            "dot-terminator-then-sequence", "comma-terminator"
        ],
    )
    def test_terminator_is_kept(self, obj, text, expected):
        assert decode(obj, text) == expected


class TestEscapeCharacterAlone:
    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("\\", "\\"),
            ("A\\", "A\\"),
            ("\\\\", "\\"),
            ("\\\\\\", "\\\\"),
            ("\\\\\\\\", "\\\\"),
            ("\\\\F\\", "\\F\\"),
            ("\\E\\E\\", "\\E\\"),
            ("\\E\\T\\E\\", "\\T\\"),
            ("BSV 4\\5 re.", "BSV 4\\5 re."),
        ],
        ids=[
            "lone", "trailing", "doubled", "three", "four", "doubled-then-F", "E-then-text", "double-encoded",
            "digit-name-with-space"
        ],
    )
    def test_stray_escape_characters(self, obj, text, expected):
        assert decode(obj, text) == expected


class TestUnicodeNames:
    """Names run over Unicode letters and numbers; anything else ends them."""

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("\\Fé\\", "\\Fé"),
            ("\\Fß\\", "\\Fß"),
            ("\\F中\\", "\\F中"),
            ("\\FⒶ\\", "\\FⒶ"),
            ("\\F\u0663\\", "\\F\u0663"),
            ("\\FⅫ\\", "\\FⅫ"),
            ("\\F½\\", "\\F½"),
            ("\\F²\\", "\\F²"),
            ("\\éF\\", "\\éF"),
        ],
        ids=[
            "latin-letter", "sharp-s", "han", "circled-letter", "arabic-indic-digit", "roman-numeral",
            "vulgar-fraction", "superscript-two", "non-ascii-first"
        ],
    )
    def test_name_continues(self, obj, text, expected):
        assert decode(obj, text) == expected

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("\\F\u00a0x", "|\u00a0x"),
            ("\\F\u2028x", "|\u2028x"),
            ("\\F\u3000\\", "|\u3000\\"),
            ("\\T€", "&€"),
            ("\\F😀\\", "|😀\\"),
            ("\\F\u0301\\", "|\u0301\\"),
            ("\\S·", "^·"),
        ],
        ids=[
            "no-break-space", "line-separator", "ideographic-space", "euro-sign", "emoji", "combining-accent",
            "middle-dot"
        ],
    )
    def test_name_ends(self, obj, text, expected):
        assert decode(obj, text) == expected


class TestSplittingAfterDecoding:
    """Components come from decoded carets; repetitions only from raw tildes."""

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("A\\S\\B", [("1.1", "A"), ("1.2", "B")]),
            ("\\S\\", [("1.1", ""), ("1.2", "")]),
            ("A\\S\\\\S\\B", [("1.1", "A"), ("1.2", ""), ("1.3", "B")]),
            ("A^B\\S\\C", [("1.1", "A"), ("1.2", "B"), ("1.3", "C")]),
            ("A\\R\\B", [("1", "A~B")]),
            ("A\\R\\B~C", [("1[0]", "A~B"), ("1[1]", "C")]),
            ("A~B\\S\\C", [("1[0]", "A"), ("1[1].1", "B"), ("1[1].2", "C")]),
            ("\\F\\~\\T\\", [("1[0]", "|"), ("1[1]", "&")]),
            ("^~\\&", [("1.1", ""), ("1.2", "~\\&")]),
            ("X^~\\&Y", [("1.1", "X"), ("1.2", "~\\&Y")]),
            ("~\\S\\~", [("1[0]", ""), ("1[1].1", ""), ("1[1].2", ""), ("1[2]", "")]),
            ("A\\T\\B", [("1", "A&B")]),
            ("\\^\\", [("1.1", "\\"), ("1.2", "")]),
        ],
        ids=[
            "decoded-caret-splits", "only-a-decoded-caret", "two-decoded-carets", "raw-and-decoded-carets",
            "decoded-tilde-does-not-repeat", "raw-tilde-splits-decoded-does-not", "component-inside-repetition",
            "sequences-in-repetitions", "encoding-characters-split", "encoding-characters-inside-text",
            "empty-repetitions-around-caret", "ampersand-stays-in-value", "caret-as-unknown-name"
        ],
    )
    def test_record(self, obj, text, expected):
        record = obj._split_hl7_seg_to_json_with_escaping("ZZZ|" + text)
        assert list(record.items()) == expected + [("segment_name", "ZZZ")]

    @pytest.mark.parametrize(
        ("text", "expected"),
        [
            ("A\\S\\B", [("1", "A\\S\\B")]),
            ("A\\R\\B", [("1", "A\\R\\B")]),
            ("^~\\&", [("1", "^~\\&")]),
            ("X^~\\&Y", [("1", "X^~\\&Y")]),
            ("A\\F\\B^C", [("1.1", "A\\F\\B"), ("1.2", "C")]),
        ],
        ids=["caret-sequence-raw", "tilde-sequence-raw", "encoding-characters", "guarded-text", "raw-components"],
    )
    def test_plain_helper_keeps_sequences(self, obj, text, expected):
        record = obj._split_hl7_seg_to_json("ZZZ|" + text)
        assert list(record.items()) == expected + [("segment_name", "ZZZ")]


class TestThroughConversion:
    LINE = "ZZZ|A\\F\\B|\\S\\|\\E\\\\H\\"

    def test_escaping_on_decodes(self):
        records = Hl7Json(self.LINE).hl7_json
        assert [list(r.items()) for r in records] == [
            [("1", "A|B"), ("2.1", ""), ("2.2", ""), ("3", "\\\\H"), ("segment_name", "ZZZ")]
        ]

    def test_escaping_off_keeps_text(self):
        records = Hl7Json(self.LINE, escaping_enabled=False).hl7_json
        assert [list(r.items()) for r in records] == [
            [("1", "A\\F\\B"), ("2", "\\S\\"), ("3", "\\E\\\\H\\"), ("segment_name", "ZZZ")]
        ]

    def test_decoded_line_breaks_do_not_split_segments(self):
        records = Hl7Json("ZZZ|a\\X0D\\b\\X0A\\c\\X0D0A\\d").hl7_json
        assert records == [{"1": "a\rb\nc\r\nd", "segment_name": "ZZZ"}]

    def test_segment_name_is_never_decoded(self):
        assert Hl7Json("\\F\\|x").hl7_json == [{"1": "x", "segment_name": "\\F\\"}]

    def test_sequences_are_decoded_in_every_segment(self):
        text = "MSH|^~\\&|A\\T\\B\rPID|1||\\F\\\rNTE|1||x\\X20\\y"
        records = Hl7Json(text).hl7_json
        assert records[0]["2"] == "A&B"
        assert records[1]["3"] == "|"
        assert records[2]["3"] == "x y"



UCD = Path("/usr/share/unicode")


def _name_characters_from_ucd() -> set[int]:
    """Code points that are Alphabetic or of category Nd, Nl or No, read from the UCD files."""
    wanted: set[int] = set()
    for line in (UCD / "DerivedCoreProperties.txt").read_text(encoding="utf-8").splitlines():
        fields = [f.strip() for f in line.split("#", 1)[0].split(";")]
        if len(fields) >= 2 and fields[1] == "Alphabetic":
            lo, _, hi = fields[0].partition("..")
            wanted.update(range(int(lo, 16), int(hi or lo, 16) + 1))
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


def _assigned_before(version: tuple[int, int]) -> set[int]:
    assigned: set[int] = set()
    for line in (UCD / "DerivedAge.txt").read_text(encoding="utf-8").splitlines():
        fields = [f.strip() for f in line.split("#", 1)[0].split(";")]
        if len(fields) >= 2 and tuple(int(p) for p in fields[1].split(".")) <= version:
            lo, _, hi = fields[0].partition("..")
            assigned.update(range(int(lo, 16), int(hi or lo, 16) + 1))
    return assigned


class TestEveryCodePoint:
    def test_name_characters_follow_the_character_database(self, obj):
        """Each code point, right after the name F: part of the name or its terminator.

        Only characters assigned by Unicode 13 are checked, so that a newer or
        older database on the test machine cannot change the answer.
        """
        if not (UCD / "DerivedAge.txt").is_file():
            pytest.skip("Unicode character database not installed")
        name_chars = _name_characters_from_ucd()
        candidates = sorted(
            cp
            for cp in _assigned_before((13, 0))
            if cp >= 0x80 and not 0xD800 <= cp <= 0xDFFF
        )
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
