"""Two builds of brenvolt against each other, in one process.

    python benchmarks/builds.py NAME=FOLDER NAME=FOLDER [--quick]

Each FOLDER holds a build of the extension module (a virtual environment's
site-packages, or a CMake build folder): ``brenvolt.cpython-*.so``. Both are
loaded side by side under their own names, checked to give the same records
and the same HL7 text, and timed in turn (A B A B ...) on reading
(``Hl7Json(text).hl7_json``), writing (``JsonHl7(records).hl7_string``) and
writing from a JSON file (``JsonHl7.from_file(path).hl7_string``) the ADT and
ORU workloads (``--workloads`` names others). The table gives the time of the first build over
the time of the second, the median of the per-round ratios, with the lowest
and highest round; a ratio above 1.05 means the first build is more than 5%
slower. The exit status is non-zero only when the builds disagree.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import json
import sys
import tempfile
from pathlib import Path
from types import ModuleType

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import measure  # noqa: E402
from workloads import all_workloads  # noqa: E402

WORKLOADS = ("ADT", "ORU")
# How much slower the first build may be before the table says so.
TOLERANCE = 1.05


def load_build(name: str, folder: Path) -> ModuleType:
    """The brenvolt extension module found in ``folder``, loaded as a module of its own.

    Each build is a separate shared object with its own module object and
    types, so two of them live in one interpreter without meeting."""
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    found = sorted(path for path in folder.glob("brenvolt.*") if any(path.name.endswith(s) for s in suffixes))
    if len(found) != 1:
        raise SystemExit(f"builds.py: {name}: expected one brenvolt extension module in {folder}, "
                         f"found {found}")
    # The module must be initialised as "brenvolt" (its PyInit_ name); it is
    # kept out of sys.modules, so the other build loads as well.
    spec = importlib.util.spec_from_file_location("brenvolt", found[0])
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    print(f"{name}: {found[0]}", file=sys.stderr)
    return module


def parse_build(text: str) -> tuple[str, Path]:
    name, sep, folder = text.partition("=")
    if not sep or not name or not folder:
        raise argparse.ArgumentTypeError(f"expected NAME=FOLDER, got {text!r}")
    return name, Path(folder)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs=2, type=parse_build, metavar="NAME=FOLDER")
    parser.add_argument("--quick", action="store_true", help="short rounds: a smoke run")
    parser.add_argument("--workloads", default=",".join(WORKLOADS),
                        help="comma-separated workload names (default: ADT,ORU)")
    args = parser.parse_args(argv)
    settings = measure.QUICK if args.quick else measure.FULL
    (first, first_dir), (second, second_dir) = args.builds
    a, b = load_build(first, first_dir), load_build(second, second_dir)

    rows = []
    disagreements = []
    chosen = args.workloads.split(",")
    folder = tempfile.TemporaryDirectory(prefix="builds-")
    for w in (w for w in all_workloads(args.quick) if w.key in chosen):
        records = a.Hl7Json(w.text).hl7_json
        path = Path(folder.name) / f"{w.key}.json"
        path.write_text(json.dumps(records), encoding="utf-8")
        if b.Hl7Json(w.text).hl7_json != records:
            disagreements.append(f"{w.key}: the records differ")
        text = a.JsonHl7(records).hl7_string
        if b.JsonHl7(records).hl7_string != text:
            disagreements.append(f"{w.key}: the HL7 text differs")
        from_files = (m.JsonHl7.from_file(str(path)).hl7_string for m in (a, b))
        if any(written != text for written in from_files):
            disagreements.append(f"{w.key}: the HL7 text written from the file differs")
        sides = {
            "read": ({first: lambda t=w.text: a.Hl7Json(t).hl7_json,
                      second: lambda t=w.text: b.Hl7Json(t).hl7_json}),
            "write": ({first: lambda r=records: a.JsonHl7(r).hl7_string,
                       second: lambda r=records: b.JsonHl7(r).hl7_string}),
            "from file": ({first: lambda p=str(path): a.JsonHl7.from_file(p).hl7_string,
                           second: lambda p=str(path): b.JsonHl7.from_file(p).hl7_string}),
        }
        for direction, calls in sides.items():
            c = measure.compare(calls, settings)
            low, high = c.spread(0, 1)
            rows.append((w.key, direction, c.per_call(0), c.per_call(1), c.ratio(0, 1), low, high,
                         len(c.times)))

    print(f"| workload | direction | {first} µs | {second} µs | {first} / {second} | spread | rounds "
          "| within 5% |")
    print("|---|---|---:|---:|---:|---|---:|---|")
    for key, direction, mine, theirs, ratio, low, high, rounds in rows:
        verdict = "yes" if ratio <= TOLERANCE else "NO"
        print(f"| {key} | {direction} | {mine * 1e6:.1f} | {theirs * 1e6:.1f} | {ratio:.3f} | "
              f"{low:.3f}–{high:.3f} | {rounds} | {verdict} |")
    for line in disagreements:
        print(f"builds.py: {line}", file=sys.stderr)
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
