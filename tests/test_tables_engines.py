"""The tables where users take them: `brenvolt to-parquet` as a subprocess,
the Dask example on a two-worker LocalCluster, and the `hl7` Spark data
source in local mode. Each is held to read() over the same inputs."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import duckdb
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from brenvolt_tables import read

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = Path(sys.executable).parent / "brenvolt"
DASK_EXAMPLE = ROOT / "examples" / "dask_to_parquet.py"


def rows(table: pa.Table, order: list[str]) -> list[dict[str, object]]:
    """The rows of `table` sorted by `order`, columns by name."""
    return sorted(table.to_pylist(), key=lambda row: tuple(str(row[k]) for k in order))


def expected(sources: object, table: str) -> pa.Table:
    return read(sources, table, on_notice=lambda source, text: None).to_arrow()  # type: ignore[arg-type]


MESSAGE = "MSH|^~\\&|APP|FAC|||20261208||ADT^A01^ADT_A01|{n}|P|2.5.1\rPID|1||{n}^^^GH||DOE^JOHN\r"


def inbox(folder: Path) -> Path:
    folder.mkdir()
    (folder / "batch.hl7").write_text("".join(MESSAGE.format(n=n) for n in range(5)), newline="")
    (folder / "junk.hl7").write_bytes(b"junk\r" + MESSAGE.format(n=9).encode())
    (folder / "empty.hl7").write_bytes(b"")
    (folder / "bad.hl7").write_bytes(MESSAGE.format(n="\u2013").encode("cp1252"))
    return folder


class TestCommandLine:
    def test_to_parquet_writes_every_table_and_names_every_problem(self, tmp_path):
        source = inbox(tmp_path / "in")
        out = tmp_path / "out"
        result = subprocess.run(
            [str(SCRIPT), "to-parquet", str(source), "-o", str(out)],
            capture_output=True,
            text=True,
            timeout=120,
            stdin=subprocess.DEVNULL,
        )
        assert result.returncode == 1
        lines = result.stderr.splitlines()
        bad = (source / "bad.hl7").read_bytes().index(0x96)
        assert lines[:-1] == [
            f"brenvolt: {source}/bad.hl7#0: I/O error: stream did not contain valid UTF-8 (byte 0x96 at offset {bad})",
            f"brenvolt: {source}/empty.hl7: HL7 message is empty",
            f"brenvolt: {source}/junk.hl7: offset 0: skipped 4 bytes before the first message: "
            "not an MSH segment or a batch envelope",
        ]
        counts = {table: expected(source, table).num_rows for table in ("segments", "values", "MSH", "PID")}
        assert lines[-1].startswith(
            f"brenvolt: 7 messages (1 with errors), 2 other problems; rows: messages 7, segments {counts['segments']}, "
            f"values {counts['values']}, 2 wide tables {counts['MSH'] + counts['PID']}; 5 parts in {out} ("
        )
        for table, order in [
            ("messages", ["message_id"]),
            ("values", ["message_id", "segment_index", "field", "repetition", "component"]),
        ]:
            assert rows(pq.read_table(out / table), order) == rows(expected(source, table), order)
        pid = duckdb.sql(
            f"SELECT PID_3_1 FROM read_parquet('{out}/wide/PID/*.parquet', union_by_name = true) ORDER BY 1"
        ).fetchall()
        assert pid == [("0",), ("1",), ("2",), ("3",), ("4",), ("9",)]

    @pytest.mark.parametrize(
        ("args", "status", "error"),
        [
            (["--tables", "P-1"], 2, "no table 'P-1'"),
            (["--rows-per-part", "0"], 2, "--rows-per-part must be at least 1"),
        ],
        ids=["bad-table", "bad-part-size"],
    )
    def test_wrong_command_lines(self, tmp_path, args, status, error):
        source = inbox(tmp_path / "in")
        result = subprocess.run(
            [str(SCRIPT), "to-parquet", str(source), "-o", str(tmp_path / "o"), *args],
            capture_output=True,
            text=True,
            timeout=60,
            stdin=subprocess.DEVNULL,
        )
        assert result.returncode == status
        assert error in result.stderr

    def test_an_output_with_parts_is_refused(self, tmp_path):
        source = inbox(tmp_path / "in")
        (tmp_path / "o" / "values").mkdir(parents=True)
        (tmp_path / "o" / "values" / "part-00000.parquet").write_bytes(b"")
        result = subprocess.run(
            [str(SCRIPT), "to-parquet", str(source), "-o", str(tmp_path / "o")],
            capture_output=True,
            text=True,
            timeout=60,
            stdin=subprocess.DEVNULL,
        )
        assert (result.returncode, result.stderr) == (
            1,
            f"brenvolt: {tmp_path / 'o'}: holds part files already; choose an empty folder\n",
        )


class TestDask:
    def test_one_part_per_partition_and_the_same_rows(self, corpus_dir, tmp_path):
        files = sorted(corpus_dir.rglob("*.hl7"))
        out = tmp_path / "out"
        result = subprocess.run(
            [
                sys.executable,
                str(DASK_EXAMPLE),
                str(corpus_dir),
                str(out),
                "--workers",
                "2",
                "--files-per-part",
                "50",
            ],
            capture_output=True,
            text=True,
            timeout=300,
        )
        parts = -(-len(files) // 50)
        assert result.stderr.splitlines()[-1].startswith(f"{len(files)} files, ")
        assert result.stderr.splitlines()[-1].endswith(f", {parts} partitions, 2 workers")
        assert result.returncode == 1  # the corpus holds an undecodable message and an empty batch
        assert sorted(p.name for p in (out / "messages").iterdir()) == [
            f"part-{n:05d}.parquet" for n in range(parts)
        ]
        for table, order in [("messages", ["message_id"]), ("segments", ["message_id", "segment_index"])]:
            got = pq.read_table(out / table)
            assert rows(got, order) == rows(expected([str(f) for f in files], table), order)


@pytest.fixture(scope="module")
def spark():
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("no Java runtime (Debian: openjdk-17-jre-headless)")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # scripts/sanitize.sh preloads the sanitizer runtimes, which the JVM
        # does not start under; the Python workers need them for the module.
        pytest.skip("Spark's JVM does not run with the sanitizer runtimes preloaded")
    from pyspark.sql import SparkSession

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    session = (
        SparkSession.builder.master("local[2]")
        .appName("brenvolt-tests")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .getOrCreate()
    )
    from brenvolt_tables.spark import Hl7DataSource

    session.dataSource.register(Hl7DataSource)
    yield session
    session.stop()


class TestSpark:
    @pytest.mark.parametrize(
        ("table", "options", "order"),
        [
            ("values", {}, ["message_id", "segment_index", "field", "repetition", "component"]),
            ("messages", {"validation": "true"}, ["message_id"]),
            ("PID", {"escaping": "false"}, ["message_id"]),
        ],
        ids=["values", "messages-validated", "wide-PID-raw"],
    )
    def test_the_same_rows_as_read(self, spark, tmp_path, table, options, order):
        source = inbox(tmp_path / "in")
        frame = spark.read.format("hl7").option("table", table).options(**options).load(str(source))
        assert frame.rdd.getNumPartitions() >= 4  # one per file at least
        got = [row.asDict() for row in frame.collect()]
        flags = {
            "validation": options.get("validation") == "true",
            "escaping": options.get("escaping") != "false",
        }
        want = read(source, table, on_notice=lambda s, t: None, **flags).to_arrow()
        assert frame.columns == want.column_names
        assert sorted(got, key=lambda r: tuple(str(r[k]) for k in order)) == rows(want, order)

    def test_segments_fields_are_a_map(self, spark, tmp_path):
        source = inbox(tmp_path / "in")
        first = spark.read.format("hl7").load(str(source / "batch.hl7")).orderBy("segment_index").first()
        assert first is not None
        assert first["segment_name"] == "MSH" and first["fields"]["9"] == "0"
