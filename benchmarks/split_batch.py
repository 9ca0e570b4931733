"""Splitting a large batch file: messages per second and peak memory.

    python benchmarks/split_batch.py                      # 100,000 ADT^A01 in 10 batches
    python benchmarks/split_batch.py --cli                # also time `brenvolt to-json FILE -o OUT`
    python benchmarks/split_batch.py --size-gb 2          # a ~2 GB file: memory must stay flat
    python benchmarks/split_batch.py --folder DIR --keep  # generate into DIR and keep the files

Generates (from a fixed seed) a batch file: an FHS, batches of messages each in
BHS ... BTS with the right BTS-1 count, and an FTS with the batch count. Then
it measures ``brenvolt_feeds.split.split_file`` alone, in a child process:
messages per second (the splitting loop only, timed in the child) and the
child's peak resident memory. With ``--cli`` it runs the ``brenvolt`` command
on the same file and reports the same for the whole conversion to JSON.

Peak memory is ``ru_maxrss`` of a process started by a small wrapper
interpreter (``python -c``) and read there with
``getrusage(RUSAGE_CHILDREN)``: Linux carries ru_maxrss across exec, so a
child started straight from this (larger) process could inherit its
high-water mark, and generation is not counted. ``/usr/bin/time`` is not
needed. An empty interpreter that only imports the splitter is measured the
same way, as the baseline.

Run it with the package on the path (``PYTHONPATH=python`` from the
repository root, or an installed brenvolt).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SEED = 20261208
MESSAGES = 100_000
BATCHES = 10
PER_BATCH_FOR_SIZE = 10_000

# Run by the wrapper interpreter: start the command, wait, print its peak RSS (KiB on Linux).
WRAPPER = """
import json, resource, subprocess, sys, time
start = time.perf_counter()
done = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE)
wall = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(json.dumps({"returncode": done.returncode, "wall": wall, "peak_kib": peak,
                  "stdout": done.stdout.decode("utf-8", "replace")}))
"""

# Run in the measured process: split the file and count what came out.
SPLITTER = """
import json, sys, time
from brenvolt_feeds.split import Message, split_file
start = time.perf_counter()
messages = notices = size = 0
for piece in split_file(sys.argv[1], chunk_size=int(sys.argv[2])):
    if isinstance(piece, Message):
        messages += 1
        size += len(piece.raw)
    else:
        notices += 1
        print(piece, file=sys.stderr)
seconds = time.perf_counter() - start
print(json.dumps({"messages": messages, "notices": notices, "bytes": size, "seconds": seconds}))
"""

BASELINE = "import brenvolt_feeds.split"

FAMILY = ["SMITH", "JONES", "MULLER", "GARCIA", "NGUYEN", "OKAFOR", "TANAKA", "DUBOIS", "ROSSI", "KOWALSKI"]
GIVEN = ["ANNA", "JOHN", "MARIA", "WEI", "FATIMA", "LUCAS", "SOFIA", "OMAR", "ELENA", "NOAH"]
STREETS = ["MAIN ST", "OAK AVE", "HIGH ST", "STATION RD", "LAKE DR", "PARK LN"]
CITIES = [("SPRINGFIELD", "IL", "62701"), ("RIVERTON", "WY", "82501"), ("FAIRVIEW", "TN", "37062")]
WARDS = ["2N", "3E", "ICU", "4W", "ER"]
TESTS = [
    ("8867-4", "Heart rate", "/min"),
    ("8310-5", "Body temperature", "Cel"),
    ("29463-7", "Body weight", "kg"),
]


def adt_a01(rng: random.Random, number: int) -> str:
    """One ADT^A01 message, segments ended by CR; MSH-10 is ``number``."""
    family, given = rng.choice(FAMILY), rng.choice(GIVEN)
    street, (city, state, zip_code) = rng.choice(STREETS), rng.choice(CITIES)
    month, day = rng.randint(1, 12), rng.randint(1, 28)
    when = f"2026{month:02d}{day:02d}{rng.randint(0, 23):02d}{rng.randint(0, 59):02d}"
    born = f"19{rng.randint(20, 99)}{rng.randint(1, 12):02d}{rng.randint(1, 28):02d}"
    mrn = rng.randint(100000, 999999)
    ssn = rng.randint(100000000, 999999999)
    phone = f"(555){rng.randint(100, 999)}-{rng.randint(1000, 9999)}"
    doctors = [f"{rng.randint(1000, 9999)}^{rng.choice(FAMILY)}^{rng.choice(GIVEN)}^^^DR" for _ in range(2)]
    bed = f"{rng.choice(WARDS)}^{rng.randint(100, 499)}^{rng.randint(1, 4)}^GH"
    facility = "GENERAL HOSPITAL"
    segments = [
        f"MSH|^~\\&|ADT|{facility}|LAB|{facility}|{when}||ADT^A01^ADT_A01|{number}|P|2.5.1|||AL|NE",
        f"EVN|A01|{when}|||{rng.randint(100, 999)}^ADMIT^CLERK",
        f"PID|1||{mrn}^^^GH^MR~{ssn}^^^SSA^SS||{family}^{given}^{rng.choice('ABCDE')}"
        f"||{born}|{rng.choice('MFU')}|||{rng.randint(1, 999)} {street}^^{city}^{state}^{zip_code}^USA"
        f"||{phone}|||S||{mrn}001",
        f"NK1|1|{rng.choice(FAMILY)}^{rng.choice(GIVEN)}|SPO^Spouse^HL70063||{phone[:-4]}0100",
        f"PV1|1|I|{bed}||||{doctors[0]}|||MED||||7|||{doctors[1]}|IP||SELF|||||||||||||||||||GH|||||{when}",
    ]
    for set_id in range(1, rng.randint(1, 4) + 1):
        code, name, unit = rng.choice(TESTS)
        value = rng.randint(36, 180)
        segments.append(f"OBX|{set_id}|NM|{code}^{name}^LN||{value}|{unit}^{unit}^UCUM|||||F|||{when}")
    segments.append(f"AL1|1|DA|{rng.randint(1000, 9999)}^PENICILLIN^RXNORM|MO|HIVES")
    return "\r".join(segments) + "\r"


def generate(path: Path, batches: list[int], seed: int) -> tuple[int, int]:
    """Write a batch file with ``batches[i]`` messages in batch ``i``; return (messages, bytes)."""
    rng = random.Random(seed)
    number = 0
    with open(path, "w", encoding="ascii", newline="") as out:
        out.write("FHS|^~\\&|ADT|GENERAL HOSPITAL|LAB|GENERAL HOSPITAL|20261208000000\r")
        for batch, count in enumerate(batches):
            out.write(f"BHS|^~\\&|ADT|GENERAL HOSPITAL|LAB|GENERAL HOSPITAL|20261208000000||||B{batch}\r")
            block: list[str] = []
            for _ in range(count):
                block.append(adt_a01(rng, number))
                number += 1
                if len(block) == 1000:
                    out.writelines(block)
                    block = []
            out.writelines(block)
            out.write(f"BTS|{count}\r")
        out.write(f"FTS|{len(batches)}\r")
    return number, path.stat().st_size


def generate_size(path: Path, size: int, seed: int) -> tuple[int, int]:
    """Write batches of 10,000 messages until the file holds about ``size`` bytes."""
    probe = path.with_suffix(".probe")
    count, written = generate(probe, [1000], seed)
    probe.unlink()
    per_message = written / count
    total = max(1, round(size / per_message))
    batches = [PER_BATCH_FOR_SIZE] * (total // PER_BATCH_FOR_SIZE)
    if total % PER_BATCH_FOR_SIZE:
        batches.append(total % PER_BATCH_FOR_SIZE)
    return generate(path, batches, seed)


def measured(command: list[str]) -> dict[str, object]:
    """Run ``command`` under the wrapper; its output, wall time and peak RSS."""
    done = subprocess.run(
        [sys.executable, "-c", WRAPPER, *command], capture_output=True, text=True, check=True
    )
    result: dict[str, object] = json.loads(done.stdout)
    if result["returncode"] != 0:
        raise SystemExit(f"{' '.join(command)} failed ({result['returncode']}):\n{done.stderr}")
    return result


def brenvolt_command() -> list[str]:
    script = Path(sys.executable).parent / "brenvolt"
    if script.is_file():
        return [str(script)]
    found = shutil.which("brenvolt")
    return [found] if found else [sys.executable, "-m", "brenvolt_cli"]


def mib(kib: object) -> str:
    return f"{int(kib) / 1024:.1f} MiB"  # type: ignore[call-overload]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--messages", type=int, default=MESSAGES, help="messages in the file (default 100000)"
    )
    parser.add_argument(
        "--batches", type=int, default=BATCHES, help="batches they are spread over (default 10)"
    )
    parser.add_argument(
        "--size-gb", type=float, help="instead: a file of about this many GB, batches of 10,000"
    )
    parser.add_argument("--seed", type=int, default=SEED)
    parser.add_argument(
        "--chunk-size", type=int, default=1 << 20, help="split_file chunk size (default 1 MiB)"
    )
    parser.add_argument("--folder", type=Path, help="where to write the file (default: a temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the generated files")
    parser.add_argument("--cli", action="store_true", help="also run `brenvolt to-json FILE -o OUT`")
    options = parser.parse_args(argv)
    if options.messages < 1 or options.batches < 1:
        parser.error("--messages and --batches must be at least 1")

    folder = options.folder or Path(tempfile.mkdtemp(prefix="split_batch_"))
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / ("batch_size.hl7" if options.size_gb else "batch_100k.hl7")
    try:
        start = time.perf_counter()
        if options.size_gb:
            count, size = generate_size(path, int(options.size_gb * 1e9), options.seed)
        else:
            per, extra = divmod(options.messages, options.batches)
            batches = [per + (1 if n < extra else 0) for n in range(options.batches)]
            count, size = generate(path, batches, options.seed)
        took = time.perf_counter() - start
        print(f"generated {path}: {count:,} messages, {size / 1e6:,.1f} MB in {took:.1f} s")

        rows: list[tuple[str, str, str, str]] = []
        base = measured([sys.executable, "-c", BASELINE])
        rows.append(("interpreter + import (baseline)", "", "", mib(base["peak_kib"])))
        split = measured([sys.executable, "-c", SPLITTER, str(path), str(options.chunk_size)])
        found = json.loads(str(split["stdout"]))
        if found["messages"] != count or found["notices"]:
            raise SystemExit(f"split_file found {found}, expected {count} messages and no notice")
        rate = found["messages"] / found["seconds"]
        rows.append(
            (
                f"split_file (chunk {options.chunk_size:,} B)",
                f"{rate:,.0f}",
                f"{found['bytes'] / found['seconds'] / 1e6:,.0f} MB/s",
                mib(split["peak_kib"]),
            )
        )
        if options.cli:
            out = folder / (path.stem + ".jsonl")
            cli = measured([*brenvolt_command(), "to-json", str(path), "-o", str(out)])
            lines = 0
            with open(out, "rb") as produced:
                for _ in produced:
                    lines += 1
            wall = float(cli["wall"])  # type: ignore[arg-type]
            rows.append(
                (
                    f"brenvolt to-json FILE -o OUT ({lines:,} lines)",
                    f"{count / wall:,.0f}",
                    f"{size / wall / 1e6:,.0f} MB/s",
                    mib(cli["peak_kib"]),
                )
            )
            if lines != count:
                print(f"warning: the CLI wrote {lines} lines for {count} messages", file=sys.stderr)
            if not options.keep:
                out.unlink()

        header = ("what", "messages/s", "input rate", "peak RSS")
        widths = [max(len(row[i]) for row in [header, *rows]) for i in range(4)]
        print()
        for row in [header, tuple("-" * w for w in widths), *rows]:
            print(
                "  ".join(
                    cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i]) for i, cell in enumerate(row)
                )
            )
        print(
            f"\n{count:,} messages, {size / 1e6:,.1f} MB; split_file timed inside the child, "
            "the CLI by wall clock (interpreter start included)"
        )
    finally:
        if not options.keep:
            path.unlink(missing_ok=True)
            if options.folder is None:
                shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    if os.name != "posix":
        raise SystemExit("this benchmark reads ru_maxrss and needs a POSIX system")
    sys.exit(main())
