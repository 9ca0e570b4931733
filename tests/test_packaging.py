"""What the wheel installs and what the source distribution carries."""

from __future__ import annotations

import fnmatch
import re
import importlib.metadata
import subprocess
import sys
import tarfile
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))


@pytest.fixture(scope="module")
def metadata() -> importlib.metadata.PackageMetadata:
    return importlib.metadata.metadata("brenvolt")


class TestInstalledDistribution:
    @pytest.mark.parametrize(
        "field, expected",
        [
            ("Name", PYPROJECT["project"]["name"]),
            ("Version", PYPROJECT["project"]["version"]),
            ("Requires-Python", PYPROJECT["project"]["requires-python"]),
            ("License", "MIT"),
        ],
        ids=["name", "version", "requires-python", "license"],
    )
    def test_metadata_field(self, metadata, field, expected):
        assert metadata[field] == expected

    def test_this_interpreter_is_one_the_metadata_admits(self, metadata):
        (lowest,) = re.fullmatch(r">=(\d+\.\d+)", metadata["Requires-Python"]).groups()
        assert sys.version_info[:2] >= tuple(map(int, lowest.split(".")))
        version = f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}"
        assert version in metadata.get_all("Classifier")

    def test_extras_and_no_project_urls(self, metadata):
        assert set(metadata.get_all("Provides-Extra")) == {"test", "bench"}
        assert metadata.get_all("Project-URL") is None

    def test_console_script(self):
        (script,) = [e for e in importlib.metadata.entry_points(group="console_scripts") if e.name == "brenvolt"]
        assert script.value == "brenvolt_cli:main"
        assert callable(script.load())

    @pytest.mark.parametrize(
        "pattern",
        ["brenvolt.cpython-*.so", "brenvolt_cli.py", "brenvolt-stubs/__init__.pyi", "brenvolt-*.dist-info/*LICENSE"],
        ids=["extension", "cli", "stubs", "licence"],
    )
    def test_wheel_installed_file(self, pattern):
        files = [file.as_posix() for file in importlib.metadata.files("brenvolt") or []]
        assert fnmatch.filter(files, pattern), files


@pytest.fixture(scope="module")
def members(tmp_path_factory) -> set[str]:
    """The paths in a freshly built sdist, below its top folder."""
    out = tmp_path_factory.mktemp("sdist")
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT)],
        check=True, capture_output=True, timeout=300,
    )
    (archive,) = out.glob("brenvolt-*.tar.gz")
    with tarfile.open(archive) as tar:
        return {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}


class TestSourceDistribution:

    @pytest.mark.parametrize(
        "path",
        [
            "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO",
            "src/hl7_json.cpp", "src/json_hl7.cpp", "python/brenvolt_cli.py", "python/brenvolt-stubs/__init__.pyi",
            "tests/conftest.py", "tests/test_cli.py", "tests/typing/api_usage.py", "tests/data/adt01_23.hl7",
            "examples/convert.py", "examples/adt_a01.hl7", "examples/dask_to_jsonl.py", "scripts/test.sh",
        ],
    )
    def test_carries(self, members, path):
        assert path in members

    @pytest.mark.parametrize("folder", ["build/", ".venv/", ".git/", "dist/"])
    def test_leaves_out(self, members, folder):
        assert not any(name.startswith(folder) for name in members)
