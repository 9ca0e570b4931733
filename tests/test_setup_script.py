"""scripts/setup.sh builds brenvolt into ./.venv only when the installed build
is not up to date. Run in a copy of the layout it expects, with a stand-in
for the virtual environment's Python that logs what it is asked to do and
stand-ins for dpkg, g++ and java, so that nothing is built or installed."""

from __future__ import annotations

import os
import subprocess
import time
from pathlib import Path

import pytest

SETUP = Path(__file__).resolve().parents[1] / "scripts" / "setup.sh"

FAKE_PYTHON = """#!/bin/sh
echo "$*" >> "$(dirname "$0")/../calls"
exit 0
"""


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    """A work tree with the files setup.sh looks at and a stand-in ./.venv."""
    (tmp_path / "scripts").mkdir()
    (tmp_path / "scripts" / "setup.sh").write_bytes(SETUP.read_bytes())
    for name in ("src/core/a.cpp", "python/brenvolt_feeds/a.py", "CMakeLists.txt", "pyproject.toml"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("x")
    python = tmp_path / ".venv" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text(FAKE_PYTHON)
    python.chmod(0o755)
    tools = tmp_path / "tools"
    tools.mkdir()
    for tool in ("dpkg", "g++", "java"):
        (tools / tool).write_text("#!/bin/sh\nexit 0\n")
        (tools / tool).chmod(0o755)
    return tmp_path


def setup(tree: Path, *extras: str, **env: str) -> list[str]:
    """Runs setup.sh; returns the installs it asked the stand-in Python for."""
    calls = tree / ".venv" / "calls"
    calls.unlink(missing_ok=True)
    clean = {k: v for k, v in os.environ.items() if not k.startswith(("SKBUILD_", "CMAKE_"))}
    clean["PATH"] = f"{tree / 'tools'}{os.pathsep}{clean['PATH']}"
    subprocess.run(
        ["bash", str(tree / "scripts" / "setup.sh"), *extras],
        check=True, capture_output=True, timeout=60, env={**clean, **env},
    )
    lines = calls.read_text().splitlines() if calls.exists() else []
    return [line for line in lines if line.startswith("-m pip install")]


def age_stamp(tree: Path) -> None:
    """Dates the last install ten seconds back, and the files before it, so that
    only a file written from now on is newer."""
    now = time.time()
    for path in tree.rglob("*"):
        os.utime(path, (now - 20, now - 20))
    os.utime(tree / ".venv" / ".brenvolt-installed", (now - 10, now - 10))


INSTALL_TEST = ["-m pip install -q --upgrade pip", "-m pip install -q .[test]"]


class TestUpToDate:
    def test_second_run_installs_nothing(self, tree: Path) -> None:
        assert setup(tree, "test") == INSTALL_TEST
        assert setup(tree, "test") == []
        assert setup(tree) == []  # no extras asked: the installed build covers it

    @pytest.mark.parametrize(
        "changed",
        ["src/core/a.cpp", "python/brenvolt_feeds/a.py", "CMakeLists.txt", "pyproject.toml", "src/core/new.h"],
        ids=["core-source", "python-module", "cmake", "pyproject", "new-file"],
    )
    def test_changed_source_builds_again(self, tree: Path, changed: str) -> None:
        setup(tree, "test")
        age_stamp(tree)
        (tree / changed).write_text("y")
        assert setup(tree, "test") == INSTALL_TEST
        assert setup(tree, "test") == []

    def test_compiled_python_files_change_nothing(self, tree: Path) -> None:
        setup(tree, "test")
        age_stamp(tree)
        cached = tree / "python" / "brenvolt_feeds" / "__pycache__" / "a.cpython-311.pyc"
        cached.parent.mkdir()
        cached.write_text("compiled")
        assert setup(tree, "test") == []

    def test_other_extras_are_installed_and_kept(self, tree: Path) -> None:
        setup(tree, "test")
        assert setup(tree, "bench") == ["-m pip install -q --upgrade pip", "-m pip install -q .[bench]"]
        assert setup(tree, "test") == []
        assert setup(tree, "bench", "test") == []

    def test_other_build_settings_build_again(self, tree: Path) -> None:
        setup(tree, "test")
        werror = {"SKBUILD_CMAKE_DEFINE": "BRENVOLT_WERROR=ON"}
        assert setup(tree, "test", **werror) == INSTALL_TEST
        assert setup(tree, "test", **werror) == []
        assert setup(tree, "test", **werror, CMAKE_BUILD_PARALLEL_LEVEL="2") == []
        assert setup(tree, "test") == INSTALL_TEST

    def test_removed_stamp_builds_again(self, tree: Path) -> None:
        setup(tree, "test")
        (tree / ".venv" / ".brenvolt-installed").unlink()
        assert setup(tree, "test") == INSTALL_TEST
