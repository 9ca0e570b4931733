"""``brenvolt to-parquet``: HL7 messages (or JSON Lines of records) into folders
of Parquet files, one per table (``brenvolt_tables``).

    brenvolt to-parquet inbox/ -o tables/
    brenvolt to-parquet batch.hl7 feed/part-*.jsonl -o tables/ --tables messages values PID

Every message is one row of ``messages`` (with its error, when it fails) and
its records' rows in the other tables; bytes that belong to no message, and
inputs that cannot be read or hold no message, are named on standard error
as the other commands name them. A closing summary says how many messages,
rows per table and errors there were. Needs pyarrow (the ``tables`` extra).
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import TYPE_CHECKING

from .arguments import add_delimiter_rewrite, add_encoding
from .output import PROGRAM

if TYPE_CHECKING:
    from brenvolt_tables import Summary
    from brenvolt_tables.sources import Item

__all__ = ["add_to_parquet_command"]

# The tables and their names, as brenvolt_tables has them (imported when the
# command runs: it loads the tables' extension module).
ALL_TABLES = ("messages", "segments", "values", "wide")
FIXED_TABLES = ("messages", "segments", "values")

DESCRIPTION = """\
Write the tables of HL7 v2 messages as Parquet: OUTDIR/messages/, segments/,
values/ and wide/<SEGMENT>/, each holding part-NNNNN.parquet files that DuckDB,
pyarrow.dataset and Spark read as one table. Inputs are HL7 files (cut into
messages as to-json cuts them: back to back, batch envelopes, MLLP dumps),
JSON Lines written by to-json or listen, or JSON arrays of records; a folder
stands for every *.hl7, *.jsonl and *.json file below it. A message that
fails keeps its row in messages, with its error, and is reported on standard
error; the exit status is 1 when any message failed or any bytes were
skipped."""


def table_name(text: str) -> str:
    """An argparse type: a table that --tables accepts."""
    from brenvolt_tables.reader import check_table

    if text == "wide":
        return text
    try:
        return check_table(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add_to_parquet_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE|DIR", help="HL7 or JSON Lines files, or folders")
    parser.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUTDIR",
        help="the folder for the tables (made if missing; must hold no parts yet)",
    )
    parser.add_argument(
        "--tables",
        nargs="+",
        type=table_name,
        default=list(ALL_TABLES),
        metavar="TABLE",
        help="tables to write: messages, segments, values, wide (every segment's wide table) "
        "or segment names such as PID (default: messages segments values wide)",
    )
    add_encoding(parser)
    add_delimiter_rewrite(parser)
    parser.add_argument("--no-escaping", action="store_true", help="keep escape sequences as written")
    parser.add_argument(
        "--validate", action="store_true", help="give messages that break the structural rules an error row"
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        help="also require a known version and a full message type; implies --validate",
    )
    parser.add_argument(
        "--rows-per-part",
        type=int,
        default=1_000_000,
        metavar="N",
        help="rows in one part file at most (default: 1000000)",
    )
    parser.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="show a progress bar on standard error (default: at a terminal)",
    )
    parser.set_defaults(handler=run)


def add_to_parquet_command(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Add the ``to-parquet`` sub-command to a ``brenvolt`` sub-parser set."""
    parser = commands.add_parser(
        "to-parquet",
        help="HL7 messages to Parquet tables",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add_to_parquet_arguments(parser)


class Bar:
    """``[#####-----] 12/40 files, 5,120 messages`` on one line of standard
    error, redrawn at most ten times a second and wiped before any other line."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.files = 0
        self.messages = 0
        self.enabled = enabled
        self.drawn_at = 0.0
        self.shown = False

    def tick(self, files: int) -> None:
        self.files = files
        now = time.monotonic()
        if self.enabled and (not self.shown or now - self.drawn_at >= 0.1):
            self.drawn_at = now
            filled = 30 * self.files // max(self.total, 1)
            sys.stderr.write(
                f"\r[{'#' * filled}{'-' * (30 - filled)}] {self.files}/{self.total} files, "
                f"{self.messages:,} messages"
            )
            sys.stderr.flush()
            self.shown = True

    def wipe(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False

    def line(self, text: str) -> None:
        self.wipe()
        print(f"{PROGRAM}: {' '.join(text.splitlines())}", file=sys.stderr, flush=True)


def summary_text(summary: Summary, out: str, seconds: float) -> str:
    """The closing summary: messages, errors, rows per table, parts."""
    fixed = [f"{name} {summary.rows.get(name, 0):,}" for name in FIXED_TABLES if name in summary.rows]
    wide = {name: rows for name, rows in summary.rows.items() if name not in FIXED_TABLES}
    if wide:
        fixed.append(f"{len(wide)} wide tables {sum(wide.values()):,}")
    rate = summary.messages / seconds if seconds > 0 else 0.0
    return (
        f"{summary.messages:,} messages ({summary.errors:,} with errors), {summary.notices:,} other "
        f"problems; rows: {', '.join(fixed) or 'none'}; {len(summary.parts)} parts in {out} "
        f"({seconds:.1f} s, {rate:,.0f} messages/s)"
    )


def run(options: argparse.Namespace) -> int:
    out = Path(options.output)
    if out.exists() and not out.is_dir():
        print(f"{PROGRAM}: {out}: not a folder", file=sys.stderr)
        return 1
    if out.is_dir() and any(out.rglob("part-*.parquet")):
        print(f"{PROGRAM}: {out}: holds part files already; choose an empty folder", file=sys.stderr)
        return 1
    if options.rows_per_part < 1:
        print(f"{PROGRAM}: --rows-per-part must be at least 1", file=sys.stderr)
        return 2
    from brenvolt_tables import to_parquet
    from brenvolt_tables.sources import expand

    try:
        inputs = expand(options.files)
    except FileNotFoundError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1
    enabled = options.progress if options.progress is not None else sys.stderr.isatty()
    bar = Bar(len(inputs), enabled)
    seen: set[str] = set()  # the sources that gave a message so far

    def notice(source: str, text: str) -> None:
        bar.line(f"{source}: {text}")

    def message(item: Item, error: str | None) -> None:
        bar.messages += 1
        if error is not None:
            bar.line(f"{item.source}#{item.index}: {error}")
        seen.add(item.source)
        bar.tick(min(len(seen), len(inputs)))

    started = time.perf_counter()
    try:
        summary = to_parquet(
            inputs,
            out,
            tables=options.tables,
            encoding=options.encoding,
            escaping=not options.no_escaping,
            validation=options.validate or options.strict,
            strict=options.strict,
            rows_per_part=options.rows_per_part,
            on_notice=notice,
            on_message=message,
        )
    except ImportError as error:
        bar.line(f"to-parquet needs pyarrow (pip install 'brenvolt[tables]'): {error}")
        return 1
    except OSError as error:
        bar.line(f"{getattr(error, 'filename', None) or out}: {error.strerror or error}")
        return 1
    bar.tick(len(inputs))
    bar.wipe()
    print(f"{PROGRAM}: {summary_text(summary, str(out), time.perf_counter() - started)}", file=sys.stderr)
    return 1 if summary.errors or summary.notices else 0
