"""``brenvolt send``: to python-hl7's asyncio server, to ``brenvolt listen`` (plain and TLS), and to
scripted receivers that answer late, wrongly, with errors, or not at all."""

from __future__ import annotations

import hashlib
import json
import re
import socket
import sys
import textwrap
import threading
from collections.abc import Iterator
from pathlib import Path

import orjson
import pytest
from mllp_support import (
    FS,
    VT,
    Listener,
    Script,
    ScriptedReceiver,
    adt,
    answer,
    child_env,
    listening,
    make_certificate,
    part_lines,
    run_module,
)

from brenvolt import Hl7Json, JsonHl7
from brenvolt_feeds import ack, split
from brenvolt_feeds.send import messages_of, parse_ack

QUICK = ["--backoff", "0.05", "--connect-timeout", "5"]


def send(*args: str, timeout: float = 120) -> tuple[int, str, str]:
    result = run_module("brenvolt_feeds.send", [*QUICK, *args], timeout=timeout)
    return result.returncode, result.stdout, result.stderr


def summary(stdout: str) -> dict[str, int]:
    match = re.search(
        r"sent (\d+) messages: (\d+) AA, (\d+) AE, (\d+) AR, (\d+) without an ACK; (\d+) sent again"
        r"(?: after a failure; (\d+) not to be answered)?",
        stdout,
    )
    assert match, stdout
    keys = ("sent", "AA", "AE", "AR", "none", "resends", "unconfirmed")
    return dict(zip(keys, (int(value or 0) for value in match.groups()), strict=True))


def write_messages(path: Path, ids: list[str], line_end: bytes = b"\r") -> list[bytes]:
    messages = [adt(control).replace(b"\r", line_end) for control in ids]
    path.write_bytes(b"".join(messages))
    return messages


class TestAcknowledgements:
    @pytest.mark.parametrize(
        ("script", "args", "status", "counts", "frames_seen"),
        [
            (lambda n, p: [answer(p)], [], 0, {"AA": 3, "none": 0, "resends": 0}, 3),
            (
                lambda n, p: [answer(p, control="SOMEONE-ELSE"), answer(p)],
                [],
                0,
                {"AA": 3, "none": 0, "resends": 0},
                3,
            ),
            (
                lambda n, p: [answer(p, control="SOMEONE-ELSE")],
                ["--ack-timeout", "0.3", "--retries", "1"],
                1,
                {"AA": 0, "none": 3, "resends": 3},
                6,
            ),
            (lambda n, p: [answer(p, "AE")], [], 1, {"AA": 0, "AE": 3, "resends": 0}, 3),
            (lambda n, p: [answer(p, "AR")], [], 1, {"AA": 0, "AR": 3, "resends": 0}, 3),
            (lambda n, p: [b"CLOSE"] if n == 1 else [answer(p)], [], 0, {"AA": 3, "resends": 1}, 4),
            (
                lambda n, p: [] if n == 0 else [answer(p)],
                ["--ack-timeout", "0.3"],
                0,
                {"AA": 3, "resends": 1},
                4,
            ),
            (lambda n, p: [b"not an ack", answer(p)], [], 0, {"AA": 3, "resends": 0}, 3),
        ],
        ids=[
            "aa",
            "late-ack-for-another-id",
            "only-wrong-ids",
            "ae",
            "ar",
            "closed-once",
            "silent-once",
            "junk-frame",
        ],
    )
    def test_outcomes(
        self,
        tmp_path: Path,
        script: Script,
        args: list[str],
        status: int,
        counts: dict[str, int],
        frames_seen: int,
    ) -> None:
        source = tmp_path / "three.hl7"
        messages = write_messages(source, ["M-1", "M-2", "M-3"])
        with ScriptedReceiver(script) as receiver:
            code, stdout, stderr = send(
                "--host", "127.0.0.1", "--port", str(receiver.port), *args, str(source)
            )
        assert code == status, stderr
        found = summary(stdout)
        assert {key: found[key] for key in counts} == counts
        assert len(receiver.received) == frames_seen
        # Messages go in order; a message is sent again only before its ACK came.
        assert sorted(set(receiver.received), key=receiver.received.index) == messages

    def test_wrong_control_id_is_logged(self, tmp_path: Path) -> None:
        source = tmp_path / "one.hl7"
        write_messages(source, ["ONLY"])
        with ScriptedReceiver(lambda n, p: [answer(p, control="OTHER"), answer(p)]) as receiver:
            code, _, stderr = send("--host", "127.0.0.1", "--port", str(receiver.port), str(source))
        assert code == 0
        assert "ignored an ACK for control id 'OTHER' while waiting for 'ONLY'" in stderr

    def test_nobody_listening_gives_up_after_the_retries(self, tmp_path: Path) -> None:
        port = free_port()
        source = tmp_path / "one.hl7"
        write_messages(source, ["NOBODY"])
        code, stdout, stderr = send("--host", "127.0.0.1", "--port", str(port), "--retries", "2", str(source))
        assert code == 1
        # Never written to a connection: not one resend.
        assert summary(stdout) == {"sent": 1, "AA": 0, "AE": 0, "AR": 0, "none": 1, "resends": 0, "unconfirmed": 0}
        refused = f"cannot connect to 127.0.0.1:{port}: Connection refused"
        assert stderr.splitlines() == [f"brenvolt send: {source} message 0: {refused}"] * 3 + [
            f"brenvolt send: {source} message 0 (control id 'NOBODY'): no ACK after 3 tries: {refused}"
        ]


def free_port() -> int:
    """A port of 127.0.0.1 that nobody listens on (just now)."""
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return int(probe.getsockname()[1])


class TestEveryMessageWithoutAnAckIsExplained:
    @pytest.mark.parametrize(
        ("script", "args", "reason"),
        [
            (lambda n, p: [], ["--ack-timeout", "0.3"], "no ACK for control id 'WHY' within 0.3s"),
            (lambda n, p: [b"CLOSE"], [], "the receiver closed the connection"),
            (lambda n, p: [], ["--tls", "--connect-timeout", "0.3"], "cannot connect to {where}: no connection within 0.3s"),
        ],
        ids=["ack-timeout", "closed-by-the-receiver", "connect-timeout"],
    )
    def test_reason(self, tmp_path: Path, script: Script, args: list[str], reason: str) -> None:
        source = tmp_path / "one.hl7"
        write_messages(source, ["WHY"])
        with ScriptedReceiver(script) as receiver:
            where = f"127.0.0.1:{receiver.port}"
            code, stdout, stderr = send(
                "--host", "127.0.0.1", "--port", str(receiver.port), "--retries", "0", *args, str(source)
            )
        assert code == 1
        assert summary(stdout)["none"] == 1
        assert stderr.splitlines()[-1] == (
            f"brenvolt send: {source} message 0 (control id 'WHY'): no ACK after 1 try: {reason.format(where=where)}"
        )


class TestInputs:
    def test_json_record_file_goes_with_carriage_returns(self, tmp_path: Path) -> None:
        records = Hl7Json(adt("FROM-JSON").decode()).hl7_json
        source = tmp_path / "message.json"
        source.write_text(json.dumps(records))
        with ScriptedReceiver(lambda n, p: [answer(p)]) as receiver:
            code, stdout, _ = send("--host", "127.0.0.1", "--port", str(receiver.port), str(source))
        assert code == 0 and summary(stdout)["AA"] == 1
        (payload,) = receiver.received
        expected = JsonHl7.from_file(str(source)).hl7_string.replace("\n", "\r")
        assert payload.decode() == (expected if expected.endswith("\r") else expected + "\r")
        assert b"\n" not in payload

    @pytest.mark.parametrize("line_end", [b"\r", b"\n", b"\r\n"], ids=["cr", "lf", "crlf"])
    def test_hl7_file_line_ends_become_cr(self, tmp_path: Path, line_end: bytes) -> None:
        source = tmp_path / "feed.hl7"
        write_messages(source, ["L-1", "L-2"], line_end)
        with ScriptedReceiver(lambda n, p: [answer(p)]) as receiver:
            code, _, _ = send("--host", "127.0.0.1", "--port", str(receiver.port), str(source))
        assert code == 0
        assert receiver.received == [adt("L-1"), adt("L-2")]

    def test_splitter_notices_are_reported_and_fail_the_run(self, tmp_path: Path) -> None:
        source = tmp_path / "feed.hl7"
        source.write_bytes(b"not a message\r\n" + adt("AFTER-TEXT"))
        with ScriptedReceiver(lambda n, p: [answer(p)]) as receiver:
            code, stdout, stderr = send("--host", "127.0.0.1", "--port", str(receiver.port), str(source))
        assert code == 1
        assert summary(stdout)["AA"] == 1
        assert "offset 0" in stderr

    def test_missing_file_is_named_and_the_rest_is_sent(self, tmp_path: Path) -> None:
        source = tmp_path / "feed.hl7"
        write_messages(source, ["AFTER-MISSING"])
        missing = tmp_path / "nothing.hl7"
        with ScriptedReceiver(lambda n, p: [answer(p)]) as receiver:
            code, stdout, stderr = send(
                "--host", "127.0.0.1", "--port", str(receiver.port), str(missing), str(source)
            )
        assert code == 1
        assert summary(stdout)["AA"] == 1
        assert stderr.splitlines() == [
            f"brenvolt send: {missing}: I/O error: No such file or directory (os error 2)"
        ]

    def test_folder_is_read_like_the_other_commands_read_one(self, tmp_path: Path) -> None:
        folder = tmp_path / "inbox"
        (folder / "sub").mkdir(parents=True)
        write_messages(folder / "b.hl7", ["B-1", "B-2"])
        write_messages(folder / "sub" / "a.HL7", ["SUB-A"])
        (folder / "c.json").write_text(json.dumps(Hl7Json(adt("C-JSON").decode()).hl7_json))
        (folder / "notes.txt").write_text("not a message")
        (folder / "README").write_text("not a message")
        with ScriptedReceiver(lambda n, p: [answer(p)]) as receiver:
            code, stdout, stderr = send("--host", "127.0.0.1", "--port", str(receiver.port), str(folder))
        assert code == 0, stderr
        assert summary(stdout)["AA"] == 4
        assert [ack.control_id(payload.decode()) for payload in receiver.received] == ["B-1", "B-2", "C-JSON", "SUB-A"]
        assert stderr.splitlines() == [
            f"brenvolt send: {folder}: left out 2 files that are not *.hl7 or *.json (1 .txt, 1 without a suffix)"
        ]

    def test_acknowledgement_is_not_sent(self, tmp_path: Path) -> None:
        source = tmp_path / "capture.hl7"
        reply = ack.build_ack(adt("ORIGINAL").decode()).encode()
        source.write_bytes(adt("FIRST") + reply + adt("SECOND"))
        with ScriptedReceiver(lambda n, p: [answer(p)]) as receiver:
            code, stdout, stderr = send("--host", "127.0.0.1", "--port", str(receiver.port), str(source))
        assert code == 1
        assert summary(stdout) == {"sent": 2, "AA": 2, "AE": 0, "AR": 0, "none": 0, "resends": 0, "unconfirmed": 0}
        assert receiver.received == [adt("FIRST"), adt("SECOND")]
        assert stderr.splitlines() == [
            f"brenvolt send: {source} message 1: an acknowledgement (MSH-9 is ACK): not sent"
        ]

    def test_messages_of_and_parse_ack(self, tmp_path: Path) -> None:
        source = tmp_path / "feed.hl7"
        write_messages(source, ["A", "B"], b"\n")
        assert [(item.index, item.control_id) for item in messages_of(source)] == [(0, "A"), (1, "B")]
        assert parse_ack(answer(adt("X"), "AE")) == ("AE", "X")
        assert parse_ack(b"MSH|^~\\&|\rPID|1\r") is None


class TestOtherDelimiters:
    VISTA = b"MSH^~|\\&^SEND^FAC^RCV^FAC^20261208^^ADT~A01~ADT_A01^VISTA-1^P^2.5\rPID^1^^4711\r"

    def test_control_id_and_ack_are_read_in_the_declared_delimiters(self, tmp_path: Path) -> None:
        source = tmp_path / "vista.hl7"
        source.write_bytes(self.VISTA)
        with ScriptedReceiver(lambda n, p: [ack.build_ack(p.decode()).encode()]) as receiver:
            code, stdout, stderr = send("--host", "127.0.0.1", "--port", str(receiver.port), str(source))
        assert code == 0, stderr
        assert summary(stdout)["AA"] == 1
        # Sent as written: only its line ends would be made CR.
        assert receiver.received == [self.VISTA]

    def test_without_the_rewrite_they_are_read_as_standard(self, tmp_path: Path) -> None:
        source = tmp_path / "vista.hl7"
        source.write_bytes(self.VISTA)
        with ScriptedReceiver(lambda n, p: [ack.build_ack(p.decode()).encode()]) as receiver:
            code, stdout, stderr = send(
                "--host", "127.0.0.1", "--port", str(receiver.port), "--no-delimiter-rewrite",
                "--ack-timeout", "0.3", "--retries", "0", str(source),
            )
        assert code == 1
        assert summary(stdout)["none"] == 1
        assert "(control id ''): no ACK after 1 try: no ACK for control id '' within 0.3s" in stderr

    @pytest.mark.parametrize(
        ("payload", "rewrite", "fields"),
        [
            (b"MSH^~|\\&^^^^^x^^ACK^1^P^2.5\rMSA^AE^ID|1\r", True, ("AE", "ID|1")),
            (b"MSH^~|\\&^^^^^x^^ACK^1^P^2.5\rMSA^AE^ID|1\r", False, None),
            (b"MSA|AA|X\n", True, ("AA", "X")),
            (b"MSH|^~\\&|\rMSA\r", True, ("", "")),
        ],
        ids=["declared", "declared-rewrite-off", "no-header-lf", "empty-msa"],
    )
    def test_parse_ack(self, payload: bytes, rewrite: bool, fields: tuple[str, str] | None) -> None:
        assert parse_ack(payload, rewrite_delimiters=rewrite) == fields


# -- real peers ---------------------------------------------------------------------

PYTHON_HL7_SERVER = textwrap.dedent(
    """
    import asyncio, signal, sys, json
    import hl7
    from hl7.mllp import start_hl7_server

    async def main(log_path):
        log = open(log_path, "a")
        async def handle(reader, writer):
            try:
                while not reader.at_eof():
                    message = await reader.readmessage()
                    log.write(json.dumps(str(message)) + "\\n"); log.flush()
                    writer.writemessage(message.create_ack())
                    await writer.drain()
            except asyncio.IncompleteReadError:
                pass
            finally:
                writer.close()
        server = await start_hl7_server(handle, "127.0.0.1", 0)
        print(server.sockets[0].getsockname()[1], flush=True)
        stop = asyncio.Event()
        asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
        async with server:
            await stop.wait()

    asyncio.run(main(sys.argv[1]))
    """
)


@pytest.fixture
def python_hl7_server(tmp_path: Path) -> Iterator[tuple[int, Path]]:
    import subprocess

    script = tmp_path / "server.py"
    script.write_text(PYTHON_HL7_SERVER)
    log = tmp_path / "received.jsonl"
    process = subprocess.Popen(
        [sys.executable, str(script), str(log)],
        stdout=subprocess.PIPE,
        env=child_env(),
        stdin=subprocess.DEVNULL,
    )
    try:
        assert process.stdout is not None
        port = int(process.stdout.readline())
        yield port, log
    finally:
        process.kill()
        process.wait(10)
        if process.stdout is not None:
            process.stdout.close()


def test_send_to_python_hl7_asyncio_server(python_hl7_server: tuple[int, Path], corpus_dir: Path) -> None:
    port, log = python_hl7_server
    source = corpus_dir / "mirth-connect" / "adt_stream_124_messages.hl7"
    code, stdout, stderr = send("--host", "127.0.0.1", "--port", str(port), str(source))
    assert code == 0, stderr
    assert summary(stdout)["AA"] == 124
    sent = [piece.raw for piece in split.split_file(source) if isinstance(piece, split.Message)]
    received = [orjson.loads(line) for line in log.read_bytes().splitlines()]
    # What python-hl7 received is what was sent: the file's CR LF line ends made CR.
    assert [Hl7Json(text).hl7_json for text in received] == [
        Hl7Json(raw.decode().replace("\r\n", "\r")).hl7_json for raw in sent
    ]


def test_send_to_brenvolt_listen(tmp_path: Path, corpus_dir: Path) -> None:
    sources = [
        corpus_dir / "mirth-connect" / "adt_stream_124_messages.hl7",
        corpus_dir / "python-hl7" / "fhs_bhs_batch_file_adt_a04_v25.hl7",
    ]
    with listening(tmp_path / "out") as listener:
        code, stdout, stderr = send("--host", "127.0.0.1", "--port", str(listener.port), *map(str, sources))
        status, _ = listener.terminate()
    assert code == 0 and status == 0, stderr
    sent = [
        piece.raw.replace(b"\r\n", b"\r").replace(b"\n", b"\r")
        for source in sources
        for piece in split.split_file(source)
        if isinstance(piece, split.Message)
    ]
    # python-hl7's batch file asks for no accept acknowledgement (MSH-15 NE): the listener stores
    # those messages without an answer, and send takes them as delivered when none refuses them.
    quiet = [raw for raw in sent if ack.accept_acknowledgement(raw.decode()) == "NE"]
    counts = summary(stdout)
    assert (counts["AA"], counts["unconfirmed"], len(quiet)) == (len(sent) - 3, 3, 3)
    stored = {line["sha256"]: line["records"] for line in part_lines(tmp_path / "out")}
    for raw in sent:
        raw = raw if raw.endswith(b"\r") else raw + b"\r"
        assert stored[hashlib.sha256(raw).hexdigest()] == Hl7Json(raw.decode()).hl7_json


def test_send_over_tls(tmp_path: Path) -> None:
    cert, key = make_certificate(tmp_path)
    source = tmp_path / "feed.hl7"
    write_messages(source, ["TLS-1", "TLS-2"])
    listener = Listener(tmp_path / "out", "--tls-cert", str(cert), "--tls-key", str(key))
    try:
        listener.start()
        port = str(listener.port)
        code, stdout, stderr = send("--host", "127.0.0.1", "--port", port, "--tls-ca", str(cert), str(source))
        assert code == 0, stderr
        assert summary(stdout)["AA"] == 2
        # Without the authority the certificate is not trusted: nothing is sent.
        untrusted, stdout, stderr = send(
            "--host", "127.0.0.1", "--port", port, "--tls", "--retries", "0", str(source)
        )
        assert untrusted == 1 and "CERTIFICATE_VERIFY_FAILED" in stderr
        assert summary(stdout)["none"] == 2
    finally:
        listener.kill()
    assert [line["control_id"] for line in part_lines(tmp_path / "out")] == ["TLS-1", "TLS-2"]


def test_receiver_closed_frames_are_fine(tmp_path: Path) -> None:
    """A receiver that ends its ACK frames with FS alone is understood."""
    source = tmp_path / "one.hl7"
    write_messages(source, ["FS-ONLY"])
    with socket.create_server(("127.0.0.1", 0)) as server:
        server.settimeout(10)
        port = server.getsockname()[1]

        def serve() -> None:
            connection, _ = server.accept()
            with connection:
                connection.settimeout(10)
                data = b""
                while FS not in data:
                    data += connection.recv(4096)
                connection.sendall(VT + answer(data[1 : data.index(FS)]) + FS)
                connection.recv(4096)

        thread = threading.Thread(target=serve, daemon=True)
        thread.start()
        code, stdout, _ = send("--host", "127.0.0.1", "--port", str(port), str(source))
        thread.join(10)
    assert code == 0 and summary(stdout)["AA"] == 1
