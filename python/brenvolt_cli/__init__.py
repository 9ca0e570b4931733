"""The ``brenvolt`` command: HL7 v2 files to segment records in JSON, records
back to HL7, validation, and HL7 over MLLP, without writing any Python.

    brenvolt to-json message.hl7              one JSON array of segment records
    brenvolt to-json batch.hl7 > out.jsonl    JSON Lines, one line per message
    brenvolt to-json inbox/ > messages.jsonl  JSON Lines, one line per message
    brenvolt to-hl7 records.json > message.hl7
    brenvolt to-hl7 messages.jsonl > messages.hl7
    brenvolt validate --strict inbox/
    brenvolt listen --port 2575 --out feed/
    brenvolt send --host 127.0.0.1 --port 2575 inbox/
    brenvolt to-parquet inbox/ -o tables/
    brenvolt replay feed/ --to 127.0.0.1:2576 --since 2h

It is installed beside the ``brenvolt`` extension module as a console script
and also runs as ``python -m brenvolt_cli``. An HL7 input may hold many
messages (messages back to back, batch files with FHS/BHS envelopes, MLLP
dumps): ``brenvolt_feeds.split`` cuts it into messages, each is decoded with
``--encoding``, rewritten from the delimiters its header declares into
``| ^ ~ \\ &`` when they are others, and converted by ``Hl7Json`` exactly as
a Python program would convert it. JSON arrays are read by
``JsonHl7.from_file``, JSON Lines a line at a time.

One module per command: ``to_json``, ``to_hl7``, ``validate``,
``to_parquet`` (over ``brenvolt_tables``), ``replay`` here,
``listen`` and ``send`` in ``brenvolt_feeds``; what they share is in
``arguments`` (options), ``reading`` (HL7 inputs) and ``output`` (standard
output, ``-o``, ``-d`` and standard error).
"""

from __future__ import annotations

import argparse
import signal
import sys
from collections.abc import Callable, Sequence

from brenvolt_feeds.inputs import io_error_text
from brenvolt_feeds.listen import add_listen_command
from brenvolt_feeds.send import add_send_command

from .output import PROGRAM, STDOUT_LABEL, OutputError, to_null_device
from .reading import EMPTY_INPUT, NO_MESSAGE, decode
from .replay import add_replay_command
from .to_hl7 import add_to_hl7_command
from .to_json import add_to_json_command
from .to_parquet import add_to_parquet_command
from .validate import add_validate_command

__all__ = ["EMPTY_INPUT", "NO_MESSAGE", "PROGRAM", "build_parser", "decode", "io_error_text", "main"]

DESCRIPTION = """\
Convert HL7 v2 messages to JSON segment records and back, and check them.

Each message becomes a list of records, one per segment line: a JSON object
whose "segment_name" holds the segment's name and whose other keys name
positions ("5.1" is the first component of field 5, "3[1]" the second
repetition of field 3). An HL7 file may hold many messages: back to back,
in FHS/BHS batch envelopes, or in MLLP frames; each is decoded as UTF-8 or
the --encoding given, and read in the delimiters its header declares. "-" or
no file at all means standard input; a folder stands for every matching file
below it.
"""

EPILOG = """\
examples:
  brenvolt to-json adt_a01.hl7                  records of one message, a JSON array
  brenvolt to-json batch.hl7 > batch.jsonl      one JSON line per message of a batch file
  brenvolt to-json inbox/ -o messages.jsonl     many files as JSON Lines
  brenvolt to-json --encoding cp1252 old.hl7    messages written in Windows-1252
  brenvolt to-hl7 --line-end cr records.json    back to HL7 text
  brenvolt to-hl7 messages.jsonl > all.hl7      every message of JSON Lines, one after another
  brenvolt validate --strict inbox/             one line per message

exit status: 0 when every file and message worked, 1 when any failed or bytes
were skipped, 141 when the reader of standard output went away, 2 for a wrong
command line. Failures are reported on standard error, one line naming the
file (FILE#N for message N, counted from 0, of a file of several messages;
"FILE: offset N: ..." for bytes that belong to no message; "FILE: line N: ..."
for a line of JSON Lines). A folder's files of other suffixes are named in one
line, which fails nothing.
"""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    add_to_json_command(commands)
    add_to_hl7_command(commands)
    add_validate_command(commands)
    add_listen_command(commands)
    add_send_command(commands)
    add_to_parquet_command(commands)
    add_replay_command(commands)
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
