"""HL7 v2 messages as Arrow tables, built natively from brenvolt's core.

    import duckdb
    import brenvolt_tables

    pid = brenvolt_tables.read("inbox/", table="PID")        # a stream of record batches
    duckdb.sql("SELECT PID_5_1, PID_5_2 FROM pid")            # no Parquet in between
    brenvolt_tables.to_parquet("inbox/", "tables/")           # tables/messages/part-00000.parquet, ...

The tables (columns are strings unless said otherwise):

* ``messages``, one row per message: ``message_id`` (``"<source>#<message_index>"``),
  ``source``, ``message_index`` (int64), ``byte_offset`` (int64), the header
  fields ``control_id``, ``message_type``, ``trigger_event``,
  ``message_structure``, ``sent_at``, ``version``, ``sending_application``,
  ``sending_facility``, then ``sha256``, ``segment_count`` (int32) and
  ``error`` (null when the message converted). A message that fails has this
  row and no other.
* ``segments``, one row per record: ``message_id``, ``segment_index`` (int32),
  ``segment_name`` and ``fields``, a map<string, string> of the record's keys
  and values exactly as ``Hl7Json`` gives them, without ``segment_name``.
* ``values``, one row per value: ``message_id``, ``segment_index``,
  ``segment_name``, ``field``, ``repetition`` (from 0), ``component`` (from 1;
  a value without components is component 1), all int32, and ``value``.
  Fields are numbered as HL7 does: MSH-10 is field 10.
* One wide table per segment name, such as ``PID``: ``message_id``,
  ``segment_index``, then ``PID_5_1`` and the like, repetition 0's value at
  each field and component, null where the segment has none.

Reading needs only this package; writing Parquet needs pyarrow (the
``tables`` extra). A Spark data source named ``hl7`` is in
:mod:`brenvolt_tables.spark`.
"""

from __future__ import annotations

from ._native import RecordBatch
from .parquet import Summary, to_parquet
from .reader import Table, read
from .sources import Texts

__all__ = ["RecordBatch", "Summary", "Table", "Texts", "read", "to_parquet"]
