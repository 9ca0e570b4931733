"""Behaviour of the core that the other test files leave unexercised.

Found with scripts/coverage.sh: the order of a field's keys once it has more
than ten repetitions, and what a records file is told when a member holds a
number or literal instead of a string, when a string goes wrong after an
escaped quote, and when commas or colons are missing.
"""

from __future__ import annotations

import pytest

from brenvolt import Hl7Json, JsonHl7

MSH = "MSH|^~\\&|SENDER|FACILITY|RECEIVER|FACILITY|20240101120000||ADT^A01^ADT_A01|42|P|2.5"
JSON_PREFIX = "HL7 invalid format: Invalid JSON: "


def message_of(call) -> str:
    with pytest.raises(Exception) as excinfo:
        call()
    assert type(excinfo.value) is Exception, f"raised {type(excinfo.value).__name__}: {excinfo.value}"
    (message,) = excinfo.value.args
    return message


class TestManyRepetitions:
    """Keys come in text order, so "3[10]" sorts between "3[1]" and "3[2]"."""

    @pytest.mark.parametrize("count", [10, 11, 12, 25, 101], ids=lambda n: f"{n}-repetitions")
    def test_every_repetition_once_in_key_order(self, count):
        repetitions = [f"ID{r}" for r in range(count)]
        (_, pid) = Hl7Json(f"{MSH}\rPID|1||{'~'.join(repetitions)}").hl7_json
        keys = list(pid)
        assert keys == sorted(keys)
        assert {key: pid[key] for key in keys if key.startswith("3[")} == {
            f"3[{r}]": text for r, text in enumerate(repetitions)
        }

    def test_components_of_a_late_repetition_keep_their_place(self):
        repetitions = [f"ID{r}" for r in range(11)] + ["A^B"]
        (_, pid) = Hl7Json(f"{MSH}\rPID|1||{'~'.join(repetitions)}").hl7_json
        assert list(pid) == sorted(pid)
        assert (pid["3[11].1"], pid["3[11].2"], pid["3[10]"]) == ("A", "B", "ID10")

    def test_they_come_back_as_they_went_in(self):
        lines = [MSH, f"PID|1||{'~'.join(f'ID{r}' for r in range(12))}"]
        assert JsonHl7(Hl7Json("\r".join(lines)).hl7_json).hl7_string.split("\n") == lines


def records_file_message(tmp_path, content: bytes) -> str:
    path = tmp_path / "records.json"
    path.write_bytes(content)
    return message_of(lambda: JsonHl7.from_file(str(path)))


# A member or record holding a valid JSON token of the wrong type: the
# message names the type found.
WRONG_TYPE = {
    "negative-number": (b'[{"1": -1}]', "record 0, member '1': expected a string, found a number", 8),
    "fraction": (b'[{"1": 1.5}]', "record 0, member '1': expected a string, found a number", 8),
    "exponent": (b'[{"1": 2e10}]', "record 0, member '1': expected a string, found a number", 8),
    "signed-exponent": (b'[{"1": -0.5E+3}]', "record 0, member '1': expected a string, found a number", 8),
    "true": (b'[{"1": true}]', "record 0, member '1': expected a string, found a boolean", 8),
    "false": (b'[{"1": false}]', "record 0, member '1': expected a string, found a boolean", 8),
    "null": (b'[{"1": null}]', "record 0, member '1': expected a string, found null", 8),
    "record-number": (b'[-2]', "record 0: expected an object, found a number", 2),
    "record-boolean": (b'[{}, true]', "record 1: expected an object, found a boolean", 6),
}

# Text that only looks like a number or literal: refused as JSON, never
# described as "a number" or "a boolean".
NOT_A_TOKEN = {
    "fraction-without-digits": (b'[{"1": 1.}]', 8),
    "exponent-without-digits": (b'[{"1": 1e}]', 8),
    "sign-alone": (b'[{"1": -}]', 8),
    "leading-zero": (b'[{"1": 01}]', 8),
    "point-before-exponent": (b'[{"1": 1.e5}]', 8),
    "exponent-sign-alone": (b'[{"1": 1e+}]', 8),
    "tru": (b'[{"1": tru}]', 8),
    "fals": (b'[{"1": fals}]', 8),
    "nul": (b'[{"1": nul}]', 8),
    "record-fals": (b'[fals]', 2),
}

# Broken text, with the place the parser's own words point to.
BROKEN = {
    "raw-tab-after-escaped-quote": (b'[{"1": "a\\"b\tc"}]', 13),
    "unclosed-after-escaped-quote": (b'[{"1": "a\\"b', 8),
    "unbalanced-after-escaped-quote": (b'[{"1": "x\\"]"}', 15),
    "unbalanced-after-escaped-backslash": (b'[{"1": "x\\\\"}', 14),
    "missing-comma-between-records": (b'[{"1": "x"} {"2": "y"}]', 13),
    "missing-colon": (b'[{"1" "x"}]', 7),
    "two-commas": (b'[{"1": "x"},, {}]', 13),
    "wrong-closer": (b'[{"1": "x"}}', 12),
    "second-line": (b'[\n  {"1": "x"}\n  {"2": "y"}\n]', 3),
}


class TestRecordsFileMessages:
    @pytest.mark.parametrize(("content", "what", "column"), WRONG_TYPE.values(), ids=WRONG_TYPE.keys())
    def test_a_valid_token_of_the_wrong_type_is_named(self, tmp_path, content, what, column):
        message = records_file_message(tmp_path, content)
        assert message == f"{JSON_PREFIX}{what} (line 1, column {column})"

    @pytest.mark.parametrize(("content", "column"), NOT_A_TOKEN.values(), ids=NOT_A_TOKEN.keys())
    def test_a_malformed_token_is_refused_as_json(self, tmp_path, content, column):
        message = records_file_message(tmp_path, content)
        assert message.startswith(JSON_PREFIX) and message.endswith(f" (line 1, column {column})")
        assert "found" not in message

    @pytest.mark.parametrize(("content", "column"), BROKEN.values(), ids=BROKEN.keys())
    def test_broken_text_is_placed(self, tmp_path, content, column):
        message = records_file_message(tmp_path, content)
        line = 3 if content.startswith(b"[\n") else 1
        assert message.startswith(JSON_PREFIX) and message.endswith(f" (line {line}, column {column})")
        assert "expected" not in message
