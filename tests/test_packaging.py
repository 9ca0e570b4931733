"""What the wheel installs and what the source distribution carries."""

from __future__ import annotations

import fnmatch
import importlib.metadata
import re
import subprocess
import sys
import tarfile
import tomllib
from pathlib import Path

import pytest
from packaging.requirements import Requirement

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

    def test_requirements_as_declared(self, metadata):
        """Every dependency and every extra's requirement is in the metadata, with its marker."""
        project = PYPROJECT["project"]
        declared = {(str(Requirement(text)), None) for text in project.get("dependencies", [])}
        for extra, texts in project.get("optional-dependencies", {}).items():
            declared |= {(str(Requirement(text)), extra) for text in texts}
        installed = set()
        for text in metadata.get_all("Requires-Dist") or []:
            requirement = Requirement(text)
            marker = str(requirement.marker) if requirement.marker else ""
            extra = re.fullmatch(r'extra == "([^"]+)"', marker)
            if extra:
                requirement.marker = None
            installed.add((str(requirement), extra[1] if extra else None))
        assert installed == declared
        assert set(metadata.get_all("Provides-Extra") or []) == set(project.get("optional-dependencies", {}))

    def test_console_script(self):
        scripts = importlib.metadata.entry_points(group="console_scripts")
        (script,) = [entry for entry in scripts if entry.name == "brenvolt"]
        assert script.value == "brenvolt_cli:main"
        assert callable(script.load())

    @pytest.mark.parametrize(
        "pattern",
        [
            "brenvolt.cpython-*.so", "brenvolt_cli/__init__.py", "brenvolt-stubs/__init__.pyi",
            "brenvolt-*.dist-info/*LICENSE", "brenvolt_fsync.cpython-*.so", "brenvolt_fsync-stubs/__init__.pyi",
            "brenvolt_receiver.cpython-*.so", "brenvolt_receiver-stubs/__init__.pyi",
        ],
        ids=["extension", "cli", "stubs", "licence", "fsync-module", "fsync-stubs", "receiver-module", "receiver-stubs"],
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


def tracked_files() -> list[str]:
    """The files git tracks in this checkout that are on disk; empty outside a git checkout."""
    try:
        listed = subprocess.run(
            ["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True, timeout=60
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        return []
    return sorted(name for name in listed.decode().split("\0") if name and (ROOT / name).is_file())


class TestSourceDistribution:
    def test_carries_every_tracked_file(self, members):
        tracked = tracked_files()
        if not tracked:
            pytest.skip("not a git checkout: nothing to compare the sdist with")
        assert sorted(set(tracked) - members) == []

    @pytest.mark.parametrize("path", ["PKG-INFO", "pyproject.toml", "src", "tests/conftest.py"])
    def test_carries(self, members, path):
        assert path in members or any(name.startswith(f"{path}/") for name in members)

    @pytest.mark.parametrize("folder", ["build/", ".venv/", ".git/", "dist/", "wheelhouse/"])
    def test_leaves_out(self, members, folder):
        assert not any(name.startswith(folder) for name in members)

    @pytest.mark.parametrize("name", ["simdjson.h", "simdjson.cpp", "LICENSE", "SOURCE"])
    def test_carries_the_fetched_simdjson_source(self, members, name):
        """What scripts/simdjson.sh fetched goes into the sdist, though git ignores it."""
        if not (ROOT / "third_party" / "simdjson" / "SOURCE").is_file():
            pytest.skip("no third_party/simdjson here: scripts/simdjson.sh fetches it")
        assert f"third_party/simdjson/{name}" in members
