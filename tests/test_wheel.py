"""The self-contained wheel made by scripts/wheel.sh.

It installs into a fresh virtual environment, its extension resolves no
shared library outside the wheel but the C and C++ runtime, and it converts
the sample message as the build under test does. The wheel is the one named
by $BRENVOLT_WHEEL when set (CI builds it once, in its own step); otherwise
the test runs the script.
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import brenvolt

ROOT = Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "examples" / "adt_a01.hl7"

# What a manylinux wheel may take from the system: the C library and its
# parts, the C++ runtime, the dynamic loader and the kernel's vDSO.
RUNTIME = re.compile(
    r"(linux-vdso|ld-linux[-\w]*|libc|libm|libdl|libpthread|librt|libstdc\+\+|libgcc_s)\.so(\.\d+)*"
)
LDD_LINE = re.compile(r"^\s*(?P<name>\S+)(?: => (?P<path>not found|\S+))?(?: \(0x[0-9a-f]+\))?$")


def clean_environment() -> dict[str, str]:
    """This process's environment without what would load another build of brenvolt or a sanitizer."""
    dropped = {"PYTHONPATH", "PYTHONHOME", "LD_PRELOAD", "LD_LIBRARY_PATH", "PYTHONMALLOC", "VIRTUAL_ENV"}
    return {name: value for name, value in os.environ.items() if name not in dropped}


def run(*command: str | Path, cwd: Path | None = None, timeout: float = 600) -> str:
    done = subprocess.run(
        [str(part) for part in command], cwd=cwd, env=clean_environment(), capture_output=True,
        text=True, timeout=timeout, check=False,
    )
    assert done.returncode == 0, f"{command} exited {done.returncode}:\n{done.stdout}\n{done.stderr}"
    return done.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    given = os.environ.get("BRENVOLT_WHEEL")
    if given:
        return Path(given)
    output = tmp_path_factory.mktemp("dist")
    return Path(run("bash", ROOT / "scripts" / "wheel.sh", output, timeout=1200).splitlines()[-1])


@pytest.fixture(scope="module")
def site_packages(wheel, tmp_path_factory) -> tuple[Path, Path]:
    """A fresh virtual environment with the wheel installed: its interpreter and its site-packages."""
    venv = tmp_path_factory.mktemp("venv")
    run(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", "--disable-pip-version-check", wheel)
    purelib = run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))").strip()
    return python, Path(purelib)


def ldd(library: Path) -> dict[str, str | None]:
    """Each library the loader brings in for ``library``: its name and the file it resolved to."""
    resolved: dict[str, str | None] = {}
    for line in run("ldd", library).splitlines():
        match = LDD_LINE.match(line)
        assert match, f"unexpected ldd line: {line!r}"
        path = match["path"]
        resolved[match["name"]] = None if path is None or path == "not found" else path
    return resolved


def test_the_wheel_is_tagged_for_manylinux(wheel):
    assert re.search(r"-manylinux_\d+_\d+_\w+\.whl$", wheel.name), wheel.name


def test_the_extension_resolves_only_the_bundled_libraries_and_the_runtime(site_packages):
    _, purelib = site_packages
    (extension,) = purelib.glob("brenvolt.cpython-*.so")
    bundled_dir = purelib / "brenvolt.libs"
    bundled = sorted(bundled_dir.iterdir())
    assert [path.name for path in bundled if path.name.startswith("libsimdjson")], bundled
    for library in [extension, *bundled]:
        for name, path in ldd(library).items():
            if RUNTIME.fullmatch(Path(name).name):
                continue
            assert path is not None, f"{library.name}: {name} not found"
            assert Path(path).resolve().parent == bundled_dir.resolve(), f"{library.name}: {name} => {path}"


def test_the_installed_wheel_converts_the_sample_message(site_packages, tmp_path):
    python, purelib = site_packages
    program = (
        "import json, sys, brenvolt\n"
        "print(brenvolt.__file__)\n"
        "print(json.dumps(brenvolt.Hl7Json.from_file(sys.argv[1]).hl7_json))\n"
    )
    where, records = run(python, "-c", program, SAMPLE, cwd=tmp_path).splitlines()
    assert Path(where).parent == purelib
    assert json.loads(records) == brenvolt.Hl7Json.from_file(str(SAMPLE)).hl7_json
