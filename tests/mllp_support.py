"""Helpers for the network tests: a receiver in a subprocess, a blocking MLLP client, messages, certificates.

Everything talks to 127.0.0.1 only. Every wait is bounded; every subprocess
is killed in a ``finally``.
"""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

import orjson

from brenvolt_feeds import ack, mllp
from brenvolt_feeds.delimiters import header_field_separator
from brenvolt_feeds.listen import MllpConnection, Receiver

REPO = Path(__file__).resolve().parents[1]
PYTHON_DIR = REPO / "python"
VT, FS, CR = b"\x0b", b"\x1c", b"\r"


def child_env() -> dict[str, str]:
    """The environment for a subprocess that imports the work tree's pure-Python sources."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(PYTHON_DIR), *filter(None, [env.get("PYTHONPATH")])])
    return env


def frame(payload: bytes) -> bytes:
    return VT + payload + FS + CR


def adt(control_id: str, *, name: str = "DOE^JOHN", extra: str = "") -> bytes:
    """A small ADT^A01 with MSH-10 = ``control_id`` and CR segment ends."""
    return (
        f"MSH|^~\\&|SENDER|FAC|RECEIVER|FAC|20261208120000||ADT^A01^ADT_A01|{control_id}|P|2.5\r"
        "EVN|A01|20261208120000\r"
        f"PID|1||{control_id}^^^HOSP^MR||{name}||19800101|M\r"
        f"PV1|1|I|WARD^1^2{extra}\r"
    ).encode()


def ack_fields(payload: bytes) -> tuple[str, str]:
    """(MSA-1, MSA-2) of an ACK payload, cut at its own field separator; AssertionError when it has no MSA."""
    text = payload.decode("utf-8", "replace")
    separator = header_field_separator(text) or "|"
    for line in text.split("\r"):
        if line.startswith("MSA" + separator):
            fields = line.split(separator)
            return fields[1], fields[2] if len(fields) > 2 else ""
    raise AssertionError(f"no MSA segment in {payload!r}")


class Client:
    """A blocking MLLP client with a bounded wait for every reply."""

    def __init__(self, port: int, *, timeout: float = 10.0) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self.sock.close()

    def reset(self) -> None:
        """Close with a TCP reset (SO_LINGER 0) instead of an orderly close."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        self.sock.close()

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def reply(self) -> bytes | None:
        """The next frame's payload, or None when the receiver closed the connection first."""
        while True:
            start = self.buffer.find(VT)
            end = self.buffer.find(FS, start + 1) if start >= 0 else -1
            if end >= 0:
                payload = self.buffer[start + 1 : end]
                self.buffer = self.buffer[end + 1 :].lstrip(CR)
                return payload
            try:
                data = self.sock.recv(1 << 16)
            except ConnectionResetError:
                return None
            if not data:
                return None
            self.buffer += data

    def exchange(self, payload: bytes) -> tuple[str, str]:
        self.send(frame(payload))
        answer = self.reply()
        assert answer is not None, "the receiver closed the connection without an answer"
        return ack_fields(answer)

    def closed_by_peer(self) -> bool:
        """True when the receiver has closed the connection (waits up to the socket timeout)."""
        try:
            return self.sock.recv(1 << 16) == b""
        except ConnectionResetError:
            return True
        except TimeoutError:
            return False


class ScriptedTransport(asyncio.Transport):
    """A transport for driving an ``MllpConnection`` in process: it keeps what is written.

    With ``stuck=True`` the peer never reads: the first write pauses the
    protocol's writing for good, as a full socket buffer would.
    """

    def __init__(self, protocol: asyncio.Protocol, *, stuck: bool = False) -> None:
        super().__init__()
        self.protocol = protocol
        self.written = bytearray()
        self.stuck = stuck
        self.closing = False
        self.reading = True
        self.writing_paused = False

    def get_extra_info(self, name: str, default: object = None) -> object:
        return ("127.0.0.1", 9) if name == "peername" else default

    def write(self, data: bytes | bytearray | memoryview) -> None:
        assert not self.closing, "written after close"
        self.written += data
        if self.stuck and not self.writing_paused:
            self.writing_paused = True
            self.protocol.pause_writing()

    def is_closing(self) -> bool:
        return self.closing

    def close(self) -> None:
        if not self.closing:
            self.closing = True
            asyncio.get_running_loop().call_soon(self.protocol.connection_lost, None)

    def abort(self) -> None:
        self.close()

    def pause_reading(self) -> None:
        self.reading = False

    def resume_reading(self) -> None:
        self.reading = True

    def is_reading(self) -> bool:
        return self.reading


async def drive_connection(receiver: Receiver, chunks: Sequence[bytes], *, stuck: bool = False) -> bytes:
    """Serve one in-process connection that delivers ``chunks`` one read each, then end of stream.

    Like a sender that waits for its answers, each chunk is delivered once
    every frame before it is answered (or the connection paused its
    reading). Returns every byte the receiver wrote. Bounded: 30 s in all.
    """
    connection = MllpConnection(receiver)
    transport = ScriptedTransport(connection, stuck=stuck)
    connection.connection_made(transport)
    async with asyncio.timeout(30):
        for chunk in chunks:
            while connection.unanswered and transport.reading and not transport.closing:
                await asyncio.sleep(0.001)
            if transport.closing or not transport.reading:
                break
            connection.data_received(chunk)
        else:
            while connection.unanswered and transport.reading and not transport.closing:
                await asyncio.sleep(0.001)
            # A paused transport reads nothing, not even the end of the stream.
            if transport.reading and not transport.closing and not connection.eof_received():
                transport.close()
        await connection.closed
    return bytes(transport.written)


class Listener:
    """``python -m brenvolt_feeds.listen`` in a subprocess, its stderr in a file."""

    def __init__(self, out: Path, *options: str, log: Path | None = None) -> None:
        self.out = out
        self.log = log or out.parent / f"{out.name}-listen-{time.monotonic_ns()}.log"
        self.options = options
        self.process: subprocess.Popen[bytes] | None = None
        self.port = 0
        self.preexec: Callable[[], None] | None = None
        """Run in the child before it starts (to lower its limits, say)."""

    def start(self, timeout: float = 20.0) -> Listener:
        with self.log.open("wb") as stderr:
            self.process = subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "brenvolt_feeds.listen",
                    "--port",
                    "0",
                    "--out",
                    str(self.out),
                    *self.options,
                ],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=stderr,
                env=child_env(),
                preexec_fn=self.preexec,
            )
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            match = re.search(r"listening on [\d.]+:(\d+)", self.stderr())
            if match:
                self.port = int(match.group(1))
                return self
            if self.process.poll() is not None:
                raise AssertionError(f"listen exited with {self.process.returncode}: {self.stderr()}")
            time.sleep(0.02)
        raise AssertionError(f"listen did not start in {timeout}s: {self.stderr()}")

    def stderr(self) -> str:
        return self.log.read_text("utf-8", "replace") if self.log.exists() else ""

    def terminate(self, timeout: float = 20.0) -> tuple[int, str]:
        """SIGTERM, wait; return (exit status, stderr)."""
        assert self.process is not None
        self.process.send_signal(signal.SIGTERM)
        status = self.process.wait(timeout)
        return status, self.stderr()

    def kill(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)

    def __enter__(self) -> Listener:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.kill()


@contextlib.contextmanager
def listening(out: Path, *options: str) -> Iterator[Listener]:
    listener = Listener(out, *options)
    try:
        yield listener.start()
    finally:
        listener.kill()


def part_lines(out: Path, prefix: str = "part", *, live: bool = False) -> list[dict[str, object]]:
    """Every line of the closed and open ``prefix`` files in ``out``, in file order.

    ``live``: the receiver is still writing, so the last line of an open file
    may not be whole yet; it is left out (otherwise such a line fails).
    """
    lines: list[dict[str, object]] = []
    for path in sorted(out.glob(f"{prefix}-*.jsonl*"), key=lambda p: int(p.name.split("-")[2].split(".")[0])):
        with path.open("rb") as stream:
            for line in stream:
                if live and not line.endswith(b"\n") and path.name.endswith(".open"):
                    break
                assert line.endswith(b"\n"), f"{path.name}: a line without its newline"
                lines.append(orjson.loads(line))
    return lines


def summary_counts(stderr: str) -> dict[str, int]:
    """The numbers of the receiver's closing summary line."""
    match = re.search(r"stored (\d+), rejected (\d+), duplicates (\d+), bytes skipped (\d+)", stderr)
    assert match, f"no summary in: {stderr}"
    return dict(
        zip(("stored", "rejected", "duplicates", "bytes skipped"), map(int, match.groups()), strict=True)
    )


def make_certificate(folder: Path) -> tuple[Path, Path]:
    """A self-signed certificate for 127.0.0.1 and its key, made with the openssl command."""
    openssl = shutil.which("openssl")
    if openssl is None:
        import pytest

        pytest.skip("no openssl command to make a test certificate")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(
        [
            openssl,
            "req",
            "-x509",
            "-newkey",
            "rsa:2048",
            "-nodes",
            "-days",
            "2",
            "-subj",
            "/CN=127.0.0.1",
            "-addext",
            "subjectAltName=IP:127.0.0.1",
            "-keyout",
            str(key),
            "-out",
            str(cert),
        ],
        check=True,
        capture_output=True,
        timeout=60,
    )
    return cert, key


def run_module(module: str, args: Sequence[str], timeout: float = 60.0) -> subprocess.CompletedProcess[str]:
    """``python -m MODULE ARGS`` with the work tree's sources; output captured as text."""
    return subprocess.run(
        [sys.executable, "-m", module, *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_env(),
        stdin=subprocess.DEVNULL,
    )


Script = Callable[[int, bytes], list[bytes]]
"""(how many frames this receiver has seen before, payload) -> frames to answer with; [b"CLOSE"] closes."""


class ScriptedReceiver:
    """A receiver on 127.0.0.1 in a thread that answers each frame as its script says."""

    def __init__(self, script: Script) -> None:
        self.script = script
        self.received: list[bytes] = []
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(0.2)
        self.port = self.server.getsockname()[1]
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self) -> ScriptedReceiver:
        self.thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop.set()
        self.thread.join(10)
        self.server.close()

    def _serve(self) -> None:
        while not self.stop.is_set():
            try:
                connection, _ = self.server.accept()
            except TimeoutError:
                continue
            with connection:
                connection.settimeout(0.2)
                self._talk(connection)

    def _talk(self, connection: socket.socket) -> None:
        decoder = mllp.FrameDecoder()
        while not self.stop.is_set():
            try:
                data = connection.recv(1 << 16)
            except TimeoutError:
                continue
            if not data:
                return
            for event in decoder.feed(data):
                if not isinstance(event, mllp.Frame):
                    continue
                answers = self.script(len(self.received), event.payload)
                self.received.append(event.payload)
                if answers == [b"CLOSE"]:
                    return
                for answer in answers:
                    connection.sendall(frame(answer))


def answer(payload: bytes, code: str = "AA", control: str | None = None) -> bytes:
    text = payload.decode()
    reply = ack.build_ack(text, code)  # type: ignore[arg-type]
    if control is not None:
        reply = reply.replace(f"MSA|{code}|{ack.control_id(text)}", f"MSA|{code}|{control}")
    return reply.encode()


# -- HTTP ---------------------------------------------------------------------------


def http_get(port: int, path: str, *, method: str = "GET") -> tuple[int, str]:
    """(status, body) of a request to 127.0.0.1:PORT, within 10 s."""
    request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, response.read().decode("utf-8")
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode("utf-8")


def http_port(listener: Listener) -> int:
    """The port of a listener's HTTP endpoint, from its ``metrics on`` line."""
    match = re.search(r"metrics on http://[\d.]+:(\d+)/metrics", listener.stderr())
    assert match, listener.stderr()
    return int(match.group(1))


# -- certificates ---------------------------------------------------------------------


class Pki:
    """Certificates made for a test with ``cryptography``: an authority, the server, and clients.

    ``server``: 127.0.0.1, signed by ``ca``. Clients: ``trusted`` (signed by
    ``ca``), ``untrusted`` (signed by another authority), ``expired`` (signed
    by ``ca``, valid until yesterday). Each is a (certificate, key) pair of PEM paths.
    """

    def __init__(self, folder: Path) -> None:
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import NameOID

        self.folder = folder
        now = datetime.datetime.now(datetime.UTC)

        def name(text: str) -> x509.Name:
            return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])

        def authority(label: str) -> tuple[x509.Certificate, ec.EllipticCurvePrivateKey]:
            key = ec.generate_private_key(ec.SECP256R1())
            cert = (
                x509.CertificateBuilder()
                .subject_name(name(label))
                .issuer_name(name(label))
                .public_key(key.public_key())
                .serial_number(x509.random_serial_number())
                .not_valid_before(now - datetime.timedelta(days=1))
                .not_valid_after(now + datetime.timedelta(days=2))
                .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                .add_extension(
                    x509.KeyUsage(
                        digital_signature=True,
                        content_commitment=False,
                        key_encipherment=False,
                        data_encipherment=False,
                        key_agreement=False,
                        key_cert_sign=True,
                        crl_sign=True,
                        encipher_only=False,
                        decipher_only=False,
                    ),
                    critical=True,
                )
                .sign(key, hashes.SHA256())
            )
            return cert, key

        def write(label: str, cert: x509.Certificate, key: ec.EllipticCurvePrivateKey) -> tuple[Path, Path]:
            cert_path, key_path = folder / f"{label}.pem", folder / f"{label}-key.pem"
            cert_path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
            key_path.write_bytes(
                key.private_bytes(
                    serialization.Encoding.PEM,
                    serialization.PrivateFormat.PKCS8,
                    serialization.NoEncryption(),
                )
            )
            return cert_path, key_path

        def issue(
            label: str,
            issuer: tuple[x509.Certificate, ec.EllipticCurvePrivateKey],
            *,
            server: bool,
            expired: bool = False,
        ) -> tuple[Path, Path]:
            import ipaddress

            key = ec.generate_private_key(ec.SECP256R1())
            start = now - datetime.timedelta(days=3 if expired else 1)
            end = now - datetime.timedelta(days=1) if expired else now + datetime.timedelta(days=2)
            builder = (
                x509.CertificateBuilder()
                .subject_name(name(label))
                .issuer_name(issuer[0].subject)
                .public_key(key.public_key())
                .serial_number(x509.random_serial_number())
                .not_valid_before(start)
                .not_valid_after(end)
                .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                .add_extension(
                    x509.ExtendedKeyUsage(
                        [x509.oid.ExtendedKeyUsageOID.SERVER_AUTH if server else x509.oid.ExtendedKeyUsageOID.CLIENT_AUTH]
                    ),
                    critical=False,
                )
            )
            if server:
                builder = builder.add_extension(
                    x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False
                )
            return write(label, builder.sign(issuer[1], hashes.SHA256()), key)

        ca = authority("brenvolt test authority")
        other = authority("someone else's authority")
        self.ca = write("ca", *ca)[0]
        self.server = issue("server", ca, server=True)
        self.trusted = issue("trusted-client", ca, server=False)
        self.untrusted = issue("untrusted-client", other, server=False)
        self.expired = issue("expired-client", ca, server=False, expired=True)
