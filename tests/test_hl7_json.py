"""Hl7Json: construction, line ends, the record key scheme, options, files and helpers.

The differential tests check the module against the reference converter in
tests/reference.py on generated text.
"""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference as ref
from brenvolt import Hl7Json
from reference import PROPERTY_SETTINGS, items

PID_LINE = "PID|1||123^^^HOSP~456^^^LAB||FAMILY^GIVEN"
PID_ITEMS = [("1", "1"), ("2", ""), ("3[0].1", "123"), ("3[0].2", ""), ("3[0].3", ""), ("3[0].4", "HOSP")]
PID_ITEMS += [("3[1].1", "456"), ("3[1].2", ""), ("3[1].3", ""), ("3[1].4", "LAB"), ("4", "")]
PID_ITEMS += [("5.1", "FAMILY"), ("5.2", "GIVEN"), ("segment_name", "PID")]
MSH_LINE = "MSH|^~\\&|SENDAPP|SENDFAC|||TIME||ADT^A01"
MSH_TAIL = [("2", "SENDAPP"), ("3", "SENDFAC"), ("4", ""), ("5", ""), ("6", "TIME"), ("7", "")]
MSH_TAIL += [("8.1", "ADT"), ("8.2", "A01"), ("segment_name", "MSH")]
VALID_MESSAGE = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|MSG1|P|2.5\rPID|1||123"
FLAGS = ("validation_enabled", "strict_validation", "escaping_enabled")


def flags(obj) -> tuple:
    return tuple(getattr(obj, name) for name in FLAGS)


# --- Line ends ---


@pytest.mark.parametrize(
    ("text", "stored"),
    [
        ("", ""), ("A|1\nB|2", "A|1\nB|2"), ("A\rB", "A\nB"), ("A\r\nB", "A\nB"), ("A\n\rB", "A\nB"),
        ("A\r\n\rB", "A\nB"), ("A\r\r\nB", "A\n\nB"), ("A\n\r\nB", "A\n\nB"), ("A\r\n\r\nB", "A\n\nB"),
        ("A\r\rB", "A\n\nB"), ("A\n\r\rB", "A\n\nB"), ("\r", "\n"), ("A\r", "A\n"), ("  A | B  ", "  A | B  "),
        ("A\u2028B\u0085C\x0bD\x0cE", "A\u2028B\u0085C\x0bD\x0cE"),
    ],
    ids=[
        "empty", "line-feeds-unchanged", "lone-cr", "cr-lf", "lf-cr", "cr-lf-cr", "cr-cr-lf", "lf-cr-lf",
        "cr-lf-cr-lf", "cr-cr", "lf-cr-cr", "only-cr", "final-cr", "not-trimmed", "other-breaks-are-text",
    ],
)
def test_line_ends_stored_and_one_record_per_line(text, stored):
    obj = Hl7Json(text)
    assert obj.hl7_string == stored
    assert [r["segment_name"] for r in obj.hl7_json] == [line.split("|")[0] for line in ref.segment_lines(stored)]


@pytest.mark.parametrize(
    ("text", "names"),
    [
        ("MSH|^~\\&|A\rPID|1\r", ["MSH", "PID"]),
        ("PID|1\r\r\n\r", ["PID"]),
        ("PID|1\n\n\n", ["PID"]),
        ("\r\nPID|1\r\rPV1|\r", ["", "PID", "", "PV1"]),
        ("PID|1\r \r", ["PID", " "]),
        ("", [""]),
        ("\r\r", ["", "", ""]),
        ("\n", ["", ""]),
    ],
    ids=["final-terminator", "terminator-then-blank-lines", "line-feeds", "empty-lines-before-and-between-stay",
         "a-line-of-a-space-is-a-segment", "empty-text", "only-line-ends", "one-line-feed"],
)
def test_empty_lines_after_the_last_segment_give_no_record(text, names):
    obj = Hl7Json(text)
    for records in (obj.hl7_json, obj._convert_hl7_to_json(), Hl7Json(text, escaping_enabled=False).hl7_json):
        assert [r["segment_name"] for r in records] == names
    assert all(r == {"segment_name": ""} for r in obj.hl7_json if r["segment_name"] == "")


# --- Record keys and their order ---


class TestWorkedExamples:
    @pytest.mark.parametrize("escaping", [False, True], ids=["plain", "escaping"])
    def test_pid(self, escaping):
        obj = Hl7Json(PID_LINE, escaping_enabled=escaping)
        assert items(obj.hl7_json) == [PID_ITEMS]
        assert list(obj._split_hl7_seg_to_json(PID_LINE).items()) == PID_ITEMS
        assert list(obj._split_hl7_seg_to_json_with_escaping(PID_LINE).items()) == PID_ITEMS

    def test_msh(self):
        assert items(Hl7Json(MSH_LINE, escaping_enabled=False).hl7_json) == [[("1", "^~\\&")] + MSH_TAIL]
        assert items(Hl7Json(MSH_LINE).hl7_json) == [[("1.1", ""), ("1.2", "~\\&")] + MSH_TAIL]


KEY_SCHEME = {  # line -> record, keys in the order given
    "empty-line": ("", {"segment_name": ""}),
    "name-only": ("PID", {"segment_name": "PID"}),
    "one-empty-field": ("PID|", {"1": "", "segment_name": "PID"}),
    "empty-name": ("|A", {"1": "A", "segment_name": ""}),
    "trailing-empty-fields": ("PID|a||", {"1": "a", "2": "", "3": "", "segment_name": "PID"}),
    "components-in-one-repetition": ("ZZZ|A^B~C", {"1[0].1": "A", "1[0].2": "B", "1[1]": "C", "segment_name": "ZZZ"}),
    "empty-component": ("ZZZ|A^^B", {"1.1": "A", "1.2": "", "1.3": "B", "segment_name": "ZZZ"}),
    "empty-repetition": ("ZZZ|A~~B", {"1[0]": "A", "1[1]": "", "1[2]": "B", "segment_name": "ZZZ"}),
    "ampersand-not-split": ("ZZZ|A&B", {"1": "A&B", "segment_name": "ZZZ"}),
    "encoding-characters-guard": ("ZZZ|X^~\\&Y~Z", {"1": "X^~\\&Y~Z", "segment_name": "ZZZ"}),
    "blanks-kept": ("ZZZ| a ", {"1": " a ", "segment_name": "ZZZ"}),
    "non-ascii": ("zzz|é^中", {"1.1": "é", "1.2": "中", "segment_name": "zzz"}),
    "nul-characters": ("\x00\x00|a\x00b|\x00~\x00",
                       {"1": "a\x00b", "2[0]": "\x00", "2[1]": "\x00", "segment_name": "\x00\x00"}),
}


class TestKeyScheme:
    @pytest.mark.parametrize(("line", "expected"), KEY_SCHEME.values(), ids=KEY_SCHEME.keys())
    def test_record(self, line, expected):
        obj = Hl7Json(line, escaping_enabled=False)
        assert items(obj.hl7_json) == [list(expected.items())]
        assert list(obj._split_hl7_seg_to_json(line).items()) == list(expected.items())

    def test_numbers_sort_as_text(self):
        components = "^".join(f"c{c}" for c in range(1, 12))
        repetitions = "~".join(f"r{r}" for r in range(11))
        fields = "|".join(f"f{n}" for n in range(3, 12))
        record = Hl7Json(f"ZZZ|{components}|{repetitions}|{fields}").hl7_json[0]
        assert list(record.items()) == (
            [(f"1.{c}", f"c{c}") for c in sorted(range(1, 12), key=str)]
            + [("10", "f10"), ("11", "f11")]
            # "]" sorts after the digits: 2[0], 2[10], 2[1], ...
            + [(f"2[{r}]", f"r{r}") for r in [0, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9]]
            + [(str(n), f"f{n}") for n in range(3, 10)]
            + [("segment_name", "ZZZ")]
        )

    def test_subkeys_against_longer_positions(self):
        # 3.1 and 3.2 before 30; 4[0] and 4[1] after 49.
        fields = [f"f{n}" for n in range(1, 51)]
        fields[2:4] = ["x^y", "x~y"]
        keys = list(Hl7Json("ZZZ|" + "|".join(fields)).hl7_json[0])
        assert keys == sorted(keys, key=str.encode)
        assert keys.index("3.2") + 1 == keys.index("30") and keys.index("49") + 1 == keys.index("4[0]")


# --- Options ---


class TestOptions:
    @pytest.mark.parametrize(
        ("args", "kwargs"),
        [((), {}), ((None, None, None), {}), ((), dict.fromkeys(FLAGS))],
        ids=["omitted", "positional-nones", "keyword-nones"],
    )
    def test_defaults(self, args, kwargs):
        obj = Hl7Json("ZZZ|\\T\\", *args, **kwargs)
        assert flags(obj) == (False, False, True)
        assert all(type(v) is bool for v in flags(obj))
        assert obj.hl7_json == [{"1": "&", "segment_name": "ZZZ"}]

    @pytest.mark.parametrize("name", FLAGS)
    def test_setter_stores_bool(self, name):
        obj = Hl7Json("")
        for value in (True, False, True):
            setattr(obj, name, value)
            assert getattr(obj, name) is value

    @pytest.mark.parametrize(
        ("name", "value", "type_name"),
        [("validation_enabled", 1, "int"), ("strict_validation", 0, "int"), ("escaping_enabled", None, "NoneType")],
        ids=["validation-int", "strict-int", "escaping-none"],
    )
    def test_setter_rejects_non_bool(self, raises_conversion_error, name, value, type_name):
        obj = Hl7Json("", True, True, True)
        with raises_conversion_error(name, type_name):
            setattr(obj, name, value)
        assert getattr(obj, name) is True

    def test_escaping_toggle_takes_effect_on_next_read(self):
        obj = Hl7Json("ZZZ|a\\S\\b")
        assert obj.hl7_json == [{"1.1": "a", "1.2": "b", "segment_name": "ZZZ"}]
        obj.escaping_enabled = False
        assert obj.hl7_json == [{"1": "a\\S\\b", "segment_name": "ZZZ"}]
        obj.escaping_enabled = True
        assert obj.hl7_json == [{"1.1": "a", "1.2": "b", "segment_name": "ZZZ"}]

    def test_each_read_is_a_new_list_of_plain_types(self):
        obj = Hl7Json("PID|a\rPV1|é")
        first = obj.hl7_json
        first[0]["1"] = "changed"
        first.append({})
        second = obj.hl7_json
        assert second == [{"1": "a", "segment_name": "PID"}, {"1": "é", "segment_name": "PV1"}]
        assert second is not first and second[1] is not first[1]
        assert obj._convert_hl7_to_json() == second and obj._convert_hl7_to_json() is not second
        assert type(second) is list and all(type(r) is dict for r in second)
        assert all(type(k) is str and type(v) is str for r in second for k, v in r.items())


class TestValidationDuringConversion:
    def test_failure_raises_and_switching_off_recovers(self, raises_hl7_error):
        text = VALID_MESSAGE + "\r\rNTE|1"
        obj = Hl7Json(text, validation_enabled=True)
        for read in (lambda: obj.hl7_json, obj._convert_hl7_to_json):
            with raises_hl7_error(ref.empty_name(3)):
                read()
        assert obj.hl7_string == ref.normalise(text)
        obj.validation_enabled = False
        assert [r["segment_name"] for r in obj.hl7_json] == ["MSH", "PID", "", "NTE"]

    def test_validator_sees_raw_text(self, raises_hl7_error):
        # Decoded, MSH-9 would have three components; raw it has none.
        text = VALID_MESSAGE.replace("ADT^A01^ADT_A01", "ADT\\S\\A01\\S\\ADT_A01")
        obj = Hl7Json(text, validation_enabled=True, strict_validation=True)
        with raises_hl7_error(ref.MESSAGE_TYPE):
            obj.hl7_json
        obj.validation_enabled = False
        assert obj.hl7_json[0]["8.3"] == "ADT_A01"


# --- from_file (the unreadable and non-UTF-8 files are in test_bad_input.py) ---


class TestFromFile:
    def test_reads_and_normalises(self, tmp_path):
        path = tmp_path / "m.hl7"
        path.write_bytes(b"\r\n  \nMSH|^~\\&|A\r\nPID|1||\\F\\\r\n\r\n")
        obj = Hl7Json.from_file(str(path))
        assert type(obj) is Hl7Json
        assert obj.hl7_string == "\n  \nMSH|^~\\&|A\nPID|1||\\F\\\n\n"
        assert obj.hl7_json[3] == {"1": "1", "2": "", "3": "|", "segment_name": "PID"}
        assert [r["segment_name"] for r in obj.hl7_json] == ["", "  ", "MSH", "PID"]

    def test_flags_relative_path_and_instance_call(self, tmp_path, monkeypatch):
        (tmp_path / "m.hl7").write_text("PID|\\F\\")
        monkeypatch.chdir(tmp_path)
        obj = Hl7Json.from_file("m.hl7", True, True, False)
        assert flags(obj) == (True, True, False)
        assert flags(Hl7Json.from_file("m.hl7", None, None, None)) == (False, False, True)
        loaded = Hl7Json("other").from_file("m.hl7")
        assert type(loaded) is Hl7Json and loaded.hl7_string == "PID|\\F\\"

    def test_byte_order_mark_is_kept_and_validation_waits_for_the_read(self, data_dir, tmp_path, raises_hl7_error):
        obj = Hl7Json.from_file(str(data_dir / "adt01_23.hl7"), validation_enabled=True)
        assert obj.hl7_string.startswith("\ufeffMSH|")
        with raises_hl7_error(ref.MISSING_MSH):
            obj.hl7_json
        obj.validation_enabled = False
        assert [r["segment_name"] for r in obj.hl7_json[:2]] == ["\ufeffMSH", "EVN"]
        (tmp_path / "bom.hl7").write_bytes(b"\xef\xbb\xbf")
        assert Hl7Json.from_file(str(tmp_path / "bom.hl7")).hl7_json == [{"segment_name": "\ufeff"}]

    @pytest.mark.parametrize(
        ("content", "stored"),
        [(" \u2029\u0085\u1680\u2000\u200a\u202f\u205f\r\n", None), (" \u200b ", " \u200b "), (" \ufeff ", " \ufeff ")],
        ids=["white-space-beyond-the-catalogue", "zero-width-space-is-not-white-space", "byte-order-mark-is-not"],
    )
    def test_blank_file(self, tmp_path, raises_hl7_error, content, stored):
        (tmp_path / "m.hl7").write_text(content, encoding="utf-8")
        if stored is not None:
            assert Hl7Json.from_file(str(tmp_path / "m.hl7")).hl7_string == stored
            return
        with raises_hl7_error("HL7 message is empty"):
            Hl7Json.from_file(str(tmp_path / "m.hl7"))
        assert len(Hl7Json(content).hl7_json) == 1  # the constructor takes the same text

    def test_files_without_a_reported_size(self, raises_hl7_error):
        # Files under /proc report a size of 0 but have content.
        obj = Hl7Json.from_file("/proc/self/status")
        assert obj.hl7_string.startswith("Name:")
        assert obj.hl7_json[0]["segment_name"].startswith("Name:")
        with raises_hl7_error("HL7 message is empty"):
            Hl7Json.from_file("/dev/null")

    def test_large_file_equals_constructor(self, tmp_path):
        text = "MSH|^~\\&|A\r\n" + "OBX|1|TX|\\F\\|é^中~x\r" * 50_000
        path = tmp_path / "big.hl7"
        path.write_bytes(text.encode())
        loaded, made = Hl7Json.from_file(str(path)), Hl7Json(text)
        assert (loaded.hl7_string, loaded.hl7_json) == (made.hl7_string, made.hl7_json)


class TestSampleFiles:
    def test_every_delimiter_escaped(self, data_dir):
        path = str(data_dir / "orm_o01_v23_all_delimiter_escapes.hl7")
        decoded = Hl7Json.from_file(path).hl7_json
        assert [r["segment_name"] for r in decoded] == ["MSH", "PID"]
        assert (decoded[1]["5.1"], decoded[1]["5.2"], decoded[1]["5.3"]) == ("Smith|", "~\\&", "John")
        raw = Hl7Json.from_file(path, escaping_enabled=False).hl7_json
        assert (raw[1]["5.1"], raw[1]["5.2"]) == ("Smith\\F\\\\S\\\\R\\\\E\\\\T\\", "John")
        assert "5.3" not in raw[1]

    def test_double_encoded_escape(self, data_dir):
        path = str(data_dir / "ack_v261_double_encoded_escape.hl7")
        assert Hl7Json.from_file(path).hl7_json[1]["3"] == "Double encoded value: \\T\\"
        assert Hl7Json.from_file(path, escaping_enabled=False).hl7_json[1]["3"] == "Double encoded value: \\E\\T\\E\\"


# --- Single-segment helpers (more in test_escape.py) ---


def test_helpers_leave_the_object_alone():
    obj = Hl7Json("PID|a")
    result = obj._split_hl7_seg_to_json("ZZZ|b")
    assert type(result) is dict and result is not obj._split_hl7_seg_to_json("ZZZ|b")
    assert obj.hl7_string == "PID|a"
    assert obj.hl7_json == [{"1": "a", "segment_name": "PID"}]


# --- Against the reference converter ---


class TestAgainstReference:
    @PROPERTY_SETTINGS
    @given(text=ref.hl7_texts, escaping=st.booleans())
    def test_conversion(self, text, escaping):
        obj = Hl7Json(text, escaping_enabled=escaping)
        assert obj.hl7_string == ref.normalise(text)
        assert items(obj.hl7_json) == ref.message(text, escaping)

    @PROPERTY_SETTINGS
    @given(line=ref.hl7_texts)
    def test_helpers_on_raw_lines(self, line):
        obj = Hl7Json("")
        assert list(obj._split_hl7_seg_to_json(line).items()) == ref.record(line, False)
        assert list(obj._split_hl7_seg_to_json_with_escaping(line).items()) == ref.record(line, True)


# --- A failed call leaves the object usable ---


def _fail_conversion(obj):
    obj.validation_enabled = True
    try:
        obj.hl7_json
    finally:
        obj.validation_enabled = False


@pytest.mark.parametrize(
    "fail",
    [
        lambda obj: obj.validate(None, None),
        _fail_conversion,
        lambda obj: obj.validate(1, None),
        lambda obj: obj._split_hl7_seg_to_json_with_escaping("\ud800"),
        lambda obj: setattr(obj, "strict_validation", None),
    ],
    ids=["validate", "conversion", "argument", "encoding", "setter"],
)
def test_failed_call_releases_the_object(fail):
    obj = Hl7Json("PID|a")
    for _ in range(3):
        with pytest.raises(Exception) as excinfo:  # noqa: B017 - the class is checked below
            fail(obj)
        assert type(excinfo.value) in (Exception, TypeError, UnicodeEncodeError)
    # A writer needs the object to itself: it must be free again.
    obj.escaping_enabled = False
    obj.strict_validation = True
    assert obj.hl7_json == [{"1": "a", "segment_name": "PID"}]
