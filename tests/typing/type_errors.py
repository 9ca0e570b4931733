"""Misuses of brenvolt that a type checker must report. Each line marked
``# E: <mypy error code>`` must give exactly one error, and no other line may
give any; tests/test_typing.py checks this with mypy --strict and pyright.
Never run: every marked line would fail at run time too."""

from __future__ import annotations

from pathlib import Path

import brenvolt
from brenvolt import Hl7Json, JsonHl7

message = Hl7Json("MSH|^~\\&|A\r")
# Assignments go to fresh objects: a checker may narrow an attribute after an
# assignment, even a refused one, and so hide the next line's error.
Hl7Json(b"MSH|^~\\&|A\r")  # E: arg-type
Hl7Json("MSH|^~\\&|A\r", validation_enabled=1)  # E: arg-type
Hl7Json.from_file(Path("message.hl7"))  # E: arg-type
Hl7Json("").hl7_string = "PID|1"  # E: misc
Hl7Json("").hl7_json = []  # E: misc
Hl7Json("").escaping_enabled = None  # E: assignment
message.validate(True)  # E: call-arg
message.validate(strict=True, validate_required_fields=None)  # E: call-arg
count: int = message.hl7_json  # E: assignment
family: int = message.hl7_json[1]["5.1"]  # E: assignment
text: bytes = message.hl7_string  # E: assignment
JsonHl7('[{"segment_name": "PID"}]')  # E: arg-type
JsonHl7([{"segment_name": "PID", "1": 1}])  # E: dict-item
JsonHl7({"segment_name": "PID"})  # E: arg-type
JsonHl7.from_file(Path("records.json"))  # E: arg-type
JsonHl7([]).json_data = []  # E: misc
JsonHl7([]).hl7_string.decode()  # E: attr-defined
brenvolt.hl7_to_json("MSH")  # E: attr-defined


class Mine(Hl7Json):  # E: misc
    pass
