"""``brenvolt listen``: interop with python-hl7, frames, bad input, duplicates, ACKs, shutdown, limits, TLS.

Frame-level tables run the receiver's connection protocol in-process on
scripted reads (so every read boundary is exactly where the test puts it); the rest
talk to ``python -m brenvolt_feeds.listen`` on 127.0.0.1 over real sockets.
"""

from __future__ import annotations

import asyncio
import base64
import hashlib
import signal
import socket
import ssl
import subprocess
import sys
import time
from collections.abc import Iterator, Sequence
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from mllp_support import (
    CR,
    FS,
    VT,
    Client,
    Listener,
    ack_fields,
    adt,
    child_env,
    drive_connection,
    frame,
    listening,
    make_certificate,
    part_lines,
    summary_counts,
)

from brenvolt import Hl7Json
from brenvolt_feeds import ack, split
from brenvolt_feeds.delimiters import to_standard_delimiters
from brenvolt_feeds.listen import Counters, ListenConfig, Receiver
from brenvolt_feeds.store import Kind, read_lines

# -- in-process harness ----------------------------------------------------


def replies_in(data: bytes) -> list[tuple[str, str]]:
    """(MSA-1, MSA-2) of every ACK frame the receiver wrote."""
    answers = []
    for piece in bytes(data).split(FS + CR):
        if piece:
            assert piece.startswith(VT), piece
            answers.append(ack_fields(piece[1:]))
    return answers


def run_in_process(
    folder: Path, chunks: Sequence[bytes], **options: object
) -> tuple[list[tuple[str, str]], Counters]:
    """Serve one connection that delivers ``chunks`` read by read; return its answers and the counters."""
    options.setdefault("fsync", False)
    receiver = Receiver(ListenConfig(out=str(folder), **options))  # type: ignore[arg-type]

    async def scenario() -> bytes:
        store = await receiver.open_store()
        try:
            return await drive_connection(receiver, chunks)
        finally:
            await store.close()

    written = asyncio.run(scenario())
    return replies_in(written), receiver.counters


def accept(raw: bytes) -> str:
    """The accept acknowledgement type the message's MSH-15 asks for ("" in original mode)."""
    return ack.accept_acknowledgement(raw.decode("utf-8", "replace"))


def corpus_messages(path: Path) -> list[bytes]:
    return [piece.raw for piece in split.split_file(path) if isinstance(piece, split.Message)]


def expected_records(raw: bytes) -> list[dict[str, str]]:
    return Hl7Json(to_standard_delimiters(raw.decode("utf-8"))).hl7_json


def is_utf8(raw: bytes) -> bool:
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


@pytest.fixture(scope="module")
def shared(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Listener]:
    """One receiver with the default limits, for tests that need nothing special."""
    with listening(tmp_path_factory.mktemp("shared")) as listener:
        yield listener


def stored_by_control_id(out: Path, control_id: str) -> list[dict[str, object]]:
    return [line for line in part_lines(out) if line["control_id"] == control_id]


# -- interop -----------------------------------------------------------------


class TestInterop:
    def test_python_hl7_client_sends_a_corpus_file(self, shared: Listener, corpus_file: Path) -> None:
        from hl7.client import MLLPClient

        messages = [
            raw for raw in corpus_messages(corpus_file) if not ack.is_acknowledgement(raw.decode("latin-1"))
        ]
        if not messages:
            pytest.skip("only acknowledgements in this file")
        # A message whose MSH-15 asks for no answer in its case gets none: python-hl7's client
        # would wait for it, so those go in a frame of their own below.
        due = {raw: ack.commit_answer(accept(raw), "AA" if is_utf8(raw) else "AE") for raw in messages}
        answered_ones = [raw for raw in messages if due[raw] is not None]
        with MLLPClient("127.0.0.1", shared.port) as client:
            client.socket.settimeout(10)
            answers = [client.send_message(raw) for raw in answered_ones]
            for raw in messages:
                if due[raw] is None:
                    client.socket.sendall(frame(raw))
                    client.socket.settimeout(0.5)
                    with pytest.raises(TimeoutError):
                        client.socket.recv(1)
                    client.socket.settimeout(10)
        stored = {line["sha256"]: line for line in part_lines(shared.out)}
        for raw, answer in zip(answered_ones, answers, strict=True):
            code, answered = ack_fields(answer.strip(VT + FS + CR))
            text = raw.decode("utf-8", "replace")
            assert (code, answered) == (due[raw], ack.control_id(text))
        for raw in messages:
            if is_utf8(raw):
                assert stored[hashlib.sha256(raw).hexdigest()]["records"] == expected_records(raw)

    def test_python_hl7_mllp_send_script(self, shared: Listener, tmp_path: Path) -> None:
        script = Path(sys.executable).with_name("mllp_send")
        if not script.exists():
            pytest.skip("python-hl7's mllp_send script is not installed")
        messages = [adt(f"SCRIPT-{n}") for n in range(5)]
        source = tmp_path / "feed.hl7"
        source.write_bytes(b"\r\n".join(raw.rstrip(CR).replace(CR, b"\r\n") for raw in messages) + b"\r\n")
        result = subprocess.run(
            [str(script), "--loose", "--file", str(source), "--port", str(shared.port), "127.0.0.1"],
            capture_output=True,
            timeout=60,
            env=child_env(),
            stdin=subprocess.DEVNULL,
        )
        assert result.returncode == 0, result.stderr
        answers = [
            ack_fields(piece.strip(VT + CR + b"\n")) for piece in result.stdout.split(FS) if piece.strip()
        ]
        assert answers == [("AA", f"SCRIPT-{n}") for n in range(5)]
        for n, raw in enumerate(messages):
            (line,) = stored_by_control_id(shared.out, f"SCRIPT-{n}")
            # The script sends each message without its last segment's CR.
            assert line["records"] == expected_records(raw.rstrip(CR))


# -- frames --------------------------------------------------------------------


class TestFrames:
    def test_corpus_file_one_byte_per_read(self, tmp_path: Path, corpus_file: Path) -> None:
        """Every byte offset of every message is a read boundary."""
        messages = corpus_messages(corpus_file)
        stream = b"".join(frame(raw) for raw in messages)
        answers, counters = run_in_process(
            tmp_path, [stream[i : i + 1] for i in range(len(stream))], dup_window=0
        )
        acks = [raw for raw in messages if ack.is_acknowledgement(raw.decode("latin-1"))]
        unasked = [
            raw
            for raw in messages
            if raw not in acks and ack.commit_answer(accept(raw), "AA" if is_utf8(raw) else "AE") is None
        ]
        assert len(answers) == len(messages) - len(acks) - len(unasked)
        good = [raw for raw in messages if is_utf8(raw)]
        assert [line["records"] for line in read_lines(tmp_path)] == [expected_records(raw) for raw in good]
        assert counters.bytes_skipped == 0
        assert counters.stored + counters.rejected == len(messages)

    def test_one_message_cut_at_every_offset_across_two_reads(self, tmp_path: Path) -> None:
        data = frame(adt("CUT"))
        chunks = [piece for cut in range(len(data) + 1) for piece in (data[:cut], data[cut:]) if piece]
        answers, counters = run_in_process(tmp_path, chunks)
        assert answers == [("AA", "CUT")] * (len(data) + 1)
        assert (counters.stored, counters.duplicates, counters.bytes_skipped) == (1, len(data), 0)

    @pytest.mark.parametrize("count", [1, 2, 10, 100], ids=lambda n: f"{n}-frames")
    def test_many_frames_in_one_write(self, shared: Listener, count: int) -> None:
        ids = [f"BURST{count}-{n}" for n in range(count)]
        with Client(shared.port) as client:
            client.send(b"".join(frame(adt(control)) for control in ids))
            answers = [ack_fields(client.reply() or b"") for _ in ids]
        assert answers == [("AA", control) for control in ids]
        assert [len(stored_by_control_id(shared.out, control)) for control in ids] == [1] * count

    @pytest.mark.parametrize(
        ("separator", "skipped_per_gap"),
        [
            (b"junk", 4),
            (b"\r", 1),
            (b"\x00", 1),
            (b"\x0c", 1),
            (b"\x00\x0c\r\x00", 4),
            (b"\x1c", 1),
            (b"\n", 0),  # an LF after the closing CR belongs to the trailer
        ],
        ids=["junk", "cr", "nul", "ff", "mixed", "lone-fs", "lf-after-trailer"],
    )
    def test_bytes_between_frames_are_skipped_and_counted(
        self, tmp_path: Path, separator: bytes, skipped_per_gap: int
    ) -> None:
        ids = [f"SEP-{n}" for n in range(3)]
        stream = b"".join(frame(adt(control)) + separator for control in ids)
        answers, counters = run_in_process(tmp_path, [stream])
        assert answers == [("AA", control) for control in ids]
        assert counters.bytes_skipped == skipped_per_gap * len(ids)

    @settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(
        cuts=st.lists(st.integers(min_value=0, max_value=2000), max_size=30),
        junk=st.sampled_from([b"", b"\r\n", b"\x00x"]),
    )
    def test_any_read_boundaries_give_the_same_answers(
        self, tmp_path_factory: pytest.TempPathFactory, cuts: list[int], junk: bytes
    ) -> None:
        ids = [f"ANY-{n}" for n in range(5)]
        stream = b"".join(junk + frame(adt(control)) for control in ids)
        points = sorted({0, len(stream), *(cut % (len(stream) + 1) for cut in cuts)})
        chunks = [stream[a:b] for a, b in zip(points, points[1:], strict=False) if b > a]
        folder = tmp_path_factory.mktemp("any")
        answers, counters = run_in_process(folder, chunks)
        assert answers == [("AA", control) for control in ids]
        assert [line["control_id"] for line in read_lines(folder)] == ids
        assert counters.bytes_skipped == len(junk) * len(ids)

    def test_junk_before_the_first_start_byte(self, tmp_path: Path) -> None:
        answers, counters = run_in_process(tmp_path, [b"\r\n\x00hello" + frame(adt("AFTER-JUNK"))])
        assert answers == [("AA", "AFTER-JUNK")]
        assert counters.bytes_skipped == 8

    @pytest.mark.parametrize(
        "trailer",
        [FS, FS + CR, FS + CR + b"\n"],
        ids=["fs-alone", "fs-cr", "fs-cr-lf"],
    )
    def test_frame_ends(self, tmp_path: Path, trailer: bytes) -> None:
        ids = [f"END-{n}" for n in range(3)]
        stream = b"".join(VT + adt(control) + trailer for control in ids)
        answers, counters = run_in_process(tmp_path, [stream])
        assert answers == [("AA", control) for control in ids]
        assert counters.bytes_skipped == 0

    def test_end_bytes_in_reads_of_their_own(self, tmp_path: Path) -> None:
        answers, _ = run_in_process(tmp_path, [VT + adt("ALONE"), FS, CR, b"\n", VT + adt("NEXT"), FS, CR])
        assert answers == [("AA", "ALONE"), ("AA", "NEXT")]

    def test_empty_frame_is_rejected_and_the_connection_goes_on(self, tmp_path: Path) -> None:
        answers, counters = run_in_process(tmp_path, [VT + FS + CR + frame(adt("AFTER-EMPTY"))])
        assert answers == [("AE", ""), ("AA", "AFTER-EMPTY")]
        (reject,) = read_lines(tmp_path, Kind.REJECTS)
        assert reject["raw"] == "" and reject["peer"] == "127.0.0.1:9"
        assert counters.rejected == 1

    def test_unclosed_frame_at_end_of_stream_is_skipped_without_an_answer(self, tmp_path: Path) -> None:
        partial = VT + adt("NEVER-CLOSED")
        answers, counters = run_in_process(tmp_path, [frame(adt("CLOSED")) + partial])
        assert answers == [("AA", "CLOSED")]
        assert counters.bytes_skipped == len(partial)
        assert [line["control_id"] for line in read_lines(tmp_path)] == ["CLOSED"]


# -- bad input -----------------------------------------------------------------

OBX_10MB = adt(
    "BIG-OBX", extra="\rOBX|1|ED|PDF^Report||^application^pdf^Base64^" + "QUJD" * (10 * 1024 * 1024 // 4)
)


class TestBadInput:
    @pytest.mark.parametrize(
        ("payload", "code", "error"),
        [
            (
                adt("LATIN1", name="M\xfcller^Hans").replace(
                    "M\xfcller".encode(), "M\xfcller".encode("latin-1")
                ),
                "AE",
                "cannot decode as utf-8",
            ),
            (b"\x00\x01\x02garbage\xff\xfe", "AE", "cannot decode as utf-8"),
            (b"just some text\r", "AE", "does not start with an MSH segment"),
            (b"PID|1||123^^^HOSP^MR||DOE^JOHN\r", "AE", "does not start with an MSH segment"),
        ],
        ids=["not-utf8", "garbage", "text", "no-msh"],
    )
    def test_rejected_with_the_raw_bytes_kept_and_the_connection_goes_on(
        self, shared: Listener, payload: bytes, code: str, error: str
    ) -> None:
        follow = f"AFTER-{hashlib.sha256(payload).hexdigest()[:8]}"
        with Client(shared.port) as client:
            answer = client.exchange(payload)
            assert answer[0] == code
            assert client.exchange(adt(follow)) == ("AA", follow)
        rejects = [
            line
            for line in part_lines(shared.out, "rejects")
            if base64.b64decode(str(line["raw"])) == payload
        ]
        assert rejects and error in str(rejects[-1]["error"])
        assert set(rejects[-1]) == {"received", "peer", "error", "raw"}

    def test_ten_megabyte_obx_is_stored(self, shared: Listener) -> None:
        with Client(shared.port, timeout=60) as client:
            assert client.exchange(OBX_10MB) == ("AA", "BIG-OBX")
        (line,) = stored_by_control_id(shared.out, "BIG-OBX")
        assert line["records"] == expected_records(OBX_10MB)

    def test_oversized_frame_closes_the_connection_without_an_answer(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--max-frame-size", "64K") as listener:
            with Client(listener.port) as client:
                assert client.exchange(adt("BEFORE-BIG")) == ("AA", "BEFORE-BIG")
                big = adt("TOO-BIG", extra="\rOBX|1|ST|||" + "x" * 70_000)
                try:
                    client.send(frame(big))
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the receiver may close before it has read everything
                assert client.reply() is None
            with Client(listener.port) as client:
                assert client.exchange(adt("NEW-CONNECTION")) == ("AA", "NEW-CONNECTION")
            status, stderr = listener.terminate()
        assert status == 0
        assert "passed 65536 bytes" in stderr or "--max-frame-size 65536" in stderr
        assert [line["control_id"] for line in part_lines(tmp_path / "out")] == [
            "BEFORE-BIG",
            "NEW-CONNECTION",
        ]

    def test_validation_failure_is_answered_ar(self, tmp_path: Path) -> None:
        broken = b"MSH|^~\\&|A|B|C|D|20261208||ADT^A01|NO-VERSION\rPID|1\r"
        answers, counters = run_in_process(tmp_path, [frame(broken) + frame(adt("VALID"))], validate=True)
        assert answers == [("AR", "NO-VERSION"), ("AA", "VALID")]
        (reject,) = read_lines(tmp_path, Kind.REJECTS)
        assert "MSH" in str(reject["error"])
        assert counters.rejected == 1 and counters.stored == 1

    def test_other_encoding_decodes_latin1(self, tmp_path: Path) -> None:
        raw = adt("LATIN", name="M\xfcller^Hans").replace("M\xfcller".encode(), "M\xfcller".encode("latin-1"))
        answers, _ = run_in_process(tmp_path, [frame(raw)], encoding="latin-1")
        assert answers == [("AA", "LATIN")]
        (line,) = read_lines(tmp_path)
        assert line["records"] == Hl7Json(raw.decode("latin-1")).hl7_json


class TestOtherDelimiters:
    VISTA = b"MSH^~|\\&^SEND^FAC^RCV^FAC^20261208^^ADT~A01~ADT_A01^VISTA-1^P^2.5\rPID^1^^4711~~~H|99~~~S^^DOE~JO\r"

    def test_read_in_them_stored_and_answered_in_them(self, tmp_path: Path) -> None:
        answers, counters = run_in_process(tmp_path, [frame(self.VISTA) + frame(adt("AFTER"))])
        assert answers == [("AA", "VISTA-1"), ("AA", "AFTER")]
        (line, _) = read_lines(tmp_path)
        assert line["control_id"] == "VISTA-1"
        assert line["records"] == Hl7Json(to_standard_delimiters(self.VISTA.decode())).hl7_json
        assert [record["segment_name"] for record in line["records"]] == ["MSH", "PID"]
        assert line["records"][1]["3[1].1"] == "99"
        assert counters.stored == 2

    def test_answer_is_written_in_the_declared_delimiters(self, tmp_path: Path) -> None:
        receiver = Receiver(ListenConfig(out=str(tmp_path), fsync=False))
        reply = receiver.take(self.VISTA, "peer").frame
        assert reply is not None and reply.startswith(VT + b"MSH^~|\\&^RCV^FAC^SEND^FAC^")
        assert b"\rMSA^AA^VISTA-1\r" in reply

    @pytest.mark.parametrize(
        ("payload", "options", "control", "reason"),
        [
            (VISTA, {"rewrite_delimiters": False}, "VISTA-1", "with --no-delimiter-rewrite they are not read"),
            (
                b"MSH$^&&^$S$F$R$RF$x$$ADT^A01$DUP-1$P$2.5\r",
                {},
                "DUP-1",
                "the header's delimiters cannot be read: MSH-2 '^&&^' names '^' twice",
            ),
        ],
        ids=["rewrite-off", "unusable-encoding-characters"],
    )
    def test_not_read_is_answered_ar_with_the_reason(
        self, tmp_path: Path, payload: bytes, options: dict[str, object], control: str, reason: str
    ) -> None:
        answers, counters = run_in_process(tmp_path, [frame(payload) + frame(adt("AFTER"))], **options)
        assert answers == [("AR", control), ("AA", "AFTER")]
        (reject,) = read_lines(tmp_path, Kind.REJECTS)
        assert reason in str(reject["error"])
        assert base64.b64decode(str(reject["raw"])) == payload
        assert [line["control_id"] for line in read_lines(tmp_path)] == ["AFTER"]
        assert counters.rejected == 1

    def test_unusable_encoding_characters_after_a_bar_are_read_as_before(self, tmp_path: Path) -> None:
        payload = b"MSH|^&&^|S|F|R|RF|x||ADT^A01|BAR-1|P|2.5\r"
        answers, _ = run_in_process(tmp_path, [frame(payload)])
        assert answers == [("AA", "BAR-1")]
        (line,) = read_lines(tmp_path)
        assert line["records"] == Hl7Json(payload.decode()).hl7_json


# -- duplicates and acknowledgements --------------------------------------------


class TestDuplicatesAndAcks:
    def test_repeat_is_acknowledged_but_stored_once(self, tmp_path: Path) -> None:
        message = adt("TWICE")
        changed = adt("TWICE", name="ROE^JANE")
        answers, counters = run_in_process(tmp_path, [frame(message) * 2 + frame(changed)])
        assert answers == [("AA", "TWICE")] * 3
        # Same control id, other text: a new message, stored.
        assert [line["records"] for line in read_lines(tmp_path)] == [
            expected_records(message),
            expected_records(changed),
        ]
        assert (counters.stored, counters.duplicates) == (2, 1)

    def test_incoming_ack_is_stored_and_never_answered(self, tmp_path: Path) -> None:
        incoming = ack.build_ack(adt("ORIGINAL").decode(), "AA").encode()
        answers, counters = run_in_process(tmp_path, [frame(incoming) + frame(adt("AFTER-ACK"))])
        assert answers == [("AA", "AFTER-ACK")]
        lines = list(read_lines(tmp_path))
        assert lines[0]["records"] == expected_records(incoming)
        assert counters.acknowledgements == 1

    def test_incoming_ack_that_does_not_decode_is_kept_unanswered(self, tmp_path: Path) -> None:
        incoming = ack.build_ack(adt("ORIGINAL").decode(), "AA").encode() + b"NTE|1||\xff\r"
        answers, counters = run_in_process(tmp_path, [frame(incoming) + frame(adt("AFTER-BAD-ACK"))])
        assert answers == [("AA", "AFTER-BAD-ACK")]
        assert counters.rejected == 1


# -- shutdown and limits --------------------------------------------------------


class TestShutdown:
    @pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT], ids=["sigterm", "sigint"])
    def test_signal_finishes_flushes_and_summarises(self, tmp_path: Path, number: signal.Signals) -> None:
        out = tmp_path / "out"
        listener = Listener(out)
        try:
            listener.start()
            with Client(listener.port) as idle, Client(listener.port) as client:
                for n in range(3):
                    assert client.exchange(adt(f"S-{n}")) == ("AA", f"S-{n}")
                client.exchange(adt("S-0"))
                client.send(b"stray")
                assert client.exchange(b"no header") == ("AE", "")
                time.sleep(0.2)  # let the stray bytes be read before the signal
                assert listener.process is not None
                listener.process.send_signal(number)
                status = listener.process.wait(20)
                assert idle.closed_by_peer()
        finally:
            listener.kill()
        stderr = listener.stderr()
        assert status == 0, stderr
        assert summary_counts(stderr) == {"stored": 3, "rejected": 1, "duplicates": 1, "bytes skipped": 5}
        assert not list(out.glob("*.open"))
        assert [line["control_id"] for line in read_lines(out)] == ["S-0", "S-1", "S-2"]

    def test_restart_goes_on_in_new_files_and_remembers_duplicates(self, tmp_path: Path) -> None:
        out = tmp_path / "out"
        for round_ in range(2):
            with listening(out) as listener:
                with Client(listener.port) as client:
                    assert client.exchange(adt("KEEP")) == ("AA", "KEEP")
                    assert client.exchange(adt(f"ROUND-{round_}")) == ("AA", f"ROUND-{round_}")
                status, stderr = listener.terminate()
            assert status == 0
        assert summary_counts(stderr)["duplicates"] == 1
        assert [line["control_id"] for line in read_lines(out)] == ["KEEP", "ROUND-0", "ROUND-1"]
        assert len(list(out.glob("part-*.jsonl"))) == 2


class TestFiles:
    def test_rotation_while_running_leaves_closed_files_of_whole_lines(self, tmp_path: Path) -> None:
        out = tmp_path / "out"
        with listening(out, "--rotate-size", "2K", "--rotate-time", "0.5") as listener:
            with Client(listener.port) as client:
                for n in range(12):
                    assert client.exchange(adt(f"ROT-{n}")) == ("AA", f"ROT-{n}")
            closed = sorted(out.glob("part-*.jsonl"))
            assert len(closed) >= 2
            # Closed files hold whole lines only, while the server runs.
            assert all(path.read_bytes().endswith(b"\n") for path in closed)
            deadline = time.monotonic() + 10
            while list(out.glob("*.open")) and time.monotonic() < deadline:
                time.sleep(0.05)  # the last file closes by age even with no traffic
            assert not list(out.glob("*.open"))
            status, _ = listener.terminate()
        assert status == 0
        assert [line["control_id"] for line in read_lines(out)] == [f"ROT-{n}" for n in range(12)]


class TestLimits:
    def test_connections_over_the_cap_are_closed(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--max-connections", "2") as listener:
            with Client(listener.port) as first, Client(listener.port) as second:
                assert first.exchange(adt("CAP-1")) == ("AA", "CAP-1")
                assert second.exchange(adt("CAP-2")) == ("AA", "CAP-2")
                with Client(listener.port, timeout=5) as third:
                    assert third.closed_by_peer()
            # Once the others are gone there is room again.
            deadline = time.monotonic() + 10
            while True:
                with Client(listener.port) as again:
                    try:
                        answer = again.exchange(adt("CAP-3"))
                        break
                    except (AssertionError, OSError):
                        if time.monotonic() > deadline:
                            raise
                        time.sleep(0.05)
            assert answer == ("AA", "CAP-3")
            _, stderr = listener.terminate()
        assert "refused" in stderr

    def test_idle_connection_is_closed(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--idle-timeout", "0.3") as listener:
            with Client(listener.port, timeout=10) as client:
                assert client.exchange(adt("IDLE")) == ("AA", "IDLE")
                started = time.monotonic()
                assert client.closed_by_peer()
                assert time.monotonic() - started < 9
            _, stderr = listener.terminate()
        assert "idle for 0.3s" in stderr


class TestTls:
    def test_tls_listener_with_a_certificate_the_test_makes(self, tmp_path: Path) -> None:
        cert, key = make_certificate(tmp_path)
        with listening(tmp_path / "out", "--tls-cert", str(cert), "--tls-key", str(key)) as listener:
            context = ssl.create_default_context(cafile=str(cert))
            with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
                with context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                    tls.sendall(frame(adt("OVER-TLS")))
                    data = b""
                    while FS not in data:
                        chunk = tls.recv(4096)
                        assert chunk
                        data += chunk
            assert ack_fields(data.strip(VT + FS + CR)) == ("AA", "OVER-TLS")
            # A plain-text client gets nothing stored and does not disturb the server.
            with Client(listener.port, timeout=10) as plain:
                plain.send(frame(adt("PLAIN")))
                assert plain.reply() is None
            status, _ = listener.terminate()
        assert status == 0
        assert [line["control_id"] for line in read_lines(tmp_path / "out")] == ["OVER-TLS"]


def test_command_line_errors(tmp_path: Path) -> None:
    from mllp_support import run_module

    missing = run_module("brenvolt_feeds.listen", ["--port", "0"])
    assert missing.returncode == 2 and "--out" in missing.stderr
    key_only = run_module(
        "brenvolt_feeds.listen", ["--port", "0", "--out", str(tmp_path), "--tls-key", "k.pem"]
    )
    assert key_only.returncode == 2 and "--tls-key needs --tls-cert" in key_only.stderr
    bad_size = run_module("brenvolt_feeds.listen", ["--out", str(tmp_path), "--max-frame-size", "lots"])
    assert bad_size.returncode == 2 and "not a size" in bad_size.stderr
    bad_encoding = run_module(
        "brenvolt_feeds.listen", ["--port", "0", "--out", str(tmp_path), "--encoding", "klingon"]
    )
    assert bad_encoding.returncode == 2 and "unknown encoding: klingon" in bad_encoding.stderr
    wide = run_module("brenvolt_feeds.listen", ["--out", str(tmp_path), "--encoding", "utf-16"])
    assert wide.returncode == 2 and "MLLP cannot carry them" in wide.stderr
    bad_window = run_module(
        "brenvolt_feeds.listen", ["--port", "0", "--out", str(tmp_path), "--dup-window", "-1"]
    )
    assert bad_window.returncode == 2 and "must be 0 or more, not -1" in bad_window.stderr


def test_commands_join_a_brenvolt_parser() -> None:
    import argparse

    from brenvolt_feeds.listen import add_listen_command, run_listen
    from brenvolt_feeds.send import add_send_command, run_send

    parser = argparse.ArgumentParser(prog="brenvolt")
    commands = parser.add_subparsers(dest="command", required=True)
    add_listen_command(commands)
    add_send_command(commands)
    listen = parser.parse_args(["listen", "--out", "feed", "--max-frame-size", "1M", "--rotate-size", "512K"])
    assert (listen.handler, listen.max_frame_size, listen.rotate_size) == (run_listen, 1 << 20, 512 << 10)
    send = parser.parse_args(["send", "--host", "h", "--port", "2575", "a.hl7", "b.json"])
    assert (send.handler, send.files, send.ack_timeout, send.retries) == (
        run_send,
        ["a.hl7", "b.json"],
        10.0,
        5,
    )
