"""Converts a folder of HL7 v2 messages to JSON Lines on a Dask cluster.

    python examples/dask_to_jsonl.py MESSAGES OUTPUT                 # a local cluster
    python examples/dask_to_jsonl.py MESSAGES OUTPUT --scheduler tcp://scheduler:8786

Every ``*.hl7`` file below MESSAGES is one message. The files are listed here,
sorted, cut into parts of ``--files-per-part`` files, and each part is
converted by one task on a worker, which writes ``OUTPUT/part-NNNNN.jsonl``;
the parts in name order hold the messages in file order. Each line is

    {"file": "<path below MESSAGES>", "records": [<one dict per segment line>]}

or, for a message that brenvolt cannot read or that fails validation,
``{"file": ..., "error": "<brenvolt's message>"}``, so one bad file among
millions costs one line, not the run.

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


def convert(path: str, root: str, options: dict[str, bool]) -> dict[str, Any]:
    """The line for one message file: its records, or brenvolt's error."""
    # Imported here, on the worker: brenvolt's classes report `builtins` as
    # their module, so pickle cannot carry them inside this function.
    from brenvolt import Hl7Json

    name = Path(path).relative_to(root).as_posix()
    try:
        records = Hl7Json.from_file(path, **options).hl7_json
    except Exception as error:  # brenvolt raises plain Exception
        return {"file": name, "error": str(error)}
    return {"file": name, "records": records}


def convert_folder(
    messages: str,
    output: str,
    *,
    files_per_part: int = 1000,
    validation_enabled: bool = False,
    strict_validation: bool = False,
    escaping_enabled: bool = True,
) -> tuple[list[str], int, int]:
    """Converts every ``*.hl7`` file below ``messages`` on the current Dask
    client. Returns the part files written, the number of messages and the
    number of them that failed."""
    paths = sorted(str(path) for path in Path(messages).rglob("*.hl7") if path.is_file())
    if not paths:
        raise SystemExit(f"no *.hl7 files below {messages}")
    options = {
        "validation_enabled": validation_enabled,
        "strict_validation": strict_validation,
        "escaping_enabled": escaping_enabled,
    }
    results = db.from_sequence(paths, partition_size=files_per_part).map(convert, messages, options)
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
    failures = results.filter(lambda line: "error" in line).count()
    # One pass: the conversion tasks are shared by the writing and the count.
    _, failed = dask.compute(written, failures)
    parts = sorted(str(part) for part in Path(output).glob("part-*.jsonl"))
    return parts, len(paths), failed


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
        "--files-per-part", type=int, default=1000, help="messages per task and output file (default: 1000)"
    )
    parser.add_argument(
        "--validate", action="store_true", help="write an error line for messages that fail validation"
    )
    parser.add_argument("--strict", action="store_true", help="strict validation (implies --validate)")
    parser.add_argument("--no-escaping", action="store_true", help="keep escape sequences as written")
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
        parts, count, failed = convert_folder(
            options.messages,
            str(output),
            files_per_part=options.files_per_part,
            validation_enabled=options.validate or options.strict,
            strict_validation=options.strict,
            escaping_enabled=not options.no_escaping,
        )
    if cluster is not None:
        cluster.close()
    print(f"{count} messages, {failed} failed, {len(parts)} parts, {workers} workers", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
