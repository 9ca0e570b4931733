"""Bad input, row by row: what a caller gets for hostile, truncated, binary or
gigantic input. docs/reliability.md holds the same catalogue as a table.

Every row ends in a stated result or a clear error, and leaves the objects
involved (the caller's arguments, an existing Hl7Json or JsonHl7) as they were.
"""

from __future__ import annotations

import pytest

from brenvolt import JsonHl7


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
