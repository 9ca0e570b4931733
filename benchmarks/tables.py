"""The tables of brenvolt_tables: native building against Hl7Json, against the
route a user writes today, and `brenvolt to-parquet` on a large batch file.

    python benchmarks/tables.py                  # ratios, and to-parquet on 100,000 messages
    python benchmarks/tables.py --quick          # smaller rounds, to-parquet on 10,000 messages
    python benchmarks/tables.py --size-gb 2      # also to-parquet on a ~2 GB batch file (made in a temp dir)

Every time figure is a ratio of two sides measured in this one process,
interleaved over rounds (benchmarks/measure.py); the median is quoted.

* build: ``TableBuilder([table]).add_text(text, ...)`` on a builder kept
  across calls, as read() keeps one, taking (and dropping) the batches it
  closes (no pyarrow), against ``Hl7Json(text).hl7_json``, on the suite's
  ADT, ORU and 10 MB workloads.
* route: ``pyarrow.Table`` of the values (or segments) of the message:
  ``read(Texts([text]), table).to_arrow()`` against ``Hl7Json`` -> one dict per
  row in Python -> ``pyarrow.Table.from_pylist`` with the explicit schema.
* to-parquet: ``brenvolt to-parquet FILE -o OUT`` on the generated batch file
  of benchmarks/split_batch.py, every table: messages per second (wall time of
  the command, interpreter start included) and peak RSS (ru_maxrss of the
  process).
"""

from __future__ import annotations

import argparse
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import measure  # noqa: E402
import pyarrow as pa  # noqa: E402
import split_batch  # noqa: E402
from workloads import all_workloads  # noqa: E402

from brenvolt import Hl7Json  # noqa: E402
from brenvolt_tables import Texts, read  # noqa: E402
from brenvolt_tables._native import TableBuilder  # noqa: E402

ALL_TABLES = ["messages", "segments", "values", "wide"]
TARGETS = {"segments": 0.5, "values": 0.6, "route": 0.2}
KEY = re.compile(r"^(\d+)(?:\[(\d+)\])?(?:\.(\d+))?$")

VALUES_SCHEMA = pa.schema(
    [
        pa.field("message_id", pa.string(), False),
        pa.field("segment_index", pa.int32(), False),
        pa.field("segment_name", pa.string()),
        pa.field("field", pa.int32(), False),
        pa.field("repetition", pa.int32(), False),
        pa.field("component", pa.int32(), False),
        pa.field("value", pa.string(), False),
    ]
)
SEGMENTS_SCHEMA = pa.schema(
    [
        pa.field("message_id", pa.string(), False),
        pa.field("segment_index", pa.int32(), False),
        pa.field("segment_name", pa.string()),
        pa.field("fields", pa.map_(pa.string(), pa.string()), False),
    ]
)


SOURCE = "/data/inbox/2026/12/adt-000123.hl7"  # a message_id of a usual length


class Native:
    """One builder kept across calls, as read() and to_parquet() keep one
    across messages: each call adds the message and takes (and drops) the
    batches closed meanwhile."""

    def __init__(self, tables: list[str]) -> None:
        self.builder = TableBuilder(tables)
        self.index = 0

    def __call__(self, text: str) -> None:
        self.builder.add_text(text, SOURCE, self.index, None, None)
        self.index += 1
        self.builder.take()


def values_route(text: str) -> pa.Table:
    """What a user writes today for the values table."""
    rows = []
    for index, record in enumerate(Hl7Json(text).hl7_json):
        name = record["segment_name"]
        shift = 1 if name in ("MSH", "FHS", "BHS") else 0
        for key, value in record.items():
            match = KEY.match(key)
            if match is None:
                continue
            rows.append(
                {
                    "message_id": "bench#0",
                    "segment_index": index,
                    "segment_name": name,
                    "field": int(match[1]) + shift,
                    "repetition": int(match[2] or 0),
                    "component": int(match[3] or 1),
                    "value": value,
                }
            )
    return pa.Table.from_pylist(rows, schema=VALUES_SCHEMA)


def segments_route(text: str) -> pa.Table:
    rows = [
        {
            "message_id": "bench#0",
            "segment_index": index,
            "segment_name": record["segment_name"],
            "fields": [(k, v) for k, v in record.items() if k != "segment_name"],
        }
        for index, record in enumerate(Hl7Json(text).hl7_json)
    ]
    return pa.Table.from_pylist(rows, schema=SEGMENTS_SCHEMA)


def quiet(source: str, text: str) -> None:
    pass


def ratios(settings: measure.Settings, workloads: list, lines: list[str]) -> None:
    for w in workloads:
        text = w.text
        segments, values, every = Native(["segments"]), Native(["values"]), Native(ALL_TABLES)
        sides = {
            "segments": lambda t=text, f=segments: f(t),
            "values": lambda t=text, f=values: f(t),
            "all tables": lambda t=text, f=every: f(t),
            "Hl7Json": lambda t=text: Hl7Json(t).hl7_json,
        }
        c = measure.compare(sides, settings)
        for i, name in enumerate(["segments", "values", "all tables"]):
            row(
                lines,
                f"build {name}",
                w.key,
                "Hl7Json(text).hl7_json",
                c.ratio(i, 3),
                c.spread(i, 3),
                len(c.times),
                TARGETS.get(name),
            )
        for table, route in (("values", values_route), ("segments", segments_route)):

            def mine(t=text, table=table):
                return read(Texts([t], "bench"), table, on_notice=quiet).to_arrow()

            assert mine().num_rows == route(text).num_rows
            c = measure.compare({"read": mine, "route": lambda t=text, r=route: r(t)}, settings)
            row(
                lines,
                f"{table} as pyarrow.Table",
                w.key,
                "Hl7Json -> rows -> Table.from_pylist",
                c.ratio(0, 1),
                c.spread(0, 1),
                len(c.times),
                TARGETS["route"],
            )


def row(
    lines: list[str],
    what: str,
    workload: str,
    against: str,
    ratio: float,
    spread: tuple[float, float],
    rounds: int,
    target: float | None,
) -> None:
    verdict = "" if target is None else ("PASS" if ratio <= target else "MISS")
    goal = "" if target is None else f"<= {target:g}"
    line = (
        f"| {what} | {workload} | {against} | {ratio:.3f} | {spread[0]:.3f}-{spread[1]:.3f} | {rounds} "
        f"| {goal} | {verdict} |"
    )
    lines.append(line)
    print(line, flush=True)


def to_parquet_run(folder: Path, messages: int | None, size_gb: float | None, lines: list[str]) -> None:
    path = folder / "batch.hl7"
    if size_gb:
        count, size = split_batch.generate_size(path, int(size_gb * 1e9), split_batch.SEED)
    else:
        assert messages is not None
        per, extra = divmod(messages, 10)
        count, size = split_batch.generate(
            path, [per + (1 if n < extra else 0) for n in range(10)], split_batch.SEED
        )
    out = folder / "tables"
    command = [*split_batch.brenvolt_command(), "to-parquet", str(path), "-o", str(out), "--no-progress"]
    started = time.perf_counter()
    result = split_batch.measured(command)
    wall = time.perf_counter() - started
    del wall
    seconds = float(result["wall"])  # type: ignore[arg-type]
    peak = int(result["peak_kib"]) / 1024  # type: ignore[call-overload]
    line = (
        f"| to-parquet | {count:,} messages, {size / 1e6:,.0f} MB | {count / seconds:,.0f} messages/s, "
        f"{size / seconds / 1e6:,.1f} MB/s | peak RSS {peak:,.1f} MiB | <= 200 MiB | "
        f"{'PASS' if peak <= 200 else 'MISS'} |"
    )
    lines.append(line)
    print(line, flush=True)
    shutil.rmtree(out, ignore_errors=True)
    path.unlink()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, 10,000 messages for to-parquet")
    parser.add_argument(
        "--size-gb", type=float, help="also run to-parquet on a batch file of about this size"
    )
    parser.add_argument("--no-ratios", action="store_true", help="only the to-parquet runs")
    parser.add_argument(
        "--out", type=Path, default=HERE / "tables_results.md", help="where to write the table"
    )
    options = parser.parse_args(argv)
    settings = measure.QUICK if options.quick else measure.FULL
    wanted = {"ADT", "ORU", "large"}
    workloads = [w for w in all_workloads(options.quick) if w.key in wanted]
    lines = [
        "| what | workload | against | ratio | range | rounds | target | |",
        "|---|---|---|---:|---|---:|---|---|",
    ]
    if not options.no_ratios:
        ratios(settings, workloads, lines)
    lines += ["", "| command | input | rate | memory | target | |", "|---|---|---|---|---|---|"]
    with tempfile.TemporaryDirectory(prefix="brenvolt-tables-") as tmp:
        to_parquet_run(Path(tmp), 10_000 if options.quick else 100_000, None, lines)
        if options.size_gb:
            to_parquet_run(Path(tmp), None, options.size_gb, lines)
    if not options.quick:
        options.out.write_text("\n".join(lines) + "\n")
        print(f"wrote {options.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
