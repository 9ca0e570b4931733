"""Throughput of the calls that release the interpreter lock, on one thread and on two.

    python benchmarks/threads.py            # about 20 s
    python benchmarks/threads.py --calls 40

`Hl7Json.from_file` reads and normalises its file, `JsonHl7.from_file` reads
and parses its JSON file, and `JsonHl7.hl7_string` writes a large message,
each without the interpreter lock. For each, the same number of calls runs
first on one thread, then split over two; the figure is calls per second on
two threads over calls per second on one (2.0 would be perfect scaling on two
free cores). Each case takes the best of a few repetitions. The inputs are
the benchmark suite's 10 MB ORU message and its records' JSON.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from pathlib import Path

import orjson

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from workloads import all_workloads  # noqa: E402

from brenvolt import Hl7Json, JsonHl7  # noqa: E402


def run_calls(call: Callable[[], object], calls: int, threads: int) -> float:
    """Seconds for `calls` calls of `call` spread evenly over `threads` threads."""
    share = [calls // threads + (1 if i < calls % threads else 0) for i in range(threads)]
    start_together = threading.Barrier(threads + 1)

    def work(count: int) -> None:
        start_together.wait()
        for _ in range(count):
            call()

    workers = [threading.Thread(target=work, args=(n,)) for n in share]
    for worker in workers:
        worker.start()
    start_together.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - began


def scaling(call: Callable[[], object], calls: int, repeats: int) -> tuple[float, float, float]:
    call()  # warm the caches and the allocator
    one = min(run_calls(call, calls, 1) for _ in range(repeats))
    two = min(run_calls(call, calls, 2) for _ in range(repeats))
    return calls / one, calls / two, one / two


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20, help="calls per measurement (default 20)")
    parser.add_argument("--repeats", type=int, default=3, help="repetitions, best kept (default 3)")
    args = parser.parse_args()

    large = next(w for w in all_workloads() if w.key == "large")
    records = Hl7Json(large.text).hl7_json
    with tempfile.TemporaryDirectory() as folder:
        hl7_path = Path(folder) / "large.hl7"
        hl7_path.write_text(large.text, encoding="utf-8")
        json_path = Path(folder) / "large.json"
        json_path.write_bytes(orjson.dumps(records))
        from_json = JsonHl7.from_file(str(json_path))
        cases = [
            ("Hl7Json.from_file (10 MB HL7)", lambda: Hl7Json.from_file(str(hl7_path))),
            ("JsonHl7.from_file (its 23 MB JSON)", lambda: JsonHl7.from_file(str(json_path))),
            ("JsonHl7.hl7_string (10 MB message)", lambda: from_json.hl7_string),
        ]
        print("| call | calls/s, one thread | calls/s, two threads | two over one |")
        print("|---|---:|---:|---:|")
        for name, call in cases:
            one, two, ratio = scaling(call, args.calls, args.repeats)
            print(f"| `{name}` | {one:.1f} | {two:.1f} | {ratio:.2f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
