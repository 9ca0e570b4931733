"""The ``brenvolt`` command, run end to end through the installed console
script. Every expected result comes from the Python API on the same input."""

from __future__ import annotations

import contextlib
import errno
import io
import json
import os
import pty
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brenvolt import Hl7Json, JsonHl7
from brenvolt_feeds.delimiters import to_standard_delimiters
from brenvolt_feeds.split import Message, split_file
from brenvolt_feeds.store import part_line

SCRIPT = Path(sys.executable).parent / "brenvolt"
EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "adt_a01.hl7"

VALID = (
    "MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01^ADT_A01|1|P|2.5.1\r"
    "PID|1||4711^^^GH^MR||DOE\\S\\JOHN^ANNA||19800214|F\r"
)
NO_PID = "MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01^ADT_A01|1|P|2.5.1\rEVN|A01\r"
OLD_VERSION = VALID.replace("|2.5.1\r", "|3.0\r", 1)
BAD_NAME = VALID + "P-1|x\r"
SHORT_MSH = "MSH|^~\\&|ADMIT|HOSP\rPID|1\r"
LATIN1 = VALID.replace("DOE", "D\u00d6E").encode("latin-1")


def brenvolt(
    *args: str, stdin: bytes | None = None, cwd: Path | None = None
) -> subprocess.CompletedProcess[bytes]:
    assert SCRIPT.is_file(), f"the console script is not installed at {SCRIPT}"
    return subprocess.run(
        [str(SCRIPT), *args],
        input=stdin,
        capture_output=True,
        cwd=cwd,
        timeout=120,
        stdin=subprocess.DEVNULL if stdin is None else None,
    )


def write(folder: Path, name: str, text: str | bytes) -> Path:
    path = folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return path


def error_of(call) -> str:
    try:
        call()
    except Exception as error:  # brenvolt raises plain Exception
        return str(error)
    raise AssertionError("no error")


def json_lines(output: bytes) -> list[dict[str, object]]:
    return [json.loads(line) for line in output.decode("utf-8").splitlines()]


class TestHelp:
    @pytest.mark.parametrize(
        "args, words",
        [
            ([], ["to-json", "to-hl7", "validate", "exit status", "standard input"]),
            (
                ["to-json"],
                [
                    "--no-escaping",
                    "--validate",
                    "--strict",
                    "--lines",
                    "--output-dir",
                    "JSON Lines",
                    "--encoding",
                    '"index"',
                    "NAME.jsonl",
                ],
            ),
            (["to-hl7"], ["--line-end", "space is written as itself", "--output", "\\E\\", "MSH-2", "writes nothing"]),
            (
                ["validate"],
                [
                    "--strict",
                    "--no-required-fields",
                    "--quiet",
                    "--encoding",
                    "one line per message",
                    "FILE#N",
                ],
            ),
        ],
        ids=["main", "to-json", "to-hl7", "validate"],
    )
    def test_help_names_every_option(self, args, words):
        result = brenvolt(*args, "--help")
        text = " ".join(result.stdout.decode().split())  # as wrapped to any terminal width
        assert result.returncode == 0
        assert [word for word in words if word not in text] == []

    @pytest.mark.parametrize(
        "args",
        [[], ["convert", "x.hl7"], ["to-json", "--bogus"], ["to-hl7", "--line-end", "nl"]],
        ids=["no-command", "unknown-command", "unknown-option", "bad-choice"],
    )
    def test_wrong_command_line_exits_2_with_usage(self, args):
        result = brenvolt(*args)
        assert result.returncode == 2
        assert result.stdout == b""
        assert result.stderr.decode().startswith("usage: brenvolt")


class TestToJson:
    @pytest.mark.parametrize(
        "args, flags, text",
        [
            ([], {}, VALID),
            (["--no-escaping"], {"escaping_enabled": False}, VALID),
            (["--validate"], {"validation_enabled": True}, NO_PID),
            (["--strict"], {"validation_enabled": True, "strict_validation": True}, VALID),
        ],
        ids=["defaults", "no-escaping", "validate-without-pid", "strict"],
    )
    def test_one_file_gives_the_array_of_records(self, tmp_path, args, flags, text):
        path = write(tmp_path, "m.hl7", text)
        result = brenvolt("to-json", *args, str(path))
        assert (result.returncode, result.stderr) == (0, b"")
        assert json.loads(result.stdout) == Hl7Json.from_file(str(path), **flags).hl7_json

    @pytest.mark.parametrize(
        "args, text, flags",
        [
            (["--validate"], SHORT_MSH, {"validation_enabled": True}),
            (["--strict"], OLD_VERSION, {"validation_enabled": True, "strict_validation": True}),
            ([], " \r\n", {}),
        ],
        ids=["short-msh", "unsupported-version", "blank"],
    )
    def test_failure_is_one_line_on_stderr_naming_the_file(self, tmp_path, args, text, flags):
        path = write(tmp_path, "bad.hl7", text)
        result = brenvolt("to-json", *args, str(path))
        message = error_of(lambda: Hl7Json.from_file(str(path), **flags).hl7_json)
        assert result.returncode == 1
        assert result.stdout == b""
        assert result.stderr.decode() == f"brenvolt: {path}: {message}\n"

    @pytest.mark.parametrize("command", ["to-json", "validate"])
    def test_missing_file_keeps_the_wording_of_from_file(self, tmp_path, command):
        path = tmp_path / "missing.hl7"
        result = brenvolt(command, str(path))
        assert (result.returncode, result.stdout) == (1, b"")
        assert (
            result.stderr.decode() == f"brenvolt: {path}: {error_of(lambda: Hl7Json.from_file(str(path)))}\n"
        )

    def test_standard_input_meets_the_file_checks(self):
        result = brenvolt("to-json", stdin=VALID.encode())
        assert result.returncode == 0
        assert json.loads(result.stdout) == Hl7Json(VALID).hl7_json
        result = brenvolt("to-json", "-", stdin=b"  \n")
        assert (result.returncode, result.stderr) == (1, b"brenvolt: <stdin>: HL7 message is empty\n")

    def test_many_files_give_json_lines_and_a_failure_does_not_stop_the_rest(self, tmp_path):
        good = [write(tmp_path, f"{n}.hl7", VALID.replace("|1|P|", f"|{n}|P|")) for n in range(3)]
        bad = write(tmp_path, "bad.hl7", LATIN1)
        result = brenvolt("to-json", str(good[0]), str(bad), str(good[1]), str(good[2]))
        assert result.returncode == 1
        error = f"I/O error: stream did not contain valid UTF-8 (byte 0xd6 at offset {LATIN1.index(0xD6)})"
        assert result.stderr.decode() == f"brenvolt: {bad}: {error}\n"
        expected = [{"file": str(p), "index": 0, "records": Hl7Json.from_file(str(p)).hl7_json} for p in good]
        expected.insert(1, {"file": str(bad), "index": 0, "error": error})
        assert json_lines(result.stdout) == expected

    def test_lines_for_one_file_and_indented_array(self, tmp_path):
        path = write(tmp_path, "m.hl7", VALID)
        lines = brenvolt("to-json", "--lines", str(path))
        assert json_lines(lines.stdout) == [
            {"file": str(path), "index": 0, "records": Hl7Json(VALID).hl7_json}
        ]
        indented = brenvolt("to-json", "--indent", "2", str(path)).stdout.decode()
        assert indented == json.dumps(Hl7Json(VALID).hl7_json, ensure_ascii=False, indent=2) + "\n"

    def test_folder_of_the_corpus_gives_one_line_per_message(self, corpus_dir, tmp_path):
        output = tmp_path / "corpus.jsonl"
        result = brenvolt("to-json", "--no-progress", "-o", str(output), str(corpus_dir))
        expected, problems = [], []
        others = sorted(path.suffix for path in corpus_dir.rglob("*") if path.is_file() and path.suffix != ".hl7")
        if others:
            counted = sorted(set(others), key=lambda suffix: (-others.count(suffix), suffix))
            kinds = ", ".join(f"{others.count(suffix)} {suffix}" for suffix in counted)
            files = "1 file that is" if len(others) == 1 else f"{len(others)} files that are"
            problems.append(f"brenvolt: {corpus_dir}: left out {files} not *.hl7 ({kinds})")
        for path in sorted(corpus_dir.rglob("*.hl7")):
            pieces = list(split_file(path))
            count = sum(isinstance(piece, Message) for piece in pieces)
            for piece in pieces:
                if not isinstance(piece, Message):
                    problems.append(f"brenvolt: {path}: offset {piece.offset}: {piece.message}")
                    continue
                try:
                    outcome = {"records": Hl7Json(to_standard_delimiters(piece.text())).hl7_json}
                except UnicodeDecodeError as error:
                    where = f"byte 0x{piece.raw[error.start]:02x} at offset {piece.offset + error.start}"
                    outcome = {"error": f"I/O error: stream did not contain valid UTF-8 ({where})"}
                    label = f"{path}#{piece.index}" if count > 1 else str(path)
                    problems.append(f"brenvolt: {label}: {outcome['error']}")
                expected.append({"file": str(path), "index": piece.index, **outcome})
            if count == 0:
                last = "no HL7 message found (no line starts with MSH)" if pieces else "HL7 message is empty"
                problems.append(f"brenvolt: {path}: {last}")
        assert result.stdout == b""
        lines = json_lines(output.read_bytes())
        assert lines == expected
        # The files of many messages that the corpus is known for.
        counts = {line["file"]: line["index"] + 1 for line in lines}
        assert counts[str(corpus_dir / "mirth-connect/adt_stream_124_messages.hl7")] == 124
        assert counts[str(corpus_dir / "mirth-connect/siu_s12_batch_three_messages.hl7")] == 3
        # Every problem on stderr, one line each, and the status says so.
        assert sorted(result.stderr.decode().splitlines()) == sorted(problems)
        assert result.returncode == (1 if any("left out" not in problem for problem in problems) else 0)

    def test_output_dir_keeps_the_sub_folders(self, tmp_path):
        write(tmp_path / "in", "a/one.hl7", VALID)
        write(tmp_path / "in", "b/two.HL7", NO_PID)
        write(tmp_path / "in", "b/notes.txt", "not a message")
        result = brenvolt("to-json", "-d", str(tmp_path / "out"), str(tmp_path / "in"))
        note = f"brenvolt: {tmp_path / 'in'}: left out 1 file that is not *.hl7 (1 .txt)\n"
        assert (result.returncode, result.stdout, result.stderr.decode()) == (0, b"", note)
        written = sorted(p.relative_to(tmp_path / "out").as_posix() for p in (tmp_path / "out").rglob("*"))
        assert written == ["a", "a/one.json", "b", "b/two.json"]
        assert json.loads((tmp_path / "out/b/two.json").read_text()) == Hl7Json(NO_PID).hl7_json

    def test_folder_without_messages_fails(self, tmp_path):
        result = brenvolt("to-json", str(tmp_path))
        assert result.returncode == 1
        assert result.stderr.decode() == f"brenvolt: {tmp_path}: no *.hl7 files in this folder\n"


class TestToHl7:
    @pytest.mark.parametrize(
        "line_end, separator", [("lf", "\n"), ("cr", "\r"), ("crlf", "\r\n")], ids=["lf", "cr", "crlf"]
    )
    def test_records_file_gives_the_message(self, tmp_path, line_end, separator):
        records = Hl7Json(VALID).hl7_json + [{"segment_name": "NTE", "3": "two words & more"}]
        path = write(tmp_path, "r.json", json.dumps(records))
        result = brenvolt("to-hl7", "--line-end", line_end, str(path))
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout.decode() == (JsonHl7(records).hl7_string + "\n").replace("\n", separator)
        assert "two words \\T\\ more" in result.stdout.decode()

    def test_round_trip_through_both_commands(self, tmp_path):
        hl7 = write(tmp_path, "m.hl7", EXAMPLE.read_bytes())
        records = write(tmp_path, "m.json", brenvolt("to-json", str(hl7)).stdout)
        text = brenvolt("to-hl7", "--line-end", "cr", str(records)).stdout
        again = brenvolt("to-json", stdin=text)
        assert json.loads(again.stdout) == Hl7Json.from_file(str(EXAMPLE)).hl7_json

    def test_messages_follow_one_another_each_ended(self, tmp_path):
        first = write(tmp_path, "1.json", json.dumps([{"segment_name": "MSH", "1": "x"}]))
        second = write(tmp_path, "2.json", json.dumps(Hl7Json(VALID).hl7_json))
        result = brenvolt("to-hl7", str(first), str(second), "-", stdin=b"")
        # Standard input was empty: its failure is reported, the rest written.
        assert result.stdout.decode() == "MSH|x\n" + JsonHl7.from_file(str(second)).hl7_string + "\n"
        assert result.stderr.decode() == "brenvolt: <stdin>: HL7 message is empty\n"
        assert result.returncode == 1

    @pytest.mark.parametrize(
        "text",
        ['[{"1": 5}]', "[{}] x", '[{"1": "a"},]', '[{"10000000000": "a"}]', "\ufeff[]", " \n "],
        ids=["number-value", "trailing-text", "trailing-comma", "beyond-line-bound", "byte-order-mark", "blank"],
    )
    def test_failure_is_one_line_on_stderr_naming_the_file(self, tmp_path, text):
        path = write(tmp_path, "bad.json", text)
        result = brenvolt("to-hl7", str(path))
        message = error_of(lambda: JsonHl7.from_file(str(path)).hl7_string)
        assert (result.returncode, result.stdout) == (1, b"")
        assert result.stderr.decode() == f"brenvolt: {path}: {' '.join(message.splitlines())}\n"


class TestToHl7JsonLines:
    """JSON Lines, as to-json writes them for many messages and as the listener's
    part files hold them: every line's records, written one message after another."""

    @staticmethod
    def expected(messages: list[str], end: str = "\n") -> str:
        """The messages as to-hl7 writes each: JsonHl7's text, ended by a line end."""
        texts = [JsonHl7(Hl7Json(m).hl7_json).hl7_string for m in messages]
        return "".join(t if t.endswith("\n") else t + "\n" for t in texts).replace("\n", end)

    def test_to_json_output_of_many_messages(self, tmp_path):
        source = write(tmp_path, "three.hl7", "".join(THREE))
        lines = write(tmp_path, "three.jsonl", brenvolt("to-json", str(source)).stdout)
        result = brenvolt("to-hl7", "--line-end", "cr", str(lines))
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout.decode() == self.expected(THREE, "\r")

    def test_part_file_of_the_listener(self, tmp_path):
        parts = b"".join(
            part_line("2026-12-08T12:00:00+00:00", "127.0.0.1:1", str(n), "0" * 64, Hl7Json(m).hl7_json)
            for n, m in enumerate(THREE)
        )
        path = write(tmp_path, "feed/part-20261208T120000.000000Z-000001.jsonl", parts)
        write(tmp_path, "feed/part-20261208T130000.000000Z-000002.jsonl.open", parts[: len(parts) // 2])
        result = brenvolt("to-hl7", str(path.parent))
        assert result.returncode == 0
        assert result.stdout.decode() == self.expected(THREE)
        assert result.stderr.decode() == (
            f"brenvolt: {path.parent}: left out 1 file that is not *.json or *.jsonl (1 .open)\n"
        )

    def test_standard_input_and_output_dir(self, tmp_path):
        lines = brenvolt("to-json", "--lines", stdin="".join(THREE).encode()).stdout
        assert brenvolt("to-hl7", stdin=lines).stdout.decode() == self.expected(THREE)
        source = write(tmp_path, "in/many.jsonl", lines)
        result = brenvolt("to-hl7", "-d", str(tmp_path / "out"), str(source))
        assert (result.returncode, result.stderr) == (0, b"")
        assert (tmp_path / "out/many.hl7").read_text() == self.expected(THREE)

    @pytest.mark.parametrize(
        "line, problem",
        [
            ('{"file": "a.hl7", "index": 1, "error": "HL7 message is empty"}', "no records: the message was not converted (HL7 message is empty)"),
            ('{"received": "t", "peer": "p", "error": "cannot decode", "raw": "AA=="}', "no records: the message was not converted (cannot decode)"),
            ('{"segment_name": "PID"}', 'no "records" member'),
            ("[1, 2]", "expected an object with the message's records, found list"),
            ('{"records": "PID|1"}', "argument 'json_data': a str cannot be converted to a sequence of records"),
            ('{"records": [{"1": 5}]}', None),
            ('{"records": [{"10000000000": "a"}]}', None),
            ("{not json", "not JSON: "),
        ],
        ids=["to-json-error-line", "listener-rejects-line", "no-records", "not-an-object", "records-not-a-list", "number-value", "beyond-line-bound", "not-json"],
    )
    def test_line_without_records_is_named_and_the_others_written(self, tmp_path, line, problem):
        good = json.dumps({"file": "x", "index": 0, "records": Hl7Json(THREE[0]).hl7_json})
        path = write(tmp_path, "mixed.jsonl", f"{good}\n\n{line}\n{good}\n")
        result = brenvolt("to-hl7", str(path))
        assert result.returncode == 1
        assert result.stdout.decode() == self.expected([THREE[0], THREE[0]])
        (reported,) = result.stderr.decode().splitlines()
        assert reported.startswith(f"brenvolt: {path}: line 3: ")
        if problem is None:  # as the records' own conversion words it
            records = json.loads(line)["records"]
            problem = error_of(lambda: JsonHl7(records).hl7_string) if "1000" in line else "argument"
        assert problem in reported


class TestRoundTripOfTheCorpus:
    def test_to_json_to_hl7_to_json_gives_the_same_records(self, corpus_dir, tmp_path):
        first = brenvolt("to-json", "--no-progress", "-o", str(tmp_path / "first.jsonl"), str(corpus_dir))
        hl7 = brenvolt("to-hl7", "--line-end", "cr", "-o", str(tmp_path / "all.hl7"), str(tmp_path / "first.jsonl"))
        again = brenvolt("to-json", "--lines", "-o", str(tmp_path / "again.jsonl"), str(tmp_path / "all.hl7"))
        lines = json_lines((tmp_path / "first.jsonl").read_bytes())
        converted = [line["records"] for line in lines if "records" in line]
        failed = [line for line in lines if "records" not in line]
        # What to-json could not convert is named by to-hl7, line by line, and nothing else.
        assert hl7.stderr.decode().count("\n") == len(failed) and first.returncode == hl7.returncode == 1
        assert (again.returncode, again.stderr) == (0, b"")
        assert [line["records"] for line in json_lines((tmp_path / "again.jsonl").read_bytes())] == converted


class TestOtherDelimiters:
    VISTA = "MSH^~|\\&^SEND^FAC^RCV^FAC^20261208^^ADT~A01~ADT_A01^V1^P^2.5\rPID^1^^4711~~~H|99~~~S^^DOE~JO\r"

    @pytest.mark.parametrize("args, rewrite", [([], True), (["--no-delimiter-rewrite"], False)], ids=["rewritten", "as-written"])
    def test_to_json(self, tmp_path, args, rewrite):
        path = write(tmp_path, "vista.hl7", self.VISTA)
        result = brenvolt("to-json", *args, str(path))
        assert (result.returncode, result.stderr) == (0, b"")
        text = to_standard_delimiters(self.VISTA) if rewrite else self.VISTA
        assert json.loads(result.stdout) == Hl7Json(text).hl7_json
        assert [r["segment_name"] for r in json.loads(result.stdout)][:1] == (["MSH"] if rewrite else ["MSH^~"])

    @pytest.mark.parametrize("args, rewrite", [([], True), (["--no-delimiter-rewrite"], False)], ids=["rewritten", "as-written"])
    def test_validate(self, tmp_path, args, rewrite):
        path = write(tmp_path, "vista.hl7", self.VISTA)
        result = brenvolt("validate", *args, str(path))
        try:
            Hl7Json(to_standard_delimiters(self.VISTA) if rewrite else self.VISTA).validate(False, True)
            verdict = "ok"
        except Exception as error:
            verdict = str(error)
        assert result.stdout.decode() == f"{path}: {verdict}\n"
        assert (verdict == "ok") == rewrite


class TestFolderNotes:
    """A folder names, in one line, the files of other suffixes it left out; it fails nothing."""

    @pytest.mark.parametrize(
        "command, kept, note",
        [
            ("to-json", "a.hl7", "left out 3 files that are not *.hl7 (2 .txt, 1 without a suffix)"),
            ("validate", "a.hl7", "left out 3 files that are not *.hl7 (2 .txt, 1 without a suffix)"),
            ("to-hl7", "a.json", "left out 3 files that are not *.json or *.jsonl (2 .txt, 1 without a suffix)"),
        ],
        ids=["to-json", "validate", "to-hl7"],
    )
    def test_one_line(self, tmp_path, command, kept, note):
        folder = tmp_path / "in"
        write(folder, kept, THREE[0] if kept.endswith(".hl7") else json.dumps(Hl7Json(THREE[0]).hl7_json))
        for name in ("notes.txt", "sub/more.txt", "README"):
            write(folder, name, "x")
        result = brenvolt(command, "--no-required-fields" if command == "validate" else "--no-progress", str(folder))
        assert result.returncode == 0
        assert result.stderr.decode() == f"brenvolt: {folder}: {note}\n"


class TestToHl7MessageEnds:
    """Every message written ends with a line end; an empty record list is a
    message of no segment lines and writes nothing."""

    UNENDED = [{"segment_name": "MSH", "1": "x"}]

    @pytest.mark.parametrize(
        "contents, expected",
        [
            ([[]], ""),
            ([UNENDED], "MSH|x{end}"),
            ([[], UNENDED, []], "MSH|x{end}"),
            ([UNENDED, [], UNENDED], "MSH|x{end}MSH|x{end}"),
            ([Hl7Json(VALID).hl7_json, UNENDED], JsonHl7(Hl7Json(VALID).hl7_json).hl7_string + "\nMSH|x\n"),
            ([[*Hl7Json(VALID).hl7_json, {"segment_name": ""}], UNENDED],
             JsonHl7(Hl7Json(VALID).hl7_json).hl7_string + "\nMSH|x\n"),
        ],
        ids=["empty-alone", "unended-alone", "empty-around", "empty-between", "converted-then-unended",
             "ended-by-an-empty-record-then-unended"],
    )
    @pytest.mark.parametrize("line_end, end", [("lf", "\n"), ("crlf", "\r\n")], ids=["lf", "crlf"])
    def test_message_ends(self, tmp_path, contents, expected, line_end, end):
        paths = [str(write(tmp_path, f"{n}.json", json.dumps(records))) for n, records in enumerate(contents)]
        result = brenvolt("to-hl7", "--line-end", line_end, *paths)
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout.decode() == expected.replace("\n", end).format(end=end)


class TestValidate:
    @pytest.mark.parametrize(
        "text, args",
        [
            (VALID, []),
            (NO_PID, []),
            (NO_PID, ["--no-required-fields"]),
            (OLD_VERSION, []),
            (OLD_VERSION, ["--strict"]),
            (BAD_NAME, []),
        ],
        ids=["valid", "no-pid", "no-pid-allowed", "v3-lenient", "v3-strict", "bad-name"],
    )
    def test_one_line_per_file_as_validate_says(self, tmp_path, text, args):
        path = write(tmp_path, "m.hl7", text)
        strict, required = "--strict" in args, "--no-required-fields" not in args
        try:
            Hl7Json(text).validate(strict, required)
            line, status = f"{path}: ok", 0
        except Exception as error:
            line, status = f"{path}: {error}", 1
        result = brenvolt("validate", *args, str(path))
        assert (result.returncode, result.stdout.decode(), result.stderr) == (status, line + "\n", b"")

    def test_many_files_and_quiet(self, tmp_path):
        paths = [
            write(tmp_path, f"{n}.hl7", text) for n, text in enumerate([VALID, NO_PID, VALID, SHORT_MSH])
        ]
        loud = brenvolt("validate", *map(str, paths))
        quiet = brenvolt("validate", "-q", *map(str, paths))
        lines = loud.stdout.decode().splitlines()
        assert [line.rsplit(": ", 1)[-1] == "ok" for line in lines] == [True, False, True, False]
        assert [line.split(": ", 1)[0] for line in lines] == list(map(str, paths))
        assert quiet.stdout.decode().splitlines() == [lines[1], lines[3]]
        assert loud.returncode == quiet.returncode == 1


class TestProgress:
    def run_at_terminal(self, *args: str) -> tuple[int, str]:
        """Runs the command with standard error on a pseudo-terminal."""
        leader, follower = pty.openpty()
        process = subprocess.Popen(
            [str(SCRIPT), *args], stdout=subprocess.PIPE, stderr=follower, stdin=subprocess.DEVNULL
        )
        os.close(follower)
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal closed when the command ended
                break
            if not chunk:
                break
            seen += chunk
        process.communicate(timeout=60)
        os.close(leader)
        return process.returncode, seen.decode()

    @pytest.mark.parametrize("command", ["to-json", "validate"])
    def test_bar_at_a_terminal_for_many_files(self, tmp_path, command):
        paths = [str(write(tmp_path, f"{n}.hl7", VALID)) for n in range(3)]
        status, seen = self.run_at_terminal(command, *paths)
        assert status == 0
        assert "\r[" in seen and "] 3/3 files" in seen
        assert seen.endswith("\r\x1b[K")

    @pytest.mark.parametrize(
        "args, count", [(["--no-progress"], 3), ([], 1)], ids=["switched-off", "one-file"]
    )
    def test_no_bar_when_off_or_for_one_file(self, tmp_path, args, count):
        paths = [str(write(tmp_path, f"{n}.hl7", VALID)) for n in range(count)]
        assert self.run_at_terminal("to-json", *args, *paths) == (0, "")


class TestOutputFailures:
    """A target that cannot be written is one line naming it, never a traceback."""

    @pytest.mark.parametrize("command", ["to-json", "to-hl7"])
    @pytest.mark.parametrize(
        "target, code",
        [
            (lambda folder: folder / "missing" / "out", errno.ENOENT),
            (lambda folder: folder, errno.EISDIR),
            (lambda folder: Path("/dev/full"), errno.ENOSPC),
        ],
        ids=["missing-folder", "directory", "full-device"],
    )
    def test_output_path_that_cannot_be_written(self, tmp_path, command, target, code):
        path = target(tmp_path)
        if code == errno.ENOSPC and not path.exists():
            pytest.skip(f"no {path} here")
        source = write(
            tmp_path,
            "m.json" if command == "to-hl7" else "m.hl7",
            json.dumps(Hl7Json(VALID).hl7_json) if command == "to-hl7" else VALID,
        )
        result = brenvolt(command, "-o", str(path), str(source))
        assert (result.returncode, result.stdout) == (1, b"")
        assert result.stderr.decode() == f"brenvolt: {path}: {os.strerror(code)}\n"

    def test_full_standard_output(self, tmp_path):
        if not Path("/dev/full").exists():
            pytest.skip("no /dev/full here")
        source = write(tmp_path, "m.hl7", VALID)
        with open("/dev/full", "wb") as full:
            result = subprocess.run(
                [str(SCRIPT), "to-json", str(source)],
                stdout=full,
                stderr=subprocess.PIPE,
                stdin=subprocess.DEVNULL,
                timeout=120,
            )
        assert (result.returncode, result.stderr.decode()) == (
            1,
            f"brenvolt: <stdout>: {os.strerror(errno.ENOSPC)}\n",
        )

    @pytest.mark.parametrize("command", ["to-json", "validate"])
    def test_reader_that_goes_away_stops_the_command_quietly(self, tmp_path, command):
        # Far more than a pipe holds, so the command is still writing when head leaves.
        text = VALID.replace("DOE\\S\\JOHN", "DOE" * 2000)
        paths = [str(write(tmp_path, f"{n:03}.hl7", text)) for n in range(300)]
        line = f'"$0" {command} --no-progress "$@" | head -n 1; exit "${{PIPESTATUS[0]}}"'
        result = subprocess.run(
            ["bash", "-c", line, str(SCRIPT), *paths],
            capture_output=True,
            stdin=subprocess.DEVNULL,
            timeout=120,
        )
        assert (result.returncode, result.stderr) == (141, b"")
        assert result.stdout.count(b"\n") == 1

    def test_closed_pipe_on_standard_error_stops_the_command_quietly(self, tmp_path):
        # Hundreds of lines about stray text: more than a pipe holds.
        paths = [str(write(tmp_path, f"{n:03}.hl7", f"stray text {n}\n")) for n in range(800)]
        line = (
            f'"$0" validate --no-progress "$@" 2>&1 >"{tmp_path}/out" | head -n 1; exit "${{PIPESTATUS[0]}}"'
        )
        result = subprocess.run(
            ["bash", "-c", line, str(SCRIPT), *paths],
            capture_output=True,
            stdin=subprocess.DEVNULL,
            timeout=120,
        )
        assert (result.returncode, result.stderr) == (141, b"")
        assert result.stdout.startswith(f"brenvolt: {paths[0]}: offset 0: ".encode())


class TestValidateReadFailures:
    @pytest.mark.parametrize(
        "name, content",
        [
            ("missing.hl7", None),
            ("latin1.hl7", VALID.replace("DOE", "D\u00d6E").encode("latin-1")),
            ("blank.hl7", b" \n"),
        ],
        ids=["missing", "not-utf8", "blank"],
    )
    def test_reading_failure_goes_to_stderr_with_the_prefix(self, tmp_path, name, content):
        path = tmp_path / name
        if content is not None:
            path.write_bytes(content)
        good = write(tmp_path, "good.hl7", VALID)
        result = brenvolt("validate", str(good), str(path))
        assert result.returncode == 1
        assert result.stdout.decode() == f"{good}: ok\n"
        stderr = result.stderr.decode()
        assert stderr.startswith(f"brenvolt: {path}: ") and stderr.count("\n") == 1, stderr


class TestTerminalOutput:
    def test_bar_is_wiped_before_each_line_on_the_same_terminal(self, tmp_path):
        paths = [str(write(tmp_path, f"{n}.hl7", VALID)) for n in range(4)]
        leader, follower = pty.openpty()
        process = subprocess.Popen(
            [str(SCRIPT), "to-json", *paths], stdout=follower, stderr=follower, stdin=subprocess.DEVNULL
        )
        os.close(follower)
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        process.communicate(timeout=60)
        os.close(leader)
        text = seen.decode()
        assert process.returncode == 0
        assert "] 4/4 files" in text
        starts = [n for n in range(len(text)) if text.startswith('{"file"', n)]
        assert len(starts) == 4
        # Each line starts on a clean line: first, after a wipe of the bar or after a line end.
        assert [n == 0 or text[:n].endswith(("\x1b[K", "\n")) for n in starts] == [True] * 4
        assert text.endswith("\r\x1b[K")


def message(n: int, segments: str = "PID|1||4711||DOE^ANNA\r") -> str:
    """A valid message with control id n, every segment ended by CR."""
    return f"MSH|^~\\&|ADMIT|HOSP|LAB|HOSP|20261208||ADT^A01^ADT_A01|{n}|P|2.5.1\r{segments}"


THREE = [message(0), message(1, "PID|1||4712||ROE^BEN\rNTE|1||two words\r"), message(2)]


def crlf(text: str) -> str:
    return text.replace("\r", "\r\n")


def mllp(text: str) -> str:
    return "\x0b" + text + "\x1c\r"


class TestFilesOfManyMessages:
    """Each message of a file is one JSON line with its place in the file; the
    records are those of the message on its own, whatever framed it."""

    @pytest.mark.parametrize(
        "content",
        [
            "".join(THREE),
            "".join(crlf(m) for m in THREE),
            "".join(m.replace("\r", "\n") for m in THREE),
            "\n\n".join(THREE) + "\n\f\x00",
            "\ufeff" + "".join(THREE),
            "FHS|^~\\&\rBHS|^~\\&\r" + "".join(THREE) + "BTS|3\rFTS|1\r",
            "BHS|^~\\&\r" + THREE[0] + "BTS|1\rBHS|^~\\&\r" + THREE[1] + THREE[2] + "BTS|2\r",
            "".join(mllp(m) for m in THREE),
            "".join(mllp(m) + "\n" for m in THREE),
        ],
        ids=[
            "cr",
            "crlf",
            "lf",
            "blank-lines-ff-nul",
            "byte-order-mark",
            "batch",
            "two-batches",
            "mllp",
            "mllp-lf-between",
        ],
    )
    def test_one_line_per_message(self, tmp_path, content):
        path = write(tmp_path, "many.hl7", content)
        result = brenvolt("to-json", str(path))
        assert (result.returncode, result.stderr) == (0, b"")
        expected = [
            {"file": str(path), "index": n, "records": Hl7Json(m).hl7_json} for n, m in enumerate(THREE)
        ]
        assert json_lines(result.stdout) == expected

    def test_standard_input_of_many_messages(self):
        result = brenvolt("to-json", stdin="".join(THREE).encode())
        assert (result.returncode, result.stderr) == (0, b"")
        assert [line["file"] for line in json_lines(result.stdout)] == ["<stdin>"] * 3

    def test_one_message_in_a_batch_stays_an_array(self, tmp_path):
        path = write(tmp_path, "one.hl7", "BHS|^~\\&\r" + THREE[1] + "BTS|1\r")
        result = brenvolt("to-json", "--indent", "1", str(path))
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout.decode() == json.dumps(Hl7Json(THREE[1]).hl7_json, indent=1) + "\n"

    def test_bad_message_costs_one_line(self, tmp_path):
        bad = message(1).replace("DOE", "D\u00d6E").encode("latin-1")
        short = "MSH|^~\\&|ADMIT\rPID|1\r"
        content = THREE[0].encode() + bad + short.encode() + THREE[2].encode()
        path = write(tmp_path, "mixed.hl7", content)
        result = brenvolt("to-json", "--validate", str(path))
        offset = content.index(b"\xd6")
        decoding = f"I/O error: stream did not contain valid UTF-8 (byte 0xd6 at offset {offset})"
        invalid = error_of(lambda: Hl7Json(short, validation_enabled=True).hl7_json)
        assert result.returncode == 1
        assert json_lines(result.stdout) == [
            {"file": str(path), "index": 0, "records": Hl7Json(THREE[0]).hl7_json},
            {"file": str(path), "index": 1, "error": decoding},
            {"file": str(path), "index": 2, "error": invalid},
            {"file": str(path), "index": 3, "records": Hl7Json(THREE[2]).hl7_json},
        ]
        assert result.stderr.decode().splitlines() == [
            f"brenvolt: {path}#1: {decoding}",
            f"brenvolt: {path}#2: {invalid}",
        ]

    @pytest.mark.parametrize(
        "content, offset",
        [
            ("garbage before\r" + "".join(THREE), 0),
            (THREE[0] + "BHS|^~\\&\rstray text\r" + THREE[1] + THREE[2] + "BTS|2\r", len(THREE[0]) + 9),
        ],
        ids=["junk-first", "junk-in-batch"],
    )
    def test_skipped_bytes_are_reported_with_their_offset(self, tmp_path, content, offset):
        path = write(tmp_path, "junk.hl7", content)
        result = brenvolt("to-json", str(path))
        assert result.returncode == 1
        assert [line["index"] for line in json_lines(result.stdout)] == [0, 1, 2]
        stderr = result.stderr.decode().splitlines()
        assert len(stderr) == 1 and stderr[0].startswith(f"brenvolt: {path}: offset {offset}: "), stderr

    def test_count_mismatch_of_the_batch_trailer_is_reported(self, tmp_path):
        content = "BHS|^~\\&\r" + "".join(THREE) + "BTS|5\r"
        path = write(tmp_path, "counted.hl7", content)
        result = brenvolt("to-json", str(path))
        assert result.returncode == 1
        assert len(json_lines(result.stdout)) == 3
        stderr = result.stderr.decode().splitlines()
        assert len(stderr) == 1 and stderr[0].startswith(f"brenvolt: {path}: offset "), stderr
        assert "5" in stderr[0] and "3" in stderr[0]

    @pytest.mark.parametrize(
        "content, last",
        [
            (b"", "HL7 message is empty"),
            (b" \r\n\r\n\x00\f", "HL7 message is empty"),
            (b"just some text\n", "no HL7 message found (no line starts with MSH)"),
        ],
        ids=["empty", "blank", "text"],
    )
    @pytest.mark.parametrize("command", ["to-json", "validate"])
    def test_input_without_a_message_fails(self, tmp_path, content, last, command):
        path = write(tmp_path, "none.hl7", content)
        result = brenvolt(command, str(path))
        assert (result.returncode, result.stdout) == (1, b"")
        stderr = result.stderr.decode().splitlines()
        assert stderr[-1] == f"brenvolt: {path}: {last}"
        # Text that is no message is reported where it is, before the verdict.
        assert len(stderr) == (2 if b"text" in content else 1)


class TestEncoding:
    @pytest.mark.parametrize(
        "encoding, name",
        [("latin-1", "M\u00dcLLER"), ("cp1252", "\u0160KODA\u2020"), ("utf-8", "\u5c71\u7530")],
        ids=["latin-1", "cp1252", "utf-8"],
    )
    @pytest.mark.parametrize("count", [1, 2], ids=["one", "two"])
    def test_messages_decoded_in_the_encoding(self, tmp_path, encoding, name, count):
        texts = [message(n, f"PID|1||4711||{name}^ANNA\r") for n in range(count)]
        path = write(tmp_path, "enc.hl7", "".join(texts).encode(encoding))
        result = brenvolt("to-json", "--lines", "--encoding", encoding, str(path))
        assert (result.returncode, result.stderr) == (0, b"")
        assert [line["records"] for line in json_lines(result.stdout)] == [Hl7Json(t).hl7_json for t in texts]

    def test_byte_not_in_the_encoding_names_it_and_its_offset(self, tmp_path):
        # 0x81 has no character in cp1252.
        content = message(0).encode() + message(1).replace("DOE", "D\x81E").encode("latin-1")
        path = write(tmp_path, "enc.hl7", content)
        result = brenvolt("validate", "--encoding", "cp1252", str(path))
        assert result.returncode == 1
        assert result.stdout.decode() == f"{path}#0: ok\n"
        assert result.stderr.decode() == (
            f"brenvolt: {path}#1: not valid cp1252: byte 0x81 at offset {content.index(0x81)}\n"
        )

    @pytest.mark.parametrize(
        "name, words",
        [("klingon", "unknown encoding"), ("utf-16", "UTF-16")],
        ids=["unknown", "not-ascii-compatible"],
    )
    def test_unusable_encoding_is_a_wrong_command_line(self, tmp_path, name, words):
        path = write(tmp_path, "m.hl7", VALID)
        result = brenvolt("to-json", "--encoding", name, str(path))
        assert (result.returncode, result.stdout) == (2, b"")
        assert words in result.stderr.decode()


class TestValidateManyMessages:
    def test_one_line_per_message_named_by_its_index(self, tmp_path):
        texts = [message(0), message(1, "EVN|A01\r"), message(2)]
        many = write(tmp_path, "many.hl7", "".join(texts))
        one = write(tmp_path, "one.hl7", texts[0])
        rule = error_of(lambda: Hl7Json(texts[1]).validate(None, None))
        result = brenvolt("validate", str(one), str(many))
        assert (result.returncode, result.stderr) == (1, b"")
        assert result.stdout.decode().splitlines() == [
            f"{one}: ok",
            f"{many}#0: ok",
            f"{many}#1: {rule}",
            f"{many}#2: ok",
        ]
        quiet = brenvolt("validate", "-q", "--no-required-fields", str(one), str(many))
        assert (quiet.returncode, quiet.stdout) == (0, b"")


class TestOutputDirectory:
    def test_array_for_one_message_and_json_lines_for_several(self, tmp_path):
        write(tmp_path / "in", "one.hl7", THREE[0])
        write(tmp_path / "in", "sub/many.hl7", "".join(THREE))
        result = brenvolt("to-json", "-d", str(tmp_path / "out"), str(tmp_path / "in"))
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
        assert json.loads((tmp_path / "out/one.json").read_text()) == Hl7Json(THREE[0]).hl7_json
        lines = json_lines((tmp_path / "out/sub/many.jsonl").read_bytes())
        assert [line["records"] for line in lines] == [Hl7Json(m).hl7_json for m in THREE]
        assert sorted(p.name for p in (tmp_path / "out").rglob("*.json*")) == ["many.jsonl", "one.json"]

    def test_lines_gives_json_lines_for_every_input(self, tmp_path):
        path = write(tmp_path, "one.hl7", THREE[0])
        result = brenvolt("to-json", "--lines", "-d", str(tmp_path / "out"), str(path))
        assert (result.returncode, result.stderr) == (0, b"")
        assert json_lines((tmp_path / "out/one.jsonl").read_bytes()) == [
            {"file": str(path), "index": 0, "records": Hl7Json(THREE[0]).hl7_json}
        ]

    def test_file_that_cannot_be_written_is_named_and_the_rest_go_on(self, tmp_path):
        write(tmp_path / "in", "a.hl7", THREE[0])
        write(tmp_path / "in", "b.hl7", THREE[1])
        (tmp_path / "out/a.json").mkdir(parents=True)  # a folder where the file would go
        result = brenvolt("to-json", "-d", str(tmp_path / "out"), str(tmp_path / "in"))
        assert result.returncode == 1
        assert result.stderr.decode() == f"brenvolt: {tmp_path / 'out/a.json'}: {os.strerror(errno.EISDIR)}\n"
        assert json.loads((tmp_path / "out/b.json").read_text()) == Hl7Json(THREE[1]).hl7_json


class TestMixedInputsProperty:
    """Whatever mix of good messages, undecodable messages and stray text a
    file holds: every message gets its place, in order; a single message is
    an array; every problem is on stderr and makes the status 1."""

    ITEMS = st.lists(
        st.tuples(st.sampled_from(["good", "bad", "junk"]), st.sampled_from(["\r", "\n", "\r\n"])),
        max_size=6,
    )

    @staticmethod
    def content(items: list[tuple[str, str]]) -> tuple[bytes, list[str | None], bool]:
        """The file's bytes; per message, its text (None: not UTF-8); whether
        stray text comes before the first message. Stray text after a message
        is just another segment line of that message."""
        data, texts, stray_first = b"", [], False
        for n, (kind, end) in enumerate(items):
            if kind == "junk":
                line = f"ZZ{n} stray text{end}"
                data += line.encode()
                if texts and texts[-1] is not None:
                    texts[-1] += line
                stray_first = stray_first or not texts
                continue
            text = message(n).replace("\r", end)
            texts.append(text if kind == "good" else None)
            data += text.encode() if kind == "good" else text.replace("DOE", "D\u00d6E").encode("latin-1")
        return data, texts, stray_first

    @settings(max_examples=60, deadline=None)
    @given(items=ITEMS, lines=st.booleans())
    def test_every_message_in_its_place(self, items, lines):
        import brenvolt_cli

        data, texts, stray_first = self.content(items)
        with tempfile.TemporaryDirectory() as folder:
            source, target = Path(folder) / "in.hl7", Path(folder) / "out.json"
            source.write_bytes(data)
            stderr = io.StringIO()
            with contextlib.redirect_stderr(stderr):
                status = brenvolt_cli.main(
                    ["to-json", "-o", str(target), *(["--lines"] if lines else []), str(source)]
                )
            output = target.read_bytes()
        problems = stderr.getvalue().splitlines()
        assert all(line.startswith(f"brenvolt: {source}") for line in problems)
        assert status == (1 if problems else 0)
        assert bool(problems) == (None in texts or stray_first or not texts)
        if len(texts) == 1 and not lines:
            assert output == (
                b"" if texts[0] is None else json.dumps(Hl7Json(texts[0]).hl7_json).encode() + b"\n"
            )
            return
        found = json_lines(output)
        assert [line["index"] for line in found] == list(range(len(texts)))
        assert [line.get("records") for line in found] == [
            None if text is None else Hl7Json(text).hl7_json for text in texts
        ]
        # Stray text before the first message is reported at offset 0.
        if stray_first:
            assert problems[0].startswith(f"brenvolt: {source}: offset 0: ")
