"""Where messages come from: HL7 files, JSON Lines of records, texts in memory.

Every input becomes a run of :class:`Item` values in input order, each one
message for the table builder (its text, its records, or why it could not be
read), and a call of ``on_notice(source, text)`` for everything that is not a
message: bytes between messages, batch counts that do not match, a file that
cannot be read or holds no message. Nothing is dropped without one or the
other.

* An HL7 file (any name but ``*.jsonl`` and ``*.json``) is cut into messages
  by :mod:`brenvolt_feeds.split`, as ``brenvolt to-json`` cuts it (messages back
  to back, FHS/BHS batches, MLLP dumps). Each message is decoded with
  ``encoding`` and, unless ``rewrite_delimiters`` is off, rewritten from the
  delimiters its header declares into ``| ^ ~ \\ &``
  (:func:`brenvolt_feeds.delimiters.to_standard_delimiters`); its ``sha256``
  is that of its bytes and ``byte_offset`` its offset in the file. A message
  that does not decode is an error row.
* A JSON Lines file (``*.jsonl``) holds one message a line, as ``brenvolt
  to-json`` and ``brenvolt listen`` write them:

  - ``{"file": F, "index": N, "records": [...]}`` (``to-json``): the message
    keeps its place, ``source`` F and ``message_index`` N, so its
    ``message_id`` is the one its HL7 file gives;
  - ``{"file": F, "index": N, "error": E}``: an error row for that message;
  - ``{"file": F, "offset": N, "error": E}`` and ``{"file": F, "error": E}``
    (what the Dask example writes for skipped bytes and unreadable files): a
    notice;
  - any other object with ``records`` (the listener's part files, with their
    ``sha256``), or with ``error`` (its rejects files, whose ``raw`` bytes
    give the ``sha256``): source the JSON Lines file, ``message_index`` the
    line's number from 0;
  - a line that is not such an object, or whose records are not a list of
    objects of strings: an error row saying why, placed as above. Blank lines
    are skipped.
* A JSON file (``*.json``) is one array of records, as ``brenvolt to-json``
  writes for a single message.
* :class:`Texts` are messages in memory, one str each, rewritten from other
  delimiters as HL7 files are.

A folder stands for every ``*.hl7``, ``*.jsonl`` and ``*.json`` file below it,
in sorted order.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Literal, TypeAlias

import orjson

from brenvolt_cli.reading import EMPTY_INPUT, NO_MESSAGE, decode
from brenvolt_feeds.delimiters import to_standard_delimiters
from brenvolt_feeds.inputs import io_error_text
from brenvolt_feeds.split import Message, split_file

__all__ = [
    "Item",
    "Notify",
    "Source",
    "Sources",
    "Texts",
    "expand",
    "items",
    "report_to_stderr",
]

SUFFIXES = (".hl7", ".jsonl", ".json")

Notify: TypeAlias = Callable[[str, str], None]
"""Called with (source, text) for everything in the input that is not a message."""


@dataclass(frozen=True)
class Texts:
    """Messages held in memory, one str each; ``name`` is their ``source``
    (``message_id`` is ``"<name>#<i>"``, ``i`` the place in ``texts``)."""

    texts: Sequence[str]
    name: str = "<memory>"


Source: TypeAlias = "str | os.PathLike[str] | Texts"
Sources: TypeAlias = "Source | Iterable[Source]"


@dataclass(frozen=True, slots=True)
class Item:
    """One message for the builder. ``kind`` says which of ``text``,
    ``records`` or ``error`` it carries."""

    kind: Literal["text", "records", "error"]
    source: str
    index: int
    offset: int | None
    sha256: str | None
    text: str = ""
    records: object = None
    error: str = ""


def report_to_stderr(source: str, text: str) -> None:
    """The default ``on_notice``: ``brenvolt: SOURCE: TEXT`` on standard error."""
    import sys

    print(f"brenvolt: {source}: {' '.join(text.splitlines())}", file=sys.stderr, flush=True)


def expand(sources: Sources) -> list[str | Texts]:
    """The inputs in order: a path, or :class:`Texts`, or an iterable of them;
    a folder becomes the ``*.hl7``, ``*.jsonl`` and ``*.json`` files below it,
    sorted. Raises ``TypeError`` for anything else and ``FileNotFoundError``
    for a folder that holds none of them (a missing file is reported when it
    is read)."""
    if isinstance(sources, (str, os.PathLike, Texts)):
        listed: list[object] = [sources]
    elif isinstance(sources, (bytes, bytearray)):
        raise TypeError("sources must be paths or Texts, not bytes")
    else:
        listed = list(sources)
    out: list[str | Texts] = []
    for source in listed:
        if isinstance(source, Texts):
            out.append(source)
            continue
        if not isinstance(source, (str, os.PathLike)):
            raise TypeError(f"a source must be a path or Texts, not {type(source).__name__}")
        path = os.fspath(source)
        if os.path.isdir(path):
            found = sorted(
                str(p) for p in Path(path).rglob("*") if p.suffix.lower() in SUFFIXES and p.is_file()
            )
            if not found:
                raise FileNotFoundError(f"{path}: no *.hl7, *.jsonl or *.json files in this folder")
            out.extend(found)
        else:
            out.append(path)
    return out


def items(
    source: str | Texts, encoding: str, on_notice: Notify, rewrite_delimiters: bool = True
) -> Iterator[Item]:
    """The messages of one input, in order (see the module's rules)."""
    if isinstance(source, Texts):
        return _texts(source, rewrite_delimiters)
    suffix = Path(source).suffix.lower()
    if suffix == ".jsonl":
        return _json_lines(source, on_notice)
    if suffix == ".json":
        return _json_array(source, on_notice)
    return _hl7(source, encoding, on_notice, rewrite_delimiters)


def _texts(source: Texts, rewrite_delimiters: bool) -> Iterator[Item]:
    for index, text in enumerate(source.texts):
        if not isinstance(text, str):
            yield Item(
                "error", source.name, index, None, None, error=f"expected a str, found {type(text).__name__}"
            )
            continue
        try:
            digest = hashlib.sha256(text.encode("utf-8")).hexdigest()
        except UnicodeEncodeError:
            digest = None  # the builder's error row says why
        if rewrite_delimiters and digest is not None:
            text = to_standard_delimiters(text)
        yield Item("text", source.name, index, None, digest, text=text)


def _hl7(path: str, encoding: str, on_notice: Notify, rewrite_delimiters: bool) -> Iterator[Item]:
    found = 0
    reported = False
    pieces = split_file(path)
    try:
        for piece in pieces:
            if not isinstance(piece, Message):
                reported = True
                on_notice(path, f"offset {piece.offset}: {piece.message}")
                continue
            found += 1
            digest = hashlib.sha256(piece.raw).hexdigest()
            try:
                text = decode(piece, encoding)
            except ValueError as error:
                yield Item("error", path, piece.index, piece.offset, digest, error=str(error))
                continue
            if rewrite_delimiters:
                text = to_standard_delimiters(text)
            yield Item("text", path, piece.index, piece.offset, digest, text=text)
    except OSError as error:
        on_notice(path, io_error_text(error))
        return
    finally:
        close = getattr(pieces, "close", None)  # a generator: closes the file at once
        if close is not None:
            close()
    if not found:
        on_notice(path, NO_MESSAGE if reported else EMPTY_INPUT)


def _json_array(path: str, on_notice: Notify) -> Iterator[Item]:
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as error:
        on_notice(path, io_error_text(error))
        return
    digest = hashlib.sha256(data).hexdigest()
    if not data.strip():
        on_notice(path, EMPTY_INPUT)
        return
    try:
        records = orjson.loads(data)
    except orjson.JSONDecodeError as error:
        yield Item("error", path, 0, None, digest, error=f"not JSON: {error}")
        return
    yield Item("records", path, 0, None, digest, records=records)


def _line_item(path: str, number: int, line: bytes, on_notice: Notify) -> Item | None:
    """The item of one JSON Lines line (None for a notice line or a blank one)."""
    if not line.strip():
        return None
    try:
        entry = orjson.loads(line)
    except orjson.JSONDecodeError as error:
        return Item("error", path, number, None, None, error=f"line {number + 1}: not JSON: {error}")
    if not isinstance(entry, dict):
        return Item(
            "error",
            path,
            number,
            None,
            None,
            error=f"line {number + 1}: expected an object, found {type(entry).__name__}",
        )
    source, index = path, number
    file, place = entry.get("file"), entry.get("index")
    if isinstance(file, str) and isinstance(place, int) and not isinstance(place, bool):
        source, index = file, place
    elif isinstance(file, str) and "error" in entry and "records" not in entry:
        where = f"offset {entry['offset']}: " if isinstance(entry.get("offset"), int) else ""
        on_notice(file, f"{where}{entry['error']}")
        return None
    digest = entry.get("sha256")
    if not isinstance(digest, str):
        digest = None
    if "records" in entry:
        return Item("records", source, index, None, digest, records=entry["records"])
    if "error" in entry:
        raw = entry.get("raw")
        if digest is None and isinstance(raw, str):
            try:
                digest = hashlib.sha256(base64.b64decode(raw, validate=True)).hexdigest()
            except (binascii.Error, ValueError):
                digest = None
        return Item("error", source, index, None, digest, error=str(entry["error"]))
    return Item(
        "error",
        source,
        index,
        None,
        digest,
        error=f"line {number + 1}: an object with neither records nor error",
    )


def _json_lines(path: str, on_notice: Notify) -> Iterator[Item]:
    found = 0
    try:
        with open(path, "rb") as stream:
            for number, line in enumerate(stream):
                item = _line_item(path, number, line, on_notice)
                if item is not None:
                    found += 1
                    yield item
    except OSError as error:
        on_notice(path, io_error_text(error))
        return
    if not found:
        on_notice(path, EMPTY_INPUT)
