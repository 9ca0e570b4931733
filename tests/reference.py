"""Small pure-Python models of brenvolt, written from the rules of the record
scheme, and the generated inputs the differential tests feed to both.

* ``message``/``record``: HL7 text -> records (what ``Hl7Json`` gives);
* ``line``: one record -> one segment line (what ``JsonHl7`` writes);
* ``validate``: the first broken validation rule's message, or None.
"""

from __future__ import annotations

import re
import unicodedata

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

PROPERTY_SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def items(records) -> list[list[tuple[str, str]]]:
    """Records as lists of pairs, so that comparisons include key order."""
    return [list(record.items()) for record in records]


# --- HL7 text -> records ---

ENCODING_CHARACTERS = "^~\\&"
SEQUENCES = {
    "F": "|", "S": "^", "R": "~", "E": "\\", "T": "&",
    "X0A": "\n", "X0D": "\r", "X0D0A": "\r\n", "X20": " ", "X09": "\t",
}
# Alphabetic characters that are neither letters nor Nl numbers; generated
# text uses only this one.
OTHER_ALPHABETIC = {"Ⓐ"}


def normalise(text: str) -> str:
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")


def is_name_char(ch: str) -> bool:
    if ch.isascii():
        return ch.isalnum()
    return ch.isalpha() or unicodedata.category(ch) in ("Nd", "Nl", "No") or ch in OTHER_ALPHABETIC


def unescape(text: str) -> str:
    out: list[str] = []
    i, n = 0, len(text)
    while i < n:
        ch = text[i]
        if ch != "\\" or i == n - 1:
            out.append(ch)
            i += 1
        elif text[i + 1] == "\\":
            out.append("\\")
            i += 2
        else:
            j = i + 2
            while j < n and is_name_char(text[j]):
                j += 1
            name = text[i + 1 : j]
            out.append(SEQUENCES.get(name, "\\" + name))
            if j < n:
                if text[j] != "\\":
                    out.append(text[j])
                j += 1
            i = j
    return "".join(out)


def _part(raw: str, escaping: bool):
    """A repetition or a field without repetitions: (value, components or None)."""
    if escaping:
        value = unescape(raw)
        return value, (value.split("^") if "^" in value else None)
    if "^" in raw and ENCODING_CHARACTERS not in raw:
        return raw, raw.split("^")
    return raw, None


def record(line: str, escaping: bool) -> list[tuple[str, str]]:
    name, *fields = line.split("|")
    out = {"segment_name": name}

    def put(prefix: str, raw: str) -> None:
        value, components = _part(raw, escaping)
        if components is None:
            out[prefix] = value
        else:
            out.update((f"{prefix}.{c}", component) for c, component in enumerate(components, 1))

    for n, raw in enumerate(fields, 1):
        if "~" in raw and ENCODING_CHARACTERS not in raw:
            for r, rep in enumerate(raw.split("~")):
                put(f"{n}[{r}]", rep)
        else:
            put(str(n), raw)
    return sorted(out.items(), key=lambda item: item[0].encode())


def segment_lines(text: str) -> list[str]:
    """The lines that give records: every line but the empty ones after the
    last line with text (the final segment terminator, blank lines after it);
    a text without a line of text keeps all its lines."""
    lines = normalise(text).split("\n")
    kept = len(lines)
    while kept > 0 and lines[kept - 1] == "":
        kept -= 1
    return lines[:kept] if kept > 0 else lines


def message(text: str, escaping: bool) -> list[list[tuple[str, str]]]:
    return [record(line, escaping) for line in segment_lines(text)]


# --- Record -> segment line ---

ESCAPES = {"|": "\\F\\", "^": "\\S\\", "~": "\\R\\", "&": "\\T\\", "\\": "\\E\\"}
ESCAPES |= {"\t": "\\X09\\", "\n": "\\X0A\\", "\r": "\\X0D\\"}


def _number(text: str):
    text = text[1:] if text.startswith("+") else text
    if not text or any(ch not in "0123456789" for ch in text) or int(text) >= 2**64:
        return None
    return int(text)


def position(key: str):
    """(field, repetition, component) named by a key, or None."""
    if not key:
        return None
    if (n := _number(key)) is not None:
        return n, 0, 0
    if "[" in key and "]" in key:
        open_, close = key.index("["), key.index("]")
        if close < open_:
            return None
        n, r = _number(key[:open_]), _number(key[open_ + 1 : close])
        if n is None or r is None:
            return None
        rest = key[close + 1 :]
        if not rest.startswith("."):
            return n, r, 0
        c = _number(rest[1:])
        return None if c is None else (n, r, c)
    pieces = key.split(".")
    if len(pieces) != 2 or None in (n := _number(pieces[0]), c := _number(pieces[1])):
        return None
    return n, 0, c


def _field(slots_by_repetition: dict) -> str:
    texts = []
    for r in range(max(slots_by_repetition, default=-1) + 1):
        slots = slots_by_repetition.get(r, {})
        top = max(slots, default=0)
        texts.append("^".join(slots.get(c, "") for c in range(1, top + 1)) if top else slots.get(0, ""))
    return "~".join(texts)


def _encoding_characters_as_is(raw: dict) -> bool:
    """Whether an MSH record's field 1 (positions -> unescaped values) is
    written without escaping: 4 or 5 characters, no | CR LF, and reading it
    back as field 1 of an MSH line gives the same: decoding escapes, or raw
    where decoding would not change the text."""
    text = _field(raw)
    if not 4 <= len(text) <= 5 or any(ch in text for ch in "|\r\n"):
        return False
    declared = {(1, r, c): value for r, slots in raw.items() for c, value in slots.items()}
    for escaping in (True, False):
        if not escaping and unescape(text) != text:
            return False
        read = {position(key): value for key, value in record("MSH|" + text, escaping) if key != "segment_name"}
        if read == declared:
            return True
    return False


def line(rec: dict) -> str:
    table: dict = {}
    raw: dict = {}
    for key in sorted(rec, key=str.encode):
        if key != "segment_name" and (pos := position(key)) is not None:
            escaped = "".join(ESCAPES.get(ch, ch) for ch in rec[key])
            table.setdefault(pos[0], {}).setdefault(pos[1], {})[pos[2]] = escaped
            raw.setdefault(pos[0], {}).setdefault(pos[1], {})[pos[2]] = rec[key]
    if rec.get("segment_name") == "MSH" and 1 in raw and _encoding_characters_as_is(raw[1]):
        table[1] = raw[1]
    parts = [rec["segment_name"]] if "segment_name" in rec else []
    parts += [_field(table.get(f, {})) for f in range(1, max(table, default=0) + 1)]
    return "|".join(parts)


# --- Validation ---

SUPPORTED = ["2.1", "2.2", "2.3", "2.3.1", "2.4", "2.5", "2.5.1", "2.6", "2.7", "2.7.1", "2.8", "2.8.1", "2.8.2", "2.9"]
TWO_PART_MESSAGE_TYPE = ["2.1", "2.2", "2.3"]
MISSING_MSH = "Missing required segment: MSH (Message Header)"
MISSING_PID = "Missing required segment: PID (Patient Identification)"
SHORT_MSH = "HL7 validation failed: MSH segment must have at least 12 fields"
MESSAGE_TYPE = "HL7 validation failed: Message type (field 8) must have at least 3 components: event^structure^version"
MESSAGE_TYPE_BEFORE_231 = "HL7 validation failed: Message type (field 8) must have at least 2 components: type^trigger"


# The messages that take a value, as functions of it.
unsupported = ("HL7 version not supported: {} (supported versions: " + ", ".join(SUPPORTED) + ")").format
separators = "Invalid field separators: {} (must be exactly 4 characters)".format
invalid_name = "Invalid segment name: {} (must be exactly 3 alphabetic characters)".format
empty_name = "HL7 validation failed: Segment {} has empty segment name".format
too_long = "Field value exceeds maximum length: {} > 65536 characters".format


def validate(text: str, strict: bool, required: bool) -> str | None:
    lines = normalise(text).split("\n")
    while lines and lines[-1] == "":
        lines.pop()
    if not lines:
        return MISSING_MSH
    segments = [ln.split("|") for ln in lines]
    header = segments[0]
    if header[0] != "MSH":
        return MISSING_MSH
    if len(header) - 1 < 11:
        return SHORT_MSH
    if len(header[1].encode()) != 4:
        return separators(header[1])
    version_id = header[11].split("^")[0]
    if strict and version_id not in SUPPORTED:
        return unsupported(header[11])
    if strict and version_id in TWO_PART_MESSAGE_TYPE and len(header[8].split("^")) < 2:
        return MESSAGE_TYPE_BEFORE_231
    if strict and version_id not in TWO_PART_MESSAGE_TYPE and len(header[8].split("^")) < 3:
        return MESSAGE_TYPE
    if required and not any(s[0] == "PID" for s in segments):
        return MISSING_PID
    for i, segment in enumerate(segments, 1):
        if segment[0] == "":
            return empty_name(i)
        if not re.fullmatch(r"[A-Za-z][A-Za-z0-9]{2}", segment[0]):
            return invalid_name(segment[0])
        for field in segment[1:]:
            if len(field.encode()) > 65536:
                return too_long(len(field.encode()))
    return None


# --- Generated input ---

# HL7-like text over characters the models above handle exactly.
CHARACTERS = list("|^~\\&\r\n \tFSRETXADNHMP0129az.-éⒶ中\u0663½\u00a0\u2028😀\u0301\x00\x0b")
TOKENS = ["\\F\\", "\\S\\", "\\R\\", "\\E\\", "\\T\\", "\\X0D\\", "\\X0A\\", "\\X0D0A\\", "\\X20\\", "\\X09\\"]
TOKENS += ["\\H\\", "\\X41\\", "\\Fé\\", "\\.br\\", "\\Z", "^~\\&", "MSH|^~\\&|", "\rPID|", "\r\n", "\n\r", "ab"]
hl7_texts = st.one_of(
    st.text(alphabet=st.sampled_from(CHARACTERS), max_size=80),
    st.lists(st.sampled_from(TOKENS + CHARACTERS), max_size=40).map("".join),
)

# Records with keys of every form, valid or not, and values that need escaping.
_NUMBERS = st.integers(0, 12).map(str) | st.sampled_from(["+3", "03", "+0", "007", "+", "", "-1", " 2", "\u0663"])
_KEYS = st.one_of(
    _NUMBERS,
    st.builds("{}.{}".format, _NUMBERS, _NUMBERS),
    st.builds("{}[{}]".format, _NUMBERS, _NUMBERS),
    st.builds("{}[{}].{}".format, _NUMBERS, _NUMBERS, _NUMBERS),
    st.builds("{}[{}]{}".format, _NUMBERS, _NUMBERS, st.sampled_from(["x", "]", "[1]", ".", ".x", ".1.2"])),
    st.sampled_from(["segment_name", "note", "]3[", "3.1.2", "3.1[0]", "18446744073709551616", "1.2.3"]),
)
_VALUES = st.text(alphabet=st.sampled_from(list("|^~&\\\t\r\n aZ9é😀\x00")), max_size=6)
# Header records whose field 1 may or may not be written as it is.
_MSH_RECORDS = st.builds(
    lambda fields, rest: {**fields, **rest, "segment_name": "MSH"},
    st.dictionaries(
        st.sampled_from(["1", "01", "1.0", "1.1", "1.2", "1.3", "1[0]", "1[1]", "1[0].1", "1[0].2", "1[1].2"]),
        st.text(alphabet=st.sampled_from(list("^~\\&#}|\r a")), max_size=5),
        max_size=3,
    ),
    st.dictionaries(_KEYS, _VALUES, max_size=3),
)
record_lists = st.lists(st.dictionaries(_KEYS, _VALUES, max_size=8) | _MSH_RECORDS, max_size=4)

# Messages whose header breaks any one rule or none, then segments that may.
_field_text = st.text(alphabet=st.sampled_from(list("^~\\&aZ09.é ")), max_size=6) | st.just("x" * 65537)
_header = st.builds(
    lambda enc, fields, mtype, version, extra: "|".join(["MSH", enc, *fields, mtype, "M1", "P", version, *extra]),
    st.sampled_from(["^~\\&", "^~\\&", "^~\\", "^~\\&#", "abcd", "", "^~é"]),
    st.lists(_field_text, min_size=6, max_size=6),
    st.sampled_from(["ADT^A01^ADT_A01", "ADT^A01", "^^", "ADT", "A~B^C^D", ""]),
    st.sampled_from(SUPPORTED + ["", "3.0", "2.5 ", "2.5^FRA^2.5", "2.3^", "3.0^2.5", "^2.5"]),
    st.lists(_field_text, max_size=3),
)
_short_header = st.integers(0, 10).map(lambda n: "MSH" + "|^~\\&" * min(n, 1) + "|x" * max(n - 1, 0))
_segment = st.builds(
    lambda name, fields: "|".join([name, *fields]),
    st.sampled_from(["PID", "pid", "PV1", "ZZ1", "Z-Z", "1ZZ", "ZZ", "ZZZZ", "", " ", "€", "É1A", "NTE", "MSH"]),
    st.lists(_field_text, max_size=4),
)
messages = st.builds(
    lambda head, segments, trailing, end: end.join([head, *segments]) + end * trailing,
    st.one_of(_header, _header, _short_header, _segment),
    st.lists(_segment, max_size=5),
    st.integers(0, 3),
    st.sampled_from(["\r", "\n", "\r\n", "\n\r"]),
)
