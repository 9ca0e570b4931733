"""A straightforward pure-Python converter with brenvolt's output, and its inverse.

Written from the record rules in the README, the way a Python programmer
would write them with the standard library (str.split, re, dict), without
tricks and without deliberate slowness. The suite checks, before timing,
that both give exactly what brenvolt gives on every workload.

HL7 text -> records (escaping on, the default):
- lines are cut at CR and LF, CR LF and LF CR counting as one;
- each line is cut into fields at "|"; the text before the first is the
  segment name;
- a field is cut into repetitions at "~" unless it holds "^~\\&";
- each repetition (or the field) is unescaped, then cut into components at "^"
  (so a decoded "^" splits, a decoded "~" does not);
- the escape sequences \\F\\ \\S\\ \\R\\ \\E\\ \\T\\ \\X0A\\ \\X0D\\ \\X0D0A\\ \\X20\\ \\X09\\
  and the doubled backslash are decoded; an unknown sequence keeps its
  opening backslash and loses its closing one. A sequence name is the
  character after the backslash and the letters and digits that follow it;
  here letters and digits are Python's (re's \\w without "_"), which differ
  from brenvolt's only for symbols with the Unicode property Other_Alphabetic
  (such as the circled letter U+24B6), which no workload holds;
- keys of one record are in ascending byte order of their text (for str that
  is code point order, which sorted() gives).

Records -> HL7 text: the inverse for the key forms that Hl7Json produces
(n, n.c, n[r], n[r].c); other keys are ignored. Values are escaped (a
backslash as \\E\\), except an MSH record's field 1 when its unescaped text
is 4 or 5 characters without "|", CR or LF and reads back, decoded or not, to
the record's own field-1 entries: that text is written as it is. Lines are
joined by LF.
"""

from __future__ import annotations

import functools
import re

ENCODING_CHARACTERS = "^~\\&"

_SEQUENCES = {
    "F": "|", "S": "^", "R": "~", "E": "\\", "T": "&",
    "X0A": "\n", "X0D": "\r", "X0D0A": "\r\n", "X20": " ", "X09": "\t",
}
# A backslash and then: a second backslash; or a name (any one character,
# then letters and digits) and an optional closing backslash, which is
# dropped; or the end of the text.
_ESCAPE = re.compile(r"\\(?:(\\)|(.[^\W_]*)\\?|$)", re.S)


def _decode(match: re.Match) -> str:
    name = match.group(2)
    if name is None:  # doubled, or the last character
        return "\\"
    return _SEQUENCES.get(name, "\\" + name)


def unescape(text: str) -> str:
    return _ESCAPE.sub(_decode, text) if "\\" in text else text


def _split(value: str, decode: bool) -> list[str] | None:
    """A value's components, or None when it is kept whole: decoded values
    split at every "^"; raw ones (decoding off) not when they hold "^~\\&"."""
    if "^" in value and (decode or ENCODING_CHARACTERS not in value):
        return value.split("^")
    return None


def segment_to_record(line: str, decode: bool = True) -> dict[str, str]:
    """One line's record; `decode` False keeps escape sequences as written."""
    fields = line.split("|")
    record = {"segment_name": fields[0]}
    for n, raw in enumerate(fields[1:], 1):
        if "~" in raw and ENCODING_CHARACTERS not in raw:
            parts = [(f"{n}[{r}]", repetition) for r, repetition in enumerate(raw.split("~"))]
        else:
            parts = [(str(n), raw)]
        for key, text in parts:
            value = unescape(text) if decode else text
            components = _split(value, decode)
            if components is None:
                record[key] = value
            else:
                for c, component in enumerate(components, 1):
                    record[f"{key}.{c}"] = component
    return dict(sorted(record.items()))


def hl7_to_records(text: str) -> list[dict[str, str]]:
    text = text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")
    lines = text.split("\n")
    # The empty lines after the last segment give no record (a text of
    # empty lines only gives one for each).
    if any(lines):
        while not lines[-1]:
            lines.pop()
    return [segment_to_record(line) for line in lines]


# ---------------------------------------------------------------------------
# Records -> HL7 text
# ---------------------------------------------------------------------------

_ESCAPES = {
    "|": "\\F\\", "^": "\\S\\", "~": "\\R\\", "&": "\\T\\", "\\": "\\E\\",
    "\t": "\\X09\\", "\n": "\\X0A\\", "\r": "\\X0D\\",
}
_SPECIAL = re.compile("[|^~&\\\\\t\n\r]")
_KEY = re.compile(r"(\d+)(?:\[(\d+)\])?(?:\.(\d+))?")


def _escape_one(match: re.Match) -> str:
    return _ESCAPES[match.group()]


def escape(value: str) -> str:
    return _SPECIAL.sub(_escape_one, value) if _SPECIAL.search(value) else value


@functools.lru_cache(maxsize=1 << 16)
def position(key: str) -> tuple[int, int, int] | None:
    """(field, repetition, component) named by a key; component 0 is the whole value."""
    match = _KEY.fullmatch(key)
    if match is None:
        return None
    return int(match[1]), int(match[2] or 0), int(match[3] or 0)


def _field_text(repetitions: dict[int, dict[int, str]], convert=escape) -> str:
    texts = []
    for r in range(max(repetitions, default=0) + 1):
        slots = repetitions.get(r, {})
        last = max(slots, default=0)
        if last:
            texts.append("^".join([convert(slots.get(c, "")) for c in range(1, last + 1)]))
        else:
            texts.append(convert(slots.get(0, "")))
    return "~".join(texts)


def _header_field_one(repetitions: dict[int, dict[int, str]]) -> str | None:
    """An MSH record's field 1 unescaped, when it may be written as it is: 4 or
    5 characters, no "|", CR or LF, and reading back, decoded or not, to
    exactly the record's own field-1 entries."""
    text = _field_text(repetitions, str)
    if not 4 <= len(text) <= 5 or any(c in text for c in "|\r\n"):
        return None
    declared = {(r, c): v for r, slots in repetitions.items() for c, v in slots.items()}
    for decode in (False, True):
        read = segment_to_record("MSH|" + text, decode)
        del read["segment_name"]
        if {position(k)[1:]: v for k, v in read.items()} == declared:  # type: ignore[index]
            return text
    return None


def record_to_segment(record: dict[str, str]) -> str:
    # field -> repetition -> component -> text, as given
    table: dict[int, dict[int, dict[int, str]]] = {}
    for key in sorted(record):  # when two keys name one slot, the later one wins
        pos = position(key)
        if pos is not None:
            n, r, c = pos
            table.setdefault(n, {}).setdefault(r, {})[c] = record[key]
    verbatim = _header_field_one(table[1]) if record.get("segment_name") == "MSH" and 1 in table else None
    parts = [record["segment_name"]] if "segment_name" in record else []
    for n in range(1, max(table, default=0) + 1):
        parts.append(verbatim if n == 1 and verbatim is not None else _field_text(table.get(n, {})))
    return "|".join(parts)


def records_to_hl7(records: list[dict[str, str]]) -> str:
    return "\n".join([record_to_segment(record) for record in records])
