"""Hl7Json reads the text it is given straight from the str's code points
(one byte, two byte and four byte str kinds alike), without leaving a UTF-8
copy cached in the caller's str; the large from_file
and writing calls let other threads run meanwhile."""

from __future__ import annotations

import json
import sys
import threading

import pytest

import reference
from brenvolt import Hl7Json, JsonHl7
from reference import items

TEXTS = {
    "ascii": "MSH|^~\\&|A\rPID|1||X^Y\r",
    "latin-1": "MSH|^~\\&|A\rPID|1||Müller^Zoë\xff\r",
    "two-byte": "MSH|^~\\&|A\rPID|1||李^Łukasz\r",
    "four-byte": "MSH|^~\\&|A\rPID|1||😀^Ødegård\U0010ffff\r",
    "line-feeds": "MSH|^~\\&|A\nNTE|1|L|São\n\n",
}


@pytest.mark.parametrize("text", TEXTS.values(), ids=TEXTS.keys())
def test_records_match_the_reference_model(text):
    assert items(Hl7Json(text).hl7_json) == reference.message(text, escaping=True)


@pytest.mark.parametrize("text", TEXTS.values(), ids=TEXTS.keys())
def test_no_utf8_copy_is_left_in_the_callers_str(text):
    before = sys.getsizeof(text)  # a str's size counts its cached UTF-8 copy
    Hl7Json(text).hl7_json
    assert sys.getsizeof(text) == before


@pytest.mark.parametrize("text", ["PID|\ud800", "PID|a\udfff|b", "\udc80"])
def test_unpaired_surrogate_raises_unicode_encode_error(text):
    with pytest.raises(UnicodeEncodeError):
        Hl7Json(text)


def test_from_file_and_writing_on_threads_give_the_single_thread_results(tmp_path):
    lines = [f"OBX|{i}|TX|X^Y||{'wörd ' * 40}{i}" for i in range(3000)]  # above the lock threshold
    text = "MSH|^~\\&|A\r" + "\r".join(lines) + "\r"
    hl7_path = tmp_path / "m.hl7"
    hl7_path.write_text(text, encoding="utf-8")
    records = Hl7Json(text).hl7_json
    expected = JsonHl7(records).hl7_string
    json_path = tmp_path / "m.json"
    json_path.write_text(json.dumps(records), encoding="utf-8")
    failures: list[str] = []

    def work() -> None:
        for _ in range(3):
            if Hl7Json.from_file(str(hl7_path)).hl7_json != records:
                failures.append("Hl7Json.from_file")
            if JsonHl7.from_file(str(json_path)).hl7_string != expected:
                failures.append("JsonHl7.from_file")
            if JsonHl7(records).hl7_string != expected:
                failures.append("hl7_string")

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


# Records whose text the file path writes straight into the result's str:
# ASCII or not (decoded into a wider str at the end), within the room taken
# at first or far beyond it (every byte escaped), below and above the size
# at which the lock is let go, and none at all.
_ESCAPED = "|^~&\\" * 20_000  # 100,000 bytes that become 300,000
FILE_RECORDS = {
    **{name: Hl7Json(text).hl7_json for name, text in TEXTS.items()},
    "escaped": [{"segment_name": "NTE", "3": _ESCAPED}],
    "escaped, lock let go": [{"segment_name": "NTE", "3": _ESCAPED * 4}],
    "escaped, non-ASCII, lock let go": [{"segment_name": "NTE", "3": _ESCAPED * 4 + "é😀"}],
    "large ASCII": [{"segment_name": "OBX", "5": "A" * 1_000_000}],
    "none": [],
}


@pytest.mark.parametrize("records", FILE_RECORDS.values(), ids=FILE_RECORDS.keys())
def test_from_file_writes_what_the_given_records_write(records, tmp_path):
    path = tmp_path / "m.json"
    path.write_text(json.dumps(records), encoding="utf-8")
    written = JsonHl7.from_file(str(path)).hl7_string
    assert written == JsonHl7(records).hl7_string
