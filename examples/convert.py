"""Prints the segment records of an HL7 v2 message file, one JSON object per
line.

    python examples/convert.py examples/adt_a01.hl7
"""
import json
import sys

from brenvolt import Hl7Json


def main(path: str) -> None:
    message = Hl7Json.from_file(path)
    for record in message.hl7_json:
        print(json.dumps(record, ensure_ascii=False))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/adt_a01.hl7")
