"""The tables of many messages written as folders of Parquet files.

    OUT/messages/part-00000.parquet
    OUT/segments/part-00000.parquet
    OUT/values/part-00000.parquet, part-00001.parquet, ...
    OUT/wide/PID/part-00000.parquet
    OUT/wide/OBX/part-00000.parquet, ...

Each folder is one table that DuckDB (``read_parquet('OUT/values/*.parquet')``),
``pyarrow.dataset`` and Spark read as a whole. A part holds at most
``rows_per_part`` rows and 128 row groups. The parts of a wide table may differ in columns: a new
part starts when a segment brings a column its part has not got (a part
holds every column met before it). Read them by name, as DuckDB's
``union_by_name`` does. Needs pyarrow (the ``tables`` extra).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING

from . import _native
from .reader import FIXED_TABLES, Options, batches, check_table
from .sources import Item, Notify, Sources, expand, report_to_stderr

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped]
    import pyarrow.parquet  # type: ignore[import-untyped]

__all__ = ["Summary", "to_parquet"]

ALL_TABLES = ("messages", "segments", "values", "wide")
# A writer keeps the metadata of every row group of its part (statistics
# included) until the part is closed: a part of many small row groups would
# hold memory that grows with the input, so a part ends after this many.
GROUPS_PER_PART = 128


@dataclass
class Summary:
    """What :func:`to_parquet` wrote: messages read, those with an error row,
    notices heard, rows per table (wide tables by segment name) and the part
    files, in the order they were finished."""

    messages: int = 0
    errors: int = 0
    notices: int = 0
    rows: dict[str, int] = field(default_factory=dict)
    parts: list[str] = field(default_factory=list)


class _Part:
    """The open part of one table: its writer, schema and rows."""

    def __init__(self, path: Path, schema: pyarrow.Schema, compression: str) -> None:
        import pyarrow.parquet as pq

        if path.exists():
            raise FileExistsError(f"{path}: the part exists already; write into an empty folder")
        path.parent.mkdir(parents=True, exist_ok=True)
        self.path = path
        self.schema = schema
        self.rows = 0
        self.groups = 0
        self.writer = pq.ParquetWriter(str(path), schema, compression=compression)

    def close(self) -> None:
        self.writer.close()


class _Writer:
    """Batches into the parts of their tables."""

    def __init__(
        self, out_dir: Path, rows_per_part: int | None, part: int | None, compression: str, summary: Summary
    ) -> None:
        self.out_dir = out_dir
        self.rows_per_part = rows_per_part
        self.part = part
        self.compression = compression
        self.summary = summary
        self.open: dict[str, _Part] = {}
        self.numbers: dict[str, int] = {}

    def folder(self, table: str) -> Path:
        return self.out_dir / table if table in FIXED_TABLES else self.out_dir / "wide" / table

    def next_path(self, table: str) -> Path:
        n = self.numbers.get(table, 0)
        self.numbers[table] = n + 1
        if self.part is None:
            return self.folder(table) / f"part-{n:05d}.parquet"
        # One part per call; a wide table whose columns grow gets more.
        suffix = "" if n == 0 else f"-{n}"
        return self.folder(table) / f"part-{self.part:05d}{suffix}.parquet"

    def write(self, batch: _native.RecordBatch) -> None:
        import pyarrow as pa

        table = batch.table
        data = pa.record_batch(batch)
        current = self.open.get(table)
        if current is not None and table not in FIXED_TABLES and not data.schema.equals(current.schema):
            if set(data.schema.names) <= set(current.schema.names):
                data = _widened(data, current.schema)
            else:
                self.finish(table)
                current = None
        self.summary.rows[table] = self.summary.rows.get(table, 0) + data.num_rows
        while data.num_rows > 0:
            bound = self.rows_per_part
            full = bound is not None and current is not None and current.rows >= bound
            # A numbered part (one call of many) is one file, however many groups.
            many = self.part is None and current is not None and current.groups >= GROUPS_PER_PART
            if current is not None and (full or many):
                self.finish(table)
                current = None
            if current is None:
                current = _Part(self.next_path(table), data.schema, self.compression)
                self.open[table] = current
            room = data.num_rows if self.rows_per_part is None else self.rows_per_part - current.rows
            piece = data.slice(0, room)
            current.writer.write_batch(piece)
            current.rows += piece.num_rows
            current.groups += 1
            data = data.slice(piece.num_rows)

    def finish(self, table: str) -> None:
        part = self.open.pop(table)
        part.close()
        self.summary.parts.append(str(part.path))

    def close(self) -> None:
        for table in list(self.open):
            self.finish(table)


def _widened(data: pyarrow.RecordBatch, schema: pyarrow.Schema) -> pyarrow.RecordBatch:
    """``data`` with ``schema``'s columns: nulls for those it lacks."""
    import pyarrow as pa

    columns = [
        data.column(name) if name in data.schema.names else pa.nulls(data.num_rows, pa.string())
        for name in schema.names
    ]
    return pa.RecordBatch.from_arrays(columns, schema=schema)


def to_parquet(
    sources: Sources,
    out_dir: str | os.PathLike[str],
    *,
    tables: Sequence[str] = ALL_TABLES,
    encoding: str = "utf-8",
    escaping: bool = True,
    validation: bool = False,
    strict: bool = False,
    rewrite_delimiters: bool = True,
    rows_per_part: int | None = 1_000_000,
    part: int | None = None,
    compression: str = "zstd",
    batch_bytes: int = 1 << 20,
    total_bytes: int = 16 << 20,
    on_notice: Notify | None = None,
    on_message: Callable[[Item, str | None], None] | None = None,
) -> Summary:
    """Writes the tables of the messages in ``sources`` under ``out_dir``.

    ``sources`` and the reading options are those of
    :func:`brenvolt_tables.read`. ``tables``: any of ``messages``,
    ``segments``, ``values``, ``wide`` (a wide table for every segment name)
    and segment names. Each table's folder gets ``part-00000.parquet``,
    ``part-00001.parquet``, ... of at most ``rows_per_part`` rows (None: no
    bound) and 128 row groups (a writer holds the metadata of every group of
    its open part). With ``part=N`` (one call of many, such as one task per Dask
    partition) every table gets one file ``part-NNNNN.parquet`` (and, for a
    wide table whose columns grow, ``part-NNNNN-1.parquet``, ...).
    ``batch_bytes`` bounds the text a table holds before it is written as a
    row group, and ``total_bytes`` that of all tables together (every table
    has one in the making at once; past the bound the largest is written):
    memory stays flat whatever the input's size.
    ``on_message(item, error)`` hears of every message with the error text of
    its row or None; ``on_notice`` as for ``read``.

    Raises ``FileExistsError`` rather than overwrite a part, ``ValueError``
    for an unknown table, and what writing raises (``OSError``). A part that
    was being written when writing failed is left incomplete.
    """
    import codecs

    wanted = list(dict.fromkeys(tables))
    for name in wanted:
        if name != "wide":
            check_table(name)
    if not wanted:
        raise ValueError("no table to write")
    codecs.lookup(encoding)
    if rows_per_part is not None and rows_per_part < 1:
        raise ValueError(f"rows_per_part must be at least 1, not {rows_per_part}")
    # Every table has a batch in the making at once: small ones keep memory
    # flat; each is one row group.
    options = Options(
        encoding,
        escaping,
        validation or strict,
        strict,
        batch_bytes=batch_bytes,
        total_bytes=total_bytes,
        rewrite_delimiters=rewrite_delimiters,
    )
    inputs = expand(sources)
    notify = on_notice or report_to_stderr
    summary = Summary()

    def notice(source: str, text: str) -> None:
        summary.notices += 1
        notify(source, text)

    def message(item: Item, error: str | None) -> None:
        summary.messages += 1
        if error is not None:
            summary.errors += 1
        if on_message is not None:
            on_message(item, error)

    writer = _Writer(Path(out_dir), rows_per_part, part, compression, summary)
    try:
        for batch in batches(inputs, wanted, options, notice, on_message=message):
            writer.write(batch)
    finally:
        writer.close()
    return summary
