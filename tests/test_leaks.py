"""Leak checks: every entry point of brenvolt and of brenvolt_tables._native,
error paths included (each kind of error
brenvolt raises, each TypeError of its argument handling), called many times
in a loop. Afterwards the reference counts of the objects the calls share,
the number of objects the garbage collector tracks, the interpreter's
allocated blocks, the C heap in use and the resident memory must be where
they were before the loop.

    python tests/test_leaks.py

prints the before and after figures of every loop.
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import sys
import tempfile
from pathlib import Path

import pytest

from brenvolt import Hl7Json, JsonHl7
from brenvolt_tables import Texts, _native, read

ROUNDS = 2000
WARM_UP = 200
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

HEADER = "MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01^ADT_A01|1|P|2.5.1"
BODY = "".join(f"\rOBX|{i}|TX|3[1]^x~y||\\F\\{'v' * 80}\\X20\\^é" for i in range(100))
TEXT = HEADER + "\rPID|1||4711^^^GH^MR||DOE^JOHN" + BODY  # about 10 KB
RECORDS = Hl7Json(TEXT).hl7_json
LONG_NAME = "N" * 5000  # an invalid segment name, carried by its error


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def heap_in_use() -> int | None:
    """Bytes the C allocator has handed out (C++ new included); None where
    glibc's figures do not cover the allocator in use."""
    if _mallinfo2 is None or UNDER_ASAN:
        return None
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def make_files(folder: Path) -> dict[str, str]:
    files = {
        "hl7": ("m.hl7", TEXT.encode()),
        "blank": ("blank.hl7", b" \r\n\t"),
        "not_utf8": ("bad.hl7", b"MSH|\xff"),
        "json": ("r.json", json.dumps(RECORDS).encode()),
        "json_syntax": ("syntax.json", b'[{"1": "x",}]'),
        "json_shape": ("shape.json", b'[{"1": 5}]'),
    }
    paths = {}
    for key, (name, content) in files.items():
        (folder / name).write_bytes(content)
        paths[key] = str(folder / name)
    paths["missing"] = str(folder / "missing.hl7")
    paths["folder"] = str(folder)
    paths["nul"] = str(folder / "a\x00b")
    return paths


class Env:
    """What the calls share: their reference counts must not move."""

    def __init__(self, folder: Path):
        self.files = make_files(folder)
        self.obj = Hl7Json(TEXT)
        self.json_obj = JsonHl7(RECORDS)
        self.bound = JsonHl7([{"segment_name": "PID", "16777217": "x"}])
        self.bad_value = 1.5
        # Made once: pathlib interns the parts of every path it makes, and the
        # interpreter's table of interned strings grows with that churn.
        self.path_object = Path(self.files["hl7"])
        self.shared = [TEXT, RECORDS, RECORDS[1], self.obj, self.json_obj, self.bound, self.bad_value,
                       self.path_object, Hl7Json, JsonHl7, *self.files.values()]


def _set_flags(env):
    env.obj.escaping_enabled = False
    env.obj.strict_validation = True
    env.obj.validation_enabled = False
    env.obj.escaping_enabled = True
    env.obj.strict_validation = False


def _validating(text, strict=False):
    return lambda env: Hl7Json(text, True, strict).hl7_json


class _FailingSequence:
    def __len__(self):
        raise OverflowError("no size")

    def __getitem__(self, index):
        if index == 1:
            raise ValueError("stop here")
        return {"1": "a"}


# id -> (one call, the exception it must raise or None)
ENTRY_POINTS = {
    "Hl7Json()": (lambda env: Hl7Json(TEXT), None),
    "Hl7Json(flags by keyword)": (lambda env: Hl7Json(hl7_string=TEXT, validation_enabled=False, escaping_enabled=True), None),
    "hl7_json": (lambda env: env.obj.hl7_json, None),
    "_convert_hl7_to_json()": (lambda env: env.obj._convert_hl7_to_json(), None),
    "hl7_json, validated": (_validating(TEXT), None),
    "hl7_string": (lambda env: env.obj.hl7_string, None),
    "flag getters": (lambda env: (env.obj.validation_enabled, env.obj.strict_validation, env.obj.escaping_enabled), None),
    "flag setters": (_set_flags, None),
    "validate() passes": (lambda env: Hl7Json(TEXT).validate(True, True), None),
    "_split_hl7_seg_to_json()": (lambda env: env.obj._split_hl7_seg_to_json(TEXT), None),
    "_split_hl7_seg_to_json_with_escaping()": (lambda env: env.obj._split_hl7_seg_to_json_with_escaping(seg=TEXT), None),
    "Hl7Json.from_file()": (lambda env: Hl7Json.from_file(env.files["hl7"], escaping_enabled=False), None),
    "JsonHl7(list)": (lambda env: JsonHl7(RECORDS), None),
    "JsonHl7(tuple)": (lambda env: JsonHl7(tuple(RECORDS)), None),
    "json_data": (lambda env: env.json_obj.json_data, None),
    "JsonHl7.hl7_string": (lambda env: env.json_obj.hl7_string, None),
    "_convert_json_to_hl7()": (lambda env: env.json_obj._convert_json_to_hl7(), None),
    "JsonHl7.from_file()": (lambda env: JsonHl7.from_file(path=env.files["json"]), None),
    # Every kind of error a call can end with.
    "MissingSegment MSH": (_validating("PID|1"), Exception),
    "MissingSegment PID": (lambda env: Hl7Json(HEADER).validate(None, True), Exception),
    "ValidationFailed short MSH": (_validating("MSH|^~\\&|A"), Exception),
    "InvalidFieldSeparators": (_validating(HEADER.replace("^~\\&", "^~" + "\\" * 3000)), Exception),
    "UnsupportedVersion": (_validating(HEADER.replace("2.5.1", "9" * 3000), True), Exception),
    "ValidationFailed message type": (_validating(HEADER.replace("ADT^A01^ADT_A01", "ADT"), True), Exception),
    "ValidationFailed empty name": (_validating(HEADER + "\r\rPID|1"), Exception),
    "InvalidSegmentName": (_validating(HEADER + "\r" + LONG_NAME + "|1"), Exception),
    "FieldTooLong": (_validating(HEADER + "\rPID|" + "x" * 70000), Exception),
    "IoError missing": (lambda env: Hl7Json.from_file(env.files["missing"]), Exception),
    "IoError directory": (lambda env: JsonHl7.from_file(env.files["folder"]), Exception),
    "IoError NUL in path": (lambda env: Hl7Json.from_file(env.files["nul"]), Exception),
    "IoError not UTF-8": (lambda env: JsonHl7.from_file(env.files["not_utf8"]), Exception),
    "EmptyMessage Hl7Json": (lambda env: Hl7Json.from_file(env.files["blank"]), Exception),
    "EmptyMessage JsonHl7": (lambda env: JsonHl7.from_file(env.files["blank"]), Exception),
    "InvalidFormat syntax": (lambda env: JsonHl7.from_file(env.files["json_syntax"]), Exception),
    "InvalidFormat shape": (lambda env: JsonHl7.from_file(env.files["json_shape"]), Exception),
    "EncodingError": (lambda env: env.bound.hl7_string, Exception),
    # Argument handling.
    "TypeError text": (lambda env: Hl7Json(env.bad_value), TypeError),
    "TypeError flag": (lambda env: Hl7Json(TEXT, escaping_enabled=env.bad_value), TypeError),
    "TypeError missing argument": (lambda env: Hl7Json(), TypeError),
    "TypeError too many arguments": (lambda env: Hl7Json(TEXT, None, None, None, None), TypeError),
    "TypeError unknown keyword": (lambda env: Hl7Json(TEXT, colour=True), TypeError),
    "TypeError given twice": (lambda env: Hl7Json(TEXT, hl7_string=TEXT), TypeError),
    "TypeError validate()": (lambda env: env.obj.validate(env.bad_value, None), TypeError),
    "TypeError validate() missing": (lambda env: env.obj.validate(True), TypeError),
    "TypeError setter": (lambda env: setattr(env.obj, "strict_validation", env.bad_value), TypeError),
    "TypeError seg": (lambda env: env.obj._split_hl7_seg_to_json(env.bad_value), TypeError),
    "TypeError from_file path": (lambda env: Hl7Json.from_file(env.path_object), TypeError),
    "TypeError JsonHl7 str": (lambda env: JsonHl7(TEXT), TypeError),
    "TypeError JsonHl7 not a sequence": (lambda env: JsonHl7(iter(RECORDS)), TypeError),
    "TypeError JsonHl7 item": (lambda env: JsonHl7(RECORDS + [env.bad_value]), TypeError),
    "TypeError JsonHl7 key": (lambda env: JsonHl7(RECORDS + [{env.bad_value: "x"}]), TypeError),
    "TypeError JsonHl7 value": (lambda env: JsonHl7(RECORDS + [{"1": env.bad_value}]), TypeError),
    "TypeError JsonHl7.from_file": (lambda env: JsonHl7.from_file(env.files["json"].encode()), TypeError),
    "AttributeError delete": (lambda env: delattr(env.obj, "escaping_enabled"), AttributeError),
    "AttributeError read-only": (lambda env: setattr(env.obj, "hl7_string", TEXT), AttributeError),
    "UnicodeEncodeError text": (lambda env: Hl7Json(TEXT + "\ud800"), UnicodeEncodeError),
    "UnicodeEncodeError seg": (lambda env: env.obj._split_hl7_seg_to_json_with_escaping("\udfff"), UnicodeEncodeError),
    "UnicodeEncodeError record": (lambda env: JsonHl7(RECORDS + [{"1": "\ud800"}]), UnicodeEncodeError),
    "error from the caller's sequence": (lambda env: JsonHl7(_FailingSequence()), ValueError),
}


def _built(env, tables=("messages", "segments", "values", "wide")):
    builder = _native.TableBuilder(list(tables), batch_rows=97)
    builder.add_text(TEXT, "leaks", 0, 0, "ab")
    builder.add_records(RECORDS, "leaks", 1, None, None)
    builder.add_error("leaks", 2, None, None, "why")
    builder.finish()
    return builder.take()


def _exported(env):
    for batch in _built(env, ("segments", "PID")):
        batch.__arrow_c_array__()
        batch.__arrow_c_schema__()


def _streamed(env):
    capsule = _native.stream("values", (), iter(_built(env, ("values",))))
    del capsule  # released unread


TABLE_ENTRY_POINTS = {
    "tables: TableBuilder, every table": (_built, None),
    "tables: batches exported": (_exported, None),
    "tables: stream capsule": (_streamed, None),
    "tables: read() to pyarrow": (lambda env: read(Texts([TEXT]), "segments", on_notice=print).to_arrow(), None),
    "tables: records that are not records": (
        lambda env: _native.TableBuilder(["messages"]).add_records([{"1": env.bad_value}], "x", 0, None, None), None),
    "tables: lone surrogate": (
        lambda env: _native.TableBuilder(["messages"]).add_text(TEXT + "\ud800", "x", 0, None, None), None),
    "tables: TypeError text": (
        lambda env: _native.TableBuilder(["segments"]).add_text(env.bad_value, "x", 0, None, None), TypeError),
    "tables: ValueError table": (lambda env: _native.TableBuilder(["no table!"]), ValueError),
}
ENTRY_POINTS.update(TABLE_ENTRY_POINTS)


def call_once(call, expected, env) -> None:
    if expected is None:
        call(env)
        return
    try:
        call(env)
    except expected as error:
        assert type(error) is expected, f"{type(error).__name__}: {error}"
    else:
        raise AssertionError(f"no {expected.__name__} raised")


def snapshot(env: Env) -> dict:
    gc.collect()
    return {
        "rss": resident(),
        "heap": heap_in_use(),
        "blocks": sys.getallocatedblocks(),
        "objects": len(gc.get_objects()),
        "refcounts": [sys.getrefcount(o) for o in env.shared],
    }


def measure(call, expected, env: Env) -> tuple[dict, dict]:
    for _ in range(WARM_UP):
        call_once(call, expected, env)
    before = snapshot(env)
    for _ in range(ROUNDS):
        call_once(call, expected, env)
    return before, snapshot(env)


@pytest.fixture(scope="module")
def env(tmp_path_factory) -> Env:
    return Env(tmp_path_factory.mktemp("leaks"))


class TestFlatAfterManyCalls:
    @pytest.mark.parametrize(("call", "expected"), ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
    def test_entry_point(self, env, call, expected):
        before, after = measure(call, expected, env)
        assert after["refcounts"] == before["refcounts"]
        assert after["objects"] - before["objects"] <= 2
        # A leaked str or exception per call would add ROUNDS blocks.
        assert after["blocks"] - before["blocks"] < ROUNDS // 20
        if before["heap"] is not None:
            # Every call handles at least ~100 bytes of its own; a leak of
            # them would pass this many times over.
            assert after["heap"] - before["heap"] < 64 * 1024
        if not UNDER_ASAN:  # ASan holds freed memory in quarantine
            assert after["rss"] - before["rss"] < 2 * 1024 * 1024


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        shared = Env(Path(folder))
        print(f"{ROUNDS} calls each, after {WARM_UP} to warm up; heap = C heap in use (mallinfo2)")
        print(f"{'entry point':42} {'RSS KiB':>17} {'heap bytes':>21} {'blocks':>15} {'gc objects':>15} refcounts")
        for name, (call, expected) in ENTRY_POINTS.items():
            before, after = measure(call, expected, shared)

            def pair(key: str, scale: int = 1, before=before, after=after) -> str:
                return f"{before[key] // scale}->{after[key] // scale}" if before[key] is not None else "n/a"

            refs = "flat" if before["refcounts"] == after["refcounts"] else f"{before['refcounts']}->{after['refcounts']}"
            print(f"{name:42} {pair('rss', 1024):>17} {pair('heap'):>21} {pair('blocks'):>15} {pair('objects'):>15} {refs}")


if __name__ == "__main__":
    main()
