"""brenvolt benchmark suite.

    python benchmarks/run.py            # full run, a few minutes on 2 cores
    python benchmarks/run.py --quick    # smoke run, about 30 s
    python -m benchmarks.run ...        # the same, from the repository root

Prints a table of ratios (brenvolt / other side, each the median of
interleaved rounds) with the targets, and writes benchmarks/results.md and
benchmarks/results.png (a quick run writes results-quick.md and .png).
Missing a target is reported, never an error; the exit status is non-zero
only when a reference converter disagrees with brenvolt.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import hl7  # noqa: E402
import measure  # noqa: E402
import orjson  # noqa: E402
import pure  # noqa: E402
import report  # noqa: E402
from hl7apy.consts import VALIDATION_LEVEL  # noqa: E402
from hl7apy.parser import parse_message  # noqa: E402
from measure import Comparison, Settings  # noqa: E402
from report import Row, Target  # noqa: E402
from workloads import Workload, all_workloads  # noqa: E402

from brenvolt import Hl7Json, JsonHl7  # noqa: E402

# Targets by workload; a workload missing from a table has no target there.
T_FLOOR = {"ADT": Target(0.85, text="floor"), "ORU": Target(0.85, text="floor"),
           "MDM": Target(1.0, text="floor"), "large": Target(0.6, text="floor")}
T_HL7_FAST = Target(0.02, text=">= 50x faster")
T_HL7 = Target(0.1, text=">= 10x faster")
# Writing: within 1.5x of orjson.dumps making JSON text of the same dicts (the
# aim beyond it is 1.0x: one pass over the dicts, as orjson makes).
T_DUMPS = {"ADT": Target(1.5), "ORU": Target(1.5), "large": Target(1.5), "MDM": Target(1.5)}
T_FROM_FILE = Target(0.4)
T_MEMORY = Target(1.0)
T_GROWTH = Target(1.5)


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


class Suite:
    def __init__(self, workloads: list[Workload], settings: Settings, folder: Path):
        self.workloads = workloads
        self.settings = settings
        self.folder = folder
        self.rows: list[Row] = []
        self.records: dict[str, list[dict]] = {}
        self.json_bytes: dict[str, bytes] = {}
        self.json_paths: dict[str, Path] = {}

    # -- helpers -----------------------------------------------------------

    def add(self, row: Row) -> None:
        self.rows.append(row)
        where = f"{report.SECTIONS[row.section]} | {row.workload} | {row.against}"
        if row.ratio is None:
            log(f"  {where}: skipped ({row.note})")
        else:
            log(f"  {where}: {row.ratio:.3g} ({row.rounds} rounds) {row.verdict}")

    def timed_row(self, section: str, w: Workload, against: str, c: Comparison, other: int,
                  target: Target | None, note: str = "") -> Row:
        row = Row(section, w.key, against, c.per_call(0), c.per_call(other), "s",
                  c.ratio(0, other), *c.spread(0, other), rounds=len(c.times), target=target, note=note)
        self.add(row)
        return row

    # -- correctness first -----------------------------------------------------

    def prepare(self) -> None:
        """Records and JSON for every workload, and the checks that make the
        comparisons fair: same records, same text."""
        failures = []
        for w in self.workloads:
            records = Hl7Json(w.text).hl7_json
            self.records[w.key] = records
            data = orjson.dumps(records)
            self.json_bytes[w.key] = data
            path = self.folder / f"{w.key}.json"
            path.write_bytes(data)
            self.json_paths[w.key] = path

            mine = pure.hl7_to_records(w.text)
            if mine != records or [list(r) for r in mine] != [list(r) for r in records]:
                where = first_difference(mine, records)
                failures.append(f"{w.key}: pure.hl7_to_records differs from Hl7Json ({where})")
            if orjson.loads(data) != records or json.loads(data.decode()) != records:
                failures.append(f"{w.key}: the JSON does not load back to the same records")
            text = JsonHl7(records).hl7_string
            if pure.records_to_hl7(records) != text:
                failures.append(f"{w.key}: pure.records_to_hl7 differs from JsonHl7")
            if JsonHl7.from_file(str(path)).hl7_string != text:
                failures.append(f"{w.key}: JsonHl7.from_file differs from JsonHl7 on the same records")
            log(f"checked {w.key}: {w.nbytes:,} bytes, {len(records):,} records")
        if failures:
            raise SystemExit("outputs differ, nothing timed:\n  " + "\n  ".join(failures))
        pure.position.cache_clear()

    # -- sections ----------------------------------------------------------

    def hl7_to_python(self) -> None:
        log("HL7 -> Python")
        tolerant = VALIDATION_LEVEL.TOLERANT
        for w in self.workloads:
            text, data = w.text, self.json_bytes[w.key]
            data_text = data.decode()

            def mine(text=text):
                return Hl7Json(text).hl7_json

            c = measure.compare({
                "brenvolt": mine,
                "orjson.loads": lambda data=data: orjson.loads(data),
                "json.loads": lambda data_text=data_text: json.loads(data_text),
            }, self.settings)
            self.timed_row("hl7-to-python", w, "orjson.loads", c, 1, None)
            self.timed_row("hl7-to-python", w, "json.loads", c, 2, None)
            floor = Row("hl7-to-python", w.key, "floor (faster JSON loader)", c.per_call(0),
                        floor_time(c), "s", c.ratio(0, None), *c.spread(0, None), rounds=len(c.times),
                        target=T_FLOOR.get(w.key))
            self.add(floor)

            c = measure.compare({"brenvolt": mine, "pure": lambda text=text: pure.hl7_to_records(text)},
                                self.settings)
            self.timed_row("hl7-to-python", w, "pure Python", c, 1, None)

            self.slow_peer(w, "hl7.parse", lambda t: hl7.parse(t), mine,
                           T_HL7_FAST if w.key in ("ADT", "ORU") else T_HL7)
            self.slow_peer(w, "hl7apy parse_message",
                           lambda t: parse_message(t, validation_level=tolerant, find_groups=False),
                           mine, None)

    def slow_peer(self, w: Workload, name: str, peer, mine, target: Target | None) -> None:
        """Compare with a peer that may refuse the input or take too long."""
        limit = self.settings.peer_limit
        smaller = w.smaller(10)
        if smaller is not None:
            seconds, why = measure.timed_call(lambda: peer(smaller), limit / 10)
            if seconds is None:
                why = why.replace(f"over {limit / 10:g} s", f"over {limit / 10:g} s at a tenth the size")
                self.add(Row("hl7-to-python", w.key, name, None, None, "s", None, target=target,
                             note=f"{why}: would take over {limit:g} s"))
                return
        seconds, why = measure.timed_call(lambda: peer(w.text), limit)
        if seconds is None:
            self.add(Row("hl7-to-python", w.key, name, None, None, "s", None, target=target, note=why))
            return
        c = measure.compare({"brenvolt": mine, name: lambda: peer(w.text)}, self.settings,
                            known={name: seconds})
        self.timed_row("hl7-to-python", w, name, c, 1, target)

    def python_to_hl7(self) -> None:
        log("Python -> HL7")
        for w in self.workloads:
            records = self.records[w.key]

            def mine(records=records):
                return JsonHl7(records).hl7_string

            def dumps(records=records):
                return orjson.dumps(records)

            c = measure.compare({"brenvolt": mine, "orjson.dumps": dumps}, self.settings)
            self.timed_row("python-to-hl7", w, "orjson.dumps", c, 1, T_DUMPS.get(w.key))
            def reference(records=records):
                return pure.records_to_hl7(records)

            c = measure.compare({"brenvolt": mine, "pure": reference}, self.settings)
            self.timed_row("python-to-hl7", w, "pure Python", c, 1, None)
            pure.position.cache_clear()

    def from_file(self) -> None:
        log("JSON file -> HL7")
        for w in self.workloads:
            path = self.json_paths[w.key]
            name = str(path)

            def theirs(name=name):
                with open(name, "rb") as f:
                    return JsonHl7(orjson.loads(f.read())).hl7_string

            c = measure.compare({"brenvolt": lambda name=name: JsonHl7.from_file(name).hl7_string,
                                 "orjson": theirs}, self.settings)
            self.timed_row("from-file", w, "orjson.loads + JsonHl7", c, 1, T_FROM_FILE)

    def memory(self) -> None:
        log("Memory")
        w = next((w for w in self.workloads if w.key == "large"), None)
        if w is None:
            return
        hl7_path = self.folder / "large.hl7"
        hl7_path.write_bytes(w.text.encode("utf-8"))
        json_path = self.json_paths[w.key]
        allowance, versus = [], []
        mine, theirs = [], []
        for _ in range(self.settings.memory_repeats):
            b = measure.memory_probe("brenvolt", hl7_path, json_path)
            o = measure.memory_probe("orjson", hl7_path, json_path)
            allowance.append((b["rise"], b["result"] + b["input"]))
            versus.append((b["rise"], o["rise"]))
            mine.append(b)
            theirs.append(o)
        n = len(allowance)
        result, nbytes = median([b["result"] for b in mine]), mine[0]["input"]
        self.add(Row("memory", w.key, "result size + input", median([a for a, _ in allowance]),
                     median([b for _, b in allowance]), "B", median([a / b for a, b in allowance]),
                     min(a / b for a, b in allowance), max(a / b for a, b in allowance), rounds=n,
                     target=T_MEMORY,
                     note=f"result {report.fmt_value(result, 'B')}, input {report.fmt_value(nbytes, 'B')}"))
        self.add(Row("memory", w.key, "orjson.loads peak", median([a for a, _ in versus]),
                     median([b for _, b in versus]), "B", median([a / b for a, b in versus]),
                     min(a / b for a, b in versus), max(a / b for a, b in versus), rounds=n, target=None,
                     note=f"JSON {report.fmt_value(mine[0]['json'], 'B')}"))

    def growth(self) -> None:
        log("Growth")
        oru = next((w for w in self.workloads if w.key == "ORU"), None)
        if oru is None:
            return
        cases = []
        for w in self.workloads:
            if w.key == "large":  # a point between ORU and the large message
                text = w.smaller(10)
                cases.append((f"{w.key}/10", text, len(text.encode("utf-8")), None))
            if w is not oru:
                target = T_GROWTH if (w.key == "large" or w.adversarial) else None
                cases.append((w.key, w.text, w.nbytes, target))
        for key, text, nbytes, target in cases:
            c = measure.compare({
                "brenvolt": lambda t=text: Hl7Json(t).hl7_json,
                "ORU": lambda: Hl7Json(oru.text).hl7_json,
            }, self.settings)
            weights = (nbytes, oru.nbytes)
            self.add(Row("growth", key, "time per byte on ORU", c.per_call(0) / nbytes,
                         c.per_call(1) / oru.nbytes, "s/B", c.ratio(0, 1, weights), *c.spread(0, 1, weights),
                         rounds=len(c.times), target=target, note=f"{nbytes:,} bytes"))


def median(values) -> float:
    return statistics.median(values)


def floor_time(c: Comparison) -> float:
    """Median over rounds of the faster other side's time."""
    return median([min(r[1:]) for r in c.times])


def first_difference(a: list[dict], b: list[dict]) -> str:
    if len(a) != len(b):
        return f"{len(a)} records against {len(b)}"
    for i, (x, y) in enumerate(zip(a, b, strict=False)):
        if list(x.items()) != list(y.items()):
            keys = [k for k in dict.fromkeys([*x, *y]) if x.get(k) != y.get(k)]
            if keys:
                k = keys[0]
                return f"record {i}, key {k!r}: {x.get(k)!r} against {y.get(k)!r}"
            return f"record {i}: key order"
    return "?"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="smaller workloads and fewer rounds (about 30 s)")
    parser.add_argument("--sections", default=",".join(report.SECTIONS),
                        help="comma-separated subset of: " + ", ".join(report.SECTIONS))
    parser.add_argument("--workloads", default="", help="comma-separated subset of workload names")
    parser.add_argument("--no-write", action="store_true", help="print the table only")
    parser.add_argument("--out", type=Path, default=HERE, help="folder for results.md and results.png")
    args = parser.parse_args(argv)

    sections = [s.strip() for s in args.sections.split(",") if s.strip()]
    unknown = [s for s in sections if s not in report.SECTIONS]
    if unknown:
        parser.error(f"unknown section(s) {', '.join(unknown)}")
    settings = measure.QUICK if args.quick else measure.FULL
    workloads = all_workloads(args.quick)
    if args.workloads:
        wanted = {k.strip() for k in args.workloads.split(",")}
        missing = wanted - {w.key for w in workloads}
        if missing:
            parser.error(f"unknown workload(s) {', '.join(sorted(missing))}; "
                         f"have {', '.join(w.key for w in workloads)}")
        workloads = [w for w in workloads if w.key in wanted or (w.key == "ORU" and "growth" in sections)]

    report.CHECKOUT_AT_START = report.checkout()
    start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="brenvolt-bench-") as tmp:
        suite = Suite(workloads, settings, Path(tmp))
        suite.prepare()
        for section in report.SECTIONS:
            if section in sections:
                began = time.perf_counter()
                getattr(suite, section.replace("-", "_"))()
                gc.collect()
                log(f"  ({time.perf_counter() - began:.0f} s)")
    elapsed = time.perf_counter() - start

    rows = suite.rows
    mode = "quick" if args.quick else "full"
    print()
    print(report.text_table(rows))
    met = sum(r.verdict == "PASS" for r in rows)
    missed = sum(r.verdict == "MISS" for r in rows)
    print(f"\n{mode} run in {elapsed:.0f} s: {met} targets met, {missed} missed "
          "(ratio = brenvolt / other side, median of interleaved rounds; "
          "below 1: brenvolt faster or smaller)")

    partial = set(sections) != set(report.SECTIONS) or bool(args.workloads)
    if partial and not args.no_write:
        print("a partial run (--sections or --workloads): results files left as they are")
    elif not args.no_write:
        suffix = "" if mode == "full" else "-quick"
        args.out.mkdir(parents=True, exist_ok=True)
        md_path = args.out / f"results{suffix}.md"
        png_path = args.out / f"results{suffix}.png"
        sizes = [(w.key, w.title, w.nbytes) for w in workloads]
        md_path.write_text(report.markdown(rows, mode, elapsed, sizes))
        env = dict(report.environment())
        report.chart(rows, png_path,
                     f"{env['CPU']}, {env['Cores']}, {env['Python']}, {mode} run, {env['Date']}")
        print(f"wrote {md_path} and {png_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
