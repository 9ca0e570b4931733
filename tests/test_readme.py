"""Every Python and shell example of the README runs, as a reader runs it.

Each fenced block marked ``python`` or ``sh`` runs in a fresh folder holding
the files the examples name: ``examples/`` (the bundled sample message and
scripts), ``batch.hl7``, ``inbox/adt.hl7``, ``orders.json``, a listener's
``feed/`` whose part file holds a message without a PID segment, and
``.venv`` (this interpreter's environment), whose ``bin`` comes first on
PATH.

- Python blocks run in a fresh interpreter. A line that is one expression
  followed by a comment that is a Python literal must give that value (in a
  string, ``...`` stands for any text), and one whose comment is a
  constructor call (``Delimiters(...)``) must give a value with that repr.
- Shell blocks run under ``bash -e -o pipefail``. A ``brenvolt listen`` line
  is started in the background on a free port of 127.0.0.1 (every ``--port
  2575`` of the block becomes that port), the other lines run once it
  listens, and SIGTERM stops it; it must exit 0.

A block just after ``<!-- not run: REASON -->`` is not run, and must say why.
"""

from __future__ import annotations

import ast
import io
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import tokenize
import warnings
from dataclasses import dataclass
from pathlib import Path

import pytest

from brenvolt import Hl7Json
from brenvolt_feeds.ack import build_ack
from brenvolt_feeds.store import part_line

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
NOT_RUN = re.compile(r"<!-- not run: (?P<reason>.*\S.*) -->")
FENCE = re.compile(r"```(?P<language>\w*)\s*$")
SERVER = re.compile(r"^brenvolt listen\b")
README_PORT = "--port 2575"


@dataclass(frozen=True)
class Block:
    line: int  # of its first code line, counted from 1
    language: str
    code: str
    not_run: str | None  # the reason given, or None when it runs


def blocks(text: str) -> list[Block]:
    """The README's fenced code blocks, with the reason given before those not run."""
    found: list[Block] = []
    lines = text.splitlines()
    number = 0
    while number < len(lines):
        opening = FENCE.match(lines[number])
        if opening is None:
            number += 1
            continue
        end = number + 1
        while not lines[end].startswith("```"):
            end += 1
        before = next((line for line in reversed(lines[:number]) if line.strip()), "")
        marker = NOT_RUN.fullmatch(before.strip())
        code = "\n".join(lines[number + 1 : end]) + "\n"
        found.append(Block(number + 2, opening["language"], code, marker["reason"] if marker else None))
        number = end + 1
    return found


EXAMPLES = [block for block in blocks(README.read_text(encoding="utf-8")) if block.language in ("python", "sh")]


# -- the folder the examples run in ------------------------------------------------

ORDER = "MSH|^~\\&|CPOE|HOSP|LAB|HOSP|20261208100000||ORM^O01^ORM_O01|ORD1|P|2.5.1\rPID|1||4711\rORC|NW|O1\r"


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    """A fresh folder with every file the README's examples name."""
    shutil.copytree(ROOT / "examples", tmp_path / "examples", ignore=shutil.ignore_patterns("__pycache__"))
    (tmp_path / ".venv").symlink_to(sys.prefix)
    sample = (ROOT / "examples" / "adt_a01.hl7").read_bytes()
    (tmp_path / "inbox").mkdir()
    (tmp_path / "inbox" / "adt.hl7").write_bytes(sample)
    (tmp_path / "orders.json").write_text(json.dumps(Hl7Json(ORDER).hl7_json))
    batch = "BHS|^~\\&\r" + ORDER.replace("4711", "\u0160TR\u00d6M") + ORDER.replace("ORD1", "ORD2") + "BTS|2\r"
    (tmp_path / "batch.hl7").write_bytes(b"stray text\r" + batch.encode("cp1252"))
    acknowledgement = build_ack(sample.decode("utf-8"))  # a message without PID
    (tmp_path / "feed").mkdir()
    (tmp_path / "feed" / "part-20261208T120000.000000Z-000001.jsonl").write_bytes(
        b"".join(
            part_line("2026-12-08T12:00:00+00:00", "127.0.0.1:50412", str(n), "0" * 64, Hl7Json(text).hl7_json)
            for n, text in enumerate([sample.decode("utf-8"), acknowledgement])
        )
    )
    return tmp_path


def environment(folder: Path) -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}"
    env["HOME"] = str(folder)
    return env


# -- Python ----------------------------------------------------------------------

CHECK = '''
def _readme_check(value, expected, line):
    import re
    if isinstance(expected, str) and "..." in expected:
        pattern = ".*".join(re.escape(part) for part in expected.split("..."))
        ok = isinstance(value, str) and re.fullmatch(pattern, value, re.S) is not None
    elif isinstance(expected, _ReprOf):
        ok = repr(value) == expected.text
    else:
        ok = value == expected
    assert ok, f"README line {line}: {value!r} is not {expected!r}"


class _ReprOf:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


'''


def expected_value(comment: str) -> str | None:
    """The source of the value a trailing comment states, or None when it states none."""
    text = comment.lstrip("#").strip()
    if re.fullmatch(r"[A-Z]\w*\(.*\)", text):
        return f"_ReprOf({text!r})"
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # '\&' in a shown HL7 text is a backslash and "&"
            value = ast.literal_eval(text)
    except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
        return None
    return repr(value)


def with_checks(block: Block) -> tuple[str, int]:
    """The block's code with every checkable line made a check; how many there are."""
    code = block.code
    comments: dict[int, str] = {}
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = token.string
    lines = code.splitlines()
    checks = 0
    for node in ast.parse(code).body:
        if not isinstance(node, ast.Expr) or node.lineno != node.end_lineno or node.lineno not in comments:
            continue
        expected = expected_value(comments[node.lineno])
        if expected is None:
            continue
        expression = ast.get_source_segment(code, node.value)
        lines[node.lineno - 1] = f"_readme_check(({expression}), {expected}, {block.line + node.lineno - 1})"
        checks += 1
    return CHECK + "\n".join(lines) + "\n", checks


# -- shell ------------------------------------------------------------------------


def free_port() -> int:
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return int(probe.getsockname()[1])


def run_shell(block: Block, folder: Path) -> None:
    port = free_port()
    lines = [line.replace(README_PORT, f"--port {port}") for line in block.code.splitlines()]
    servers = [line for line in lines if SERVER.match(line)]
    others = "\n".join(line for line in lines if not SERVER.match(line)) + "\n"
    env = environment(folder)
    started = []
    try:
        for line in servers:
            assert f"--port {port}" in line, f"README line {block.line}: the listener must name its port"
            log = (folder / f"listen-{len(started)}.log").open("w+")
            process = subprocess.Popen(
                ["bash", "-c", f"exec {line}"], cwd=folder, env=env, stderr=log, stdin=subprocess.DEVNULL
            )
            started.append((process, log))
            deadline = time.monotonic() + 30
            while "listening on" not in Path(log.name).read_text():
                assert process.poll() is None, Path(log.name).read_text()
                assert time.monotonic() < deadline, "the listener did not start in 30 s"
                time.sleep(0.05)
        result = subprocess.run(
            ["bash", "-e", "-o", "pipefail", "-c", others],
            cwd=folder,
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
            stdin=subprocess.DEVNULL,
        )
        assert result.returncode == 0, f"README line {block.line}:\n{result.stdout}\n{result.stderr}"
    finally:
        for process, log in started:
            process.send_signal(signal.SIGTERM)
            try:
                status = process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
                raise
            finally:
                log.close()
            assert status == 0, Path(log.name).read_text()


# -- the tests -----------------------------------------------------------------------


@pytest.mark.parametrize("block", EXAMPLES, ids=[f"line-{b.line}-{b.language}" for b in EXAMPLES])
def test_example_runs(block: Block, folder: Path) -> None:
    if block.not_run is not None:
        pytest.skip(f"not run: {block.not_run}")
    if block.language == "sh":
        run_shell(block, folder)
        return
    code, _ = with_checks(block)
    script = folder / "example.py"
    script.write_text(code)
    result = subprocess.run(
        [sys.executable, str(script)],
        cwd=folder,
        env=environment(folder),
        capture_output=True,
        text=True,
        timeout=120,
        stdin=subprocess.DEVNULL,
    )
    assert result.returncode == 0, f"README line {block.line}:\n{result.stdout}\n{result.stderr}"


def test_every_example_runs_or_says_why_not() -> None:
    assert EXAMPLES, "no examples found in the README"
    untagged = [b.line for b in blocks(README.read_text(encoding="utf-8")) if b.language not in ("python", "sh", "")]
    assert untagged == [], "code blocks in other languages than python and sh are neither run nor skipped"
    run = [b for b in EXAMPLES if b.not_run is None]
    assert len(run) >= len(EXAMPLES) // 2, "most examples run"
    # The Python examples that show values do check them.
    assert sum(with_checks(b)[1] for b in run if b.language == "python") >= 6


def test_extras_are_named_as_installed() -> None:
    """The README names every package of every extra, as pyproject.toml names it."""
    import tomllib

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    install = README.read_text(encoding="utf-8").split("## Install", 1)[1].split("\n## ", 1)[0]
    missing = [
        (extra, name)
        for extra, requirements in project["optional-dependencies"].items()
        for name in (re.match(r"[A-Za-z0-9_.\-\[\]]+", r)[0] for r in requirements)  # type: ignore[index]
        if f"`{name}`" not in install or f"`{extra}`" not in install
    ]
    assert missing == []
