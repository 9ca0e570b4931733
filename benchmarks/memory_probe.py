"""Peak resident memory of one conversion, run in a fresh interpreter.

    python memory_probe.py brenvolt|orjson MESSAGE.hl7 RECORDS.json

Both sides import both libraries and hold the same inputs (the message as
bytes and str, the JSON as bytes) before the baseline is taken, so the
baseline high-water mark equals what is resident at that moment. Then one
side converts: brenvolt `Hl7Json(text).hl7_json`, or `orjson.loads(json)`.
Prints JSON: the rise of ru_maxrss over the baseline, and the deep size of
the result (each object counted once).

The work runs in a child forked at start: Linux carries a process's
ru_maxrss across exec, so a probe started from the (large) suite process
would begin with the suite's high-water mark and show no rise at all. A
forked child starts its own count.
"""

from __future__ import annotations

import gc
import json
import os
import resource
import sys
import traceback

import orjson

from brenvolt import Hl7Json


def maxrss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def deep_size(records: list) -> int:
    seen: set[int] = set()
    total = 0

    def add(obj) -> None:
        nonlocal total
        if id(obj) not in seen:
            seen.add(id(obj))
            total += sys.getsizeof(obj)

    add(records)
    for record in records:
        add(record)
        for key, value in record.items():
            add(key)
            add(value)
    return total


def main(side: str, hl7_path: str, json_path: str) -> None:
    with open(hl7_path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-8")
    with open(json_path, "rb") as f:
        data = f.read()
    gc.collect()
    base = maxrss()
    if side == "brenvolt":
        records = Hl7Json(text).hl7_json
    elif side == "orjson":
        records = orjson.loads(data)
    else:
        raise SystemExit(f"unknown side {side!r}")
    peak = maxrss()
    print(json.dumps({
        "side": side,
        "rise": peak - base,
        "result": deep_size(records),
        "records": len(records),
        "input": len(raw),
        "json": len(data),
    }))


def in_child(args: list[str]) -> int:
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            main(*args)
        except BaseException:
            traceback.print_exc()
            code = 1
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


if __name__ == "__main__":
    sys.exit(in_child(sys.argv[1:4]))
