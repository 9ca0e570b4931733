"""Hl7Json: construction, line ends, the record key scheme, options, files and helpers.

A small pure-Python reference converter, written from the rules of the
record scheme, is checked against the module on generated text and on the
sample corpus.
"""

from __future__ import annotations

import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brenvolt import Hl7Json

# ---------------------------------------------------------------------------
# Reference converter
# ---------------------------------------------------------------------------

ENCODING_CHARACTERS = "^~\\&"
SEQUENCES = {
    "F": "|",
    "S": "^",
    "R": "~",
    "E": "\\",
    "T": "&",
    "X0A": "\n",
    "X0D": "\r",
    "X0D0A": "\r\n",
    "X20": " ",
    "X09": "\t",
}
# Alphabetic characters that are neither letters nor Nl numbers; the
# generated text uses only this one.
OTHER_ALPHABETIC = {"Ⓐ"}


def ref_normalise(text: str) -> str:
    return text.replace("\r\n", "\n").replace("\n\r", "\n").replace("\r", "\n")


def ref_is_name_char(ch: str) -> bool:
    if ch.isascii():
        return ch.isalnum()
    return ch.isalpha() or unicodedata.category(ch) in ("Nd", "Nl", "No") or ch in OTHER_ALPHABETIC


def ref_unescape(text: str) -> str:
    out: list[str] = []
    i, n = 0, len(text)
    while i < n:
        ch = text[i]
        if ch != "\\" or i == n - 1:
            out.append(ch)
            i += 1
        elif text[i + 1] == "\\":
            out.append("\\")
            i += 2
        else:
            j = i + 2
            while j < n and ref_is_name_char(text[j]):
                j += 1
            name = text[i + 1 : j]
            out.append(SEQUENCES.get(name, "\\" + name))
            if j < n:
                if text[j] != "\\":
                    out.append(text[j])
                j += 1
            i = j
    return "".join(out)


def ref_part(raw: str, escaping: bool):
    """A repetition or a field without repetitions: (value, components or None)."""
    if escaping:
        value = ref_unescape(raw)
        return value, (value.split("^") if "^" in value else None)
    if "^" in raw and ENCODING_CHARACTERS not in raw:
        return raw, raw.split("^")
    return raw, None


def ref_record(line: str, escaping: bool) -> list[tuple[str, str]]:
    name, *fields = line.split("|")
    record = {"segment_name": name}
    for n, raw in enumerate(fields, 1):
        if "~" in raw and ENCODING_CHARACTERS not in raw:
            for r, rep in enumerate(raw.split("~")):
                value, components = ref_part(rep, escaping)
                if components is None:
                    record[f"{n}[{r}]"] = value
                else:
                    for c, component in enumerate(components, 1):
                        record[f"{n}[{r}].{c}"] = component
        else:
            value, components = ref_part(raw, escaping)
            if components is None:
                record[str(n)] = value
            else:
                for c, component in enumerate(components, 1):
                    record[f"{n}.{c}"] = component
    return sorted(record.items(), key=lambda item: item[0].encode())


def ref_message(text: str, escaping: bool) -> list[list[tuple[str, str]]]:
    return [ref_record(line, escaping) for line in ref_normalise(text).split("\n")]


def items(records: list[dict]) -> list[list[tuple[str, str]]]:
    return [list(record.items()) for record in records]


# ---------------------------------------------------------------------------
# Generated text
# ---------------------------------------------------------------------------

CHARACTERS = list("|^~\\&\r\n \tFSRETXADNHMP0129az.-éⒶ中\u0663½\u00a0\u2028😀\u0301\x00\x0b")
TOKENS = ["\\F\\", "\\S\\", "\\R\\", "\\E\\", "\\T\\", "\\X0D\\", "\\X0A\\", "\\X0D0A\\", "\\X20\\", "\\X09\\"]
TOKENS += ["\\H\\", "\\X41\\", "\\Fé\\", "^~\\&", "MSH", "PID", "\r\n", "\n\r", "ab"]
hl7_texts = st.one_of(
    st.text(alphabet=st.sampled_from(CHARACTERS), max_size=80),
    st.lists(st.sampled_from(TOKENS + CHARACTERS), max_size=40).map("".join),
)
PROPERTY_SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

PID_LINE = "PID|1||123^^^HOSP~456^^^LAB||FAMILY^GIVEN"
PID_ITEMS = [("1", "1"), ("2", ""), ("3[0].1", "123"), ("3[0].2", ""), ("3[0].3", ""), ("3[0].4", "HOSP")]
PID_ITEMS += [("3[1].1", "456"), ("3[1].2", ""), ("3[1].3", ""), ("3[1].4", "LAB"), ("4", "")]
PID_ITEMS += [("5.1", "FAMILY"), ("5.2", "GIVEN"), ("segment_name", "PID")]
MSH_LINE = "MSH|^~\\&|SENDAPP|SENDFAC|||TIME||ADT^A01"
MSH_TAIL = [("2", "SENDAPP"), ("3", "SENDFAC"), ("4", ""), ("5", ""), ("6", "TIME"), ("7", "")]
MSH_TAIL += [("8.1", "ADT"), ("8.2", "A01"), ("segment_name", "MSH")]
VALID_MESSAGE = "MSH|^~\\&|APP|FAC|RAPP|RFAC|20240101||ADT^A01^ADT_A01|MSG1|P|2.5\rPID|1||123"


# ---------------------------------------------------------------------------
# Construction and line ends
# ---------------------------------------------------------------------------


class TestLineEnds:
    @pytest.mark.parametrize(
        ("text", "stored"),
        [
            ("", ""),
            ("A|1\nB|2", "A|1\nB|2"),
            ("A\rB", "A\nB"),
            ("A\r\nB", "A\nB"),
            ("A\n\rB", "A\nB"),
            ("A\r\n\rB", "A\nB"),
            ("A\r\r\nB", "A\n\nB"),
            ("A\n\r\nB", "A\n\nB"),
            ("A\r\n\r\nB", "A\n\nB"),
            ("A\r\rB", "A\n\nB"),
            ("A\n\r\rB", "A\n\nB"),
            ("\r", "\n"),
            ("A\r", "A\n"),
            ("  A | B  ", "  A | B  "),
            ("A\u2028B\u0085C\x0bD\x0cE", "A\u2028B\u0085C\x0bD\x0cE"),
        ],
        ids=[
            "empty", "line-feeds-unchanged", "lone-cr", "cr-lf", "lf-cr", "cr-lf-cr", "cr-cr-lf", "lf-cr-lf",
            "cr-lf-cr-lf", "cr-cr", "lf-cr-cr", "only-cr", "final-cr", "not-trimmed", "other-breaks-are-text"
        ],
    )
    def test_stored_text(self, text, stored):
        obj = Hl7Json(text)
        assert obj.hl7_string == stored
        assert len(obj.hl7_json) == stored.count("\n") + 1

    @pytest.mark.parametrize(
        ("text", "names"),
        [
            ("", [""]),
            ("MSH|a\rPID|b\r", ["MSH", "PID", ""]),
            ("MSH|a\r\nPID|b", ["MSH", "PID"]),
            ("MSH|a\n\rPID|b", ["MSH", "PID"]),
            ("MSH|a\r\rPID|b", ["MSH", "", "PID"]),
            ("\rMSH|a", ["", "MSH"]),
            ("MSH|a\n\n", ["MSH", "", ""]),
            ("PID\rPV1", ["PID", "PV1"]),
        ],
        ids=["empty", "cr-terminated", "crlf", "lfcr", "blank-line", "leading-break", "two-final-lf", "no-fields"],
    )
    def test_one_record_per_line(self, text, names):
        assert [r["segment_name"] for r in Hl7Json(text).hl7_json] == names

    def test_empty_text_gives_one_empty_record(self):
        assert items(Hl7Json("").hl7_json) == [[("segment_name", "")]]


# ---------------------------------------------------------------------------
# Record keys and their order
# ---------------------------------------------------------------------------


class TestWorkedExamples:
    @pytest.mark.parametrize("escaping", [False, True], ids=["plain", "escaping"])
    def test_pid(self, escaping):
        obj = Hl7Json(PID_LINE, escaping_enabled=escaping)
        assert items(obj.hl7_json) == [PID_ITEMS]
        assert list(obj._split_hl7_seg_to_json(PID_LINE).items()) == PID_ITEMS
        assert list(obj._split_hl7_seg_to_json_with_escaping(PID_LINE).items()) == PID_ITEMS

    def test_msh_without_escaping(self):
        assert items(Hl7Json(MSH_LINE, escaping_enabled=False).hl7_json) == [[("1", "^~\\&")] + MSH_TAIL]

    def test_msh_with_escaping(self):
        assert items(Hl7Json(MSH_LINE).hl7_json) == [[("1.1", ""), ("1.2", "~\\&")] + MSH_TAIL]


class TestKeyScheme:
    @pytest.mark.parametrize(
        ("line", "expected"),
        [
            ("", [("segment_name", "")]),
            ("PID", [("segment_name", "PID")]),
            ("PID|", [("1", ""), ("segment_name", "PID")]),
            ("|A", [("1", "A"), ("segment_name", "")]),
            ("PID|a||", [("1", "a"), ("2", ""), ("3", ""), ("segment_name", "PID")]),
            ("ZZZ|A~B", [("1[0]", "A"), ("1[1]", "B"), ("segment_name", "ZZZ")]),
            ("ZZZ|A^B~C", [("1[0].1", "A"), ("1[0].2", "B"), ("1[1]", "C"), ("segment_name", "ZZZ")]),
            ("ZZZ|A^B", [("1.1", "A"), ("1.2", "B"), ("segment_name", "ZZZ")]),
            ("ZZZ|A^^B", [("1.1", "A"), ("1.2", ""), ("1.3", "B"), ("segment_name", "ZZZ")]),
            ("ZZZ|A~~B", [("1[0]", "A"), ("1[1]", ""), ("1[2]", "B"), ("segment_name", "ZZZ")]),
            ("ZZZ|^", [("1.1", ""), ("1.2", ""), ("segment_name", "ZZZ")]),
            ("ZZZ|~", [("1[0]", ""), ("1[1]", ""), ("segment_name", "ZZZ")]),
            ("ZZZ|A&B", [("1", "A&B"), ("segment_name", "ZZZ")]),
            ("ZZZ|X^~\\&Y~Z", [("1", "X^~\\&Y~Z"), ("segment_name", "ZZZ")]),
            ("ZZZ| a ", [("1", " a "), ("segment_name", "ZZZ")]),
            ("zzz|é^中", [("1.1", "é"), ("1.2", "中"), ("segment_name", "zzz")]),
        ],
        ids=[
            "empty-line", "name-only", "one-empty-field", "empty-name", "trailing-empty-fields", "repetitions",
            "components-in-one-repetition", "components", "empty-component", "empty-repetition", "lone-caret",
            "lone-tilde", "ampersand-not-split", "encoding-characters-guard", "blanks-kept", "non-ascii"
        ],
    )
    def test_record(self, line, expected):
        obj = Hl7Json(line, escaping_enabled=False)
        assert items(obj.hl7_json) == [expected]
        assert list(obj._split_hl7_seg_to_json(line).items()) == expected

    def test_positions_sort_as_text(self):
        line = "ZZZ|" + "|".join(f"f{n}" for n in range(1, 12))
        keys = list(Hl7Json(line).hl7_json[0])
        assert keys == ["1", "10", "11", "2", "3", "4", "5", "6", "7", "8", "9", "segment_name"]

    def test_component_and_repetition_indices_sort_as_text(self):
        components = "^".join(f"c{c}" for c in range(1, 12))
        repetitions = "~".join(f"r{r}" for r in range(11))
        record = Hl7Json(f"ZZZ|{components}|{repetitions}").hl7_json[0]
        assert list(record.items()) == (
            [(f"1.{c}", f"c{c}") for c in sorted(range(1, 12), key=str)]
            # "]" sorts after the digits: 2[0], 2[10], 2[1], ...
            + [(f"2[{r}]", f"r{r}") for r in [0, 10, 1, 2, 3, 4, 5, 6, 7, 8, 9]]
            + [("segment_name", "ZZZ")]
        )

    @pytest.mark.parametrize(
        ("third", "before", "after"),
        [
            ("x^y", ["3.1", "3.2"], ["30"]),
            ("x~y", ["39"], ["3[0]", "3[1]", "4"]),
        ],
        ids=["components-before-30", "repetitions-after-39"],
    )
    def test_subkeys_against_longer_positions(self, third, before, after):
        fields = [f"f{n}" for n in range(1, 41)]
        fields[2] = third
        keys = list(Hl7Json("ZZZ|" + "|".join(fields)).hl7_json[0])
        assert keys == sorted(keys, key=str.encode)
        assert keys[-1] == "segment_name"
        assert max(keys.index(k) for k in before) < min(keys.index(k) for k in after)


# ---------------------------------------------------------------------------
# Options
# ---------------------------------------------------------------------------


class TestOptions:
    @pytest.mark.parametrize(
        ("args", "kwargs"),
        [
            ((), {}),
            ((None, None, None), {}),
            ((False, False, True), {}),
            ((), {"validation_enabled": None, "strict_validation": None, "escaping_enabled": None}),
        ],
        ids=["omitted", "three-nones", "explicit-defaults", "keyword-nones"],
    )
    def test_defaults(self, args, kwargs):
        obj = Hl7Json("ZZZ|\\T\\", *args, **kwargs)
        assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (False, False, True)
        assert all(type(v) is bool for v in (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled))
        assert obj.hl7_json == [{"1": "&", "segment_name": "ZZZ"}]

    @pytest.mark.parametrize("name", ["validation_enabled", "strict_validation", "escaping_enabled"])
    def test_setter_stores_bool(self, name):
        obj = Hl7Json("")
        for value in (True, False, True):
            setattr(obj, name, value)
            assert getattr(obj, name) is value

    @pytest.mark.parametrize(
        ("name", "value", "type_name"),
        [
            ("validation_enabled", 1, "int"),
            ("strict_validation", 0, "int"),
            ("escaping_enabled", None, "NoneType"),
            ("escaping_enabled", "False", "str"),
        ],
        ids=["validation-int", "strict-int", "escaping-none", "escaping-str"],
    )
    def test_setter_rejects_non_bool(self, raises_conversion_error, name, value, type_name):
        obj = Hl7Json("", True, True, True)
        with raises_conversion_error(name, type_name):
            setattr(obj, name, value)
        assert getattr(obj, name) is True

    def test_setter_none_message(self, raises_type_error):
        obj = Hl7Json("")
        with raises_type_error("argument 'escaping_enabled': 'NoneType' object cannot be converted to 'bool'"):
            obj.escaping_enabled = None

    def test_escaping_toggle_takes_effect_on_next_read(self):
        obj = Hl7Json("ZZZ|a\\S\\b")
        assert obj.hl7_json == [{"1.1": "a", "1.2": "b", "segment_name": "ZZZ"}]
        obj.escaping_enabled = False
        assert obj.hl7_json == [{"1": "a\\S\\b", "segment_name": "ZZZ"}]
        obj.escaping_enabled = True
        assert obj.hl7_json == [{"1.1": "a", "1.2": "b", "segment_name": "ZZZ"}]

    def test_each_read_is_a_new_list(self):
        obj = Hl7Json("PID|a\rPV1|b")
        first = obj.hl7_json
        first[0]["1"] = "changed"
        first.append({})
        second = obj.hl7_json
        assert second == [{"1": "a", "segment_name": "PID"}, {"1": "b", "segment_name": "PV1"}]
        assert second is not first and second[1] is not first[1]
        assert obj._convert_hl7_to_json() == second
        assert obj._convert_hl7_to_json() is not second

    def test_result_types(self):
        records = Hl7Json(PID_LINE + "\rZZZ|é").hl7_json
        assert type(records) is list
        assert all(type(r) is dict for r in records)
        assert all(type(k) is str and type(v) is str for r in records for k, v in r.items())


class TestValidationDuringConversion:
    def test_valid_message_converts(self):
        obj = Hl7Json(VALID_MESSAGE, validation_enabled=True, strict_validation=True)
        assert [r["segment_name"] for r in obj.hl7_json] == ["MSH", "PID"]

    def test_final_line_end_is_tolerated_and_kept(self):
        obj = Hl7Json(VALID_MESSAGE + "\r", validation_enabled=True)
        assert [r["segment_name"] for r in obj.hl7_json] == ["MSH", "PID", ""]
        assert obj.hl7_json[-1] == {"segment_name": ""}

    def test_failure_raises_and_switching_off_recovers(self, raises_hl7_error):
        text = VALID_MESSAGE + "\r\rNTE|1"
        obj = Hl7Json(text, validation_enabled=True)
        with raises_hl7_error("HL7 validation failed: Segment 3 has empty segment name"):
            obj.hl7_json
        with raises_hl7_error("HL7 validation failed: Segment 3 has empty segment name"):
            obj._convert_hl7_to_json()
        assert obj.hl7_string == ref_normalise(text)
        obj.validation_enabled = False
        assert [r["segment_name"] for r in obj.hl7_json] == ["MSH", "PID", "", "NTE"]

    def test_empty_text(self, raises_hl7_error):
        obj = Hl7Json("", validation_enabled=True)
        with raises_hl7_error("Missing required segment: MSH (Message Header)"):
            obj.hl7_json

    def test_validator_sees_raw_text(self, raises_hl7_error):
        # Decoded, MSH-9 would have three components; raw it has none.
        text = VALID_MESSAGE.replace("ADT^A01^ADT_A01", "ADT\\S\\A01\\S\\ADT_A01")
        obj = Hl7Json(text, validation_enabled=True, strict_validation=True)
        with raises_hl7_error(
            "HL7 validation failed: Message type (field 8) must have at least 3 components: event^structure^version"
        ):
            obj.hl7_json
        obj.validation_enabled = False
        assert obj.hl7_json[0]["8.3"] == "ADT_A01"


# ---------------------------------------------------------------------------
# from_file
# ---------------------------------------------------------------------------


def _file_as_folder(tmp):
    (tmp / "plain.hl7").write_text("PID|a")
    return str(tmp / "plain.hl7" / "m.hl7")


def _symlink_loop(tmp):
    (tmp / "loop").symlink_to(tmp / "loop")
    return str(tmp / "loop")


class TestFromFile:
    def test_reads_and_normalises(self, tmp_path):
        path = tmp_path / "m.hl7"
        path.write_bytes(b"MSH|^~\\&|A\r\nPID|1||\\F\\\r")
        obj = Hl7Json.from_file(str(path))
        assert type(obj) is Hl7Json
        assert obj.hl7_string == "MSH|^~\\&|A\nPID|1||\\F\\\n"
        assert obj.hl7_json[1] == {"1": "1", "2": "", "3": "|", "segment_name": "PID"}
        assert obj.hl7_json[2] == {"segment_name": ""}

    def test_flags(self, tmp_path):
        path = tmp_path / "m.hl7"
        path.write_text("PID|\\F\\")
        obj = Hl7Json.from_file(str(path), True, True, False)
        assert (obj.validation_enabled, obj.strict_validation, obj.escaping_enabled) == (True, True, False)
        default = Hl7Json.from_file(str(path), None, None, None)
        assert (default.validation_enabled, default.strict_validation, default.escaping_enabled) == (False, False, True)

    def test_through_an_instance(self, tmp_path):
        path = tmp_path / "m.hl7"
        path.write_text("PID|a\r\n")
        obj = Hl7Json("other").from_file(str(path))
        assert type(obj) is Hl7Json and obj.hl7_string == "PID|a\n"

    def test_relative_path(self, tmp_path, monkeypatch):
        (tmp_path / "rel.hl7").write_text("PID|rel")
        monkeypatch.chdir(tmp_path)
        assert Hl7Json.from_file("rel.hl7").hl7_string == "PID|rel"

    def test_leading_and_trailing_blank_lines_are_kept(self, tmp_path):
        path = tmp_path / "m.hl7"
        path.write_bytes(b"\r\n  \nPID|a\r\n\r\n")
        obj = Hl7Json.from_file(str(path))
        assert obj.hl7_string == "\n  \nPID|a\n\n"
        assert [r["segment_name"] for r in obj.hl7_json] == ["", "  ", "PID", "", ""]

    def test_validation_waits_for_first_read(self, tmp_path, raises_hl7_error):
        path = tmp_path / "m.hl7"
        path.write_text("PID|1")
        obj = Hl7Json.from_file(str(path), validation_enabled=True)
        with raises_hl7_error("Missing required segment: MSH (Message Header)"):
            obj.hl7_json

    def test_byte_order_mark_is_kept(self, data_dir, raises_hl7_error):
        obj = Hl7Json.from_file(str(data_dir / "adt01_23.hl7"))
        assert obj.hl7_string.startswith("\ufeffMSH|")
        records = obj.hl7_json
        assert records[0]["segment_name"] == "\ufeffMSH"
        assert records[1]["segment_name"] == "EVN"
        obj.validation_enabled = True
        with raises_hl7_error("Missing required segment: MSH (Message Header)"):
            obj.hl7_json

    def test_byte_order_mark_alone_is_not_blank(self, tmp_path):
        path = tmp_path / "bom.hl7"
        path.write_bytes(b"\xef\xbb\xbf")
        assert Hl7Json.from_file(str(path)).hl7_json == [{"segment_name": "\ufeff"}]

    @pytest.mark.parametrize(
        "content",
        [
            b"",
            b" ",
            b"\r\n\t \x0b\x0c\r",
            "\u00a0".encode(),
            "\u3000\u2028\u2029".encode(),
            "\u0085\u1680\u2000\u200a\u202f\u205f".encode(),
        ],
        ids=["zero-bytes", "space", "ascii-white-space", "no-break-space", "ideographic-and-separators", "others"],
    )
    def test_blank_file(self, tmp_path, raises_hl7_error, content):
        path = tmp_path / "blank.hl7"
        path.write_bytes(content)
        with raises_hl7_error("HL7 message is empty"):
            Hl7Json.from_file(str(path))
        # The constructor takes the same text.
        assert len(Hl7Json(content.decode()).hl7_json) >= 1

    @pytest.mark.parametrize(
        "content", ["\u200b", "\ufeff", "x"], ids=["zero-width-space", "byte-order-mark", "letter"]
    )
    def test_not_white_space(self, tmp_path, content):
        path = tmp_path / "m.hl7"
        path.write_bytes(f" {content} ".encode())
        assert Hl7Json.from_file(str(path)).hl7_string == f" {content} "

    @pytest.mark.parametrize(
        ("make_path", "message"),
        [
            (lambda tmp: str(tmp / "missing.hl7"), "I/O error: No such file or directory (os error 2)"),
            (lambda tmp: str(tmp / "missing" / "m.hl7"), "I/O error: No such file or directory (os error 2)"),
            (lambda tmp: str(tmp), "I/O error: Is a directory (os error 21)"),
            (lambda tmp: "", "I/O error: No such file or directory (os error 2)"),
            (lambda tmp: str(tmp / "a\x00b.hl7"), "I/O error: file name contained an unexpected NUL byte"),
            (lambda tmp: str(tmp / ("n" * 300)), "I/O error: File name too long (os error 36)"),
            (_file_as_folder, "I/O error: Not a directory (os error 20)"),
            (_symlink_loop, "I/O error: Too many levels of symbolic links (os error 40)"),
        ],
        ids=[
            "missing-file", "missing-folder", "directory", "empty-path", "nul-in-path", "name-too-long",
            "file-as-folder", "symlink-loop"
        ],
    )
    def test_unreadable_path(self, tmp_path, raises_hl7_error, make_path, message):
        with raises_hl7_error(message):
            Hl7Json.from_file(make_path(tmp_path))

    @pytest.mark.parametrize(
        "content",
        [b"\xff", b"MSH|^~\\&|\x96", b"PID|\xc3", b"PID|\xed\xa0\x80", b"\xef\xbb\xbfPID|\xc0\xaf"],
        ids=["lone-ff", "cp1252-dash", "truncated-sequence", "encoded-surrogate", "overlong-after-bom"],
    )
    def test_not_utf8(self, tmp_path, raises_hl7_error, content):
        path = tmp_path / "bad.hl7"
        path.write_bytes(content)
        with raises_hl7_error("I/O error: stream did not contain valid UTF-8"):
            Hl7Json.from_file(str(path))

    def test_file_without_reported_size(self):
        # Files under /proc report a size of 0 but have content.
        obj = Hl7Json.from_file("/proc/self/status")
        assert obj.hl7_string.startswith("Name:")
        assert obj.hl7_json[0]["segment_name"].startswith("Name:")

    def test_character_device_without_content(self, raises_hl7_error):
        with raises_hl7_error("HL7 message is empty"):
            Hl7Json.from_file("/dev/null")

    def test_large_file_equals_constructor(self, tmp_path):
        text = "MSH|^~\\&|A\r\n" + "OBX|1|TX|\\F\\|é^中~x\r" * 50_000
        path = tmp_path / "big.hl7"
        path.write_bytes(text.encode())
        loaded = Hl7Json.from_file(str(path))
        assert loaded.hl7_string == Hl7Json(text).hl7_string
        assert loaded.hl7_json == Hl7Json(text).hl7_json

    def test_not_utf8_sample(self, data_dir, raises_hl7_error):
        with raises_hl7_error("I/O error: stream did not contain valid UTF-8"):
            Hl7Json.from_file(str(data_dir / "msh_cp1252_byte_not_utf8.hl7"))


class TestSampleFiles:
    def test_every_delimiter_escaped(self, data_dir):
        path = str(data_dir / "orm_o01_v23_all_delimiter_escapes.hl7")
        decoded = Hl7Json.from_file(path).hl7_json
        assert [r["segment_name"] for r in decoded] == ["MSH", "PID"]
        assert (decoded[1]["5.1"], decoded[1]["5.2"], decoded[1]["5.3"]) == ("Smith|", "~\\&", "John")
        raw = Hl7Json.from_file(path, escaping_enabled=False).hl7_json
        assert (raw[1]["5.1"], raw[1]["5.2"]) == ("Smith\\F\\\\S\\\\R\\\\E\\\\T\\", "John")
        assert "5.3" not in raw[1]

    def test_blank_line_and_final_crlf(self, data_dir):
        obj = Hl7Json.from_file(str(data_dir / "adt_a04_v27_double_lf.hl7"))
        assert [r["segment_name"] for r in obj.hl7_json] == ["MSH", "", "EVN", ""]
        assert "\r" not in obj.hl7_string

    def test_double_encoded_escape(self, data_dir):
        path = str(data_dir / "ack_v261_double_encoded_escape.hl7")
        assert Hl7Json.from_file(path).hl7_json[1]["3"] == "Double encoded value: \\T\\"
        assert Hl7Json.from_file(path, escaping_enabled=False).hl7_json[1]["3"] == "Double encoded value: \\E\\T\\E\\"


# ---------------------------------------------------------------------------
# Single-segment helpers
# ---------------------------------------------------------------------------


class TestSingleSegmentHelpers:
    @pytest.mark.parametrize(
        ("line", "plain", "decoded"),
        [
            ("", {"segment_name": ""}, {"segment_name": ""}),
            ("ZZZ|a\\F\\b", {"1": "a\\F\\b", "segment_name": "ZZZ"}, {"1": "a|b", "segment_name": "ZZZ"}),
            ("PID|a\rb\nc|d", *[{"1": "a\rb\nc", "2": "d", "segment_name": "PID"}] * 2),
            ("PID\r\n", {"segment_name": "PID\r\n"}, {"segment_name": "PID\r\n"}),
            ("ZZZ|^~\\&", {"1": "^~\\&", "segment_name": "ZZZ"}, {"1.1": "", "1.2": "~\\&", "segment_name": "ZZZ"}),
        ],
        ids=["empty", "escape-sequence", "line-ends-stay-in-fields", "line-ends-in-name", "encoding-characters"],
    )
    def test_helpers(self, line, plain, decoded):
        for obj in (Hl7Json("", escaping_enabled=False), Hl7Json("MSH|x", escaping_enabled=True)):
            assert list(obj._split_hl7_seg_to_json(line).items()) == list(plain.items())
            assert list(obj._split_hl7_seg_to_json_with_escaping(line).items()) == list(decoded.items())

    def test_helpers_leave_the_object_alone(self):
        obj = Hl7Json("PID|a")
        result = obj._split_hl7_seg_to_json("ZZZ|b")
        assert type(result) is dict
        assert result is not obj._split_hl7_seg_to_json("ZZZ|b")
        assert obj.hl7_string == "PID|a"
        assert obj.hl7_json == [{"1": "a", "segment_name": "PID"}]


# ---------------------------------------------------------------------------
# Differential checks
# ---------------------------------------------------------------------------


class TestAgainstHelpersAndReference:
    @PROPERTY_SETTINGS
    @given(text=hl7_texts, escaping=st.booleans())
    def test_conversion_equals_helpers_per_line(self, text, escaping):
        obj = Hl7Json(text, escaping_enabled=escaping)
        helper = obj._split_hl7_seg_to_json_with_escaping if escaping else obj._split_hl7_seg_to_json
        lines = ref_normalise(text).split("\n")
        assert items(obj.hl7_json) == [list(helper(line).items()) for line in lines]

    @PROPERTY_SETTINGS
    @given(text=hl7_texts, escaping=st.booleans())
    def test_conversion_equals_reference(self, text, escaping):
        obj = Hl7Json(text, escaping_enabled=escaping)
        assert obj.hl7_string == ref_normalise(text)
        assert items(obj.hl7_json) == ref_message(text, escaping)

    @PROPERTY_SETTINGS
    @given(line=hl7_texts)
    def test_helpers_equal_reference_on_raw_lines(self, line):
        obj = Hl7Json("")
        assert list(obj._split_hl7_seg_to_json(line).items()) == ref_record(line, False)
        assert list(obj._split_hl7_seg_to_json_with_escaping(line).items()) == ref_record(line, True)

    def test_corpus_file(self, corpus_file, raises_hl7_error):
        raw = corpus_file.read_bytes()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            with raises_hl7_error("I/O error: stream did not contain valid UTF-8"):
                Hl7Json.from_file(str(corpus_file))
            return
        for escaping in (False, True):
            obj = Hl7Json.from_file(str(corpus_file), escaping_enabled=escaping)
            assert obj.hl7_string == ref_normalise(text)
            records = items(obj.hl7_json)
            assert records == ref_message(text, escaping)
            assert items(Hl7Json(text, escaping_enabled=escaping).hl7_json) == records


# ---------------------------------------------------------------------------
# Hostile input
# ---------------------------------------------------------------------------


def _big_field():
    record = Hl7Json("ZZZ|" + "a" * 10_000_000 + "|b").hl7_json[0]
    assert len(record["1"]) == 10_000_000
    assert list(record) == ["1", "2", "segment_name"]


def _many_fields():
    record = Hl7Json("ZZZ" + "|" * 1_000_000).hl7_json[0]
    keys = list(record)
    assert len(keys) == 1_000_001
    assert keys[:7] == ["1", "10", "100", "1000", "10000", "100000", "1000000"]
    assert keys[-2:] == ["999999", "segment_name"]
    assert record["1000000"] == ""


def _many_components():
    record = Hl7Json("ZZZ|" + "^" * 1_000_000, escaping_enabled=False).hl7_json[0]
    keys = list(record)
    assert len(keys) == 1_000_002
    assert keys[:3] == ["1.1", "1.10", "1.100"]
    assert keys[-2:] == ["1.999999", "segment_name"]


def _many_backslashes():
    line = "ZZZ|" + "\\" * 100_001
    assert Hl7Json(line).hl7_json[0]["1"] == "\\" * 50_001
    assert Hl7Json(line, escaping_enabled=False).hl7_json[0]["1"] == "\\" * 100_001


def _many_sequences():
    assert Hl7Json("ZZZ|" + "\\F\\" * 300_000).hl7_json[0]["1"] == "|" * 300_000


def _many_lines():
    records = Hl7Json("\r\n" * 200_000).hl7_json
    assert len(records) == 200_001
    assert records[0] == records[-1] == {"segment_name": ""}


def _nul_bytes():
    record = Hl7Json("\x00\x00\x00|a\x00b|\x00~\x00").hl7_json[0]
    assert list(record.items()) == [
        ("1", "a\x00b"),
        ("2[0]", "\x00"),
        ("2[1]", "\x00"),
        ("segment_name", "\x00\x00\x00"),
    ]


class TestHostileInput:
    @pytest.mark.parametrize(
        "check",
        [_big_field, _many_fields, _many_components, _many_backslashes, _many_sequences, _many_lines, _nul_bytes],
        ids=[
            "10-MB-field", "million-field-separators", "million-carets", "100k-backslashes", "300k-sequences",
            "200k-line-ends", "nul-bytes"
        ],
    )
    def test_handled(self, check):
        check()

    def test_lone_surrogate(self):
        with pytest.raises(UnicodeEncodeError) as excinfo:
            Hl7Json("MSH|^~\\&|\ud83d|x")
        assert type(excinfo.value) is UnicodeEncodeError


# ---------------------------------------------------------------------------
# Object access and resources
# ---------------------------------------------------------------------------


def _fail_validation(obj):
    obj.validate(None, None)


def _fail_conversion(obj):
    obj.validation_enabled = True
    try:
        obj.hl7_json
    finally:
        obj.validation_enabled = False


def _fail_arguments(obj):
    obj.validate(1, None)


def _fail_encoding(obj):
    obj._split_hl7_seg_to_json_with_escaping("\ud800")


def _fail_setter(obj):
    obj.strict_validation = None


class TestObjectAccess:
    @pytest.mark.parametrize(
        "fail",
        [_fail_validation, _fail_conversion, _fail_arguments, _fail_encoding, _fail_setter],
        ids=["validate", "conversion", "argument", "encoding", "setter"],
    )
    def test_failed_call_releases_the_object(self, fail):
        obj = Hl7Json("PID|a")
        for _ in range(3):
            with pytest.raises(Exception) as excinfo:  # noqa: B017 - the class is checked below
                fail(obj)
            assert type(excinfo.value) in (Exception, TypeError, UnicodeEncodeError)
        # A writer needs the object to itself: it must be free again.
        obj.escaping_enabled = False
        obj.strict_validation = True
        assert obj.hl7_json == [{"1": "a", "segment_name": "PID"}]

    def test_arguments_are_not_leaked(self):
        import sys

        line = "".join(["PID|", "a^b~c"])
        obj = Hl7Json(line)
        before = (sys.getrefcount(line), sys.getrefcount(obj))
        for _ in range(100):
            obj._split_hl7_seg_to_json(line)
            obj._split_hl7_seg_to_json_with_escaping(seg=line)
            obj.hl7_json
            Hl7Json(line)
        assert (sys.getrefcount(line), sys.getrefcount(obj)) == before

    def test_repeated_calls_do_not_grow_memory(self, tmp_path, raises_hl7_error):
        import gc
        import tracemalloc

        missing = str(tmp_path / "missing.hl7")
        text = VALID_MESSAGE + "\r\rNTE|1|\\F\\^x~y"

        def cycle():
            obj = Hl7Json(text, validation_enabled=True)
            with raises_hl7_error("HL7 validation failed: Segment 3 has empty segment name"):
                obj.hl7_json
            with raises_hl7_error("HL7 validation failed: Segment 3 has empty segment name"):
                obj.validate(True, True)
            with pytest.raises(TypeError):
                obj.validate(1, 1)
            with raises_hl7_error("I/O error: No such file or directory (os error 2)"):
                Hl7Json.from_file(missing)
            obj.validation_enabled = False
            obj.hl7_json
            obj._split_hl7_seg_to_json_with_escaping(text)

        for _ in range(50):
            cycle()
        gc.collect()
        tracemalloc.start()
        try:
            first, _ = tracemalloc.get_traced_memory()
            for _ in range(2000):
                cycle()
            gc.collect()
            last, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert last - first < 64 * 1024
