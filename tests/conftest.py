"""Shared fixtures for the brenvolt test suite.

The sample corpus of real HL7 messages lives outside the repository, in
``shared/corpus`` next to the work tree. Tests that take the ``corpus_file``
argument are run once per ``.hl7`` file found there and are skipped when the
folder is missing. Small copies of a few corpus files live in ``tests/data``.
"""

from __future__ import annotations

import contextlib
from pathlib import Path

import pytest

TESTS_DIR = Path(__file__).resolve().parent
DATA_DIR = TESTS_DIR / "data"
CORPUS_DIR = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def corpus_files() -> list[Path]:
    if not CORPUS_DIR.is_dir():
        return []
    return sorted(CORPUS_DIR.rglob("*.hl7"))


def pytest_generate_tests(metafunc: pytest.Metafunc) -> None:
    if "corpus_file" not in metafunc.fixturenames:
        return
    files = corpus_files()
    if files:
        ids = [f.relative_to(CORPUS_DIR).as_posix() for f in files]
        metafunc.parametrize("corpus_file", files, ids=ids)
    else:
        metafunc.parametrize(
            "corpus_file",
            [pytest.param(None, marks=pytest.mark.skip(reason=f"no corpus at {CORPUS_DIR}"))],
            ids=["no-corpus"],
        )


@pytest.fixture
def corpus_dir() -> Path:
    if not CORPUS_DIR.is_dir():
        pytest.skip(f"no corpus at {CORPUS_DIR}")
    return CORPUS_DIR


@pytest.fixture
def data_dir() -> Path:
    return DATA_DIR


@contextlib.contextmanager
def _raises_hl7_error(message: str):
    """Expect the module's error: exactly ``Exception`` with ``message`` as its only argument."""
    with pytest.raises(Exception) as excinfo:
        yield excinfo
    assert type(excinfo.value) is Exception, f"raised {type(excinfo.value).__name__}: {excinfo.value}"
    assert excinfo.value.args == (message,)


@pytest.fixture
def raises_hl7_error():
    return _raises_hl7_error


@contextlib.contextmanager
def _raises_type_error(message: str):
    """Expect a ``TypeError`` (exactly) whose text is ``message``."""
    with pytest.raises(TypeError) as excinfo:
        yield excinfo
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message


@pytest.fixture
def raises_type_error():
    return _raises_type_error


@contextlib.contextmanager
def _raises_conversion_error(argument: str, type_name: str):
    """Expect the ``TypeError`` of a failed argument conversion.

    Its text starts with ``argument '<name>': `` and names the rejected type.
    """
    with pytest.raises(TypeError) as excinfo:
        yield excinfo
    assert type(excinfo.value) is TypeError
    text = str(excinfo.value)
    assert text.startswith(f"argument '{argument}': "), text
    assert f"'{type_name}'" in text, text


@pytest.fixture
def raises_conversion_error():
    return _raises_conversion_error
