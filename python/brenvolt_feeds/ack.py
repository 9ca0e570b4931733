"""Original-mode acknowledgements (ACK messages) of received HL7 v2 messages.

``build_ack(message, code, text)`` answers one received message text with
its ACK: the received header is read with ``brenvolt.Hl7Json`` (escape
sequences decoded), the reply is built as records and written with
``brenvolt.JsonHl7``, which escapes every value exactly once. The ACK holds

- ``MSH``: encoding characters ``^~\\&``; MSH-3/4 (sending application and
  facility) are the received MSH-5/6 and MSH-5/6 the received MSH-3/4, with
  their components; MSH-7 the time of the reply with its UTC offset
  (``20261208231500.123+0000``); MSH-9 ``ACK^<received trigger>^ACK``; MSH-10
  a fresh control id of 20 characters (HL7 v2.3 allows MSH-10 no more);
  MSH-11 (processing id), MSH-12 (version) and MSH-18 (character set) copied;
- ``MSA``: MSA-1 the code (``AA`` accepted, ``AE`` error, ``AR`` rejected;
  in enhanced mode the commit codes ``CA``, ``CE`` and ``CR``), MSA-2 the
  received MSH-10 exactly as the sender wrote it, so that the sender can
  match the reply, and MSA-3 the text (at most 80 characters);
- ``ERR``, on ``AE``, ``AR``, ``CE`` and ``CR``: ERR-3 the HL7 error code
  (table 0357, ``207^Application internal error^HL70357`` unless told
  otherwise), ERR-4 the severity ``E`` and ERR-8 the whole text.

Enhanced mode: a sender that fills MSH-15 (accept acknowledgement type,
table 0155: ``AL`` always, ``NE`` never, ``ER`` on error only, ``SU`` on
success only) asks for a commit acknowledgement on those conditions;
``accept_acknowledgement`` reads it and ``commit_answer`` says which code,
if any, answers an outcome.

Every segment ends with CR, the last one too. A damaged header (cut short,
no MSH-9 or MSH-10, no MSH at all, an empty text) still gets an ACK with
whatever could be read; a received acknowledgement never does, since two
systems acknowledging each other's ACKs loop forever.

Delimiters: the received header is read in the delimiters it declares in
MSH-1 and MSH-2 (``brenvolt_feeds.delimiters``), and the ACK is written in
them too: a message in ``MSH^~|\\&^...`` gets ``MSH^~|\\&^...MSA^AA^...``.
When MSH-2 cannot be honoured (``MSH|^&&^|``) the header is read, and the
ACK written, in ``| ^ ~ \\ &``; MSH-10 is then still cut at the header's own
field separator.

What brenvolt's reading decides: a component separator written ``\\S\\``
inside a copied field (MSH-3 to MSH-6, MSH-9, MSH-11, MSH-12, MSH-18) is
read as a component boundary and so comes back as ``^``, and an escape
sequence that brenvolt does not decode (``\\X41\\``) comes back with its
backslashes escaped. MSA-2 is exempt: it is the sender's text itself.
"""

from __future__ import annotations

import datetime
import itertools
import os
import re
import secrets
import threading
import time
from collections.abc import Mapping
from typing import Final, Literal, get_args

from brenvolt import Hl7Json, JsonHl7
from brenvolt_feeds import mllp
from brenvolt_feeds.delimiters import (
    Delimiters,
    declared_delimiters,
    from_standard_delimiters,
    header_field_separator,
    to_standard_delimiters,
)

try:  # the ACK cut natively, built with brenvolt; in Python without it
    from brenvolt_receiver import plain_ack_frame as _native_ack_frame
except ImportError:  # pragma: no cover - a build without the module
    _native_ack_frame = None

__all__ = [
    "DEFAULT_ERROR_CODE",
    "DEFAULT_VERSION",
    "ERROR_CODES",
    "TEXT_MESSAGE_LIMIT",
    "AckCode",
    "accept_acknowledgement",
    "build_ack",
    "commit_answer",
    "control_id",
    "is_acknowledgement",
    "new_control_id",
]

AckCode = Literal["AA", "AE", "AR", "CA", "CE", "CR"]
"""MSA-1: original mode AA, AE, AR; enhanced mode (commit) CA, CE, CR."""

_COMMIT: Final[Mapping[str, AckCode]] = {"AA": "CA", "AE": "CE", "AR": "CR"}
_ACCEPT_TYPES: Final = frozenset({"AL", "NE", "ER", "SU"})

#: HL7 table 0357 (message error condition codes): code -> its description.
ERROR_CODES: Final[Mapping[str, str]] = {
    "0": "Message accepted",
    "100": "Segment sequence error",
    "101": "Required field missing",
    "102": "Data type error",
    "103": "Table value not found",
    "104": "Value too long",
    "200": "Unsupported message type",
    "201": "Unsupported event code",
    "202": "Unsupported processing id",
    "203": "Unsupported version id",
    "204": "Unknown key identifier",
    "205": "Duplicate key identifier",
    "206": "Application record locked",
    "207": "Application internal error",
}

#: The error code of an AE or AR acknowledgement when none is given.
DEFAULT_ERROR_CODE: Final = "207"

#: MSH-12 of the ACK when the received message names no version.
DEFAULT_VERSION: Final = "2.5"

#: MSA-3 (text message) is an ST of 80 characters in HL7 v2.3 to v2.6.
TEXT_MESSAGE_LIMIT: Final = 80

_CODES: Final[tuple[str, ...]] = get_args(AckCode)
_ACCEPTED: Final = frozenset({"AA", "CA"})

# A line starting "MSH", at the start of the text (after a byte-order mark) or
# of a line; a header when a field separator or nothing follows the name.
# brenvolt cuts lines at CR and LF.
_MSH_LINE = re.compile(r"(?:\A\ufeff?|(?<=[\r\n]))MSH[^\r\n]*")
_DIGITS: Final = frozenset("0123456789")
_SURROGATE = re.compile(r"[\ud800-\udfff]")
_LINE_BREAKS = re.compile(r"\s*[\r\n]\s*")

# Record keys count fields after the segment name; in MSH the character after
# the name *is* MSH-1, so key n holds MSH-(n+1).
_MSH_KEY: Final = {
    "sending_application": 2,
    "sending_facility": 3,
    "receiving_application": 4,
    "receiving_facility": 5,
    "time": 6,
    "message_type": 8,
    "control_id": 9,
    "processing_id": 10,
    "version": 11,
    "accept_acknowledgement": 14,
    "character_set": 17,
}

# Fresh control ids: 8 random characters drawn per process (drawn again in a
# forked child) and a 12-character counter, both in Crockford's base 32 (no
# I, L, O, U), so ids are unique within a process and, with near certainty,
# across processes and restarts. 32**12 ids per process.
_ALPHABET: Final = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
_PREFIX_LENGTH: Final = 8
_id_lock = threading.Lock()
_id_prefix = ""
_id_counter = itertools.count()


def _draw_prefix() -> None:
    global _id_prefix, _id_counter
    _id_prefix = "".join(secrets.choice(_ALPHABET) for _ in range(_PREFIX_LENGTH))
    _id_counter = itertools.count()


_draw_prefix()
os.register_at_fork(after_in_child=_draw_prefix)


# Two base-32 digits at a time: a receiver draws one id per ACK.
_PAIRS: Final = tuple(high + low for high in _ALPHABET for low in _ALPHABET)


def new_control_id() -> str:
    """Return a fresh message control id (MSH-10): 20 letters and digits.

    Ids never repeat within a process (or a forked child of it), and two
    processes share ids only if their 40-bit random prefixes collide. Thread
    safe.
    """
    with _id_lock:
        number = next(_id_counter)
        prefix = _id_prefix
    pairs = _PAIRS
    return (
        prefix
        + pairs[(number >> 50) & 1023]
        + pairs[(number >> 40) & 1023]
        + pairs[(number >> 30) & 1023]
        + pairs[(number >> 20) & 1023]
        + pairs[(number >> 10) & 1023]
        + pairs[number & 1023]
    )


def _require_text(message: object) -> str:
    if not isinstance(message, str):
        raise TypeError(f"message must be str, not {type(message).__name__}")
    return message


def _header_line(message: str) -> str | None:
    """The first MSH line of ``message``, without its line end; None when there is none."""
    for match in _MSH_LINE.finditer(message):
        line = match.group().lstrip("\ufeff")
        if line == "MSH" or header_field_separator(line) is not None:
            return line
    return None


def _header_record(line: str | None) -> dict[str, str]:
    """The record of an MSH line, read in its own delimiters, escapes decoded; {} when there is no line.

    Lone surrogates (from text decoded with ``surrogateescape``) cannot be
    encoded for brenvolt; they are read as U+FFFD.
    """
    if line is None:
        return {}
    text = to_standard_delimiters(_SURROGATE.sub("\ufffd", line))
    records = Hl7Json(text, escaping_enabled=True).hl7_json
    return records[0] if records else {}


def _fields(record: Mapping[str, str]) -> dict[int, dict[str, str]]:
    """The record's entries grouped by field number: number -> {key suffix ("", ".2", "[1]", "[1].2"): value}.

    Each key is read once; keys that do not start with a field number
    (``segment_name``) are left out.
    """
    grouped: dict[int, dict[str, str]] = {}
    for key, value in record.items():
        end = 0
        while end < len(key) and key[end] in _DIGITS:
            end += 1
        if end:
            grouped.setdefault(int(key[:end]), {})[key[end:]] = value
    return grouped


def _first_component(record: Mapping[str, str], number: int, component: int) -> str:
    """Component ``component`` of the first repetition of field ``number``, "" when absent."""
    return _component(_fields(record).get(number, {}), component)


def _component(entries: Mapping[str, str], component: int) -> str:
    """Component ``component`` of the first repetition among one field's ``entries``, "" when absent."""
    for prefix in ("", "[0]"):
        if component == 1 and prefix in entries:
            return entries[prefix]
        if f"{prefix}.{component}" in entries:
            return entries[f"{prefix}.{component}"]
    return ""


def _raw_field(line: str | None, number: int) -> str:
    """Field ``number`` (record numbering) of an MSH line as written, cut at its own field separator.

    "" when absent.
    """
    separator = None if line is None else header_field_separator(line)
    if line is None or separator is None:
        return ""
    fields = line.split(separator)
    return fields[number] if number < len(fields) else ""


def is_acknowledgement(message: str) -> bool:
    """Whether ``message`` is an acknowledgement: its first MSH's MSH-9 begins with ``ACK``.

    The first component of MSH-9 (message code), escape sequences decoded,
    must be exactly ``ACK``. A text without an MSH line is no acknowledgement.
    Raises ``TypeError`` when ``message`` is not a str.
    """
    record = _header_record(_header_line(_require_text(message)))
    return _first_component(record, _MSH_KEY["message_type"], 1) == "ACK"


def accept_acknowledgement(message: str) -> str:
    """MSH-15 (accept acknowledgement type) of the first MSH in ``message``: AL, NE, ER, SU or "".

    "" (original mode) when the field is empty or absent. A value outside
    HL7 table 0155 is read as ``AL``: the sender asked for enhanced mode, and
    an answer it did not ask for harms less than a missing one it waits for.
    Letters are compared without regard to case and surrounding spaces.
    Raises ``TypeError`` when ``message`` is not a str.
    """
    value = _raw_field(_header_line(_require_text(message)), _MSH_KEY["accept_acknowledgement"])
    return accept_type(value)


def accept_type(field: str) -> str:
    """The accept acknowledgement type that MSH-15 written as ``field`` asks for.

    See ``accept_acknowledgement``.
    """
    if not field:
        return ""
    value = field.strip().upper()
    if value in _ACCEPT_TYPES:
        return value
    return "AL" if value else ""


def commit_answer(accept: str, outcome: AckCode) -> AckCode | None:
    """The code that answers ``outcome`` (AA, AE or AR) under MSH-15's ``accept`` type; None for no answer.

    ``accept`` "" is original mode: the outcome itself. Otherwise the commit
    code (CA, CE, CR) when the condition asks for one: AL always, NE never,
    ER only on error (CE, CR), SU only on success (CA).
    """
    if not accept:
        return outcome
    accepted = outcome in _ACCEPTED
    if accept == "NE" or (accept == "ER" and accepted) or (accept == "SU" and not accepted):
        return None
    return _COMMIT.get(outcome, outcome)


def control_id(message: str) -> str:
    """The message control id (MSH-10) of the first MSH in ``message``, as written.

    The text between the ninth and tenth field separators of the header
    line (MSH-1, whatever character it is), escape sequences and components
    kept as the sender wrote them, so that it can be compared with an ACK's
    MSA-2. "" when the text has no MSH line or the line ends before MSH-10.
    Raises ``TypeError`` when ``message`` is not a str.
    """
    return _raw_field(_header_line(_require_text(message)), _MSH_KEY["control_id"])


def _timestamp(now: datetime.datetime) -> str:
    """``now`` as an HL7 time stamp with milliseconds and UTC offset: YYYYMMDDHHMMSS.fff+ZZZZ."""
    offset = now.utcoffset()
    assert offset is not None
    if offset.seconds % 60 or offset.microseconds:
        # HL7 writes offsets as +HHMM: an offset with seconds is written as UTC.
        now = now.astimezone(datetime.UTC)
        offset = datetime.timedelta(0)
    minutes = int(offset.total_seconds()) // 60
    sign = "-" if minutes < 0 else "+"
    hours, minutes = divmod(abs(minutes), 60)
    return (
        f"{now.year:04d}{now.month:02d}{now.day:02d}{now.hour:02d}{now.minute:02d}{now.second:02d}"
        f".{now.microsecond // 1000:03d}{sign}{hours:02d}{minutes:02d}"
    )


_stamp_second: tuple[int, str] = (-1, "")


def _now_stamp() -> str:
    """The time now as ``_timestamp`` writes it in UTC; the date and time of day made once a second."""
    global _stamp_second
    now = time.time()
    second = int(now)
    cached, prefix = _stamp_second
    if second != cached:
        prefix = time.strftime("%Y%m%d%H%M%S", time.gmtime(second))
        _stamp_second = (second, prefix)
    return f"{prefix}.{int((now - second) * 1000):03d}+0000"


def _text_message(text: str) -> str:
    """``text`` on one line, cut to TEXT_MESSAGE_LIMIT characters (with "..." when cut)."""
    line = _LINE_BREAKS.sub(" ", text.strip())
    if len(line) <= TEXT_MESSAGE_LIMIT:
        return line
    return line[: TEXT_MESSAGE_LIMIT - 3].rstrip() + "..."


def _copy(
    target: dict[str, str], number: int, source: Mapping[int, Mapping[str, str]], source_number: int
) -> None:
    for suffix, value in source.get(source_number, {}).items():
        target[f"{number}{suffix}"] = value


def build_ack(
    message: str,
    code: AckCode = "AA",
    text: str | None = None,
    *,
    error_code: str | None = None,
    now: datetime.datetime | None = None,
    control_id: str | None = None,
) -> str:
    """Return the acknowledgement of ``message``, segments ended by CR.

    ``message`` is the received text (any line ends). ``code`` is MSA-1:
    ``"AA"`` (accepted), ``"AE"`` (error) or ``"AR"`` (rejected), or in
    enhanced mode the commit codes ``"CA"``, ``"CE"`` and ``"CR"`` (see
    ``commit_answer``). ``text`` says why: for AE, AR, CE and CR it goes to
    MSA-3 (on one line, at most 80 characters) and, whole, to ERR-8; without
    it the ERR segment carries the error code's description. For AA and CA a
    ``text`` goes to MSA-3 only, and no ERR segment is written. ``error_code`` is ERR-3's code from table 0357
    (see ``ERROR_CODES``; ``"207"``, application internal error, by default).
    ``now`` is the time of the reply (MSH-7, timezone-aware; the current UTC
    time by default) and ``control_id`` the ACK's own MSH-10 (a fresh
    ``new_control_id()`` by default).

    The header is read from the first MSH line; what it lacks is left empty,
    except MSH-12, which becomes ``DEFAULT_VERSION``, and the trigger in
    MSH-9 (``ACK^^ACK``).

    Raises ``ValueError`` when ``message`` is itself an acknowledgement (see
    ``is_acknowledgement``), when ``code`` is not one of the six, when
    ``error_code`` is not in table 0357 or is given with AA or CA, when ``now`` is
    naive, or when ``control_id`` is empty; ``TypeError`` when an argument
    has the wrong type.
    """
    message = _require_text(message)
    if code not in _CODES:
        raise ValueError(f"code must be one of AA, AE, AR, CA, CE, CR, not {code!r}")
    if text is not None and not isinstance(text, str):
        raise TypeError(f"text must be str or None, not {type(text).__name__}")
    if error_code is not None:
        if code in _ACCEPTED:
            raise ValueError(
                f"error_code is for AE, AR, CE and CR acknowledgements; an {code} has no ERR segment"
            )
        if error_code not in ERROR_CODES:
            raise ValueError(
                f"error_code {error_code!r} is not in HL7 table 0357 (known: {', '.join(ERROR_CODES)})"
            )
    if now is None:
        stamp = _now_stamp()
    elif not isinstance(now, datetime.datetime):
        raise TypeError(f"now must be a datetime.datetime, not {type(now).__name__}")
    elif now.utcoffset() is None:
        raise ValueError("now must be timezone-aware (MSH-7 carries the UTC offset)")
    else:
        stamp = _timestamp(now)
    if control_id is None:
        control_id = new_control_id()
    elif not isinstance(control_id, str):
        raise TypeError(f"control_id must be str or None, not {type(control_id).__name__}")
    elif not control_id:
        raise ValueError("control_id must not be empty")

    line = _header_line(message)
    if line is not None:
        line = _SURROGATE.sub("\ufffd", line)
        declared = declared_delimiters(line)
        if declared is not None and not declared.is_standard:
            return _declared_ack(line, declared, code, text, error_code, stamp, control_id)
    if code in _ACCEPTED and (text is None or not text.strip()):
        plain = _plain_ack(line, code, stamp, control_id)
        if plain is not None:
            return plain
    return _read_ack(line, code, text, error_code, stamp, control_id)


def plain_ack(line: str, code: AckCode = "AA") -> str | None:
    """The AA (or CA) of a received header ``line`` written plainly, with a fresh control id and the time now.

    ``line`` is the first MSH line of the message without its line end. A
    plainly written header (``MSH|^~\\&|`` and printable ASCII without
    space, escapes, repetitions or subcomponents) gets the ACK that
    ``build_ack`` writes for it, cut from its own text; any other gets None,
    and the caller asks ``build_ack``. A receiver calls this once per message.
    """
    if code not in _ACCEPTED:
        return None
    return _plain_ack(line, code, _now_stamp(), new_control_id())


def plain_ack_frame(line: str, code: AckCode = "AA") -> bytes | None:
    """``plain_ack(line, code)`` as the MLLP frame of its bytes (ASCII, so the same in UTF-8), or None.

    The receiver's answer to nearly every message: cut by brenvolt_receiver
    when it is built (tests hold the two to each other), else by ``plain_ack``.
    """
    if code not in _ACCEPTED:
        return None
    stamp = _now_stamp()
    control_id = new_control_id()
    if _native_ack_frame is not None:
        return _native_ack_frame(line, code, stamp, control_id, DEFAULT_VERSION)
    text = _plain_ack(line, code, stamp, control_id)
    return None if text is None else mllp.frame(text.encode("ascii"))


def _declared_ack(
    line: str,
    declared: Delimiters,
    code: AckCode,
    text: str | None,
    error_code: str | None,
    stamp: str,
    control_id: str,
) -> str:
    """The ACK of a header in other delimiters, written in them, MSA-2 the sender's MSH-10 as written."""
    standard = _read_ack(to_standard_delimiters(line), code, text, error_code, stamp, control_id)
    lines = from_standard_delimiters(standard, declared).split("\r")
    msa = lines[1].split(declared.field)
    msa[2] = _raw_field(line, _MSH_KEY["control_id"])
    lines[1] = declared.field.join(msa)
    return "\r".join(lines)


# What a header may hold for its ACK to be written straight from its text:
# printable ASCII without space, "\\", "&" and "~" (no escape sequence, no
# subcomponent, no repetition, nothing the writer would escape).
_PLAIN = re.compile(r"[!-%'-\[\]-}]*")


def _plain_ack(line: str | None, code: str, stamp: str, control_id: str) -> str | None:
    """The AA or CA of a plainly written header, built from its text; None when it needs ``_read_ack``.

    For such a header, reading the fields as records and writing them back
    gives their text unchanged (components included), so the copies are cut
    from the line itself; tests check that both ways agree.
    """
    if (
        line is None
        or not (line.startswith("MSH|^~\\&|") or line == "MSH|^~\\&")
        or _PLAIN.fullmatch(line, 9) is None
        or not (control_id.isascii() and control_id.isalnum())
    ):
        return None
    # fields[n] holds record key n, MSH-(n+1); padded so that every field read exists.
    fields = line.split("|")
    count = len(fields)
    if count < _PLAIN_FIELDS:
        fields += [""] * (_PLAIN_FIELDS - count)
    message_type = fields[8].split("^", 2)
    if message_type[0] == "ACK":
        return None  # _read_ack refuses it
    trigger = message_type[1] if len(message_type) > 1 else ""
    version = fields[11]
    if not version.replace("^", ""):
        version = DEFAULT_VERSION
    tail = "||||||" + fields[17] if count > 17 else ""
    return (
        f"MSH|^~\\&|{fields[4]}|{fields[5]}|{fields[2]}|{fields[3]}|{stamp}"
        f"||ACK^{trigger}^ACK|{control_id}|{fields[10]}|{version}{tail}\r"
        f"MSA|{code}|{fields[9]}\r"
    )


_PLAIN_FIELDS: Final = 12
"""Fields of a header the plain ACK reads, up to MSH-12 (key 11)."""


def _read_ack(
    line: str | None,
    code: AckCode,
    text: str | None,
    error_code: str | None,
    stamp: str,
    control_id: str,
) -> str:
    """The ACK of the header ``line`` (surrogates replaced) read as records and written with ``JsonHl7``."""
    received = _fields(_header_record(line))
    message_type = _MSH_KEY["message_type"]
    if _component(received.get(message_type, {}), 1) == "ACK":
        raise ValueError("the message is an acknowledgement (MSH-9 is ACK); an ACK is never acknowledged")

    header: dict[str, str] = {"segment_name": "MSH", "1": "^~\\&"}
    _copy(header, _MSH_KEY["sending_application"], received, _MSH_KEY["receiving_application"])
    _copy(header, _MSH_KEY["sending_facility"], received, _MSH_KEY["receiving_facility"])
    _copy(header, _MSH_KEY["receiving_application"], received, _MSH_KEY["sending_application"])
    _copy(header, _MSH_KEY["receiving_facility"], received, _MSH_KEY["sending_facility"])
    header[str(_MSH_KEY["time"])] = stamp
    header[f"{message_type}.1"] = "ACK"
    header[f"{message_type}.2"] = _component(received.get(message_type, {}), 2)
    header[f"{message_type}.3"] = "ACK"
    header[str(_MSH_KEY["control_id"])] = control_id
    _copy(header, _MSH_KEY["processing_id"], received, _MSH_KEY["processing_id"])
    if "".join(received.get(_MSH_KEY["version"], {}).values()):
        _copy(header, _MSH_KEY["version"], received, _MSH_KEY["version"])
    else:
        header[str(_MSH_KEY["version"])] = DEFAULT_VERSION
    _copy(header, _MSH_KEY["character_set"], received, _MSH_KEY["character_set"])

    records: list[dict[str, str]] = [header, {"segment_name": "MSA", "1": code, "2": ""}]
    if code not in _ACCEPTED:
        error = error_code or DEFAULT_ERROR_CODE
        reason = text if text is not None and text.strip() else ERROR_CODES[error]
        records[1]["3"] = _text_message(reason)
        records.append(
            {
                "segment_name": "ERR",
                "3.1": error,
                "3.2": ERROR_CODES[error],
                "3.3": "HL70357",
                "4": "E",
                "8": reason,
            }
        )
    elif text is not None and text.strip():
        records[1]["3"] = _text_message(text)

    # MSA-2 is the sender's own text: re-escaped from its decoded value it
    # could differ (\X20\ written as a space, an escape sequence brenvolt
    # keeps), and a sender that compares the text would not find its message.
    # It holds no CR or LF, since it was cut from one field of one line, and
    # no "|" unless the header's field separator is another character whose
    # encoding characters cannot be honoured: such a text is escaped.
    sent = _raw_field(line, _MSH_KEY["control_id"])
    if "|" in sent:
        records[1]["2"] = sent
    lines = JsonHl7(records).hl7_string.split("\n")
    if "|" not in sent:
        msa = lines[1].split("|")
        msa[2] = sent
        lines[1] = "|".join(msa)
    return "".join(segment + "\r" for segment in lines)
