"""What one received frame becomes: the line the store keeps and the answer that is due.

``take(config, payload, peer)`` reads a frame's message once and returns an
``Answer``: the part line (or rejects line) to store, the duplicate key, and
the framed ACK to write once the line is durable (or None when no answer is
due). Nothing is written here; ``MllpConnection`` submits the line and
writes the answer. The rules are those of ``brenvolt_feeds.listen``.

The usual header (``MSH|^~\\&|`` and a plain message type) is cut once with
``str.split``; any other goes through the general readers of
``brenvolt_feeds.ack`` and ``brenvolt_feeds.delimiters``.
"""

from __future__ import annotations

import codecs
import functools
import hashlib
import logging
import time
from typing import TYPE_CHECKING, Final, Literal

from brenvolt import Hl7Json
from brenvolt_feeds import ack, mllp
from brenvolt_feeds.delimiters import (
    declared_delimiters,
    delimiter_problem,
    header_field_separator,
    to_standard_delimiters,
)
from brenvolt_feeds.store import Kind, StoreError, part_line, reject_line

try:  # the line written natively, built with brenvolt; from the records without it
    from brenvolt_receiver import part_line as native_part_line
except ImportError:  # pragma: no cover - a build without the module
    native_part_line = None

if TYPE_CHECKING:
    from brenvolt_feeds.connection import MllpConnection
    from brenvolt_feeds.receiver import ListenConfig

__all__ = ["Answer", "Code", "take"]

log = logging.getLogger("brenvolt.listen")

Code = Literal["AA", "AE", "AR"]


class Answer:
    """What one frame asks of the store and of the reply; told by the store when its line settles."""

    __slots__ = (
        "connection",
        "kind",
        "line",
        "key",
        "frame",
        "code",
        "is_ack",
        "read_at",
        "offset",
        "outcome",
    )

    def __init__(
        self,
        kind: Kind,
        line: bytes,
        key: tuple[str, str] | None,
        frame: bytes | None,
        code: Code,
        is_ack: bool,
    ) -> None:
        self.connection: MllpConnection | None = None
        self.kind = kind
        self.line = line
        self.key = key
        self.frame = frame
        """The framed answer to write once the line is durable; None when none is due."""
        self.code = code
        """The outcome in original-mode terms (what the frame earned, answered or not)."""
        self.is_ack = is_ack
        self.read_at = 0.0
        self.offset = 0
        self.outcome: bool | StoreError | None = None
        """None while the store works; True stored, False duplicate, or why it failed."""

    def line_settled(self, fresh: bool, error: StoreError | None) -> None:
        self.outcome = error if error is not None else fresh
        if self.connection is not None:
            self.connection._settled()


_stamp_second: tuple[int, str] = (-1, "")


def _now() -> str:
    """The time now, UTC, ISO 8601 with microseconds and ``+00:00``; the date and time made once a second.

    UTC: the offset is always right (a local zone read once would go stale at
    a daylight saving change) and it costs no time zone look-up per message.
    """
    global _stamp_second
    now = time.time()
    second = int(now)
    cached, prefix = _stamp_second
    if second != cached:
        prefix = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(second))
        _stamp_second = (second, prefix)
    return f"{prefix}.{int((now - second) * 1_000_000):06d}+00:00"


_PLAIN_HEADER: Final = "MSH|^~\\&|"
_ACCEPT_FIELD: Final = 14
"""MSH-15 is the 14th field after the name: in MSH the character after the name *is* MSH-1."""


def _first_line(text: str) -> str:
    end = text.find("\r")
    newline = text.find("\n", 0, end if end >= 0 else len(text))
    if newline >= 0:
        end = newline
    return text if end < 0 else text[:end]


def take(config: ListenConfig, payload: bytes, peer: str) -> Answer:
    """Decide where one frame's message goes and what answers it (nothing is written here)."""
    received = _now()
    try:
        text = payload.decode(config.encoding)
    except UnicodeDecodeError as error:
        loose = payload.decode(config.encoding, "replace")
        return _reject(
            config,
            received,
            peer,
            payload,
            loose,
            _is_acknowledgement(loose),
            "AE",
            f"cannot decode as {config.encoding}: {error}",
            "" if config.original_mode else ack.accept_acknowledgement(loose),
        )
    if text.startswith(_PLAIN_HEADER):
        # The usual header: its fields cut once, without the general readers.
        header = _first_line(text)
        fields = header.split("|")
        count = len(fields)
        message_type = fields[8] if count > 8 else ""
        if "\\" not in message_type:
            is_ack = message_type.split("^", 1)[0].split("~", 1)[0] == "ACK"
            accept = (
                ack.accept_type(fields[_ACCEPT_FIELD])
                if count > _ACCEPT_FIELD and not config.original_mode
                else ""
            )
            return _convert(config, received, peer, payload, text, text, header, is_ack, accept)
    is_ack = _is_acknowledgement(text)
    accept = "" if config.original_mode else ack.accept_acknowledgement(text)
    start = text.lstrip("\r\n")
    if not start.startswith("MSH"):
        return _reject(
            config,
            received,
            peer,
            payload,
            text,
            is_ack,
            "AE",
            "the message does not start with an MSH segment",
            accept,
        )
    readable = text
    if config.rewrite_delimiters:
        rewritten = to_standard_delimiters(start)
        if rewritten is not start:
            readable = text[: len(text) - len(start)] + rewritten
            start = rewritten
    if not start.startswith(_STANDARD_HEADER) and _unread(start):
        return _reject(config, received, peer, payload, text, is_ack, "AR", _unread_delimiters(start), accept)
    return _convert(config, received, peer, payload, text, readable, None, is_ack, accept)


def _convert(
    config: ListenConfig,
    received: str,
    peer: str,
    payload: bytes,
    text: str,
    readable: str,
    header: str | None,
    is_ack: bool,
    accept: str,
) -> Answer:
    """The part line and AA of a message that reads, or its reject."""
    if config.validate or config.strict:
        try:
            Hl7Json(readable, escaping_enabled=config.escaping).validate(config.strict, False)
        except Exception as error:
            return _reject(config, received, peer, payload, text, is_ack, "AR", str(error), accept)
    control = header.split("|", 10)[9] if header is not None and header.count("|") >= 9 else ""
    if header is None:
        control = ack.control_id(text)
    digest = hashlib.sha256(payload).hexdigest()
    line = None
    if native_part_line is not None and readable is text and _is_utf8(config.encoding):
        # The received bytes are the UTF-8 of the text read: the same records, no dicts made.
        try:
            line = native_part_line(received, peer, control, digest, payload, config.escaping)
        except Exception:  # out of memory: the general path below answers as it always has
            line = None
    if line is None:
        try:
            records = Hl7Json(readable, escaping_enabled=config.escaping).hl7_json
        except Exception as error:
            return _reject(config, received, peer, payload, text, is_ack, "AE", str(error), accept)
        line = part_line(received, peer, control, digest, records, payload)
    reply: bytes | None = None
    if not is_ack:
        code = ack.commit_answer(accept, "AA")
        if code is not None:
            if header is not None and _is_utf8(config.encoding):
                reply = ack.plain_ack_frame(header, code)
            elif header is not None:
                answer = ack.plain_ack(header, code)
                reply = _frame(config, answer) if answer is not None else None
            if reply is None:
                reply = _frame(config, ack.build_ack(text, code))
    return Answer(Kind.PART, line, (control, digest), reply, "AA", is_ack)


def _reject(
    config: ListenConfig,
    received: str,
    peer: str,
    payload: bytes,
    text: str,
    is_ack: bool,
    code: Code,
    error: str,
    accept: str = "",
) -> Answer:
    line = reject_line(received, peer, error, payload)
    reply = None
    if not is_ack:
        answer = ack.commit_answer(accept, code)
        if answer is not None:
            reply = _frame(config, ack.build_ack(text, answer, error))
    log.info("%s: rejected (%s): %s", peer, code, error)
    return Answer(Kind.REJECTS, line, None, reply, code, is_ack)


@functools.lru_cache(maxsize=8)
def _is_utf8(encoding: str) -> bool:
    return codecs.lookup(encoding).name == "utf-8"


def _frame(config: ListenConfig, reply: str) -> bytes:
    return mllp.frame(reply.encode(config.encoding, "replace"))


def _is_acknowledgement(text: str) -> bool:
    # Cheap test first: MSH-9 of an ACK spells "ACK" in the header line.
    start = text.find("MSH")
    if start < 0:
        return False
    if (start == 0 or text[start - 1] in "\r\n") and "ACK" not in text[start : _line_end(text, start)]:
        return False
    try:
        return ack.is_acknowledgement(text)
    except Exception:  # a frame that is not a message at all is not an ACK
        return False


def _line_end(text: str, start: int) -> int:
    ends = [index for index in (text.find("\r", start), text.find("\n", start)) if index >= 0]
    return min(ends) if ends else len(text)


_STANDARD_HEADER: Final = "MSH|^~\\&"


def _unread(header: str) -> bool:
    """Whether a header not in the standard delimiters is one that the records would misread.

    It declares other delimiters that are usable (the rewrite is off), or
    unusable ones after another field separator than ``|``. Unusable ones
    after ``|`` (``MSH|^~&|``) are read with the standard delimiters, as
    brenvolt has always read them.
    """
    declared = declared_delimiters(header)
    if declared is not None:
        return not declared.is_standard
    return header_field_separator(header) not in (None, "|")


def _unread_delimiters(header: str) -> str:
    """Why a message whose header is not ``MSH|`` is not read.

    Its encoding characters cannot be honoured, or it declares usable ones
    and the rewrite is off.
    """
    problem = delimiter_problem(header)
    declared = declared_delimiters(header)
    if problem is not None or declared is None:
        return f"the header's delimiters cannot be read: {problem}"
    return (
        f"the message declares other delimiters than | ^ ~ \\ & (MSH-1 '{declared.field}', MSH-2 "
        f"'{declared.encoding_characters}'); with --no-delimiter-rewrite they are not read"
    )
