"""The ``brenvolt`` command: HL7 v2 files to segment records in JSON, records
back to HL7, and validation, without writing any Python.

    brenvolt to-json message.hl7              one JSON array of segment records
    brenvolt to-json inbox/ > messages.jsonl  JSON Lines, one message per line
    brenvolt to-hl7 records.json > message.hl7
    brenvolt validate --strict inbox/

It is installed beside the ``brenvolt`` extension module as a console script
and also runs as ``python -m brenvolt_cli``. Every conversion goes through
``Hl7Json.from_file`` and ``JsonHl7.from_file``, so a file is read, checked
and converted exactly as a Python program would see it.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import sys
import tempfile
import time
from collections.abc import Callable, Generator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import IO, TypeVar

from brenvolt import Hl7Json, JsonHl7

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
                path
                for path in Path(argument).rglob("*")
                if path.suffix.lower() == suffix and path.is_file()
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


def to_json(options: argparse.Namespace) -> int:
    sources, empty = find_sources(options.files, ".hl7")
    several = len(options.files) > 1 or any(os.path.isdir(name) for name in options.files)
    lines = options.lines or (several and options.output_dir is None)
    strict = options.strict

    def convert(source: Source) -> str:
        message = load(
            source,
            lambda path: Hl7Json.from_file(
                path,
                validation_enabled=options.validate or strict,
                strict_validation=strict,
                escaping_enabled=not options.no_escaping,
            ),
        )
        records = message.hl7_json
        if lines:
            return json.dumps({"file": source.label, "records": records}, ensure_ascii=False)
        return json.dumps(records, ensure_ascii=False, indent=options.indent)

    def emit(out: Output, text: str) -> None:
        out.write(text.encode("utf-8") + b"\n")

    failed = report_empty(empty, ".hl7")
    failed |= run(options, sources, convert, emit, ".json")
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
    with open_output(None, progress) as out:
        for source in sources:
            line = None
            try:
                message = load(source, Hl7Json.from_file)
            except Exception as error:  # brenvolt raises plain Exception
                # The file could not be read: an error, not a verdict.
                failed = True
                progress.error(source.label, str(error))
            else:
                try:
                    message.validate(options.strict, options.required_fields)
                    line = None if options.quiet else f"{source.label}: ok"
                except Exception as error:
                    failed = True
                    line = f"{source.label}: {' '.join(str(error).splitlines())}"
            if line is not None:
                out.write(f"{line}\n".encode())
                out.flush()
            progress.advance()
    progress.wipe()
    return 1 if failed else 0


DESCRIPTION = """\
Convert HL7 v2 messages to JSON segment records and back, and check them.

Each message becomes a list of records, one per segment line: a JSON object
whose "segment_name" holds the segment's name and whose other keys name
positions ("5.1" is the first component of field 5, "3[1]" the second
repetition of field 3). Files are read as UTF-8; "-" or no file at all means
standard input; a folder stands for every matching file below it.
"""

EPILOG = """\
examples:
  brenvolt to-json adt_a01.hl7                  records of one message, a JSON array
  brenvolt to-json inbox/ -o messages.jsonl     many messages as JSON Lines
  brenvolt to-hl7 --line-end cr records.json    back to HL7 text
  brenvolt validate --strict inbox/             one line per file

exit status: 0 when every file worked, 1 when any failed, 2 for a wrong command
line. Failures are reported on standard error, one line naming the file.
"""


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
        help="show a progress bar on standard error "
        "(default: when converting several files at a terminal)",
    )


def add_outputs(parser: argparse.ArgumentParser, what: str) -> None:
    target = parser.add_mutually_exclusive_group()
    target.add_argument("-o", "--output", metavar="PATH", help=f"write {what} to PATH instead of standard output")
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
        description="Convert HL7 v2 messages to their segment records in JSON. One input gives "
        "a JSON array of records; several give JSON Lines, one message per line, as "
        '{"file": NAME, "records": [...]}. Escape sequences such as \\F\\ and \\X20\\ are '
        "decoded unless --no-escaping is given.",
    )
    add_common(to_json_parser, "HL7 (*.hl7)")
    add_outputs(to_json_parser, "the JSON")
    to_json_parser.add_argument(
        "--lines", action="store_true", help="write JSON Lines even for a single input"
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
        "in MSH-9 (Hl7Json strict_validation=True); implies --validate",
    )
    to_json_parser.set_defaults(handler=to_json)

    to_hl7_parser = commands.add_parser(
        "to-hl7",
        help="JSON records back to HL7 messages",
        description="Convert JSON files, each one array of segment records (objects of "
        "strings, as to-json writes them), back to HL7 v2 text. Every value is escaped, "
        "MSH-2 included, so a space is written \\X20\\ and a value never adds structure.",
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
        help="check HL7 messages, one line per file",
        description="Check HL7 v2 messages against brenvolt's structural rules (MSH first with "
        "MSH-2 to MSH-12, four encoding characters, a version and a message type, a PID "
        "segment, three-character segment names, no field over 65536 bytes). Prints "
        '"FILE: ok" or "FILE: " and the first broken rule, one line per file; the exit '
        "status is 1 when any file fails.",
    )
    add_common(validate_parser, "HL7 (*.hl7)")
    validate_parser.add_argument(
        "--strict",
        action="store_true",
        help="also require a known version (2.1 to 2.9) in MSH-12 and three components in MSH-9",
    )
    validate_parser.add_argument(
        "--required-fields",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="require a PID segment (default: on)",
    )
    validate_parser.add_argument(
        "-q", "--quiet", action="store_true", help="print only the files that fail"
    )
    validate_parser.set_defaults(handler=validate)
    return parser


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("brenvolt")
    except PackageNotFoundError:
        return "unknown"


def main(argv: Sequence[str] | None = None) -> int:
    options = build_parser().parse_args(argv)
    handler: Callable[[argparse.Namespace], int] = options.handler
    try:
        return handler(options)
    except OutputError as failure:
        # Standard output goes to the null device from here on, so that the
        # interpreter's last flush at exit neither fails nor repeats the error.
        if failure.label == STDOUT_LABEL:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        if isinstance(failure.error, BrokenPipeError):
            # The reader went away (`brenvolt to-json big/ | head`): stop
            # quietly, with the status of a process that SIGPIPE ended.
            return 128 + signal.SIGPIPE
        print(f"{PROGRAM}: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130

if __name__ == "__main__":
    sys.exit(main())
