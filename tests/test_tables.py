"""brenvolt_tables: the tables built natively from the core, held against
Hl7Json's records message by message, over the corpus and over bad input;
the Arrow PyCapsule Interface; Parquet output and the README's DuckDB
queries."""

from __future__ import annotations

import hashlib
import json
import re
from collections import defaultdict
from pathlib import Path

import duckdb
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import brenvolt_tables
from brenvolt import Hl7Json
from brenvolt_feeds.delimiters import to_standard_delimiters
from brenvolt_feeds.split import Message, split_file
from brenvolt_tables import Texts, read, to_parquet
from brenvolt_tables._native import TableBuilder
from brenvolt_tables.reader import Options, batches

ALL = ["messages", "segments", "values", "wide"]
KEY = re.compile(r"^(\d+)(?:\[(\d+)\])?(?:\.(\d+))?$")
HEADER_SEGMENTS = ("MSH", "FHS", "BHS")
# messages column -> (MSH field as HL7 numbers it, component)
HEADER_COLUMNS = {
    "control_id": (10, 1),
    "message_type": (9, 1),
    "trigger_event": (9, 2),
    "message_structure": (9, 3),
    "sent_at": (7, 1),
    "version": (12, 1),
    "sending_application": (3, 1),
    "sending_facility": (4, 1),
}


def place(segment: str, key: str) -> tuple[int, int, int]:
    """Where a record key's value sits as `values` numbers it, written out
    plainly: (field as HL7 numbers it, repetition, component)."""
    match = KEY.match(key)
    assert match, key
    shift = 1 if segment in HEADER_SEGMENTS else 0
    return int(match[1]) + shift, int(match[2] or 0), int(match[3] or 1)


def tables_of(inputs: list[object], **options: object) -> dict[str, list[dict[str, object]]]:
    """Every row of every table, by table, in order."""
    rows: dict[str, list[dict[str, object]]] = defaultdict(list)
    notices: list[tuple[str, str]] = []
    settings = Options(**options)  # type: ignore[arg-type]
    for batch in batches(inputs, ALL, settings, lambda s, t: notices.append((s, t))):  # type: ignore[arg-type]
        rows[batch.table].extend(pa.record_batch(batch).to_pylist())
    rows["notices"] = [{"source": s, "text": t} for s, t in notices]
    return rows


def expected_message(path: Path, piece: Message) -> tuple[dict[str, object], list[dict[str, str]] | None]:
    """The messages row's identity columns, and the records (None when the
    message does not decode)."""
    identity = {
        "message_id": f"{path}#{piece.index}",
        "source": str(path),
        "message_index": piece.index,
        "byte_offset": piece.offset,
        "sha256": hashlib.sha256(piece.raw).hexdigest(),
    }
    try:
        text = piece.text("utf-8")
    except UnicodeDecodeError:
        return identity, None
    return identity, Hl7Json(to_standard_delimiters(text)).hl7_json


def check_message(
    rows: dict[str, list[dict[str, object]]],
    identity: dict[str, object],
    records: list[dict[str, str]] | None,
) -> None:
    message_id = identity["message_id"]
    (row,) = [r for r in rows["messages"] if r["message_id"] == message_id]
    assert {k: row[k] for k in identity} == identity
    segments = [r for r in rows["segments"] if r["message_id"] == message_id]
    values = [r for r in rows["values"] if r["message_id"] == message_id]
    if records is None:
        assert row["error"] and row["segment_count"] is None
        assert not segments and not values
        return
    assert row["error"] is None and row["segment_count"] == len(records)
    # segments gives back every record exactly, keys in their order.
    rebuilt = []
    for r in segments:
        record = dict(r["fields"])
        if r["segment_name"] is not None:
            record["segment_name"] = r["segment_name"]
        rebuilt.append(record)
    assert [r["segment_index"] for r in segments] == list(range(len(records)))
    assert rebuilt == records
    assert [list(r) for r in rebuilt] == [list(r) for r in records]
    # values: one row per entry, position by position.
    expected_values = [
        (i, record["segment_name"], *place(record["segment_name"], key), value)
        for i, record in enumerate(records)
        for key, value in record.items()
        if key != "segment_name"
    ]
    got_values = [
        (r["segment_index"], r["segment_name"], r["field"], r["repetition"], r["component"], r["value"])
        for r in values
    ]
    assert got_values == expected_values
    # Each wide table row: repetition 0's values at their columns, null elsewhere.
    for i, record in enumerate(records):
        name = record["segment_name"]
        if not re.fullmatch(r"[A-Za-z0-9_]+", name):
            continue
        (wide,) = [r for r in rows[name] if r["message_id"] == message_id and r["segment_index"] == i]
        cells = {
            f"{name}_{f}_{c}": value
            for key, value in record.items()
            if key != "segment_name"
            for f, rep, c in [place(name, key)]
            if rep == 0
        }
        assert {k: v for k, v in wide.items() if v is not None and k.startswith(f"{name}_")} == cells
    # messages agrees with the MSH record.
    header = next((r for r in records if r["segment_name"] == "MSH"), None)
    for column, (field, component) in HEADER_COLUMNS.items():
        value = None
        if header is not None:
            found = [
                v
                for k, v in header.items()
                if k != "segment_name" and place("MSH", k) == (field, 0, component)
            ]
            value = found[-1] if found else None
        assert row[column] == value, column


class TestCorpus:
    def test_every_message_of_the_file_matches_its_records(self, corpus_file: Path):
        rows = tables_of([str(corpus_file)])
        pieces = [p for p in split_file(corpus_file) if isinstance(p, Message)]
        assert len(rows["messages"]) == len(pieces)
        for piece in pieces:
            identity, records = expected_message(corpus_file, piece)
            check_message(rows, identity, records)

    def test_json_lines_of_to_json_give_the_same_rows(self, corpus_dir: Path, tmp_path: Path):
        from brenvolt_cli import main

        files = sorted(corpus_dir.rglob("*.hl7"))[:40]
        out = tmp_path / "all.jsonl"
        main(["to-json", "--lines", "--no-progress", "-o", str(out), *map(str, files)])
        direct = tables_of([str(f) for f in files])
        again = tables_of([str(out)])
        for table in ("segments", "values"):
            assert again[table] == direct[table]
        strip = ("byte_offset", "sha256", "error")
        assert [{k: v for k, v in r.items() if k not in strip} for r in again["messages"]] == [
            {k: v for k, v in r.items() if k not in strip} for r in direct["messages"]
        ]


def adt(control_id: str, pid: str = "PID|1||4711^^^GH^MR~99^^^SSA||DOE^JOHN") -> str:
    return f"MSH|^~\\&|APP|FAC|||20261208||ADT^A01^ADT_A01|{control_id}|P|2.5.1\r{pid}\r"


class TestTexts:
    @pytest.mark.parametrize(
        ("options", "text"),
        [
            ({}, adt("1")),
            ({"escaping": False}, adt("2", "PID|1||A\\S\\B~C||X\\T\\Y")),
            ({}, adt("3", "NTE|1|L|caf\u00e9 \u6c49\u5b57 \U0001f600")),
            ({}, "\n\nMSH|^~\\&|A\rPID|1\r\n\r"),
            ({}, ""),
            ({}, "no pipe at all"),
            ({}, "MSH|^~\\&|" + "|" * 3000 + "x^y~z"),
        ],
        ids=["adt", "escapes-kept", "non-ascii", "blank-lines", "empty", "no-pipe", "long-line"],
    )
    def test_texts_match_their_records(self, options, text):
        rows = tables_of([Texts([text], name="mem")], **options)
        identity = {
            "message_id": "mem#0",
            "source": "mem",
            "message_index": 0,
            "byte_offset": None,
            "sha256": hashlib.sha256(text.encode()).hexdigest(),
        }
        check_message(rows, identity, Hl7Json(text, escaping_enabled=options.get("escaping", True)).hl7_json)

    @pytest.mark.parametrize("rewrite", [True, False], ids=["rewritten", "read-as-written"])
    def test_other_delimiters(self, rewrite):
        text = "MSH^~|\\&^APP^FAC^^^20261208^^ADT~A01~ADT_A01^7^P^2.5.1\rPID^1^^4711~~~GH^^DOE~JOHN\r"
        rows = tables_of([Texts([text], name="mem")], rewrite_delimiters=rewrite)
        read_as = to_standard_delimiters(text) if rewrite else text
        assert (read_as != text) is rewrite
        identity = {
            "message_id": "mem#0",
            "source": "mem",
            "message_index": 0,
            "byte_offset": None,
            "sha256": hashlib.sha256(text.encode()).hexdigest(),
        }
        check_message(rows, identity, Hl7Json(read_as).hl7_json)
        assert (rows["messages"][0]["control_id"] == "7") is rewrite

    def test_batches_are_bounded_and_add_up(self):
        texts = [adt(str(i)) for i in range(50)]
        whole = tables_of([Texts(texts)])
        seen: dict[str, list[dict[str, object]]] = defaultdict(list)
        for batch in read(Texts(texts), "values", batch_rows=7):
            assert 0 < batch.num_rows <= 7
            seen["values"].extend(pa.record_batch(batch).to_pylist())
        assert seen["values"] == whole["values"]

    def test_a_batch_exports_as_often_as_asked(self):
        (batch,) = list(read(Texts([adt("1")]), "segments"))
        first, second = pa.record_batch(batch), pa.record_batch(batch)
        del batch
        assert first.equals(second) and first.num_rows == len(Hl7Json(adt("1")).hl7_json)

    def test_wide_batches_grow_and_the_stream_holds_every_column(self):
        texts = [adt("1", "PID|1"), adt("2", "PID|1||||A^B")]
        got = [pa.record_batch(b).schema.names for b in read(Texts(texts), "PID", batch_rows=1)]
        assert got == [
            ["message_id", "segment_index", "PID_1_1"],
            ["message_id", "segment_index", "PID_1_1", "PID_2_1", "PID_3_1", "PID_4_1", "PID_5_1", "PID_5_2"],
        ]
        table = read(Texts(texts), "PID", batch_rows=1).to_arrow()
        assert table.column_names == got[1]
        assert table.column("PID_5_2").to_pylist() == [None, "B"]

    def test_validation_keeps_the_row_and_nothing_else(self):
        texts = [adt("1"), "MSH|^~\\&|A\rPID|1\r", adt("3")]
        rows = tables_of([Texts(texts)], validation=True)
        assert [r["error"] for r in rows["messages"]] == [
            None,
            "HL7 validation failed: MSH segment must have at least 12 fields",
            None,
        ]
        assert {r["message_id"] for r in rows["segments"]} == {"<memory>#0", "<memory>#2"}


class TestRecords:
    """Records from JSON may hold what Hl7Json never gives: no segment_name,
    keys that name no place, two keys for one place, far fields."""

    @pytest.mark.parametrize(
        ("record", "values", "wide"),
        [
            ({"1": "a", "3": "x", "3.1": "y"}, [(1, 0, 1, "a"), (3, 0, 1, "x"), (3, 0, 1, "y")], None),
            (
                {"segment_name": "ZZ1", "3": "x", "3.1": "y", "3[1]": "z"},
                [(3, 0, 1, "x"), (3, 0, 1, "y"), (3, 1, 1, "z")],
                {"ZZ1_3_1": "y"},
            ),
            (
                {"segment_name": "ZZ1", "note": "n", "0": "zero", "2.0": "c0", "-1": "m", "4": "d"},
                [(4, 0, 1, "d")],
                {"ZZ1_4_1": "d"},
            ),
            (
                {"segment_name": "ZZ1", "300.40": "far", "1": "near"},
                [(300, 0, 40, "far"), (1, 0, 1, "near")],
                {"ZZ1_1_1": "near", "ZZ1_300_40": "far"},
            ),
            (
                {"segment_name": "MSH", "9": "CTRL", "8": "ADT"},
                [(10, 0, 1, "CTRL"), (9, 0, 1, "ADT")],
                {"MSH_10_1": "CTRL", "MSH_9_1": "ADT"},
            ),
        ],
        ids=["no-segment-name", "two-keys-one-place", "keys-of-no-place", "far-field", "header-numbering"],
    )
    def test_rows_of_unusual_records(self, tmp_path, record, values, wide):
        path = tmp_path / "records.json"
        path.write_text(json.dumps([record]))
        rows = tables_of([str(path)])
        (segment,) = rows["segments"]
        assert segment["segment_name"] == record.get("segment_name")
        assert segment["fields"] == [(k, v) for k, v in record.items() if k != "segment_name"]
        got = [(r["field"], r["repetition"], r["component"], r["value"]) for r in rows["values"]]
        assert got == values
        assert all(r["segment_name"] == record.get("segment_name") for r in rows["values"])
        if wide is not None:
            (row,) = rows[record["segment_name"]]
            assert {k: v for k, v in row.items() if k.startswith(record["segment_name"] + "_")} == wide

    def test_a_tight_bound_on_all_batches_loses_nothing(self):
        texts = [adt(str(i)) for i in range(30)]
        whole = tables_of([Texts(texts)])
        tight = tables_of([Texts(texts)], batch_bytes=4096, total_bytes=2048)
        for table in ("messages", "segments", "values", "PID", "MSH"):
            assert tight[table] == whole[table], table


def notices_of(
    path: Path, **options: object
) -> tuple[dict[str, list[dict[str, object]]], list[tuple[str, str]]]:
    heard: list[tuple[str, str]] = []
    table_rows: dict[str, list[dict[str, object]]] = defaultdict(list)
    for batch in batches([str(path)], ALL, Options(**options), lambda s, t: heard.append((s, t))):  # type: ignore[arg-type]
        table_rows[batch.table].extend(pa.record_batch(batch).to_pylist())
    return table_rows, heard


class TestBadInput:
    @pytest.mark.parametrize(
        ("name", "data", "errors", "heard"),
        [
            ("empty.hl7", b"", [], ["HL7 message is empty"]),
            (
                "junk.hl7",
                b"\x00\xff junk\r\nmore junk",
                [],
                [
                    "offset 1: skipped 17 bytes before the first message: not an MSH segment or a batch envelope",
                    "no HL7 message found (no line starts with MSH)",
                ],
            ),
            (
                "cp1252.hl7",
                b"MSH|^~\\&|A\x96B|\r",
                ["I/O error: stream did not contain valid UTF-8 (byte 0x96 at offset 10)"],
                [],
            ),
            ("empty.jsonl", b"\n  \n", [], ["HL7 message is empty"]),
            (
                "bad.jsonl",
                b'{"file": "a.hl7", "index": 0, "records": [{"segment_name": "PID", "1": 5}]}\n'
                b"not json\n[1, 2]\n"
                b'{"file": "a.hl7", "index": 3, "error": "HL7 message is empty"}\n'
                b'{"file": "a.hl7", "offset": 7, "error": "skipped 2 bytes"}\n'
                b'{"other": 1}\n',
                [
                    "record 0, member '1': expected a string, found int",
                    "line 2: not JSON: ...",
                    "line 3: expected an object, found list",
                    "HL7 message is empty",
                    "line 6: an object with neither records nor error",
                ],
                ["offset 7: skipped 2 bytes"],
            ),
            ("array.json", b'{"segment_name": "PID"}', ["expected a list of records, found dict"], []),
        ],
        ids=["empty-file", "junk", "not-utf8", "blank-jsonl", "bad-jsonl-lines", "json-not-array"],
    )
    def test_an_error_row_or_a_notice_and_nothing_lost(self, tmp_path, name, data, errors, heard):
        path = tmp_path / name
        path.write_bytes(data)
        rows, notices = notices_of(path)
        # The JSON parser's own words after "not JSON: " are its to choose.
        got = [re.sub(r"(not JSON: ).*", r"\1...", r["error"]) for r in rows["messages"]]
        assert got == errors
        assert [text for _, text in notices] == heard
        assert not rows["segments"] and not rows["values"]

    def test_a_missing_file_is_one_notice(self, tmp_path):
        rows, notices = notices_of(tmp_path / "gone.hl7")
        assert notices == [(str(tmp_path / "gone.hl7"), "I/O error: No such file or directory (os error 2)")]
        assert not rows

    def test_a_lone_surrogate_is_an_error_row(self):
        rows = tables_of([Texts([adt("1"), "MSH|\ud800|"])])
        assert rows["messages"][1]["error"].startswith("'utf-8' codec can't encode character '\\ud800'")
        assert {r["message_id"] for r in rows["segments"]} == {"<memory>#0"}

    def test_listener_lines_keep_their_digest(self, tmp_path):
        records = Hl7Json(adt("9")).hl7_json
        line = {
            "received": "2026-12-09T00:00:00Z",
            "peer": "127.0.0.1:5000",
            "control_id": "9",
            "sha256": "ab" * 32,
            "records": records,
        }
        reject = {"received": "x", "peer": "p", "error": "not HL7", "raw": "aGk="}
        path = tmp_path / "part-1.jsonl"
        path.write_text(json.dumps(line) + "\n" + json.dumps(reject) + "\n")
        rows, _ = notices_of(path)
        assert [(r["message_id"], r["sha256"], r["error"]) for r in rows["messages"]] == [
            (f"{path}#0", "ab" * 32, None),
            (f"{path}#1", hashlib.sha256(b"hi").hexdigest(), "not HL7"),
        ]

    @pytest.mark.parametrize(
        ("call", "error"),
        [
            (lambda: read("x", table="wide"), ValueError),
            (lambda: read("x", table="P-1"), ValueError),
            (lambda: read(b"x"), TypeError),
            (lambda: read([3]), TypeError),
            (lambda: read("x", encoding="no-such"), LookupError),
            (lambda: read("x", batch_rows=0), ValueError),
            (lambda: TableBuilder(["nope!"]), ValueError),
            (lambda: TableBuilder(["PID"]).fix_wide_columns("PID", [(0, 1)]), ValueError),
        ],
        ids=[
            "wide-is-no-table",
            "bad-segment-name",
            "bytes",
            "int-source",
            "encoding",
            "batch-rows",
            "builder-table",
            "column-zero",
        ],
    )
    def test_wrong_calls_raise_at_once(self, call, error):
        with pytest.raises(error):
            call()


README_QUERIES = {
    "pid-with-message": """
        SELECT m.message_type, m.trigger_event, m.sent_at, p.PID_3_1 AS mrn, p.PID_5_1 AS family
        FROM read_parquet('{out}/wide/PID/*.parquet', union_by_name = true) AS p
        JOIN read_parquet('{out}/messages/*.parquet') AS m USING (message_id)
        ORDER BY m.sent_at, m.control_id""",
    "obx-of-one-message": """
        SELECT segment_index, field, component, value
        FROM read_parquet('{out}/values/*.parquet')
        WHERE message_id = '{message_id}' AND segment_name = 'OBX' AND field = 5
        ORDER BY segment_index, repetition, component""",
}


class TestParquetAndDuckDB:
    def test_the_readme_queries(self, tmp_path):
        texts = [
            adt("1"),
            adt("2", "PID|1||77^^^GH||ROE^ANN"),
            adt("3", "OBX|1|NM|8867-4^Heart rate^LN||82|/min\rOBX|2|ST|x||A^B~C"),
        ]
        out = tmp_path / "tables"
        summary = to_parquet(Texts(texts, "inbox"), out)
        assert summary.messages == 3 and summary.errors == 0
        assert summary.rows["messages"] == 3 and summary.rows["PID"] == 2
        pid = duckdb.sql(README_QUERIES["pid-with-message"].format(out=out)).fetchall()
        assert pid == [("ADT", "A01", "20261208", "4711", "DOE"), ("ADT", "A01", "20261208", "77", "ROE")]
        obx = duckdb.sql(
            README_QUERIES["obx-of-one-message"].format(out=out, message_id="inbox#2")
        ).fetchall()
        assert obx == [(1, 5, 1, "82"), (2, 5, 1, "A"), (2, 5, 2, "B"), (2, 5, 1, "C")]
        # Straight on the stream that read() returns, no Parquet in between.
        values = read(Texts(texts, "inbox"), "values")  # noqa: F841 - DuckDB finds it by name
        counted = duckdb.sql(
            "SELECT segment_name, count(*) AS n FROM values WHERE field = 3 GROUP BY ALL ORDER BY ALL"
        ).fetchall()
        expected: dict[str, int] = defaultdict(int)
        for text in texts:
            for record in Hl7Json(text).hl7_json:
                for key in record:
                    if key != "segment_name" and place(record["segment_name"], key)[0] == 3:
                        expected[record["segment_name"]] += 1
        assert counted == sorted(expected.items())

    def test_parts_are_bounded_and_never_overwritten(self, tmp_path):
        texts = [adt(str(i)) for i in range(10)]
        out = tmp_path / "t"
        summary = to_parquet(Texts(texts), out, tables=["messages", "PID"], rows_per_part=4)
        names = sorted(str(Path(p).relative_to(out)) for p in summary.parts)
        assert names == [
            f"{table}/part-0000{n}.parquet" for table in ("messages", "wide/PID") for n in range(3)
        ]
        assert [pq.read_metadata(p).num_rows for p in sorted(summary.parts)] == [4, 4, 2, 4, 4, 2]
        assert pq.read_table(out / "messages").num_rows == 10
        with pytest.raises(FileExistsError):
            to_parquet(Texts(texts), out, tables=["messages"])

    def test_a_numbered_part_per_call(self, tmp_path):
        for n in range(3):
            to_parquet(Texts([adt(str(n))], f"p{n}"), tmp_path, tables=["segments"], part=n)
        assert sorted(p.name for p in (tmp_path / "segments").iterdir()) == [
            "part-00000.parquet",
            "part-00001.parquet",
            "part-00002.parquet",
        ]
        assert pq.read_table(tmp_path / "segments").num_rows == sum(
            len(Hl7Json(adt(str(n))).hl7_json) for n in range(3)
        )

    def test_arrow_stream_matches_the_batches(self):
        texts = [adt(str(i)) for i in range(20)]
        reader = pa.RecordBatchReader.from_stream(read(Texts(texts), "segments", batch_rows=8))
        assert reader.schema.field("fields").type == pa.map_(pa.string(), pa.string())
        assert reader.read_all().num_rows == sum(len(Hl7Json(text).hl7_json) for text in texts)

    def test_module_exports(self):
        assert brenvolt_tables.__all__ == ["RecordBatch", "Summary", "Table", "Texts", "read", "to_parquet"]
