"""Shared fixtures for the brenvolt test suite.

The sample corpus of real HL7 messages lives outside the repository, in
``shared/corpus`` next to the work tree. Tests that take the ``corpus_file``
argument are run once per ``.hl7`` file found there and are skipped when the
folder is missing. Small copies of a few corpus files live in ``tests/data``.
The reference models and generated inputs of the differential tests are in
``tests/reference.py``.

Tests that take seconds rather than milliseconds carry the ``slow`` mark,
given here by module (and, where only part of a module is slow, by class) so
that the test files need no marks of their own: ``pytest -m "not slow"`` is
the quick loop, and CI runs everything.
"""

from __future__ import annotations

import contextlib
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

DATA_DIR = Path(__file__).resolve().parent / "data"
CORPUS_DIR = Path(__file__).resolve().parents[2] / "shared" / "corpus"

# Test module -> the classes in it that are slow, or None when all of it is.
SLOW_TESTS: dict[str, frozenset[str] | None] = {
    "test_packaging.py": None,  # builds an sdist
    "test_typing.py": None,  # mypy, stubtest and pyright runs
    "test_dask.py": None,  # a local Dask cluster
    "test_cli.py": None,  # one interpreter subprocess per test
    "test_readme.py": None,  # every README example in its own interpreter or shell, a listener among them
    "test_leaks.py": None,  # many thousands of calls per entry point
    "test_bad_input.py": frozenset({"TestGiganticMessages", "TestGiganticJsonFiles"}),  # 100 MB inputs
    "test_interop.py": None,  # python-hl7 and hl7apy read the whole corpus
    "test_listen.py": None,  # the MLLP receiver on loopback, its command line in subprocesses
    "test_send.py": None,  # the MLLP sender against live receivers, TLS included
    "test_mllp_faults.py": None,  # peers that stall, reset and time out
    "test_receiver_abuse.py": None,  # 10,000 connections, trickling and stalled peers, under both event loops
    "test_receiver_access.py": None,  # receivers with allow-lists and client certificates in subprocesses
    "test_receiver_metrics.py": None,  # receivers scraped over HTTP
    "test_forward.py": None,  # receivers forwarding to receivers, replay, the kill -9 loop
    "test_split.py": frozenset({"TestSteadyMemory"}),  # memory over large inputs
    "test_tables_engines.py": None,  # to-parquet subprocesses, a Dask cluster, Spark in local mode
}


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    for item in items:
        if item.path.name not in SLOW_TESTS:
            continue
        classes = SLOW_TESTS[item.path.name]
        if classes is None or (item.cls is not None and item.cls.__name__ in classes):
            item.add_marker(pytest.mark.slow)


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    if "corpus_file" not in metafunc.fixturenames:
        return
    files = sorted(CORPUS_DIR.rglob("*.hl7")) if CORPUS_DIR.is_dir() else []
    if files:
        metafunc.parametrize("corpus_file", files, ids=[f.relative_to(CORPUS_DIR).as_posix() for f in files])
    else:
        skip = pytest.mark.skip(reason=f"no corpus at {CORPUS_DIR}")
        metafunc.parametrize("corpus_file", [pytest.param(None, marks=skip)], ids=["no-corpus"])


@pytest.fixture
def corpus_dir() -> Path:
    if not CORPUS_DIR.is_dir():
        pytest.skip(f"no corpus at {CORPUS_DIR}")
    return CORPUS_DIR


@pytest.fixture
def data_dir() -> Path:
    return DATA_DIR


@contextlib.contextmanager
def _raises_exactly(cls: type[BaseException]):
    with pytest.raises(cls) as excinfo:
        yield excinfo
    assert type(excinfo.value) is cls, f"raised {type(excinfo.value).__name__}: {excinfo.value}"


@contextlib.contextmanager
def _raises_hl7_error(message: str):
    """Expect the module's error: exactly ``Exception`` with ``message`` as its only argument."""
    with _raises_exactly(Exception) as excinfo:
        yield excinfo
    assert excinfo.value.args == (message,)


@contextlib.contextmanager
def _raises_type_error(message: str):
    """Expect a ``TypeError`` (exactly) whose text is ``message``."""
    with _raises_exactly(TypeError) as excinfo:
        yield excinfo
    assert str(excinfo.value) == message


@contextlib.contextmanager
def _raises_conversion_error(argument: str, type_name: str):
    """Expect the ``TypeError`` of a failed argument conversion, naming the argument and the rejected type."""
    with _raises_exactly(TypeError) as excinfo:
        yield excinfo
    text = str(excinfo.value)
    assert text.startswith(f"argument '{argument}': ") and f"'{type_name}'" in text, text


@pytest.fixture
def raises_hl7_error():
    return _raises_hl7_error


@pytest.fixture
def raises_type_error():
    return _raises_type_error


@pytest.fixture
def raises_conversion_error():
    return _raises_conversion_error


def _at_simd_level(script: str, payload: object, level: str) -> object:
    """Runs `script` in a fresh interpreter with BRENVOLT_SIMD=level (which is
    read once per process), `payload` as JSON on its stdin; returns what it
    writes to stdout, read as JSON."""
    env = dict(os.environ, BRENVOLT_SIMD=level)
    done = subprocess.run([sys.executable, "-c", script], input=json.dumps(payload), env=env,
                          capture_output=True, text=True, check=True, timeout=120)
    return json.loads(done.stdout)


@pytest.fixture
def at_simd_level():
    return _at_simd_level
