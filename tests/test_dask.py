"""examples/dask_to_jsonl.py run as a user runs it, on a two-worker
distributed.LocalCluster: every line it writes must hold what a direct
conversion of that file gives, records or error."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from brenvolt import Hl7Json

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "dask_to_jsonl.py"


def run_example(messages: Path, output: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, str(EXAMPLE), str(messages), str(output), "--workers", "2", *args],
        capture_output=True,
        text=True,
        timeout=180,
    )


def direct(path: Path, flags: dict[str, bool]) -> dict[str, object]:
    try:
        return {"records": Hl7Json.from_file(str(path), **flags).hl7_json}
    except Exception as error:  # brenvolt raises plain Exception
        return {"error": str(error)}


def check_output(
    messages: Path,
    output: Path,
    result: subprocess.CompletedProcess[str],
    part_count: int,
    flags: dict[str, bool],
) -> None:
    assert result.returncode == 0, result.stderr
    files = sorted(messages.rglob("*.hl7"))
    parts = sorted(output.glob("part-*.jsonl"))
    # `cat part-*.jsonl` must give JSON Lines: every part ends with a line end,
    # so no line runs into the first line of the next part.
    joined = b"".join(part.read_bytes() for part in parts).decode("utf-8")
    assert joined.endswith("\n")
    lines = [json.loads(line) for line in joined[:-1].split("\n")]
    # In file order across the parts, one line per file.
    assert [line["file"] for line in lines] == [p.relative_to(messages).as_posix() for p in files]
    mismatched = [
        line["file"]
        for line, path in zip(lines, files, strict=True)
        if {k: v for k, v in line.items() if k != "file"} != direct(path, flags)
    ]
    assert mismatched == []
    failed = sum("error" in line for line in lines)
    summary = f"{len(files)} messages, {failed} failed, {part_count} parts, 2 workers"
    assert result.stderr.splitlines()[-1] == summary
    assert len(parts) == part_count


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
    assert any(direct(p, flags) != direct(p, {}) for p in data_dir.rglob("*.hl7"))
