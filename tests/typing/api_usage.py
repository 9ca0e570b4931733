"""Uses every member of brenvolt, with the types a checker must infer pinned by
``assert_type``. ``mypy --strict`` and pyright must accept it without a word,
and it runs: tests/test_typing.py does both."""

from __future__ import annotations

import json
import os
import tempfile
from collections.abc import Sequence
from typing import assert_type

import brenvolt
from brenvolt import Hl7Json, JsonHl7

MESSAGE = (
    "MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01^ADT_A01|1|P|2.5.1\r"
    "PID|1||4711^^^GH^MR||DOE^JOHN\r"
)


def records_of(text: str) -> list[dict[str, str]]:
    message = Hl7Json(text)
    assert_type(message, Hl7Json)
    records = message.hl7_json
    assert_type(records, list[dict[str, str]])
    return records


def options(message: Hl7Json) -> tuple[bool, bool, bool]:
    flags = (message.validation_enabled, message.strict_validation, message.escaping_enabled)
    assert_type(flags, tuple[bool, bool, bool])
    message.validation_enabled = True
    message.strict_validation = False
    message.escaping_enabled = True
    return flags


def checked(message: Hl7Json) -> str | None:
    try:
        message.validate(True, None)
        message.validate(strict_mode=None, validate_required_fields=False)
    except Exception as error:  # brenvolt raises plain Exception
        return str(error)
    return None


def back_to_hl7(records: Sequence[dict[str, str]]) -> str:
    built = JsonHl7(records)
    assert_type(built, JsonHl7)
    data = built.json_data
    assert_type(data, list[dict[str, str]])
    text = built.hl7_string
    assert_type(text, str)
    assert text == built._convert_json_to_hl7()
    return text


def main() -> None:
    assert brenvolt.__all__ == ["Hl7Json", "JsonHl7"]
    records = records_of(MESSAGE)
    assert records[1]["5.1"] == "DOE"

    message = Hl7Json(MESSAGE, validation_enabled=None, strict_validation=True, escaping_enabled=False)
    assert options(message) == (False, True, False)
    assert options(message) == (True, False, True)
    assert checked(message) is None
    assert message._convert_hl7_to_json() == records
    assert_type(message.hl7_string, str)
    segment = message._split_hl7_seg_to_json("PID|1||A\\S\\B")
    assert_type(segment, dict[str, str])
    assert message._split_hl7_seg_to_json_with_escaping("PID|1||A\\S\\B")["3.2"] == "B"

    assert Hl7Json(back_to_hl7(records)).hl7_json == records
    assert back_to_hl7((records[0],)) == back_to_hl7([records[0]])

    with tempfile.TemporaryDirectory() as folder:
        hl7_path = os.path.join(folder, "message.hl7")
        json_path = os.path.join(folder, "records.json")
        with open(hl7_path, "w", encoding="utf-8", newline="") as stream:
            stream.write(MESSAGE)
        with open(json_path, "w", encoding="utf-8") as stream:
            json.dump(records, stream)
        loaded = Hl7Json.from_file(hl7_path, True, False, True)
        assert_type(loaded, Hl7Json)
        again = JsonHl7.from_file(path=json_path)
        assert_type(again, JsonHl7)
        assert loaded.hl7_json == again.json_data == records


if __name__ == "__main__":
    main()
    print("ok")
