"""Converts a folder of HL7 v2 files to JSON Lines on a Dask cluster.

    python examples/dask_to_jsonl.py MESSAGES OUTPUT                 # a local cluster
    python examples/dask_to_jsonl.py MESSAGES OUTPUT --scheduler tcp://scheduler:8786

Every ``*.hl7`` file below MESSAGES holds one message or many (back to back,
in FHS/BHS batch envelopes or in MLLP frames): ``brenvolt_feeds.split`` cuts
each into its messages. The files are listed here, sorted, cut into parts of
``--files-per-part`` files, and each part is converted by one task on a
worker, which writes ``OUTPUT/part-NNNNN.jsonl``; the parts in name order hold
the messages in file order, and each part ends with a line end, so
``cat OUTPUT/part-*.jsonl`` is JSON Lines too. Each line is

    {"file": "<path below MESSAGES>", "index": N, "records": [<one dict per segment line>]}

for message N (counted from 0) of the file, or, for a message that cannot be
decoded with ``--encoding`` or that fails validation,
``{"file": ..., "index": N, "error": "<the reason>"}``; so one bad message
among millions costs one line, not the run. Bytes that belong to no message
give ``{"file": ..., "offset": N, "error": "<what was skipped>"}``, and a file
that cannot be read or holds no message ``{"file": ..., "error": ...}``, so
nothing is dropped without a line.

A message whose header declares other delimiters than ``| ^ ~ \\ &`` is read
in them (``brenvolt_feeds.delimiters``), unless ``--no-delimiter-rewrite``
is given, as ``brenvolt to-json`` reads it.

The script ends with one line on standard error, such as ``145 files: 274
messages (1 failed), 2 other error lines; 1 part written by 2 workers``: the
messages count every line with an ``index``, the failed ones those of them
with an ``error``, and the other error lines those for bytes outside
messages and for files that cannot be read or hold no message. It exits
with status 1 when any line is an error line (as ``brenvolt to-json`` does
when anything failed or was skipped), and 0 otherwise.

Without ``--scheduler`` the script starts a ``distributed.LocalCluster`` on
this machine. On a real cluster, MESSAGES and OUTPUT must be paths that every
worker sees the same way (a shared file system), and brenvolt must be
installed on the workers; the code is the same.
"""

from __future__ import annotations

import argparse
import json
import logging
import sys
from pathlib import Path
from typing import Any

import dask
import dask.bag as db
from distributed import Client, LocalCluster

from brenvolt_feeds.options import encoding as encoding_name


def convert(
    path: str, root: str, options: dict[str, bool], encoding: str = "utf-8", rewrite_delimiters: bool = True
) -> list[dict[str, Any]]:
    """The lines for one file: one per message (its records, or why it
    failed), one per stretch of bytes that belongs to no message, and one for
    a file that cannot be read or holds no message."""
    # Imported here, on the worker: brenvolt's classes report `builtins` as
    # their module, so pickle cannot carry them inside this function. The
    # command line's wording of decoding and empty-file errors is reused.
    from brenvolt import Hl7Json
    from brenvolt_cli import EMPTY_INPUT, NO_MESSAGE, decode, io_error_text
    from brenvolt_feeds.delimiters import to_standard_delimiters
    from brenvolt_feeds.split import Message, split_file

    name = Path(path).relative_to(root).as_posix()
    lines: list[dict[str, Any]] = []
    found = 0
    try:
        for piece in split_file(path):
            if isinstance(piece, Message):
                found += 1
                try:
                    text = decode(piece, encoding)
                    if rewrite_delimiters:
                        text = to_standard_delimiters(text)
                    records = Hl7Json(text, **options).hl7_json
                except Exception as error:  # brenvolt raises plain Exception; decode ValueError
                    lines.append({"file": name, "index": piece.index, "error": str(error)})
                else:
                    lines.append({"file": name, "index": piece.index, "records": records})
            else:
                lines.append({"file": name, "offset": piece.offset, "error": piece.message})
    except OSError as error:
        lines.append({"file": name, "error": io_error_text(error)})
    else:
        if not found:
            lines.append({"file": name, "error": NO_MESSAGE if lines else EMPTY_INPUT})
    return lines


def convert_folder(
    messages: str,
    output: str,
    *,
    files_per_part: int = 1000,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
    encoding: str = "utf-8",
    rewrite_delimiters: bool = True,
) -> tuple[list[str], int, int, int, int]:
    """Converts every ``*.hl7`` file below ``messages`` on the current Dask
    client. Returns the part files written, the number of files, the number
    of messages, the number of those that failed, and the number of the
    other error lines."""
    paths = sorted(str(path) for path in Path(messages).rglob("*.hl7") if path.is_file())
    if not paths:
        raise SystemExit(f"no *.hl7 files below {messages}")
    options = {
        "validation_enabled": validation_enabled,
        "strict_validation": strict_validation,
        "escaping_enabled": escaping_enabled,
    }
    results = (
        db.from_sequence(paths, partition_size=files_per_part)
        .map(convert, messages, options, encoding, rewrite_delimiters)
        .flatten()
    )
    lines = results.map(json.dumps, ensure_ascii=False)
    # last_endline: every part ends with a line end, so `cat part-*.jsonl` is
    # JSON Lines too (without it the last line of a part runs into the next).
    written = lines.to_textfiles(
        f"{output}/part-*.jsonl",
        name_function=lambda part: f"{part:05d}",
        encoding="utf-8",
        compute=False,
        last_endline=True,
    )
    found = results.filter(lambda line: "index" in line).count()
    failures = results.filter(lambda line: "index" in line and "error" in line).count()
    others = results.filter(lambda line: "index" not in line).count()
    # One pass: the conversion tasks are shared by the writing and the counts.
    _, count, failed, other = dask.compute(written, found, failures, others)
    parts = sorted(str(part) for part in Path(output).glob("part-*.jsonl"))
    return parts, len(paths), count, failed, other


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("messages", help="folder holding *.hl7 files (searched recursively)")
    parser.add_argument(
        "output", help="folder for the part-NNNNN.jsonl files (created; must hold no parts yet)"
    )
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="address of a running Dask scheduler, such as tcp://scheduler:8786",
    )
    parser.add_argument("--workers", type=int, default=2, help="workers of the local cluster (default: 2)")
    parser.add_argument(
        "--files-per-part", type=int, default=1000, help="files per task and output file (default: 1000)"
    )
    parser.add_argument(
        "--validate", action="store_true", help="write an error line for messages that fail validation"
    )
    parser.add_argument("--strict", action="store_true", help="strict validation (implies --validate)")
    parser.add_argument("--no-escaping", action="store_true", help="keep escape sequences as written")
    parser.add_argument(
        "--no-delimiter-rewrite",
        action="store_true",
        help="read every message with | ^ ~ \\ &, whatever delimiters its header declares",
    )
    parser.add_argument(
        "--encoding",
        type=encoding_name,
        default="utf-8",
        metavar="NAME",
        help="character set of the messages (default: utf-8; latin-1 and cp1252 are common)",
    )
    options = parser.parse_args(argv)

    output = Path(options.output)
    if any(output.glob("part-*.jsonl")):
        parser.error(f"{output} already holds part files; choose an empty folder")
    output.mkdir(parents=True, exist_ok=True)

    # Without a scheduler address, a cluster of worker processes on this machine.
    cluster = None
    if not options.scheduler:
        cluster = LocalCluster(
            n_workers=options.workers,
            threads_per_worker=1,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        )
    with Client(options.scheduler or cluster) as client:
        if cluster is not None:
            client.wait_for_workers(options.workers)
        workers = len(client.nthreads())
        parts, files, count, failed, other = convert_folder(
            options.messages,
            str(output),
            files_per_part=options.files_per_part,
            validation_enabled=options.validate or options.strict,
            strict_validation=options.strict,
            escaping_enabled=not options.no_escaping,
            encoding=options.encoding,
            rewrite_delimiters=not options.no_delimiter_rewrite,
        )
    if cluster is not None:
        cluster.close()
    written = f"{len(parts)} part{'' if len(parts) == 1 else 's'}"
    print(
        f"{files} files: {count} messages ({failed} failed), {other} other error lines; "
        f"{written} written by {workers} workers",
        file=sys.stderr,
    )
    return 1 if failed or other else 0


if __name__ == "__main__":
    sys.exit(main())
