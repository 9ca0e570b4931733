"""Threads hammering one Hl7Json and one JsonHl7, and imports from
sub-interpreters.

Every call holds the interpreter lock from start to end, so the object claims
never conflict: no thread may ever see "Already borrowed", a half-made result
or a result that belongs to neither setting of a flag.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import sys
import threading

import pytest

from brenvolt import Hl7Json, JsonHl7

THREADS = 6
ROUNDS = 200
TEXT = (
    "MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01^ADT_A01|1|P|2.5.1\r"
    "PID|1||4711^^^GH^MR~99^^^X||DOE\\S\\JOHN^ANNA||19800214|F\r"
    "OBX|1|TX|||a\\F\\b\\X20\\c~d"
)


@contextlib.contextmanager
def frequent_switches():
    """Makes the interpreter hand the lock between threads as often as it can."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def hammer(*workers) -> None:
    """Runs each worker(round) ROUNDS times on its own thread, all started
    together, and re-raises the first failure of any of them."""
    start = threading.Barrier(len(workers))
    failures: list[BaseException] = []

    def run(worker):
        start.wait()
        try:
            for n in range(ROUNDS):
                worker(n)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(w,)) for w in workers]
    with frequent_switches():
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    if failures:
        raise failures[0]


class TestOneHl7Json:
    def test_readers_and_writers(self):
        obj = Hl7Json(TEXT)
        lines = obj.hl7_string.split("\n")
        expected = {True: Hl7Json(TEXT).hl7_json, False: Hl7Json(TEXT, escaping_enabled=False).hl7_json}
        assert expected[True] != expected[False]

        def convert(n):
            records = obj.hl7_json if n % 2 else obj._convert_hl7_to_json()
            assert records in (expected[True], expected[False])

        def validate(n):
            assert obj.validate(None, None) is None
            assert obj.validate(True, bool(n % 2)) is None

        def helpers(n):
            assert obj._split_hl7_seg_to_json(lines[1]) == expected[False][1]
            assert obj._split_hl7_seg_to_json_with_escaping(seg=lines[2]) == expected[True][2]
            assert obj.hl7_string == "\n".join(lines)

        def toggle_escaping(n):
            obj.escaping_enabled = bool(n % 2)
            assert obj.escaping_enabled in (True, False)

        def toggle_validation(n):
            # The message passes validation, so a validated read gives the
            # same records.
            obj.validation_enabled = bool(n % 2)
            obj.strict_validation = not n % 3

        hammer(convert, convert, validate, helpers, toggle_escaping, toggle_validation)
        obj.escaping_enabled = True
        assert obj.hl7_json == expected[True]

    def test_many_objects_from_one_text(self):
        expected = Hl7Json(TEXT).hl7_json

        def make(n):
            assert Hl7Json(TEXT, validation_enabled=bool(n % 2)).hl7_json == expected

        hammer(*[make] * THREADS)


class TestOneJsonHl7:
    def test_readers(self):
        records = Hl7Json(TEXT).hl7_json
        obj = JsonHl7(records)
        text, data = obj.hl7_string, obj.json_data

        def read(n):
            assert (obj.hl7_string if n % 2 else obj._convert_json_to_hl7()) == text
            assert obj.json_data == data

        hammer(*[read] * THREADS)
        assert obj.json_data == records

    def test_records_changed_by_another_thread(self):
        first, second = {"segment_name": "PID", "1": "a"}, {"segment_name": "OBX", "5.2": "b c"}
        shared = [first, {"segment_name": "EVN"}]
        outcomes = {"PID|a\nEVN", "OBX|||||^b c\nEVN"}

        def swap(n):
            shared[0] = second if n % 2 else first

        def build(n):
            # The constructor copies the list as it stands at that moment.
            assert JsonHl7(shared).hl7_string in outcomes

        hammer(swap, *[build] * (THREADS - 1))


def _interpreters():
    for name in ("_xxsubinterpreters", "_interpreters"):
        with contextlib.suppress(ImportError):
            return importlib.import_module(name)
    pytest.skip("this Python has no sub-interpreter module")


class TestSubInterpreters:
    def test_import_fails_and_main_module_keeps_working(self):
        interpreters = _interpreters()
        records = Hl7Json(TEXT).hl7_json
        outcomes = []
        for _ in range(3):
            read_end, write_end = os.pipe()
            interpreter = interpreters.create()
            try:
                interpreters.run_string(
                    interpreter,
                    "import os\n"
                    "try:\n"
                    "    import brenvolt\n"
                    "    outcome = 'imported'\n"
                    "except ImportError as error:\n"
                    "    outcome = 'ImportError: ' + str(error)\n"
                    f"os.write({write_end}, outcome.encode())\n",
                )
            finally:
                interpreters.destroy(interpreter)
                os.close(write_end)
            with os.fdopen(read_end, "rb") as pipe:
                outcomes.append(pipe.read().decode())
        assert all(outcome.startswith("ImportError: ") for outcome in outcomes), outcomes
        assert Hl7Json(JsonHl7(records).hl7_string).hl7_json == records
        assert sys.modules["brenvolt"].__all__ == ["Hl7Json", "JsonHl7"]
