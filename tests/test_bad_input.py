"""Bad input, row by row: what a caller gets for hostile, truncated, binary or
gigantic input. docs/reliability.md holds the same catalogue as a table.

Every row ends in a stated result or a clear error, and leaves the objects
involved (the caller's arguments, an existing Hl7Json or JsonHl7) as they were.
"""

from __future__ import annotations

import copy
import errno
import os
from pathlib import Path

import pytest

from brenvolt import Hl7Json, JsonHl7

MB = 1 << 20
BOUND = 16_777_216
HEADER = "MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01^ADT_A01|1|P|2.5.1"
JSON_PREFIX = "HL7 invalid format: Invalid JSON: "


def state(obj: Hl7Json) -> tuple:
    return (obj.hl7_string, obj.validation_enabled, obj.strict_validation, obj.escaping_enabled)


def raised(call, cls: type[BaseException]) -> BaseException:
    with pytest.raises(cls) as excinfo:
        call()
    assert type(excinfo.value) is cls, f"raised {type(excinfo.value).__name__}: {excinfo.value}"
    return excinfo.value


def message_of(call) -> str:
    error = raised(call, Exception)
    assert len(error.args) == 1
    return error.args[0]


def os_error(number: int) -> str:
    return f"I/O error: {os.strerror(number)} (os error {number})"


def round_trips(records: list[dict]) -> bool:
    return Hl7Json(JsonHl7(records).hl7_string).hl7_json == records


# --- Message text handed to Hl7Json ---

TEXT_ROWS = {
    "empty": ("", [{"segment_name": ""}]),
    "spaces-and-tab": (" \t ", [{"segment_name": " \t "}]),
    "line-ends-only": ("\r\n\r\n", [{"segment_name": ""}] * 3),
    "nul-bytes": ("PID|\x00|a\x00b^\x00", [{"1": "\x00", "2.1": "a\x00b", "2.2": "\x00", "segment_name": "PID"}]),
    "control-characters": ("\x01\x02|\x7f\x1b", [{"1": "\x7f\x1b", "segment_name": "\x01\x02"}]),
    "byte-order-mark": ("\ufeffMSH|x", [{"1": "x", "segment_name": "\ufeffMSH"}]),
}


@pytest.mark.parametrize(("text", "records"), TEXT_ROWS.values(), ids=TEXT_ROWS.keys())
def test_message_text_converts_and_validation_names_the_missing_header(text, records):
    obj = Hl7Json(text)
    before = state(obj)
    assert obj.hl7_json == records
    assert round_trips(records)
    obj.validation_enabled = True
    for call in (lambda: obj.hl7_json, lambda: obj.validate(None, None)):
        assert message_of(call) == "Missing required segment: MSH (Message Header)"
    obj.validation_enabled = False
    assert state(obj) == before


# --- Lone surrogates: no UTF-8 form, so the interpreter's UnicodeEncodeError ---

SURROGATE_CALLS = {
    "text": lambda obj, records: Hl7Json("MSH|\ud800"),
    "segment": lambda obj, records: obj._split_hl7_seg_to_json("PID|\udfff"),
    "segment-with-escaping": lambda obj, records: obj._split_hl7_seg_to_json_with_escaping(seg="\udc80"),
    "hl7-path": lambda obj, records: Hl7Json.from_file("\ud800.hl7"),
    "json-path": lambda obj, records: JsonHl7.from_file("\udfff.json"),
    "record-value": lambda obj, records: JsonHl7(records + [{"1": "a\ud800"}]),
    "record-key": lambda obj, records: JsonHl7(records + [{"\udbff": "a"}]),
}


class TestLoneSurrogates:
    @pytest.mark.parametrize("call", SURROGATE_CALLS.values(), ids=SURROGATE_CALLS.keys())
    def test_unicode_encode_error_and_nothing_changed(self, call):
        obj = Hl7Json(HEADER, validation_enabled=True)
        records = [{"segment_name": "PID", "1": "x"}]
        before, records_before = state(obj), copy.deepcopy(records)
        error = raised(lambda: call(obj, records), UnicodeEncodeError)
        assert (error.encoding, error.reason) == ("utf-8", "surrogates not allowed")
        assert state(obj) == before
        assert records == records_before

    def test_json_escape_of_a_lone_surrogate_is_invalid_json(self, tmp_path):
        path = tmp_path / "lone.json"
        path.write_bytes(b'[{"1": "\\ud800"}]')
        message = message_of(lambda: JsonHl7.from_file(str(path)))
        assert message.startswith(JSON_PREFIX) and message.endswith("(line 1, column 8)")


# --- Files that cannot be read, or that hold nothing ---

def _unreadable(tmp: Path) -> str:
    if os.geteuid() == 0:
        pytest.skip("root reads a file whatever its mode")
    path = tmp / "locked.hl7"
    path.write_text(HEADER)
    path.chmod(0)
    return str(path)


FILE_ROWS = {
    "empty": (lambda tmp: tmp / "f", b"", "HL7 message is empty"),
    "white-space-only": (lambda tmp: tmp / "f", b" \t\r\n\x0b\x0c", "HL7 message is empty"),
    "unicode-white-space-only": (lambda tmp: tmp / "f", "\u3000\u2028\u00a0\n".encode(), "HL7 message is empty"),
    "lone-ff-byte": (lambda tmp: tmp / "f", b"MSH|\xff", "I/O error: stream did not contain valid UTF-8"),
    "truncated-character": (lambda tmp: tmp / "f", b"MSH|\xe2\x82", "I/O error: stream did not contain valid UTF-8"),
    "overlong-slash": (lambda tmp: tmp / "f", b"MSH|\xc0\xaf", "I/O error: stream did not contain valid UTF-8"),
    "encoded-surrogate": (lambda tmp: tmp / "f", b"MSH|\xed\xa0\x80", "I/O error: stream did not contain valid UTF-8"),
    "beyond-u10ffff": (lambda tmp: tmp / "f", b"MSH|\xf4\x90\x80\x80", "I/O error: stream did not contain valid UTF-8"),
    "cp1252-dash": (lambda tmp: tmp / "f", b"MSH|A\x96B", "I/O error: stream did not contain valid UTF-8"),
    "missing": (lambda tmp: tmp / "missing", None, os_error(errno.ENOENT)),
    "directory": (lambda tmp: tmp, None, os_error(errno.EISDIR)),
    "file-as-directory": (lambda tmp: Path(__file__) / "x", None, os_error(errno.ENOTDIR)),
    "read-fails": (lambda tmp: Path("/proc/self/mem"), None, os_error(errno.EIO)),
    "name-too-long": (lambda tmp: tmp / ("n" * 300), None, os_error(errno.ENAMETOOLONG)),
    "nul-in-path": (lambda tmp: str(tmp / "a\x00b"), None, "I/O error: file name contained an unexpected NUL byte"),
    "unreadable": (_unreadable, None, os_error(errno.EACCES)),
}


class TestFiles:
    @pytest.mark.parametrize("loader", [Hl7Json.from_file, JsonHl7.from_file], ids=["Hl7Json", "JsonHl7"])
    @pytest.mark.parametrize(("where", "content", "message"), FILE_ROWS.values(), ids=FILE_ROWS.keys())
    def test_refused_with_a_clear_error(self, tmp_path, loader, where, content, message):
        path = where(tmp_path)
        if content is not None:
            Path(path).write_bytes(content)
        assert message_of(lambda: loader(str(path))) == message

    # Records that would be read but for their bytes: the UTF-8 is refused
    # first, wherever it is and whatever else is wrong.
    @pytest.mark.parametrize("content", [
        b'[{"segment_name": "MSH", "1": "\xff"}]', b'[{"\xc0\xaf": "x"}]', b'[]\xed\xa0\x80',
        b'  \n[{"1": "A\x96B"}]', b'[{"1": "\xe2\x82"', b'{"1": "\xf4\x90\x80\x80"}', b'[\xe2',
        b'\xef\xbb\xbf[{"1": "\xff"}]', b'\xc2\xa0 \xc2'],
        ids=["value", "key", "after-the-array", "after-white-space", "unclosed", "not-an-array",
             "truncated-last", "byte-order-mark", "blank-then-truncated"])
    def test_json_file_not_utf8_is_refused_as_such(self, tmp_path, content):
        path = tmp_path / "records.json"
        path.write_bytes(content)
        assert message_of(lambda: JsonHl7.from_file(str(path))) == \
            "I/O error: stream did not contain valid UTF-8"

    def test_blank_text_is_refused_only_from_a_file(self, tmp_path):
        (tmp_path / "blank.hl7").write_text("\r\n  \r\n")
        assert Hl7Json("\r\n  \r\n").hl7_json == [{"segment_name": ""}, {"segment_name": "  "}]
        assert message_of(lambda: Hl7Json.from_file(str(tmp_path / "blank.hl7"))) == "HL7 message is empty"


# --- Gigantic input ---


class TestGiganticMessages:
    def test_100_mb_of_segments(self):
        line = "OBX|1|TX|||" + "x" * 1013 + "\r"
        count = 100 * MB // len(line)
        records = Hl7Json(line * count).hl7_json
        assert len(records) == count  # the final CR ends the last segment, and starts no record
        expected = {"1": "1", "2": "TX", "3": "", "4": "", "5": "x" * 1013, "segment_name": "OBX"}
        assert records[0] == records[count // 2] == records[-1] == expected

    def test_100_mb_field(self):
        text = HEADER + "\rPID|" + "a" * (100 * MB) + "|z"
        obj = Hl7Json(text)
        pid = obj.hl7_json[1]
        assert list(pid) == ["1", "2", "segment_name"] and len(pid["1"]) == 100 * MB and pid["2"] == "z"
        obj.validation_enabled = True
        expected = f"Field value exceeds maximum length: {100 * MB} > 65536 characters"
        assert message_of(lambda: obj.hl7_json) == expected
        assert len(JsonHl7([pid]).hl7_string) == len("PID|") + 100 * MB + len("|z")

    @pytest.mark.parametrize(
        ("line", "keys"),
        [("ZZZ" + "|" * 1_000_000, 1_000_001), ("ZZZ|" + "^" * 1_000_000, 1_000_002), ("ZZZ|" + "~" * 1_000_000, 1_000_002)],
        ids=["million-field-separators", "million-component-separators", "million-repetition-separators"],
    )
    def test_million_delimiters_come_back(self, line, keys):
        records = Hl7Json(line).hl7_json
        assert len(records[0]) == keys
        assert list(records[0]) == sorted(records[0], key=str.encode)
        assert JsonHl7(records).hl7_string == line

    @pytest.mark.parametrize(
        ("field", "value", "written"),
        [
            ("\\" * 1_000_000, "\\" * 500_000, "\\E\\" * 500_000),
            ("\\" * 1_000_001, "\\" * 500_001, "\\E\\" * 500_001),
            ("\\F\\" * 1_000_000, "|" * 1_000_000, "\\F\\" * 1_000_000),
            ("\\X20\\" * 1_000_000, " " * 1_000_000, " " * 1_000_000),
        ],
        ids=["million-escape-characters", "odd-count-keeps-the-last", "million-F-sequences", "million-space-sequences"],
    )
    def test_million_escape_characters(self, field, value, written):
        record = Hl7Json("ZZZ|" + field).hl7_json[0]
        assert record == {"1": value, "segment_name": "ZZZ"}
        assert JsonHl7([record]).hl7_string == "ZZZ|" + written


class TestGiganticJsonFiles:
    def test_100_mb_value(self, tmp_path):
        path = tmp_path / "big.json"
        path.write_text('[{"segment_name": "PID", "1": "' + "a" * (100 * MB) + '"}]')
        obj = JsonHl7.from_file(str(path))
        assert len(obj.hl7_string) == len("PID|") + 100 * MB

    def test_100_mb_of_records(self, tmp_path):
        record = '{"segment_name": "OBX", "1": "1", "5": "' + "x" * 1000 + '"}'
        count = 100 * MB // (len(record) + 2)
        path = tmp_path / "many.json"
        path.write_text("[" + ",\n".join([record] * count) + "]")
        obj = JsonHl7.from_file(str(path))
        records = obj.json_data
        assert len(records) == count
        assert records[0] == records[-1] == {"1": "1", "5": "x" * 1000, "segment_name": "OBX"}
        assert obj.hl7_string == "\n".join(["OBX|1||||" + "x" * 1000] * count)


# --- Keys: huge digit strings and positions beyond the line bound ---

KEY_ROWS = {
    "thousand-digits-overflow": ("1" * 1000, "PID"),
    "thousand-digits-leading-zeros": ("0" * 997 + "3", "PID|||x"),
    "plus-thousand-zeros-is-field-0": ("+" + "0" * 1000, "PID"),
    "repetition-of-thousand-zeros": ("3[" + "0" * 1000 + "]", "PID|||x"),
    "repetition-of-thousand-digits": ("3[" + "9" * 1000 + "]", "PID"),
    "component-of-thousand-digits": ("3." + "2" * 1000, "PID"),
    "empty-key": ("", "PID"),
    "u64-max-plus-one": ("18446744073709551616", "PID"),
}


class TestKeys:
    @pytest.mark.parametrize(("key", "line"), KEY_ROWS.values(), ids=KEY_ROWS.keys())
    def test_read_or_ignored(self, key, line):
        records = [{"segment_name": "PID", key: "x"}]
        assert JsonHl7(records).hl7_string == line

    @pytest.mark.parametrize(
        ("record", "size"),
        [({"segment_name": "PID", str(BOUND): "x"}, 3 + BOUND + 1), ({str(BOUND + 1): "x"}, BOUND + 1)],
        ids=["at-the-bound", "at-the-bound-without-name"],
    )
    def test_a_line_at_the_bound_is_written(self, record, size):
        assert len(JsonHl7([record]).hl7_string) == size

    @pytest.mark.parametrize(
        ("records", "index", "key"),
        [
            ([{"segment_name": "PID", str(BOUND + 1): "x"}], 0, str(BOUND + 1)),
            ([{"segment_name": "PID", f"1[{BOUND}]": "x"}], 0, f"1[{BOUND}]"),
            ([{"segment_name": "PID", f"1.{BOUND + 2}": "x"}], 0, f"1.{BOUND + 2}"),
            ([{"1": "a"}, {"segment_name": "PID", "18446744073709551615": "x"}], 1, "18446744073709551615"),
            ([{"segment_name": "PID", "5[18446744073709551615]": "x", "1": "a"}], 0, "5[18446744073709551615]"),
        ],
        ids=["field", "repetition", "component", "second-record-u64-max", "u64-repetition"],
    )
    def test_beyond_the_bound_raises_and_changes_nothing(self, records, index, key):
        records_before = copy.deepcopy(records)
        obj = JsonHl7(records)
        expected = (
            f"HL7 encoding error: record {index}: key '{key}' names a position beyond the limit of "
            f"{BOUND} delimiters per segment line"
        )
        assert message_of(lambda: obj.hl7_string) == expected
        assert message_of(obj._convert_json_to_hl7) == expected
        assert obj.json_data == records_before == records


# --- JSON text that is not one array of objects of strings ---

DEEP = 100_000
JSON_ROWS = {
    "byte-order-mark": (b'\xef\xbb\xbf[{"1": "x"}]', "expected a JSON value, found a byte order mark (U+FEFF)", 1),
    "nan": (b'[{"1": NaN}]', None, 8),
    "infinity": (b'[{"1": -Infinity}]', None, 8),
    "trailing-comma-in-object": (b'[{"1": "x",}]', None, 12),
    "trailing-comma-in-array": (b'[{"1": "x"},]', None, 13),
    "block-comment": (b'[/* note */{"1": "x"}]', None, 2),
    "line-comment-after": (b'[{"1": "x"}] // note', None, 14),
    "single-quotes": (b"[{'1': 'x'}]", None, 3),
    "raw-nul-in-string": (b'[{"1": "a\x00b"}]', None, 10),
    "nested-arrays": (b"[" * DEEP + b"]" * DEEP, "record 0: expected an object, found an array", 2),
    "nested-member": (b'[{"1": ' + b"[" * DEEP + b"]" * DEEP + b"}]", "record 0, member '1': expected a string, found an array", 8),
    "nested-objects": (b"[" + b'{"a":' * DEEP + b'"x"' + b"}" * DEEP + b"]", "record 0, member 'a': expected a string, found an object", 7),
    "unclosed-nesting": (b"[" * DEEP, None, DEEP + 1),
}


class TestJsonText:
    @pytest.mark.parametrize(("content", "what", "column"), JSON_ROWS.values(), ids=JSON_ROWS.keys())
    def test_invalid_json_says_what_and_where(self, tmp_path, content, what, column):
        path = tmp_path / "records.json"
        path.write_bytes(content)
        message = message_of(lambda: JsonHl7.from_file(str(path)))
        assert message.startswith(JSON_PREFIX)
        assert message.endswith(f" (line 1, column {column})")
        if what is not None:
            assert message == f"{JSON_PREFIX}{what} (line 1, column {column})"

    @pytest.mark.parametrize(
        ("content", "records"),
        [
            (b'[{"1": "a", "1": "b", "2": "c"}]', [{"1": "b", "2": "c"}]),
            (b'[{"1": "a\\u0000b"}]', [{"1": "a\x00b"}]),
            (b' \r\n[ ]\r\n ', []),
        ],
        ids=["duplicate-member-later-wins", "escaped-nul", "white-space-around"],
    )
    def test_accepted(self, tmp_path, content, records):
        path = tmp_path / "records.json"
        path.write_bytes(content)
        assert JsonHl7.from_file(str(path)).json_data == records

    def test_deeply_nested_python_list_is_a_type_error(self):
        nested: list = []
        for _ in range(DEEP):
            nested = [nested]
        error = raised(lambda: JsonHl7(nested), TypeError)
        assert str(error) == "argument 'json_data': item 0 is a 'list' object, not a dict of str to str"


# --- Records whose keys come out of order ---


class TestKeysOutOfOrder:
    """A stored record is put in key order and read back up to its last entry.

    Reading once went on past the last entry, a heap over-read that the
    sanitizer build reported for every record given out of order."""

    @pytest.mark.parametrize(
        ("records", "text"),
        [
            ([{"b": "x", "a": "y"}], ""),
            ([{"segment_name": "PID", "2": "b", "1": "a"}], "PID|a|b"),
            ([{"1": "a"}, {"segment_name": "PID", "10": "j", "9": "i", "1": "a"}], "a\nPID|a||||||||i|j"),
            ([{"5": "e" * 5000, "1": "a", "segment_name": "OBX"}], "OBX|a||||" + "e" * 5000),
        ],
        ids=["ignored-keys-only", "two-fields-reversed", "last-record-reversed", "record-past-4-KiB"],
    )
    def test_stored_in_key_order_and_written(self, records, text):
        obj = JsonHl7(records)
        assert [list(record) for record in obj.json_data] == [sorted(r, key=str.encode) for r in records]
        assert obj.json_data == records
        assert obj.hl7_string == text
