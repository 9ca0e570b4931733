"""What reading messages in other delimiters costs: ratios measured in one process.

    PYTHONPATH=python python benchmarks/delimiters.py          # about 30 s
    PYTHONPATH=python python benchmarks/delimiters.py --quick

For a message in the standard delimiters, ``to_standard_delimiters`` must
cost a prefix test: it is timed against ``str.startswith`` of the header and
against the conversion it comes before (``Hl7Json(text).hl7_json``). For the
suite's ADT, ORU and MDM workloads written in VA VistA's delimiters
(``MSH^~|\\&``) and in ``MSH:-+?*``, the rewrite is timed against the
conversion of its result, and the rewrite and conversion together against
python-hl7's ``hl7.parse`` of the original (a reader that honours MSH-1 and
MSH-2 itself). Every figure is the median ratio of interleaved rounds
(``measure.compare``); below 1 the first side is faster.
"""

from __future__ import annotations

import argparse
import sys

import measure
import workloads

from brenvolt import Hl7Json
from brenvolt_feeds.delimiters import Delimiters, from_standard_delimiters, to_standard_delimiters

OTHERS = {
    "VistA ^~|\\&": Delimiters("^", "~", "|", "\\", "&"),
    "colon :-+?*": Delimiters(":", "-", "+", "?", "*"),
}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    options = parser.parse_args(argv)
    settings = measure.QUICK if options.quick else measure.FULL
    try:
        import hl7
    except ImportError:
        hl7 = None
    messages = {
        "ADT": workloads.adt_a01(),
        "ORU": workloads.oru_r01(),
        "MDM": workloads.mdm_t02(),
    }
    print(
        "| message | delimiters | size | rewrite / startswith | rewrite / conversion "
        "| rewrite + conversion / hl7.parse |"
    )
    print("|---|---|---:|---:|---:|---:|")
    for name, standard in messages.items():
        text = standard.replace("\n", "\r")
        compared = measure.compare(
            {
                "rewrite": lambda t=text: to_standard_delimiters(t),
                "startswith": lambda t=text: t.startswith("MSH|^~\\&"),
                "conversion": lambda t=text: Hl7Json(t).hl7_json,
            },
            settings,
        )
        prefix, conversion = compared.ratio(0, 1), compared.ratio(0, 2)
        print(f"| {name} | standard | {len(text):,} | {prefix:.2f} | {conversion:.4f} | |")
        for label, chosen in OTHERS.items():
            other = from_standard_delimiters(text, chosen)
            rewritten = to_standard_delimiters(other)
            sides = {
                "rewrite": lambda o=other: to_standard_delimiters(o),
                "conversion": lambda r=rewritten: Hl7Json(r).hl7_json,
                "both": lambda o=other: Hl7Json(to_standard_delimiters(o)).hl7_json,
            }
            if hl7 is not None:
                sides["hl7.parse"] = lambda o=other: hl7.parse(o)
            compared = measure.compare(sides, settings)
            peer = f"{compared.ratio(2, 3):.2f}" if hl7 is not None else "(no python-hl7)"
            print(f"| {name} | {label} | {len(other):,} | | {compared.ratio(0, 1):.2f} | {peer} |")
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
