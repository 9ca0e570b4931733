"""Abuse of ``brenvolt listen``: every case stays bounded in time and descriptors, is logged, and leaves
the receiver serving others.

- a sender that trickles one byte a second;
- 10,000 connections opened at once (and a receiver whose open-file limit is far lower);
- a frame that never ends;
- a peer that never reads its ACKs;
- a TLS handshake that stops halfway.
"""

from __future__ import annotations

import contextlib
import os
import re
import resource
import socket
import time
from collections.abc import Iterator
from pathlib import Path

import pytest
from mllp_support import VT, Client, Listener, Pki, adt, frame, http_get, http_port, listening, part_lines

CONNECTIONS = 10_000


@pytest.fixture(autouse=True, params=["uvloop", "asyncio"])
def event_loop(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    """Every case against both event loops the receiver can run on."""
    if request.param == "uvloop":
        pytest.importorskip("uvloop")
    monkeypatch.setenv("BRENVOLT_EVENT_LOOP", request.param)
    return str(request.param)


def served(port: int, control: str) -> float:
    """Seconds one ordinary exchange took; it must get AA."""
    started = time.monotonic()
    with Client(port, timeout=20) as client:
        assert client.exchange(adt(control)) == ("AA", control)
    return time.monotonic() - started


def open_descriptors(pid: int) -> int:
    return len(os.listdir(f"/proc/{pid}/fd"))


@contextlib.contextmanager
def descriptor_limit(wanted: int) -> Iterator[None]:
    """This process's soft open-file limit raised to ``wanted`` (skip when the hard limit is lower)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < wanted:
        pytest.skip(f"the hard open-file limit is {hard}, below {wanted}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def connect_many(port: int, count: int) -> list[socket.socket]:
    """``count`` connections begun at once (non-blocking), each given 30 s to be accepted or refused."""
    sockets = []
    for _ in range(count):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        with contextlib.suppress(BlockingIOError):
            sock.connect(("127.0.0.1", port))
        sockets.append(sock)
    return sockets


def closed_by_receiver(sockets: list[socket.socket], seconds: float, enough: int | None = None) -> int:
    """How many of ``sockets`` the receiver closed (EOF or reset) within ``seconds`` (or once ``enough`` were)."""
    import selectors

    selector = selectors.DefaultSelector()
    for sock in sockets:
        selector.register(sock, selectors.EVENT_READ)
    closed = 0
    deadline = time.monotonic() + seconds
    while closed < (len(sockets) if enough is None else enough) and time.monotonic() < deadline:
        for key, _ in selector.select(timeout=0.5):
            sock = key.fileobj
            assert isinstance(sock, socket.socket)
            try:
                data = sock.recv(1)
            except (ConnectionError, OSError):
                data = b""
            if not data:
                closed += 1
                selector.unregister(sock)
    selector.close()
    return closed


class TestSlowSender:
    def test_one_byte_a_second_is_cut_at_the_frame_time_limit(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--frame-time-limit", "3", "--frame-timeout", "2") as listener:
            data = frame(adt("TRICKLE"))
            with Client(listener.port, timeout=15) as slow:
                started = time.monotonic()
                sent = 0
                with contextlib.suppress(OSError):
                    for byte in data[:10]:  # a byte a second: never 2 s without one
                        slow.send(bytes([byte]))
                        sent += 1
                        assert served(listener.port, f"MEANWHILE-{sent}") < 5
                        time.sleep(1.0)
                assert slow.closed_by_peer()
                waited = time.monotonic() - started
            _, stderr = listener.terminate()
        assert 2.5 <= waited < 8
        assert 3 <= sent <= 5
        assert re.search(r"frame not complete 3s after its start \(\d+ bytes read; --frame-time-limit\): closing", stderr)
        assert "TRICKLE" not in {line["control_id"] for line in part_lines(tmp_path / "out")}

    def test_junk_alone_does_not_keep_a_connection_open(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--idle-timeout", "2") as listener:
            with Client(listener.port, timeout=15) as junk:
                started = time.monotonic()
                with contextlib.suppress(OSError):
                    for _ in range(8):
                        junk.send(b"\x00")
                        time.sleep(0.5)
                assert junk.closed_by_peer()
                assert time.monotonic() - started < 6
            _, stderr = listener.terminate()
        assert "idle for 2s: closing" in stderr
        # Logged, but not a line per byte.
        assert 1 <= stderr.count("skipped 1 bytes") <= 5


class TestManyConnections:
    def test_ten_thousand_at_once_are_refused_past_the_cap(self, tmp_path: Path) -> None:
        with descriptor_limit(CONNECTIONS + 200), listening(tmp_path / "out", "--http", "0") as listener:
            assert listener.process is not None
            sockets = connect_many(listener.port, CONNECTIONS)
            try:
                # The cap (100) is served; the rest are closed as they are accepted.
                started = time.monotonic()
                refused = closed_by_receiver(sockets, 60, CONNECTIONS - 100)
                print(f"\n{refused} of {CONNECTIONS} connections refused in {time.monotonic() - started:.1f}s")
                assert refused == CONNECTIONS - 100
                assert open_descriptors(listener.process.pid) < 300
            finally:
                for sock in sockets:
                    sock.close()
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                with contextlib.suppress(AssertionError, OSError):
                    if served(listener.port, "AFTER-THE-FLOOD") < 10:
                        break
                time.sleep(0.2)
            _, body = http_get(http_port(listener), "/metrics")
            _, stderr = listener.terminate()
        limit = re.search(r'brenvolt_connections_refused_total\{reason="limit"\} (\d+)', body)
        assert limit and int(limit.group(1)) >= CONNECTIONS - 100
        # Ten lines a window, then one that counts the rest: not ten thousand lines.
        assert 1 <= len(re.findall(r"refused: \d+ connections already open", stderr)) <= 40
        assert "AFTER-THE-FLOOD" in {line["control_id"] for line in part_lines(tmp_path / "out")}

    def test_at_its_open_file_limit_the_receiver_closes_waiting_connections(self, tmp_path: Path) -> None:
        out = tmp_path / "out"
        listener = Listener(out, "--max-connections", str(CONNECTIONS), "--http", "0")

        def low_limit() -> None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))

        with descriptor_limit(CONNECTIONS + 200):
            listener.preexec = low_limit
            try:
                listener.start()
                assert listener.process is not None
                sockets = connect_many(listener.port, 2_000)
                try:
                    closed = closed_by_receiver(sockets, 60, 2_000 - 256)
                    assert closed >= 2_000 - 256
                    assert open_descriptors(listener.process.pid) <= 256
                finally:
                    for sock in sockets:
                        sock.close()
                deadline = time.monotonic() + 20
                while time.monotonic() < deadline:
                    with contextlib.suppress(AssertionError, OSError):
                        if served(listener.port, "AFTER-THE-LIMIT") < 10:
                            break
                    time.sleep(0.2)
                _, stderr = listener.terminate()
            finally:
                listener.kill()
        assert "the open-file limit is 256" in stderr
        assert re.search(r"cannot accept connections: Too many open files \(\d+ open, open-file limit 256\)", stderr)
        assert "AFTER-THE-LIMIT" in {line["control_id"] for line in part_lines(out)}


class TestEndlessFrame:
    def test_stream_without_an_end_byte_is_cut_at_the_frame_size(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--max-frame-size", "1M") as listener:
            with Client(listener.port, timeout=15) as endless:
                endless.send(VT + adt("ENDLESS").rstrip(b"\r"))
                sent = 0
                with contextlib.suppress(OSError):
                    chunk = b"x" * 65536
                    while sent < 64 << 20:  # stops when the receiver closes; never more than 64 MB
                        endless.send(chunk)
                        sent += len(chunk)
                assert endless.closed_by_peer()
            assert served(listener.port, "AFTER-ENDLESS") < 5
            _, stderr = listener.terminate()
        assert sent < 16 << 20
        assert re.search(r"frame at offset 0 passed \d+ bytes \(--max-frame-size 1048576\): closing, no answer", stderr)

    def test_stalled_frame_is_cut_at_the_frame_timeout(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--frame-timeout", "1") as listener:
            with Client(listener.port, timeout=15) as stalled:
                stalled.send(VT + b"MSH|^~\\&|")
                started = time.monotonic()
                assert stalled.closed_by_peer()
                assert time.monotonic() - started < 5
            _, stderr = listener.terminate()
        assert "frame stalled for 1s at offset 10: closing" in stderr


class TestPeerNotReading:
    def test_acks_never_read_close_the_connection_after_the_idle_timeout(self, tmp_path: Path) -> None:
        # A long MSH-4 comes back as MSH-6 of every ACK: 32 KiB answers fill the socket buffers fast.
        wide = "F" * 32_768
        with listening(tmp_path / "out", "--idle-timeout", "2") as listener:
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.connect(("127.0.0.1", listener.port))
            sock.settimeout(0.2)
            sent = 0
            started = time.monotonic()
            with contextlib.suppress(OSError):
                while time.monotonic() - started < 30:
                    message = adt(f"UNREAD-{sent}").replace(b"|FAC|RECEIVER|", f"|{wide}|RECEIVER|".encode(), 1)
                    sock.sendall(frame(message))  # times out once the receiver stops reading
                    sent += 1
            closed_at = None
            sock.settimeout(10)
            with contextlib.suppress(OSError):
                time.sleep(3)
                sock.send(b"x")
                sock.send(b"x")
            closed_at = time.monotonic() - started
            sock.close()
            assert served(listener.port, "READER") < 5
            _, stderr = listener.terminate()
        assert sent > 10 and closed_at < 40
        assert "has not read its ACKs for 2s: closing" in stderr
        stored = [line["control_id"] for line in part_lines(tmp_path / "out")]
        assert stored[-1] == "READER" and len(stored) >= 10


class TestTlsHandshake:
    def test_handshake_that_stops_halfway_is_cut(self, tmp_path: Path) -> None:
        pytest.importorskip("cryptography")
        pki = Pki(tmp_path)
        cert, key = pki.server
        options = ["--tls-cert", str(cert), "--tls-key", str(key), "--frame-timeout", "1", "--http", "0"]
        with listening(tmp_path / "out", *options) as listener:
            stalled = []
            for _ in range(20):
                sock = socket.create_connection(("127.0.0.1", listener.port), timeout=10)
                # The first bytes of a TLS 1.2 ClientHello record, then nothing.
                sock.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")
                stalled.append(sock)
            started = time.monotonic()
            closed = closed_by_receiver(stalled, 15)
            waited = time.monotonic() - started
            for sock in stalled:
                sock.close()
            import ssl

            context = ssl.create_default_context(cafile=str(pki.ca))
            with socket.create_connection(("127.0.0.1", listener.port), timeout=10) as raw:
                with context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                    tls.sendall(frame(adt("AFTER-STALLS")))
                    assert b"MSA|AA|AFTER-STALLS" in tls.recv(4096)
            _, body = http_get(http_port(listener), "/metrics")
            _, stderr = listener.terminate()
        assert closed == 20 and waited < 10
        assert 'brenvolt_connections_refused_total{reason="tls"} 20' in body
        assert "refused: TLS handshake failed" in stderr
