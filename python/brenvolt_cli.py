"""The ``brenvolt`` command: HL7 v2 files to segment records in JSON, records
back to HL7, and validation, without writing any Python.

    brenvolt to-json message.hl7              one JSON array of segment records
    brenvolt to-json batch.hl7 > out.jsonl    JSON Lines, one line per message
    brenvolt to-json inbox/ > messages.jsonl  JSON Lines, one line per message
    brenvolt to-hl7 records.json > message.hl7
    brenvolt validate --strict inbox/

It is installed beside the ``brenvolt`` extension module as a console script
and also runs as ``python -m brenvolt_cli``. An HL7 input may hold many
messages (messages back to back, batch files with FHS/BHS envelopes, MLLP
dumps): ``brenvolt_feeds.split`` cuts it into messages, each is decoded with
``--encoding`` and converted by ``Hl7Json`` exactly as a Python program would
convert it. JSON inputs are read by ``JsonHl7.from_file``.
"""

from __future__ import annotations

import argparse
import codecs
import json
import os
import shutil
import signal
import sys
import tempfile
import time
from collections.abc import Callable, Generator, Iterator, Sequence
from contextlib import closing, contextmanager, suppress
from dataclasses import dataclass
from pathlib import Path
from typing import IO, TypeVar

from brenvolt import Hl7Json, JsonHl7
from brenvolt_feeds import options as option_types
from brenvolt_feeds.listen import add_listen_command
from brenvolt_feeds.send import add_send_command
from brenvolt_feeds.split import Message, Notice, Piece, split_file, split_stream

PROGRAM = "brenvolt"
STDIN = "-"
STDIN_LABEL = "<stdin>"
LINE_ENDS = {"lf": "\n", "cr": "\r", "crlf": "\r\n"}

T = TypeVar("T")


@dataclass(frozen=True)
class Source:
    """One input: what the user named (``label``), where it lies relative to the
    folder it was found in (``relative``, used to name output files), and
    whether it is standard input."""

    label: str
    relative: Path
    stdin: bool = False


STANDARD_INPUT = Source(STDIN_LABEL, Path("stdin"), stdin=True)


def find_sources(arguments: Sequence[str], suffix: str) -> tuple[list[Source], list[str]]:
    """The inputs named on the command line, in order. A folder stands for every
    file below it whose name ends in ``suffix`` (any case), sorted; no argument
    at all means standard input. Also returns the folders that held no such file.
    """
    if not arguments:
        return [STANDARD_INPUT], []
    sources: list[Source] = []
    empty: list[str] = []
    for argument in arguments:
        if argument == STDIN:
            sources.append(STANDARD_INPUT)
        elif os.path.isdir(argument):
            found = sorted(
                path for path in Path(argument).rglob("*") if path.suffix.lower() == suffix and path.is_file()
            )
            if not found:
                empty.append(argument)
            sources.extend(Source(str(path), path.relative_to(argument)) for path in found)
        else:
            sources.append(Source(argument, Path(Path(argument).name)))
    return sources, empty


def load(source: Source, loader: Callable[[str], T]) -> T:
    """Calls ``loader`` (a ``from_file``) with the path of ``source``. Standard
    input is read through ``/dev/stdin`` where there is one, and otherwise
    through a temporary copy, so it meets exactly the checks a file meets."""
    if not source.stdin:
        return loader(source.label)
    if os.path.exists("/dev/stdin"):
        return loader("/dev/stdin")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "stdin")
        with open(path, "wb") as copy:
            shutil.copyfileobj(sys.stdin.buffer, copy)
        return loader(path)


class Progress:
    """A bar on one line of standard error, ``[#####-----] 12/40 files``, drawn
    over itself at most ten times a second and wiped when the work is done,
    before every line of error and before every write to standard output when
    that is the same terminal."""

    def __init__(self, total: int, stream: IO[str], enabled: bool) -> None:
        self.total = total
        self.done = 0
        self.stream = stream
        self.enabled = enabled
        self.drawn_at = 0.0
        self.shown = False

    def advance(self) -> None:
        self.done += 1
        now = time.monotonic()
        if self.enabled and (not self.shown or now - self.drawn_at >= 0.1 or self.done == self.total):
            self.drawn_at = now
            self.draw()

    def draw(self) -> None:
        counter = f" {self.done}/{self.total} files"
        width = max(10, min(40, shutil.get_terminal_size().columns - len(counter) - 3))
        filled = width * self.done // max(self.total, 1)
        self.stream.write(f"\r[{'#' * filled}{'-' * (width - filled)}]{counter}")
        self.stream.flush()
        self.shown = True

    def wipe(self) -> None:
        """Clears the bar, if it is on the screen."""
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False

    def error(self, label: str, message: str) -> None:
        """Writes one line naming the input, under the bar."""
        self.wipe()
        text = " ".join(message.splitlines())
        self.stream.write(f"{PROGRAM}: {label}: {text}\n")
        self.stream.flush()


def make_progress(options: argparse.Namespace, total: int) -> Progress:
    enabled = options.progress
    if enabled is None:
        enabled = total > 1 and sys.stderr.isatty()
    return Progress(total, sys.stderr, enabled)


STDOUT_LABEL = "<stdout>"


class OutputError(Exception):
    """Writing the output failed: ``label`` names the target (a path, or
    ``<stdout>``), ``error`` is the ``OSError``. Ends the command."""

    def __init__(self, label: str, error: OSError) -> None:
        super().__init__(f"{label}: {error.strerror or error}")
        self.label = label
        self.error = error


def same_terminal(first: int, second: int) -> bool:
    """Whether the two file descriptors are one terminal."""
    try:
        if not (os.isatty(first) and os.isatty(second)):
            return False
        one, other = os.fstat(first), os.fstat(second)
    except OSError:
        return False
    return (one.st_dev, one.st_ino, one.st_rdev) == (other.st_dev, other.st_ino, other.st_rdev)


class Output:
    """Standard output or the file named by ``-o``: every write and flush that
    fails raises ``OutputError`` naming it, and the progress bar is wiped first
    when the output shows on the terminal that holds the bar."""

    def __init__(self, stream: IO[bytes], label: str, progress: Progress | None = None) -> None:
        self.stream = stream
        self.label = label
        self.progress = progress
        self.shares_terminal = False
        try:
            self.shares_terminal = same_terminal(stream.fileno(), sys.stderr.fileno())
        except (OSError, ValueError, AttributeError):
            pass

    def write(self, data: bytes) -> None:
        if self.shares_terminal and self.progress is not None:
            self.progress.wipe()
        try:
            self.stream.write(data)
        except OSError as error:
            raise OutputError(self.label, error) from error

    def flush(self) -> None:
        try:
            self.stream.flush()
        except OSError as error:
            raise OutputError(self.label, error) from error


@contextmanager
def open_output(path: str | None, progress: Progress | None = None) -> Generator[Output, None, None]:
    """Standard output, or the file named by ``-o``; raises ``OutputError``
    when it cannot be opened, written or closed."""
    if path is None:
        out = Output(sys.stdout.buffer, STDOUT_LABEL, progress)
        yield out
        out.flush()
        return
    try:
        stream = open(path, "wb")  # noqa: SIM115 - closed below, its error reported
    except OSError as error:
        raise OutputError(path, error) from error
    try:
        out = Output(stream, path, progress)
        yield out
        out.flush()
    finally:
        try:
            stream.close()
        except OSError as error:
            raise OutputError(path, error) from error


def write_beside(folder: str, source: Source, suffix: str, text: str) -> None:
    """Writes ``text`` to the file for ``source`` in ``folder``: its name with the
    new suffix, below the same sub-folders it was found in."""
    target = Path(folder) / source.relative.with_suffix(suffix)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(text.encode("utf-8"))


def report_empty(folders: list[str], suffix: str) -> bool:
    for folder in folders:
        print(f"{PROGRAM}: {folder}: no *{suffix} files in this folder", file=sys.stderr)
    return bool(folders)


def run(
    options: argparse.Namespace,
    sources: list[Source],
    convert: Callable[[Source], str],
    emit: Callable[[Output, str], None],
    output_suffix: str,
) -> bool:
    """Converts every source in order, writes each result with ``emit`` (or to
    its own file under ``--output-dir``), reports each failure on standard
    error and goes on. Returns whether any source failed; raises
    ``OutputError`` when the output cannot be written."""
    failed = False
    progress = make_progress(options, len(sources))
    seen: set[Path] = set()
    with open_output(options.output, progress) as out:
        for source in sources:
            try:
                text = convert(source)
                if options.output_dir is None:
                    emit(out, text)
                elif source.relative in seen:
                    raise ValueError(f"another input already wrote {source.relative.with_suffix('')}")
                else:
                    seen.add(source.relative)
                    write_beside(options.output_dir, source, output_suffix, text)
            except OutputError:
                raise
            except Exception as error:  # brenvolt raises plain Exception; also OSError
                failed = True
                progress.error(source.label, str(error))
            progress.advance()
            out.flush()
    progress.wipe()
    return failed


# An input without a message: nothing in it was reported (it is empty, or
# holds only separators and envelope lines), or else its notices said why.
EMPTY_INPUT = "HL7 message is empty"
NO_MESSAGE = "no HL7 message found (no line starts with MSH)"


def io_error_text(error: OSError) -> str:
    """An ``OSError`` in the words brenvolt's own file reading uses:
    ``I/O error: No such file or directory (os error 2)``."""
    if error.errno is None:
        return f"I/O error: {error}"
    return f"I/O error: {error.strerror} (os error {error.errno})"


def is_utf8(encoding: str) -> bool:
    return codecs.lookup(encoding).name == "utf-8"


def decode(message: Message, encoding: str) -> str:
    """The message's text in ``encoding``. Raises ``ValueError`` naming the
    first byte that is not valid in it and that byte's offset in the input;
    for UTF-8 the text starts as brenvolt's file reading words it."""
    try:
        return message.text(encoding)
    except UnicodeDecodeError as error:
        offset = message.offset + error.start
        where = f"byte 0x{message.raw[error.start]:02x} at offset {offset}"
        if is_utf8(encoding):
            raise ValueError(f"I/O error: stream did not contain valid UTF-8 ({where})") from None
        raise ValueError(f"not valid {encoding}: {where}") from None


def pieces_of(source: Source) -> Iterator[Piece]:
    if source.stdin:
        return split_stream(sys.stdin.buffer)
    return split_file(source.label)


class Input:
    """The messages of one input, cut by ``brenvolt_feeds.split``.

    ``messages()`` yields each message with whether the input holds more than
    one (known before the first is yielded: the first message is held back
    until a second one or the end of the input). Everything that is not a
    good message is reported through ``report(label, text)`` and sets
    ``failed``: the splitter's notices (``offset N: ...``), an input that
    cannot be read, and an input with no message at all (``HL7 message is
    empty`` when the splitter reported nothing else about it)."""

    def __init__(self, source: Source, report: Callable[[str, str], None]) -> None:
        self.source = source
        self.report = report
        self.failed = False
        self.count = 0

    def notice(self, notice: Notice) -> None:
        self.failed = True
        self.report(self.source.label, f"offset {notice.offset}: {notice.message}")

    def label(self, message: Message, several: bool) -> str:
        """``FILE`` for the message of a single-message input, ``FILE#N`` otherwise."""
        return f"{self.source.label}#{message.index}" if several else self.source.label

    def messages(self) -> Generator[tuple[Message, bool], None, None]:
        first: Message | None = None
        held: list[Notice] = []  # the notices after the first message, until a second one
        unreadable = False
        pieces = pieces_of(self.source)
        try:
            for piece in pieces:
                if isinstance(piece, Message):
                    self.count += 1
                    if self.count == 1:
                        first = piece
                        continue
                    if first is not None:
                        yield first, True
                        for notice in held:
                            self.notice(notice)
                        held, first = [], None
                    yield piece, True
                elif self.count == 1:
                    held.append(piece)
                else:
                    self.notice(piece)
        except OSError as error:
            # Unreadable, or a read failed part way: what came before stands.
            self.failed = unreadable = True
            self.report(self.source.label, io_error_text(error))
        finally:
            close = getattr(pieces, "close", None)
            if close is not None:
                close()
        if first is not None:
            yield first, False
            for notice in held:
                self.notice(notice)
        elif self.count == 0 and not unreadable:
            reported = self.failed
            self.failed = True
            self.report(self.source.label, NO_MESSAGE if reported else EMPTY_INPUT)


class TargetFile:
    """A file under ``--output-dir``, created (with its folders) at the first
    write. ``OSError`` propagates from every method."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.stream: IO[bytes] | None = None

    def write(self, data: bytes) -> None:
        if self.stream is None:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self.stream = open(self.path, "wb")  # noqa: SIM115 - closed by close()
        self.stream.write(data)

    def close(self) -> None:
        if self.stream is not None:
            stream, self.stream = self.stream, None
            stream.close()


def to_json(options: argparse.Namespace) -> int:
    sources, empty = find_sources(options.files, ".hl7")
    several_inputs = len(options.files) > 1 or any(os.path.isdir(name) for name in options.files)
    failed = report_empty(empty, ".hl7")
    progress = make_progress(options, len(sources))
    flags = {
        "validation_enabled": options.validate or options.strict,
        "strict_validation": options.strict,
        "escaping_enabled": not options.no_escaping,
    }

    def records_of(message: Message) -> list[dict[str, str]]:
        return Hl7Json(decode(message, options.encoding), **flags).hl7_json

    def convert(source: Source, out: Output | None) -> bool:
        """Writes the records of every message of ``source``: to ``out``, or to
        its own file under ``--output-dir`` when ``out`` is None. Returns
        whether anything failed."""
        reader = Input(source, progress.error)
        failed = False
        target: TargetFile | None = None
        write: Callable[[bytes], None]
        messages = reader.messages()
        try:
            for message, several in messages:
                lines = options.lines or several or (several_inputs and out is not None)
                if out is not None:
                    write = out.write
                else:
                    if target is None:
                        suffix = ".jsonl" if lines else ".json"
                        target = TargetFile(Path(options.output_dir) / source.relative.with_suffix(suffix))
                    write = target.write
                label = reader.label(message, several)
                try:
                    records = records_of(message)
                except Exception as error:  # brenvolt raises plain Exception; decode ValueError
                    failed = True
                    progress.error(label, str(error))
                    if lines:
                        entry = {"file": source.label, "index": message.index, "error": str(error)}
                        write(json.dumps(entry, ensure_ascii=False).encode("utf-8") + b"\n")
                    continue
                if lines:
                    entry = {"file": source.label, "index": message.index, "records": records}
                    text = json.dumps(entry, ensure_ascii=False)
                else:
                    text = json.dumps(records, ensure_ascii=False, indent=options.indent)
                write(text.encode("utf-8") + b"\n")
            if target is not None:
                target.close()
        except OSError as error:
            # Only a file under --output-dir raises OSError here: reading errors
            # are the input's own, and standard output or -o raise OutputError.
            failed = True
            progress.error(str(target.path) if target else source.label, error.strerror or str(error))
        finally:
            messages.close()
            if target is not None and target.stream is not None:
                with suppress(OSError):  # the failure that got here is reported already
                    target.stream.close()
        return failed or reader.failed

    seen: set[Path] = set()
    with open_output(options.output if options.output_dir is None else None, progress) as out:
        for source in sources:
            if options.output_dir is None:
                failed |= convert(source, out)
            elif source.relative.with_suffix("") in seen:
                failed = True
                progress.error(source.label, f"another input already wrote {source.relative.with_suffix('')}")
            else:
                seen.add(source.relative.with_suffix(""))
                failed |= convert(source, None)
            out.flush()
            progress.advance()
    progress.wipe()
    return 1 if failed else 0


def to_hl7(options: argparse.Namespace) -> int:
    line_end = LINE_ENDS[options.line_end]

    def convert(source: Source) -> str:
        # Every message ends with a line end, so messages written one after
        # another never run into each other; an empty record list is a
        # message of no segment lines and gives no text at all.
        text = load(source, JsonHl7.from_file).hl7_string
        if text and not text.endswith("\n"):
            text += "\n"
        return text.replace("\n", line_end) if line_end != "\n" else text

    def emit(out: Output, text: str) -> None:
        out.write(text.encode("utf-8"))

    sources, empty = find_sources(options.files, ".json")
    failed = report_empty(empty, ".json")
    failed |= run(options, sources, convert, emit, ".hl7")
    return 1 if failed else 0


def validate(options: argparse.Namespace) -> int:
    sources, empty = find_sources(options.files, ".hl7")
    failed = report_empty(empty, ".hl7")
    progress = make_progress(options, len(sources))

    def check(out: Output, label: str, message: Message) -> bool:
        """Prints the verdict on one message; returns whether it failed."""
        try:
            text = decode(message, options.encoding)
        except ValueError as error:
            # Not readable in the encoding: an error, not a verdict.
            progress.error(label, str(error))
            return True
        try:
            Hl7Json(text).validate(options.strict, options.required_fields)
        except Exception as error:  # brenvolt raises plain Exception
            out.write(f"{label}: {' '.join(str(error).splitlines())}\n".encode())
            out.flush()
            return True
        if not options.quiet:
            out.write(f"{label}: ok\n".encode())
            out.flush()
        return False

    with open_output(None, progress) as out:
        for source in sources:
            reader = Input(source, progress.error)
            with closing(reader.messages()) as messages:
                for message, several in messages:
                    failed |= check(out, reader.label(message, several), message)
            failed |= reader.failed
            progress.advance()
    progress.wipe()
    return 1 if failed else 0


DESCRIPTION = """\
Convert HL7 v2 messages to JSON segment records and back, and check them.

Each message becomes a list of records, one per segment line: a JSON object
whose "segment_name" holds the segment's name and whose other keys name
positions ("5.1" is the first component of field 5, "3[1]" the second
repetition of field 3). An HL7 file may hold many messages: back to back,
in FHS/BHS batch envelopes, or in MLLP frames; each is decoded as UTF-8 or
the --encoding given. "-" or no file at all means standard input; a folder
stands for every matching file below it.
"""

EPILOG = """\
examples:
  brenvolt to-json adt_a01.hl7                  records of one message, a JSON array
  brenvolt to-json batch.hl7 > batch.jsonl      one JSON line per message of a batch file
  brenvolt to-json inbox/ -o messages.jsonl     many files as JSON Lines
  brenvolt to-json --encoding cp1252 old.hl7    messages written in Windows-1252
  brenvolt to-hl7 --line-end cr records.json    back to HL7 text
  brenvolt validate --strict inbox/             one line per message

exit status: 0 when every file and message worked, 1 when any failed or bytes
were skipped, 141 when the reader of standard output went away, 2 for a wrong
command line. Failures are reported on standard error, one line naming the
file (FILE#N for message N, counted from 0, of a file of several messages;
"FILE: offset N: ..." for bytes that belong to no message).
"""


def add_encoding(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--encoding",
        type=option_types.encoding,
        default="utf-8",
        metavar="NAME",
        help="character set of the messages: utf-8 (the default), latin-1, cp1252 or any "
        "other that writes ASCII as ASCII; a message that is not valid in it fails",
    )


def add_common(parser: argparse.ArgumentParser, kind: str) -> None:
    parser.add_argument(
        "files",
        nargs="*",
        metavar="FILE",
        help=f"{kind} files or folders (default: standard input)",
    )
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show a progress bar on standard error (default: when converting several files at a terminal)",
    )


def add_outputs(parser: argparse.ArgumentParser, what: str) -> None:
    target = parser.add_mutually_exclusive_group()
    target.add_argument(
        "-o", "--output", metavar="PATH", help=f"write {what} to PATH instead of standard output"
    )
    target.add_argument(
        "-d",
        "--output-dir",
        metavar="DIR",
        help="write one file per input into DIR, named after the input "
        "(inputs found in a folder keep their sub-folders)",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    to_json_parser = commands.add_parser(
        "to-json",
        help="HL7 messages to JSON records",
        description="Convert HL7 v2 messages to their segment records in JSON. Each input is "
        "cut into its messages (back to back, in batch envelopes or MLLP frames). A single "
        "input holding a single message gives a JSON array of records; otherwise the output "
        'is JSON Lines, one line per message: {"file": NAME, "index": N, "records": [...]}, '
        'or {"file": NAME, "index": N, "error": TEXT} for a message that cannot be decoded '
        "or fails validation (also reported on standard error). With --output-dir, each input "
        "gives NAME.json (an array) when it holds one message and NAME.jsonl when it holds "
        "several. Escape sequences such as \\F\\ and \\X20\\ are decoded unless "
        "--no-escaping is given.",
    )
    add_common(to_json_parser, "HL7 (*.hl7)")
    add_outputs(to_json_parser, "the JSON")
    add_encoding(to_json_parser)
    to_json_parser.add_argument(
        "--lines",
        action="store_true",
        help="write JSON Lines even for a single input holding a single message "
        "(with --output-dir: NAME.jsonl for every input)",
    )
    to_json_parser.add_argument(
        "--indent", type=int, metavar="N", help="indent a JSON array by N spaces (default: one line)"
    )
    to_json_parser.add_argument(
        "--no-escaping",
        action="store_true",
        help="keep escape sequences as written (Hl7Json escaping_enabled=False)",
    )
    to_json_parser.add_argument(
        "--validate",
        action="store_true",
        help="refuse messages that break the structural rules (Hl7Json validation_enabled=True)",
    )
    to_json_parser.add_argument(
        "--strict",
        action="store_true",
        help="with --validate, also require a known version in MSH-12 and three components "
        "in MSH-9, two for versions 2.1 to 2.3 (Hl7Json strict_validation=True); implies --validate",
    )
    to_json_parser.set_defaults(handler=to_json)

    to_hl7_parser = commands.add_parser(
        "to-hl7",
        help="JSON records back to HL7 messages",
        description="Convert JSON files, each one array of segment records (objects of "
        "strings, as to-json writes them), back to HL7 v2 text, each message ended by a line "
        "end; an empty array is a message of no segment lines and writes nothing. Every value "
        "is escaped (a backslash as \\E\\), except MSH-2, the encoding characters, which are "
        "written as they are when they read back the same. A space is written as itself, "
        "and a value never adds structure.",
    )
    add_common(to_hl7_parser, "JSON (*.json)")
    add_outputs(to_hl7_parser, "the HL7 text")
    to_hl7_parser.add_argument(
        "--line-end",
        choices=sorted(LINE_ENDS),
        default="lf",
        help="what ends each segment line: lf (as JsonHl7.hl7_string writes, the default), "
        "cr (as HL7 sends it) or crlf",
    )
    to_hl7_parser.set_defaults(handler=to_hl7)

    validate_parser = commands.add_parser(
        "validate",
        help="check HL7 messages, one line per message",
        description="Check HL7 v2 messages against brenvolt's structural rules (MSH first with "
        "MSH-2 to MSH-12, four encoding characters, a version and a message type, a PID "
        "segment, three-character segment names, no field over 65536 bytes). Prints one line "
        'per message: "FILE: ok" or "FILE: " and the first broken rule for a file of one '
        'message, "FILE#N: ok" or "FILE#N: RULE" (N counted from 0) for each message of a '
        "file of several. Files that cannot be read, messages that cannot be decoded and "
        'skipped bytes are reported on standard error as "brenvolt: FILE: ...". The exit '
        "status is 1 when anything fails.",
    )
    add_common(validate_parser, "HL7 (*.hl7)")
    add_encoding(validate_parser)
    validate_parser.add_argument(
        "--strict",
        action="store_true",
        help="also require a known version (2.1 to 2.9) in MSH-12 and three components in MSH-9 "
        "(two for versions 2.1 to 2.3)",
    )
    validate_parser.add_argument(
        "--required-fields",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="require a PID segment (default: on)",
    )
    validate_parser.add_argument(
        "-q", "--quiet", action="store_true", help="print only the messages that fail"
    )
    validate_parser.set_defaults(handler=validate)

    add_listen_command(commands)
    add_send_command(commands)
    return parser


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("brenvolt")
    except PackageNotFoundError:
        return "unknown"


def to_null_device(stream: IO[str]) -> None:
    """Points the stream's file descriptor at the null device, so that the
    interpreter's last flush at exit neither fails nor repeats an error."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, stream.fileno())
    finally:
        os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    options = build_parser().parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = options.handler
    try:
        return handler(options)
    except OutputError as failure:
        if failure.label == STDOUT_LABEL:
            to_null_device(sys.stdout)
        if isinstance(failure.error, BrokenPipeError):
            # The reader went away (`brenvolt to-json big/ | head`): stop
            # quietly, with the status of a process that SIGPIPE ended.
            return 128 + signal.SIGPIPE
        print(f"{PROGRAM}: {failure}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # Standard error went to a pipe whose reader left (`2>&1 | head`).
        to_null_device(sys.stdout)
        to_null_device(sys.stderr)
        return 128 + signal.SIGPIPE
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130

if __name__ == "__main__":
    sys.exit(main())
