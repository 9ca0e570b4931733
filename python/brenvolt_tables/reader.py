"""The one pipeline from inputs to record batches, and :class:`Table`, the
stream of one table's batches that :func:`brenvolt_tables.read` returns.

Each input's messages (:mod:`brenvolt_tables.sources`) go into one native
``TableBuilder``, which parses them with brenvolt's core and closes a batch
whenever a table reaches its row or byte bound; the batches come out as soon
as they are closed, so memory stays bounded whatever the input's size.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from . import _native
from .sources import Notify, Sources, Texts, expand, items, report_to_stderr

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped]

__all__ = ["FIXED_TABLES", "Options", "RecordBatch", "Table", "batches", "check_table"]

FIXED_TABLES = ("messages", "segments", "values")
RecordBatch = _native.RecordBatch


@dataclass(frozen=True)
class Options:
    """How messages are read: ``encoding`` of HL7 files, escape decoding,
    validation (``strict`` implies it), the bounds of a batch, and of all
    the batches in the making together (beyond it the largest is closed),
    and whether texts in other delimiters are rewritten into the standard ones."""

    encoding: str = "utf-8"
    escaping: bool = True
    validation: bool = False
    strict: bool = False
    batch_rows: int = 65536
    batch_bytes: int = 64 << 20
    total_bytes: int = 256 << 20
    rewrite_delimiters: bool = True


def check_table(table: str) -> str:
    """``table`` when it names a table: ``messages``, ``segments``, ``values``,
    or a segment name (letters, digits and ``_``); ``ValueError`` otherwise."""
    if not isinstance(table, str):
        raise TypeError(f"table must be a str, not {type(table).__name__}")
    if table in FIXED_TABLES or (
        table and table != "wide" and all(c.isascii() and (c.isalnum() or c == "_") for c in table)
    ):
        return table
    raise ValueError(f"no table {table!r}: choose messages, segments, values or a segment name such as PID")


def batches(
    inputs: Sequence[str | Texts],
    tables: Sequence[str],
    options: Options,
    on_notice: Notify,
    fixed_columns: dict[str, list[tuple[int, int]]] | None = None,
    on_message: Any = None,
) -> Iterator[_native.RecordBatch]:
    """Every batch of ``tables`` made from ``inputs``, in the order closed.
    ``tables`` holds names for the builder (``wide`` for every segment name).
    ``fixed_columns`` fixes the columns of wide tables; ``on_message(item,
    error)`` is called after each message with the error text of its row, or
    None."""
    builder = _native.TableBuilder(
        list(tables),
        escaping=options.escaping,
        validation=options.validation,
        strict=options.strict,
        batch_rows=options.batch_rows,
        batch_bytes=options.batch_bytes,
        total_bytes=options.total_bytes,
    )
    for segment, columns in (fixed_columns or {}).items():
        builder.fix_wide_columns(segment, columns)
    add_text, add_records, add_error, take = (
        builder.add_text,
        builder.add_records,
        builder.add_error,
        builder.take,
    )
    for source in inputs:
        for item in items(source, options.encoding, on_notice, options.rewrite_delimiters):
            error: str | None = None
            if item.kind == "text":
                add_text(item.text, item.source, item.index, item.offset, item.sha256)
            elif item.kind == "records":
                error = add_records(item.records, item.source, item.index, item.offset, item.sha256)
            else:
                error = item.error
                add_error(item.source, item.index, item.offset, item.sha256, error)
            if on_message is not None:
                on_message(item, error)
            ready = take()
            if ready:
                yield from ready
    builder.finish()
    yield from builder.take()
    if builder.values_left_out:
        on_notice(
            "brenvolt_tables",
            f"{builder.values_left_out} values fell outside the wide "
            "table's columns found by the first pass: the input changed while it was read",
        )


class Table:
    """The batches of one table made from some inputs: iterate it for
    ``RecordBatch`` objects (each ``num_rows`` at most the bound), or hand it
    to anything that takes the Arrow PyCapsule Interface (pyarrow, polars,
    DuckDB): ``__arrow_c_stream__`` gives one stream of all its batches, made
    afresh on each call. Nothing is read before that.

    A wide table's batches hold the columns met so far, so they may differ;
    its stream reads the inputs twice, first to find every column, so that
    all its batches have them all (nulls where a message has none).
    """

    def __init__(self, inputs: list[str | Texts], table: str, options: Options, on_notice: Notify) -> None:
        self.inputs = inputs
        self.table = table
        self.options = options
        self.on_notice = on_notice

    def __repr__(self) -> str:
        return f"<brenvolt_tables.Table {self.table!r} of {len(self.inputs)} inputs>"

    def __iter__(self) -> Iterator[_native.RecordBatch]:
        return batches(self.inputs, [self.table], self.options, self.on_notice)

    def wide_columns(self) -> list[tuple[int, int]]:
        """Every (field, component) the wide table has in these inputs, in
        order: one pass over them, keeping no rows."""
        if self.table in FIXED_TABLES:
            return []
        builder = _native.TableBuilder(
            [self.table],
            escaping=self.options.escaping,
            validation=self.options.validation,
            strict=self.options.strict,
        )
        quiet: Notify = lambda source, text: None  # noqa: E731 - the second pass reports
        for source in self.inputs:
            for item in items(source, self.options.encoding, quiet, self.options.rewrite_delimiters):
                if item.kind == "text":
                    builder.add_text(item.text, item.source, item.index, item.offset, item.sha256)
                elif item.kind == "records":
                    builder.add_records(item.records, item.source, item.index, item.offset, item.sha256)
                builder.take()
        return list(builder.wide_columns(self.table))

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """An Arrow array stream (a PyCapsule) of all the table's batches,
        every one with the same columns."""
        if self.table in FIXED_TABLES:
            return _native.stream(self.table, (), iter(self))
        columns = self.wide_columns()
        made = batches(
            self.inputs, [self.table], self.options, self.on_notice, fixed_columns={self.table: columns}
        )
        return _native.stream(self.table, columns, made)

    def __arrow_c_schema__(self) -> object:
        """The table's schema (a PyCapsule); for a wide table, after a pass
        that finds its columns."""
        return _native.schema(self.table, self.wide_columns())

    def to_arrow(self) -> pyarrow.Table:
        """All the batches as one ``pyarrow.Table`` (needs pyarrow: the
        ``tables`` extra)."""
        import pyarrow

        return pyarrow.RecordBatchReader.from_stream(self).read_all()


def read(
    sources: Sources,
    table: str = "segments",
    *,
    encoding: str = "utf-8",
    escaping: bool = True,
    validation: bool = False,
    strict: bool = False,
    rewrite_delimiters: bool = True,
    batch_rows: int = 65536,
    on_notice: Notify | None = None,
) -> Table:
    """One table of the messages in ``sources`` as a stream of record batches.

    ``sources``: a path (an HL7 file, a JSON Lines or JSON file of records,
    or a folder of them), :class:`Texts`, or an iterable of these.
    ``table``: ``messages``, ``segments``, ``values`` or a segment name such
    as ``PID`` (its wide table). ``encoding`` decodes HL7 files;
    ``escaping=False`` keeps escape sequences as written; ``validation``
    (and ``strict``, which implies it) gives a message that breaks the
    structural rules an error row in ``messages`` and no other rows.
    ``rewrite_delimiters=False`` reads every text with ``| ^ ~ \\ &``,
    whatever its header declares (by default a message in other delimiters
    is rewritten into them first, as the command line does).
    ``batch_rows`` bounds a batch. ``on_notice(source, text)`` hears of
    everything that is not a message (by default a line on standard error).

    Raises ``ValueError`` for an unknown table or a bound below 1,
    ``TypeError`` for a source that is neither a path nor Texts,
    ``LookupError`` for an unknown encoding, and ``FileNotFoundError`` for a
    folder with no input in it. Problems inside the inputs never raise: they
    are error rows or notices.
    """
    import codecs

    check_table(table)
    codecs.lookup(encoding)
    if not isinstance(batch_rows, int) or batch_rows < 1:
        raise ValueError(f"batch_rows must be a positive int, not {batch_rows!r}")
    options = Options(
        encoding, escaping, validation or strict, strict, batch_rows, rewrite_delimiters=rewrite_delimiters
    )
    return Table(expand(sources), table, options, on_notice or report_to_stderr)
