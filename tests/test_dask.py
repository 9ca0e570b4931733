"""examples/dask_to_jsonl.py run as a user runs it, on a two-worker
distributed.LocalCluster: the lines it writes, in order, must be those of a
direct conversion of every message of every file, records or error, with a
line for every stretch of bytes that belongs to no message; its last line
counts them, and its status is 1 when any line is an error line."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from brenvolt import Hl7Json
from brenvolt_feeds.delimiters import to_standard_delimiters
from brenvolt_feeds.split import Message, split_file

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "dask_to_jsonl.py"


def run_example(messages: Path, output: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(EXAMPLE), str(messages), str(output), "--workers", "2", *args],
        capture_output=True,
        text=True,
        timeout=180,
    )


def direct(
    path: Path, root: Path, flags: dict[str, bool], encoding: str = "utf-8"
) -> list[dict[str, object]]:
    """The lines expected for one file; a message that cannot be decoded is
    only known to fail (its wording is the command line's, tested there)."""
    name = path.relative_to(root).as_posix()
    lines: list[dict[str, object]] = []
    for piece in split_file(path):
        if not isinstance(piece, Message):
            lines.append({"file": name, "offset": piece.offset, "error": piece.message})
            continue
        try:
            text = to_standard_delimiters(piece.text(encoding))
            outcome: dict[str, object] = {"records": Hl7Json(text, **flags).hl7_json}
        except UnicodeDecodeError:
            outcome = {"error": "undecodable"}
        except Exception as error:  # brenvolt raises plain Exception
            outcome = {"error": str(error)}
        lines.append({"file": name, "index": piece.index, **outcome})
    if not any("index" in line for line in lines):
        lines.append({"file": name, "error": "no message"})
    return lines


def comparable(line: dict[str, object]) -> dict[str, object]:
    error = str(line.get("error", ""))
    if error.startswith(("I/O error: stream did not contain valid UTF-8 (byte 0x", "not valid ")):
        return {**line, "error": "undecodable"}
    if "index" not in line and "offset" not in line and "error" in line:
        assert error in ("HL7 message is empty", "no HL7 message found (no line starts with MSH)")
        return {**line, "error": "no message"}
    return line


def check_output(
    messages: Path,
    output: Path,
    result: subprocess.CompletedProcess[str],
    part_count: int,
    flags: dict[str, bool],
    encoding: str = "utf-8",
) -> list[dict[str, object]]:
    files = sorted(messages.rglob("*.hl7"))
    parts = sorted(output.glob("part-*.jsonl"))
    # `cat part-*.jsonl` must give JSON Lines: every part ends with a line end,
    # so no line runs into the first line of the next part.
    joined = b"".join(part.read_bytes() for part in parts).decode("utf-8")
    assert joined.endswith("\n")
    lines = [json.loads(line) for line in joined[:-1].split("\n")]
    expected = [line for path in files for line in direct(path, messages, flags, encoding)]
    assert [comparable(line) for line in lines] == expected
    count = sum("index" in line for line in lines)
    failed = sum("index" in line and "error" in line for line in lines)
    other = sum("index" not in line for line in lines)
    written = f"{part_count} part{'' if part_count == 1 else 's'}"
    summary = (
        f"{len(files)} files: {count} messages ({failed} failed), {other} other error lines; "
        f"{written} written by 2 workers"
    )
    assert result.stderr.splitlines()[-1] == summary
    # As the command line: status 1 when anything failed or was skipped.
    assert result.returncode == (1 if failed or other else 0), result.stderr
    assert len(parts) == part_count
    return lines


def test_corpus_on_two_workers_matches_direct_conversion(corpus_dir, tmp_path):
    count = len(list(corpus_dir.rglob("*.hl7")))
    result = run_example(corpus_dir, tmp_path / "out", "--files-per-part", "20")
    check_output(corpus_dir, tmp_path / "out", result, -(-count // 20), {})


@pytest.mark.parametrize(
    "args, flags",
    [
        (
            ["--strict", "--no-escaping"],
            {"validation_enabled": True, "strict_validation": True, "escaping_enabled": False},
        )
    ],
    ids=["strict-no-escaping"],
)
def test_options_reach_the_workers(data_dir, tmp_path, args, flags):
    result = run_example(data_dir, tmp_path / "out", "--files-per-part", "2", *args)
    count = len(list(data_dir.rglob("*.hl7")))
    check_output(data_dir, tmp_path / "out", result, -(-count // 2), flags)
    # The options change the outcome for these files, so the comparison above
    # would catch options that never reached the workers.
    assert any(direct(p, data_dir, flags) != direct(p, data_dir, {}) for p in data_dir.rglob("*.hl7"))


def message(n: int, name: str) -> str:
    return f"MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01^ADT_A01|{n}|P|2.5.1\rPID|1||{n}||{name}\r"


def test_files_of_many_messages_in_another_encoding(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    batch = "BHS|^~\\&\r" + "".join(message(n, "\u0160TR\u00d6M\u2020") for n in range(3)) + "BTS|4\r"
    (folder / "batch.hl7").write_bytes(batch.encode("cp1252"))
    (folder / "junk.hl7").write_bytes(b"not a message\r" + message(9, "DOE").encode())
    (folder / "none.hl7").write_bytes(b"\r\n")
    undecodable = message(5, "D\x81E").encode("latin-1")  # 0x81 has no character in cp1252
    (folder / "undecodable.hl7").write_bytes(undecodable)
    result = run_example(folder, tmp_path / "out", "--files-per-part", "2", "--encoding", "cp1252")
    lines = check_output(folder, tmp_path / "out", result, 2, {}, "cp1252")
    assert [(line["file"], line.get("index"), "records" in line) for line in lines] == [
        ("batch.hl7", 0, True),
        ("batch.hl7", 1, True),
        ("batch.hl7", 2, True),
        ("batch.hl7", None, False),  # BTS-1 counts four
        ("junk.hl7", None, False),
        ("junk.hl7", 0, True),
        ("none.hl7", None, False),
        ("undecodable.hl7", 0, False),
    ]
    assert lines[0]["records"][1]["5"] == "\u0160TR\u00d6M\u2020"
    assert lines[-1]["error"] == f"not valid cp1252: byte 0x81 at offset {undecodable.index(0x81)}"


def test_all_converted_exits_0_and_other_delimiters_are_read(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "a.hl7").write_text(message(1, "DOE^JANE"))
    vista = "MSH^~|\\&^A^H^L^H^20261208^^ADT~A01^2^P^2.5\rPID^1^^2~~~H|3~~~S^^ROE~JO\r"
    (folder / "vista.hl7").write_text(vista)
    result = run_example(folder, tmp_path / "out")
    lines = check_output(folder, tmp_path / "out", result, 1, {})
    assert result.returncode == 0
    assert lines[1]["records"][0]["segment_name"] == "MSH"
    # Without the rewrite the header is one segment named after its first field.
    plain = run_example(folder, tmp_path / "plain", "--no-delimiter-rewrite")
    assert plain.returncode == 0
    (part,) = (tmp_path / "plain").glob("part-*.jsonl")
    assert json.loads(part.read_text().splitlines()[1])["records"] == Hl7Json(vista).hl7_json
