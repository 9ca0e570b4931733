#!/usr/bin/env python3
"""Builds the seed corpora of the fuzz targets from the test data.

    python3 fuzz/make_corpus.py OUT_DIR

writes OUT_DIR/<target>/ for every target. Sources: the messages in
tests/data and examples, the shared sample corpus (../shared/corpus, when it
is there), and a few hand-written inputs per target for the cases real
messages rarely hold. Seeds are named by the hash of their bytes, so running
the builder again over an existing corpus adds nothing twice.

The builder needs no brenvolt build: the records it writes for the assembly
and JSON targets come from cutting each segment line at its delimiters, which
is all a seed has to be.
"""

from __future__ import annotations

import hashlib
import json
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MESSAGE_SOURCES = [ROOT / "tests" / "data", ROOT / "examples", ROOT.parent / "shared" / "corpus"]
TARGETS = ["segments", "escape", "validation", "assembly", "json_records", "tables"]

RECORD_SEPARATOR = b"\x1e"
ENTRY_SEPARATOR = b"\x1f"

HL7_SEEDS = [
    b"",
    b"\r",
    b"MSH|^~\\&|A|B|C|D|20261208||ADT^A01^ADT_A01|1|P|2.5.1\rPID|1||4711^^^GH^MR||DOE^JOHN\r",
    b"MSH|^~\\&|A|B|C|D|20261208||ADT^A01|1|P|9.9\nPID|1\n\nZZ1|x",
    b"MSH|^~\\&\rEVN|A01",
    b"PID|1||123^^^HOSP~456^^^LAB||FAMILY^GIVEN",
    b"NTE|1|\\F\\\\S\\\\R\\\\E\\\\T\\\\X0D0A\\\\X20\\\\X09\\\\H\\\\\\",
    b"ZZZ|A~~B|A^^B|A&B|X^~\\&Y|A\\S\\B|A\\R\\B",
    b"\xef\xbb\xbfMSH|^~\\&|\xc3\xa9|\xe2\x92\xb6\xe3\x80\x80\r\n",
    b"MSH|^~\\&|" + b"x" * 70000,
    b"|A",
    b"PID|",
    b"ZZZ|\x00|\x00~\x00",
]

ESCAPE_SEEDS = [
    b"\\F\\\\S\\\\R\\\\E\\\\T\\",
    b"\\X0A\\\\X0D\\\\X0D0A\\\\X20\\\\X09\\",
    b"\\\\\\",
    b"\\Zabc\\ \\H\\x \\",
    b"\\\xc3\xa9t\xc3\xa9\\ \\\xe2\x92\xb6\\ \\\xf0\x9f\x98\x80",
    b"a|b^c~d&e\\f\tg\nh\ri j",
]

ASSEMBLY_SEEDS = [
    [[b"segment_name", b"PID", b"1", b"1", b"3[0].1", b"123", b"3[0].4", b"HOSP", b"3[1]", b"456",
      b"5.1", b"DOE", b"5.2", b"JOHN", b"note", b"x"],
     [b"segment_name", b"OBX", b"2", b"ST", b"3", b"R&D", b"5[2]", b"Z"]],
    [[], [b"segment_name", b"PID"]],
    [[b"1", b"A", b"2", b"B"]],
    [[b"segment_name", b"PID", b"+3", b"a", b"03", b"b", b"3[1]x", b"c", b"-3", b"d", b"3.1.2", b"e"]],
    [[b"segment_name", b"PID", b"0", b"X", b"10", b"X", b"9", b"Y", b"5", b"W", b"5.1", b"A"]],
    [[b"segment_name", b"P|D\n", b"3", b"A|B^C~D&E\\F G\tH\rI\nJ"]],
    [[b"segment_name", b"PID", b"16777217", b"x"]],
    [[b"segment_name", b"PID", b"5[18446744073709551615]", b"x"]],
    [[b"segment_name", b"PID", b"1" * 40, b"x", b"", b"empty key"]],
]

JSON_SEEDS = [
    b"[]",
    b'[{"segment_name": "PID", "1": "1", "5.1": "DOE"}]',
    b'[{"a": "1", "a": "2"}, {}]',
    b'[{"\\u00e9\\ud83d\\ude00": "\\u0000\\n\\"\\\\"}]',
    b'\xef\xbb\xbf[{"1": "x"}]',
    b'[{"1": NaN}]',
    b'[{"1": "x",}]',
    b'[{"1": "x"}] // done',
    b'[{"1": 1.5e3, "2": null, "3": true, "4": [], "5": {}}]',
    b'{"segment_name": "PID"}',
    b'[{"1": "x"}] ]',
    b'[{"1": "\\ud800"}]',
    b"[" * 200 + b"]" * 200,
    b'[{"1": "a\x01b"}]',
    b' \t\r\n',
]


def messages() -> list[bytes]:
    found: list[bytes] = []
    for source in MESSAGE_SOURCES:
        if source.is_dir():
            found.extend(path.read_bytes() for path in sorted(source.rglob("*.hl7")))
    return found


def lines_of(message: bytes) -> list[bytes]:
    return message.replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")


def crude_record(line: bytes) -> list[bytes]:
    """A segment line cut at its delimiters into key, value, key, value, ..."""
    name, _, rest = line.partition(b"|")
    entries = [b"segment_name", name]
    if not rest and b"|" not in line:
        return entries
    for n, field in enumerate(rest.split(b"|"), start=1):
        repetitions = field.split(b"~") if b"^~\\&" not in field else [field]
        for r, repetition in enumerate(repetitions):
            components = repetition.split(b"^")
            for c, component in enumerate(components, start=1):
                key = str(n)
                if len(repetitions) > 1:
                    key += f"[{r}]"
                if len(components) > 1:
                    key += f".{c}"
                entries += [key.encode(), component]
    return entries


def assembly_input(records: list[list[bytes]]) -> bytes:
    return RECORD_SEPARATOR.join(ENTRY_SEPARATOR.join(entries) for entries in records)


def json_input(records: list[list[bytes]]) -> bytes | None:
    try:
        objects = [
            {entries[i].decode(): entries[i + 1].decode() for i in range(0, len(entries) - 1, 2)}
            for entries in records
        ]
    except UnicodeDecodeError:
        return None
    return json.dumps(objects, ensure_ascii=False, indent=1).encode()


def field_values(message: bytes) -> set[bytes]:
    return {field for line in lines_of(message) for field in line.split(b"|")[1:] if b"\\" in field}


def seeds() -> dict[str, list[bytes]]:
    corpus = {target: [] for target in TARGETS}
    corpus["segments"] += HL7_SEEDS
    corpus["validation"] += HL7_SEEDS
    corpus["escape"] += ESCAPE_SEEDS
    corpus["assembly"] += [assembly_input(records) for records in ASSEMBLY_SEEDS]
    corpus["json_records"] += JSON_SEEDS
    # tables: a settings byte (escaping, validation, strict, the row bound
    # in its top five bits), then messages separated by 0x1E.
    corpus["tables"] += [bytes([0x19]) + seed for seed in HL7_SEEDS]
    corpus["tables"].append(bytes([0x03]) + b"\x1e".join(HL7_SEEDS[:4]))
    for message in messages():
        corpus["segments"].append(message)
        corpus["validation"].append(message)
        corpus["tables"].append(bytes([0x41]) + message)
        corpus["escape"] += sorted(field_values(message))
        records = [crude_record(line) for line in lines_of(message)]
        corpus["assembly"].append(assembly_input(records))
        as_json = json_input(records)
        if as_json is not None:
            corpus["json_records"].append(as_json)
    return corpus


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    out = Path(argv[1])
    for target, inputs in seeds().items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)
        print(f"{target}: {len(set(inputs))} seeds in {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
