"""The type information installed for ``brenvolt``: the stub-only package
``brenvolt-stubs`` must match the extension at run time, document every
member, and let mypy --strict and pyright accept correct code and report
misuse."""

from __future__ import annotations

import ast
import importlib.metadata
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import brenvolt

TYPING_DIR = Path(__file__).resolve().parent / "typing"
USAGE = TYPING_DIR / "api_usage.py"
ERRORS = TYPING_DIR / "type_errors.py"
MARKER = re.compile(r"#\s*E:\s*([\w-]+)\s*$")


def installed(name: str) -> Path:
    for file in importlib.metadata.files("brenvolt") or []:
        if file.as_posix() == name:
            return Path(str(file.locate()))
    pytest.fail(f"{name} is not part of the installed distribution")


def expected_errors() -> dict[int, str]:
    """Line number -> mypy error code, from the ``# E:`` markers."""
    lines = ERRORS.read_text(encoding="utf-8").splitlines()
    return {number: match.group(1) for number, line in enumerate(lines, 1) if (match := MARKER.search(line))}


def run_mypy(path: Path, cwd: Path) -> subprocess.CompletedProcess[str]:
    # Run away from the work tree so that only the installed stubs can answer
    # for `brenvolt`.
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable", sys.executable]
    return subprocess.run([*command, str(path)], cwd=cwd, capture_output=True, text=True, timeout=120)


def run_pyright(paths: list[Path], cwd: Path) -> list[dict[str, object]]:
    executable = shutil.which("basedpyright", path=str(Path(sys.executable).parent))
    if executable is None:
        pytest.fail("basedpyright is not installed next to the interpreter (it comes with the test extra)")
    result = subprocess.run(
        [executable, "--outputjson", "--pythonpath", sys.executable, "-p", str(TYPING_DIR / "pyrightconfig.json"), *map(str, paths)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
    )
    report = json.loads(result.stdout)
    diagnostics: list[dict[str, object]] = report["generalDiagnostics"]
    return diagnostics


def stub_classes() -> dict[str, ast.ClassDef]:
    tree = ast.parse(installed("brenvolt-stubs/__init__.pyi").read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def is_setter(node: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)


class TestStubs:
    @pytest.mark.parametrize("module", ["brenvolt", "brenvolt_tables._native", "brenvolt_fsync", "brenvolt_receiver"])
    def test_stubtest_finds_the_stubs_true_to_the_extension(self, tmp_path, module):
        result = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", module],
            cwd=tmp_path, capture_output=True, text=True, timeout=120,
        )
        assert result.returncode == 0, result.stdout + result.stderr
        assert "Success" in result.stdout

    @pytest.mark.parametrize("name", ["Hl7Json", "JsonHl7"])
    def test_stub_names_every_member_of_the_class(self, name):
        runtime = {member for member in vars(getattr(brenvolt, name)) if not member.startswith("__")}
        stub = {node.name for node in stub_classes()[name].body if isinstance(node, ast.FunctionDef)}
        assert stub - {"__new__"} == runtime

    @pytest.mark.parametrize("name", ["Hl7Json", "JsonHl7"])
    def test_every_class_and_member_is_documented(self, name):
        cls = stub_classes()[name]
        assert len(ast.get_docstring(cls) or "") > 200, "the class text names its options and errors"
        undocumented = [
            node.name
            for node in cls.body
            if isinstance(node, ast.FunctionDef) and node.name != "__new__" and not is_setter(node)
            and not ast.get_docstring(node)
        ]
        assert undocumented == []

    @pytest.mark.parametrize(
        "cls, member, writable",
        [
            ("Hl7Json", "hl7_string", False), ("Hl7Json", "hl7_json", False), ("Hl7Json", "validation_enabled", True),
            ("Hl7Json", "strict_validation", True), ("Hl7Json", "escaping_enabled", True),
            ("JsonHl7", "json_data", False), ("JsonHl7", "hl7_string", False),
        ],
        ids=lambda value: str(value),
    )
    def test_properties_are_writable_exactly_where_the_extension_has_a_setter(self, cls, member, writable):
        nodes = [n for n in stub_classes()[cls].body if isinstance(n, ast.FunctionDef) and n.name == member]
        assert any(isinstance(d, ast.Name) and d.id == "property" for d in nodes[0].decorator_list)
        instance = brenvolt.Hl7Json("") if cls == "Hl7Json" else brenvolt.JsonHl7([])
        try:
            setattr(instance, member, True)
            writable_at_run_time = True
        except AttributeError:
            writable_at_run_time = False
        assert (any(is_setter(n) for n in nodes), writable_at_run_time) == (writable, writable)


class TestMypy:
    def test_strict_accepts_a_program_using_the_whole_api(self, tmp_path):
        result = run_mypy(USAGE, tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout.startswith("Success: no issues found")

    def test_strict_accepts_the_installed_command_line_package(self, tmp_path):
        # A copy: mypy would take all of site-packages for the user's own code.
        copy = tmp_path / "brenvolt_cli"
        shutil.copytree(installed("brenvolt_cli/__init__.py").parent, copy, ignore=shutil.ignore_patterns("__pycache__"))
        result = run_mypy(copy, tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_strict_accepts_the_installed_tables_package(self, tmp_path):
        copy = tmp_path / "brenvolt_tables"
        shutil.copytree(installed("brenvolt_tables/__init__.py").parent, copy, ignore=shutil.ignore_patterns("__pycache__"))
        result = run_mypy(copy, tmp_path)
        assert result.returncode == 0, result.stdout + result.stderr

    def test_the_sample_program_runs(self, tmp_path):
        result = subprocess.run([sys.executable, str(USAGE)], cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")

    def test_strict_reports_each_misuse_on_its_line(self, tmp_path):
        result = run_mypy(ERRORS, tmp_path)
        assert result.returncode == 1
        found = {
            int(match.group(1)): match.group(2)
            for match in re.finditer(r"type_errors\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)
        }
        assert found == expected_errors(), result.stdout
        assert len(found) >= 15


class TestPyright:
    def test_strict_accepts_the_program_and_reports_each_misuse(self, tmp_path):
        diagnostics = run_pyright([USAGE, ERRORS], tmp_path)
        by_file: dict[str, set[int]] = {"api_usage.py": set(), "type_errors.py": set()}
        for diagnostic in diagnostics:
            assert diagnostic["severity"] == "error", diagnostic
            start = diagnostic["range"]["start"]["line"]  # type: ignore[index]
            by_file[Path(str(diagnostic["file"])).name].add(start + 1)
        assert by_file == {"api_usage.py": set(), "type_errors.py": set(expected_errors())}
