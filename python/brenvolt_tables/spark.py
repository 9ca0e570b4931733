"""A PySpark data source named ``hl7`` (Spark 4's Python Data Source API).

    from pyspark.sql import SparkSession
    from brenvolt_tables.spark import Hl7DataSource

    spark = SparkSession.builder.getOrCreate()
    spark.dataSource.register(Hl7DataSource)
    values = spark.read.format("hl7").option("table", "values").load("/data/inbox")

The path is a file or a folder (every ``*.hl7``, ``*.jsonl`` and ``*.json``
below it), read as :func:`brenvolt_tables.read` reads it; each file is one
partition. Options: ``table`` (``messages``, ``segments`` (the default),
``values`` or a segment name such as ``PID``), ``encoding``, ``escaping``
(``false`` keeps escape sequences), ``validation``, ``strict`` and
``delimiter_rewrite`` (``false`` reads every message with ``| ^ ~ \\ &``)
(``true``/``false``). The schemas are the tables' own; a wide table's
columns are found by a first pass over the files on the driver. Notices
(bytes that belong to no message, unreadable files) are logged on the
executors' standard error. Needs pyspark 4 and pyarrow where Spark runs
Python.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from pyspark.sql.datasource import DataSource, DataSourceReader, InputPartition
from pyspark.sql.types import StructType

from .reader import FIXED_TABLES, Options, Table, batches, check_table
from .sources import expand, report_to_stderr

__all__ = ["Hl7DataSource"]

# The fixed tables in Spark's words, NOT NULL where the batches' columns are
# (Spark holds a source to its schema's nullability).
_KEY = "message_id string not null, segment_index int not null"
_SCHEMAS = {
    "messages": "message_id string not null, source string not null, message_index bigint not null, "
    "byte_offset bigint, control_id string, message_type string, trigger_event string, "
    "message_structure string, sent_at string, version string, sending_application string, "
    "sending_facility string, sha256 string, segment_count int, error string",
    "segments": f"{_KEY}, segment_name string, fields map<string,string> not null",
    "values": f"{_KEY}, segment_name string, field int not null, repetition int not null, "
    "component int not null, value string not null",
}

_TRUE = {"true", "1", "yes"}
_FALSE = {"false", "0", "no"}


def _flag(options: dict[str, str], name: str, default: bool) -> bool:
    text = str(options.get(name, default)).strip().lower()
    if text in _TRUE:
        return True
    if text in _FALSE:
        return False
    raise ValueError(f"option {name!r} must be true or false, not {options[name]!r}")


def _files(options: dict[str, str]) -> list[str]:
    """The files the path stands for (walked once, on the driver)."""
    path = options.get("path")
    if not path:
        raise ValueError("give the hl7 data source a path: spark.read.format('hl7').load(PATH)")
    return [item for item in expand(path) if isinstance(item, str)]


def _settings(options: dict[str, str]) -> tuple[str, Options]:
    table = check_table(options.get("table", "segments"))
    strict = _flag(options, "strict", False)
    settings = Options(
        encoding=options.get("encoding", "utf-8"),
        escaping=_flag(options, "escaping", True),
        validation=_flag(options, "validation", False) or strict,
        strict=strict,
        rewrite_delimiters=_flag(options, "delimiter_rewrite", True),
    )
    return table, settings


class Hl7DataSource(DataSource):
    """HL7 v2 messages as the tables of :mod:`brenvolt_tables`: ``messages``,
    ``segments``, ``values`` or one segment's wide table."""

    @classmethod
    def name(cls) -> str:
        return "hl7"

    def schema(self) -> StructType | str:
        options = dict(self.options)
        table, settings = _settings(options)
        if table in FIXED_TABLES:
            return _SCHEMAS[table]
        columns = Table(list(_files(options)), table, settings, report_to_stderr).wide_columns()
        names = ", ".join(f"{table}_{field}_{component} string" for field, component in columns)
        return _KEY + (f", {names}" if names else "")

    def reader(self, schema: StructType) -> DataSourceReader:
        return _Reader(dict(self.options), schema)


class _Reader(DataSourceReader):
    def __init__(self, options: dict[str, str], schema: StructType) -> None:
        self.options = options
        self.columns: list[tuple[int, int]] = []
        table, _ = _settings(options)
        self.files = _files(options)
        if table not in FIXED_TABLES:
            prefix = f"{table}_"
            for name in schema.fieldNames()[2:]:
                field, component = name[len(prefix) :].split("_")
                self.columns.append((int(field), int(component)))

    def partitions(self) -> list[InputPartition]:
        return [InputPartition(path) for path in self.files]

    def read(self, partition: InputPartition) -> Iterator[Any]:
        import pyarrow  # type: ignore[import-untyped]

        table, settings = _settings(self.options)
        fixed = None if table in FIXED_TABLES else {table: self.columns}
        for batch in batches(
            [str(partition.value)], [table], settings, report_to_stderr, fixed_columns=fixed
        ):
            yield pyarrow.record_batch(batch)
