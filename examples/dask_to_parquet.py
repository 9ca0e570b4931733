"""Writes the tables of a folder of HL7 v2 files as Parquet on a Dask cluster.

    python examples/dask_to_parquet.py MESSAGES OUTPUT                 # a local cluster
    python examples/dask_to_parquet.py MESSAGES OUTPUT --scheduler tcp://scheduler:8786

The ``*.hl7`` (and ``*.jsonl``) files below MESSAGES are listed here, sorted,
and cut into partitions of ``--files-per-part`` files. Each partition is one
task on a worker, which calls ``brenvolt_tables.to_parquet`` with ``part=N``:
every table gets one file per partition, ``OUTPUT/messages/part-NNNNN.parquet``,
``OUTPUT/segments/part-NNNNN.parquet``, ``OUTPUT/values/...`` and
``OUTPUT/wide/<SEGMENT>/part-NNNNN.parquet``, so that each folder reads as one
table:

    duckdb.sql("SELECT * FROM read_parquet('OUTPUT/values/*.parquet')")
    duckdb.sql("SELECT * FROM read_parquet('OUTPUT/wide/PID/*.parquet', union_by_name=true)")

A message that fails keeps its row in ``messages`` with its error; bytes that
belong to no message and files that hold none are counted as problems. The
script prints, for example, ``145 files, 274 messages, 1 with errors, 2 other
problems, 3 partitions, 2 workers`` and exits 1 when a message failed or a
problem was found. MESSAGES and OUTPUT must be paths that every worker sees
the same way, and brenvolt must be installed on the workers (with pyarrow).
"""

from __future__ import annotations

import argparse
import logging
import sys
from pathlib import Path

import dask
from distributed import Client, LocalCluster

from brenvolt_feeds.options import encoding as encoding_name


def convert(paths: list[str], output: str, part: int, options: dict[str, object]) -> tuple[int, int, int]:
    """Writes one partition's tables; returns its messages, error rows and
    other problems (each also logged on the worker's standard error)."""
    # Imported on the worker, not pickled with the function.
    from brenvolt_tables import to_parquet
    from brenvolt_tables.sources import report_to_stderr

    summary = to_parquet(paths, output, part=part, rows_per_part=None, on_notice=report_to_stderr, **options)  # type: ignore[arg-type]
    return summary.messages, summary.errors, summary.notices


def convert_folder(
    messages: str,
    output: str,
    *,
    files_per_part: int = 1000,
    encoding: str = "utf-8",
    escaping: bool = True,
    validation: bool = False,
    strict: bool = False,
    rewrite_delimiters: bool = True,
) -> tuple[int, int, int, int, int]:
    """Writes the tables of every file below ``messages`` on the current Dask
    client. Returns files, messages, error rows, other problems, partitions."""
    paths = sorted(
        str(p) for p in Path(messages).rglob("*") if p.suffix in (".hl7", ".jsonl") and p.is_file()
    )
    if not paths:
        raise SystemExit(f"no *.hl7 or *.jsonl files below {messages}")
    options: dict[str, object] = {
        "encoding": encoding,
        "escaping": escaping,
        "validation": validation,
        "strict": strict,
        "rewrite_delimiters": rewrite_delimiters,
    }
    parts = [paths[i : i + files_per_part] for i in range(0, len(paths), files_per_part)]
    tasks = [dask.delayed(convert)(part, output, n, options) for n, part in enumerate(parts)]
    results = dask.compute(*tasks)
    count = sum(r[0] for r in results)
    errors = sum(r[1] for r in results)
    problems = sum(r[2] for r in results)
    return len(paths), count, errors, problems, len(parts)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("messages", help="folder holding *.hl7 or *.jsonl files (searched recursively)")
    parser.add_argument("output", help="folder for the tables (must hold no parts yet)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler")
    parser.add_argument("--workers", type=int, default=2, help="workers of the local cluster (default: 2)")
    parser.add_argument(
        "--files-per-part", type=int, default=1000, help="files per task and part file (default: 1000)"
    )
    parser.add_argument(
        "--encoding",
        type=encoding_name,
        default="utf-8",
        metavar="NAME",
        help="character set of the messages (default: utf-8)",
    )
    parser.add_argument("--no-escaping", action="store_true", help="keep escape sequences as written")
    parser.add_argument(
        "--validate", action="store_true", help="error rows for messages that break the rules"
    )
    parser.add_argument("--strict", action="store_true", help="strict validation (implies --validate)")
    parser.add_argument(
        "--no-delimiter-rewrite",
        action="store_true",
        help="read every message with | ^ ~ \\ &, whatever its header declares",
    )
    options = parser.parse_args(argv)
    if options.files_per_part < 1:
        parser.error("--files-per-part must be at least 1")

    output = Path(options.output)
    if output.is_dir() and any(output.rglob("part-*.parquet")):
        parser.error(f"{output} already holds part files; choose an empty folder")
    output.mkdir(parents=True, exist_ok=True)

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
        files, count, errors, problems, parts = convert_folder(
            options.messages,
            str(output),
            files_per_part=options.files_per_part,
            encoding=options.encoding,
            escaping=not options.no_escaping,
            validation=options.validate or options.strict,
            strict=options.strict,
            rewrite_delimiters=not options.no_delimiter_rewrite,
        )
    if cluster is not None:
        cluster.close()
    print(
        f"{files} files, {count} messages, {errors} with errors, {problems} other problems, "
        f"{parts} partitions, {workers} workers",
        file=sys.stderr,
    )
    return 1 if errors or problems else 0


if __name__ == "__main__":
    sys.exit(main())
