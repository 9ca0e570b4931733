"""Messages in other delimiters rewritten into the standard ones, and back.

Exact rewrites of small messages, the headers that are left alone, and a
property: any message written in the standard delimiters, rewritten into any
other usable set and back, reads exactly as it did. The comparison with
python-hl7's own reading of messages in other delimiters is in
``test_interop.py``.
"""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvolt import Hl7Json
from brenvolt_feeds.delimiters import (
    STANDARD,
    Delimiters,
    declared_delimiters,
    delimiter_problem,
    from_standard_delimiters,
    to_standard_delimiters,
)

VISTA = Delimiters("^", "~", "|", "\\", "&")
COLON = Delimiters(":", "-", "+", "?", "*")


class TestUnchanged:
    """The same object comes back: nothing to rewrite, or nothing that can be honoured."""

    @pytest.mark.parametrize(
        "message",
        [
            "MSH|^~\\&|A|B\rPID|1\r",
            "MSH|^~\\&#|A\r",
            "MSH|^~\\&",
            "MSH|^~\\&^|A\r",
            "MSH|^~\\&#!|A\r",
            "",
            "PID|1\r",
            "\rMSH$%~\\&$A\r",
            "MSHA$%~\\&$A\r",
            "MSH %~\\& A\r",
            "MSH",
            "MSH$",
            "MSH|^&&^|A\r",
            "MSH|^~}|A\r",
            "MSH|^~&|A\r",
            "MSH|^\\&|A\r",
            "MSH|^~\\\\&|A\r",
            "MSH|^\ufffd\\&|A\r",
            "MSH$%~\\&#!$A\r",
            "MSH$%~\\$A\r",
        ],
        ids=[
            "standard",
            "standard-truncation",
            "standard-header-only",
            "standard-fifth-repeats",
            "standard-six",
            "empty",
            "no-header",
            "line-end-first",
            "letter-after-msh",
            "space-after-msh",
            "name-only",
            "nothing-after-separator",
            "repeated-character",
            "three-characters",
            "no-escape-character",
            "no-repetition-character",
            "doubled-backslash",
            "replacement-character",
            "six-characters",
            "other-separator-three",
        ],
    )
    def test_same_object(self, message):
        assert to_standard_delimiters(message) is message

    def test_not_a_str(self):
        with pytest.raises(TypeError, match="message must be str, not bytes"):
            to_standard_delimiters(b"MSH$%~\\&$")  # type: ignore[arg-type]


class TestDeclared:
    @pytest.mark.parametrize(
        "message, declared",
        [
            ("MSH|^~\\&|A", STANDARD),
            ("MSH|^~\\&#|A", Delimiters("|", "^", "~", "\\", "&", "#")),
            ("MSH^~|\\&^A", VISTA),
            ("MSH:-+?*:A", COLON),
            ("MSH!$r?@", Delimiters("!", "$", "r", "?", "@")),
            ("MSH|^~\\}\rPID", Delimiters("|", "^", "~", "\\", "}")),
            ("MSH|^&&^|", None),
            ("PID|^~\\&|", None),
        ],
        ids=["standard", "truncation", "vista", "colon", "letter", "header-ends-at-msh2", "unusable", "no-header"],
    )
    def test_declared_delimiters(self, message, declared):
        assert declared_delimiters(message) == declared

    @pytest.mark.parametrize(
        "message, problem",
        [
            ("MSH|^&&^|A", "MSH-2 '^&&^' names '^' twice"),
            (
                "MSH|^~}|A",
                "MSH-2 '^~}' has 3 characters: the component, repetition, escape and sub-component separators are four",
            ),
            ("MSH$$", "MSH-2 '' has 0 characters: the component, repetition, escape and sub-component separators are four"),
            ("MSH|^~\\&#!?|A", "MSH-2 has more than 5 characters"),
            (
                "MSH|^\ufffd\\&|A",
                "the header holds U+FFFD, the mark of a character that could not be decoded, instead of a delimiter",
            ),
            ("MSH|^~\\&|A", None),
            ("MSH:-+?*:A", None),
            ("PID|^&&^|", None),
        ],
        ids=["repeated", "three", "empty", "six", "replacement-character", "standard", "other", "no-header"],
    )
    def test_delimiter_problem(self, message, problem):
        assert delimiter_problem(message) == problem

    def test_encoding_characters(self):
        assert Delimiters("|", "^", "~", "\\", "&", "#").encoding_characters == "^~\\&#"
        assert VISTA.encoding_characters == "~|\\&" and not VISTA.is_standard


class TestRewrite:
    @pytest.mark.parametrize(
        "message, rewritten",
        [
            (
                "MSH^~|\\&^SENDING^200M^^^^^ADT~A24^1^T^2.4\r\nPID^1^^1~~~FOO&&0363|2~~~BAR^^SMITH~JOHN\r\n",
                "MSH|^~\\&|SENDING|200M|||||ADT^A24|1|T|2.4\r\nPID|1||1^^^FOO&&0363~2^^^BAR||SMITH^JOHN\r\n",
            ),
            ("MSH|^~\\}|A|B}C&D\r", "MSH|^~\\&|A|B&C\\T\\D\r"),
            ("MSH$%~\\&$A|B^C~D$E%F\r", "MSH|^~\\&|A\\F\\B\\S\\C~D|E^F\r"),
            ("MSH:-+?*:a?F?b?S?c?R?d?E?e?T?f", "MSH|^~\\&|a:b-c+d?e*f"),
            ("MSH^~|\\&^a\\F\\b\\S\\c\\R\\d", "MSH|^~\\&|a\\S\\b\\R\\c\\F\\d"),
            ("MSH:-+?*:?X0D??X20??X0D0A?", "MSH|^~\\&|\\X0D\\\\X20\\\\X0D0A\\"),
            ("MSH:-+?*:?.br??H?x?N??Zq1?", "MSH|^~\\&|\\.br\\\\H\\x\\N\\\\Zq1\\"),
            ("MSH:-+?*:a??b:c?:d?F", "MSH|^~\\&|a?b|c?|d:"),
            ("MSH:-+?*:?F.x:?Zq.y", "MSH|^~\\&|:.x|\\Zq\\.y"),
            ("MSH:-+?*:?|q?", "MSH|^~\\&|\\E\\\\F\\q"),
            ("MSH|^~r&|arTrb", "MSH|^~\\&|a\\T\\b"),
            ("MSH$%~\\&#$A#\r", "MSH|^~\\&#|A#\r"),
            ("MSH$%~\\&^$A^\r", "MSH|^~\\&|A\\S\\\r"),
            ("MSH$%~\\&$A\rP|D$1\rMSH$%~\\&$B\rMSH$%~\\&#$C\r", "MSH|^~\\&|A\rP\\F\\D|1\rMSH|^~\\&|B\rMSH|^~\\E\\&#|C\r"),
            ("MSH$%~\\&\r\nPID$1\n", "MSH|^~\\&\r\nPID|1\n"),
        ],
        ids=[
            "vista",
            "subcomponent-brace",
            "plain-standard-characters",
            "own-sequences-stand-for-own-characters",
            "vista-sequences",
            "hexadecimal-sequences-kept",
            "formatting-and-unknown-sequences-kept",
            "doubled-and-trailing-escape",
            "known-and-unknown-names-ended-by-another-character",
            "name-with-a-standard-delimiter",
            "letter-delimiters-end-names",
            "truncation-kept",
            "truncation-that-is-a-standard-delimiter",
            "segment-names-and-later-headers",
            "header-ending-at-msh2",
        ],
    )
    def test_rewritten_text(self, message, rewritten):
        assert to_standard_delimiters(message) == rewritten

    @pytest.mark.parametrize(
        "message, records",
        [
            (
                "MSH:-+?*:field2:c1-c2:r1+r2:s1*s2:f6?R?\r",
                [
                    {"1.1": "", "1.2": "~\\&", "2": "field2", "3.1": "c1", "3.2": "c2", "4[0]": "r1", "4[1]": "r2", "5": "s1&s2", "6": "f6+", "segment_name": "MSH"},
                ],
            ),
            (
                "MSH^~|\\&^A^x|y~z\rPID^1^a\\F\\b\r",
                [
                    {"1.1": "", "1.2": "~\\&", "2": "A", "3[0]": "x", "3[1].1": "y", "3[1].2": "z", "segment_name": "MSH"},
                    {"1": "1", "2.1": "a", "2.2": "b", "segment_name": "PID"},
                ],
            ),
        ],
        ids=["colon", "vista-field-separator-in-a-value-splits-as-a-decoded-caret"],
    )
    def test_records(self, message, records):
        assert Hl7Json(to_standard_delimiters(message)).hl7_json == records


class TestFromStandard:
    @pytest.mark.parametrize(
        "message, delimiters, written",
        [
            ("MSH|^~\\&|A^B~C|D&E\\T\\F\\F\\\rMSA|AA|1\r", VISTA, "MSH^~|\\&^A~B|C^D&E\\T\\F\\R\\\rMSA^AA^1\r"),
            ("MSH|^~\\&|a\\X20\\b:c\r", COLON, "MSH:-+?*:a?X20?b?F?c\r"),
            ("MSH|^~\\&|A", Delimiters("|", "^", "~", "\\", "&", "#"), "MSH|^~\\&#|A"),
            # brenvolt reads "\^\" as the unknown name "^" (then cut at "^"), and
            # keeps a field holding "^~\&" in one repetition.
            ("MSH|^~\\&|\\^\\\rPID|a^~\\&b~c\r", VISTA, "MSH^~|\\&^\\E\\~\rPID^a~\\S\\\\E\\&b\\S\\c\r"),
        ],
        ids=["vista", "colon", "add-truncation", "read-as-brenvolt-reads"],
    )
    def test_written_text(self, message, delimiters, written):
        assert from_standard_delimiters(message, delimiters) == written

    def test_standard_comes_back_as_it_is(self):
        message = "MSH|^~\\&|A\r"
        assert from_standard_delimiters(message, STANDARD) is message

    @pytest.mark.parametrize(
        "message, delimiters, error",
        [
            ("MSH$%~\\&$A", VISTA, "the message does not start with a header in the standard delimiters"),
            ("MSH|^~\\&|A", Delimiters("|", "^", "^", "\\", "&"), "MSH-2 '^^\\&' names '^' twice"),
            ("MSH|^~\\&|A", Delimiters("^", "^", "~", "\\", "&"), "each must be one character, all different"),
            ("MSH|^~\\&|A", Delimiters("||", "^", "~", "\\", "&"), "each must be one character, all different"),
            ("MSH|^~\\&|A", Delimiters("X", "^", "~", "\\", "&"), "'X' cannot be a field separator"),
        ],
        ids=["not-standard", "repeated", "field-among-them", "two-characters", "letter-field"],
    )
    def test_refused(self, message, delimiters, error):
        with pytest.raises(ValueError, match=error.replace("\\", "\\\\").replace("^", "\\^").replace("|", "\\|")):
            from_standard_delimiters(message, delimiters)


# -- there and back -------------------------------------------------------------

PUNCTUATION = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~"
# Values hold every candidate delimiter, escape-like text and characters
# whose name rules differ (letters, digits, a combining mark, an accent).
TEXT = st.text(PUNCTUATION + "abrZ19XFSRET. \u00e9\u0903", max_size=24)


@st.composite
def other_delimiters(draw: st.DrawFn) -> Delimiters:
    field = draw(st.sampled_from(PUNCTUATION))
    rest = draw(
        st.lists(st.sampled_from(PUNCTUATION.replace(field, "") + "rZ"), min_size=4, max_size=5, unique=True)
    )
    truncation = rest[4] if len(rest) == 5 and rest[4] not in "|^~\\&" else None
    return Delimiters(field, *rest[:4], truncation=truncation)


class TestThereAndBack:
    """A message in the standard delimiters, with any text in its fields (escape
    sequences known, unknown, unclosed or doubled), written into other
    delimiters and back, reads as it did. A truncation character stays in
    MSH-2."""

    @settings(max_examples=400, deadline=None)
    @given(delimiters=other_delimiters(), header=TEXT, lines=st.lists(TEXT, max_size=4))
    def test_records_unchanged(self, delimiters, header, lines):
        start = "MSH|^~\\&" + (delimiters.truncation or "") + "|"
        message = start + header + "".join(f"\rPID|{line}" for line in lines) + "\r"
        other = from_standard_delimiters(message, delimiters)
        assert declared_delimiters(other) == delimiters
        assert Hl7Json(to_standard_delimiters(other)).hl7_json == Hl7Json(message).hl7_json
