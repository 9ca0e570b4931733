"""``brenvolt to-hl7``: JSON records back to HL7 messages.

An input is either one JSON array of records, as ``to-json`` writes for a
single message (read by ``JsonHl7.from_file``), or JSON Lines, one object
per message whose ``records`` member holds its records: what ``to-json``
writes for many messages, and the part files of ``brenvolt listen``. The
first character that is not white space tells them apart: ``[`` or ``{``.
Each message is written in turn, ended by a line end; a line that holds no
records (a message ``to-json`` could not convert, a rejects line of the
listener) is reported with its number and the rest go on.
"""

from __future__ import annotations

import argparse
import contextlib
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import IO, Final

import orjson

from brenvolt import JsonHl7
from brenvolt_feeds.inputs import Source, find_sources, io_error_text

from .arguments import add_common, add_outputs
from .output import Progress, TargetFile, make_progress, open_output
from .reading import report_inputs

LINE_ENDS: Final = {"lf": "\n", "cr": "\r", "crlf": "\r\n"}
_JSON_WHITE_SPACE: Final = b" \t\r\n"
_PEEK_SIZE: Final = 1 << 16


@contextlib.contextmanager
def _path_of(source: Source) -> Iterator[str]:
    """The path to read ``source`` from: standard input is copied to a
    temporary file first, so that it meets exactly the checks a file meets."""
    if not source.stdin:
        yield source.label
        return
    with tempfile.TemporaryDirectory() as folder:
        path = str(Path(folder) / "stdin")
        with open(path, "wb") as copy:
            shutil.copyfileobj(sys.stdin.buffer, copy)
        yield path


def _first_character(stream: IO[bytes]) -> bytes:
    """The first byte that is not JSON white space (b"" when there is none); the stream is rewound."""
    while chunk := stream.read(_PEEK_SIZE):
        rest = chunk.lstrip(_JSON_WHITE_SPACE)
        if rest:
            stream.seek(0)
            return rest[:1]
    stream.seek(0)
    return b""


def _line_records(line: bytes) -> object:
    """The records of one JSON line, or raises ``ValueError`` saying why there are none."""
    try:
        entry = orjson.loads(line)
    except orjson.JSONDecodeError as error:
        raise ValueError(f"not JSON: {error}") from None
    if not isinstance(entry, dict):
        raise ValueError(f"expected an object with the message's records, found {type(entry).__name__}")
    if "records" in entry:
        return entry["records"]
    if "error" in entry:
        raise ValueError(f"no records: the message was not converted ({entry['error']})")
    raise ValueError('no "records" member')


def json_messages(source: Source, report: Callable[[str, str], None]) -> Iterator[str]:
    """The HL7 text (lines joined by LF) of every message of one JSON input, in order.

    Problems are reported through ``report(label, text)`` and the reading
    goes on where it can: a line of JSON Lines that holds no usable records
    is named by its number. Yields nothing more after a problem that ends
    the input (it cannot be read, or is not one array of records).
    """
    with _path_of(source) as path:
        try:
            stream = open(path, "rb")  # noqa: SIM115 - closed below
        except OSError as error:
            report(source.label, io_error_text(error))
            return
        with stream:
            if _first_character(stream) != b"{":
                try:
                    yield JsonHl7.from_file(path).hl7_string
                except Exception as error:  # brenvolt raises plain Exception
                    report(source.label, str(error))
                return
            for number, line in enumerate(stream, 1):
                if not line.strip(_JSON_WHITE_SPACE):
                    continue
                try:
                    text = JsonHl7(_line_records(line)).hl7_string  # type: ignore[arg-type]
                except Exception as error:  # brenvolt raises plain Exception, JsonHl7 TypeError
                    report(source.label, f"line {number}: {error}")
                    continue
                yield text


class _Counted:
    """Reports problems on standard error, counting them."""

    def __init__(self, progress: Progress) -> None:
        self.progress = progress
        self.count = 0

    def __call__(self, label: str, text: str) -> None:
        self.count += 1
        self.progress.error(label, text)


def to_hl7(options: argparse.Namespace) -> int:
    line_end = LINE_ENDS[options.line_end]
    inputs = find_sources(options.files, (".json", ".jsonl"))
    progress = make_progress(options, len(inputs.sources))
    failed = report_inputs(inputs, "*.json or *.jsonl", progress)

    def message_bytes(text: str) -> bytes:
        # Every message ends with a line end, so messages written one after
        # another never run into each other; an empty record list is a
        # message of no segment lines and gives no text at all.
        if text and not text.endswith("\n"):
            text += "\n"
        return (text.replace("\n", line_end) if line_end != "\n" else text).encode("utf-8")

    seen: set[Path] = set()
    with open_output(options.output if options.output_dir is None else None, progress) as out:
        for source in inputs.sources:
            report = _Counted(progress)
            if options.output_dir is None:
                for text in json_messages(source, report):
                    out.write(message_bytes(text))
            elif source.relative.with_suffix("") in seen:
                report(source.label, f"another input already wrote {source.relative.with_suffix('')}")
            else:
                seen.add(source.relative.with_suffix(""))
                target = TargetFile(Path(options.output_dir) / source.relative.with_suffix(".hl7"))
                try:
                    for text in json_messages(source, report):
                        target.write(message_bytes(text))
                    if not report.count:
                        target.write(b"")  # an input of no segment lines gives an empty file
                    target.close()
                except OSError as error:
                    report(str(target.path), error.strerror or str(error))
                finally:
                    target.abandon()
            failed |= report.count > 0
            out.flush()
            progress.advance()
    progress.wipe()
    return 1 if failed else 0


def add_to_hl7_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Adds ``to-hl7``, with its options, to the ``brenvolt`` sub-commands."""
    parser = commands.add_parser(
        "to-hl7",
        help="JSON records back to HL7 messages",
        description="Convert JSON records back to HL7 v2 text: a JSON file holding one array of "
        "segment records (objects of strings, as to-json writes them for one message), or JSON "
        'Lines whose every line holds one message\'s "records" (as to-json writes them for many '
        "messages, and as the part files of brenvolt listen hold them). Each message is ended "
        "by a line end; an empty array is a message of no segment lines and writes nothing. "
        "Every value is escaped (a backslash as \\E\\), except MSH-2, the encoding characters, "
        "which are written as they are when they read back the same. A space is written as "
        "itself, and a value never adds structure. A line without records is reported with "
        "its number, and the others are written.",
    )
    add_common(parser, "JSON (*.json, *.jsonl)")
    add_outputs(parser, "the HL7 text")
    parser.add_argument(
        "--line-end",
        choices=sorted(LINE_ENDS),
        default="lf",
        help="what ends each segment line: lf (as JsonHl7.hl7_string writes, the default), "
        "cr (as HL7 sends it) or crlf",
    )
    parser.set_defaults(handler=to_hl7)

