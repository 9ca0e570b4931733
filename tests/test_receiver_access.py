"""Who may connect to ``brenvolt listen``: ``--allow`` and ``--tls-client-ca``, with certificates made here."""

from __future__ import annotations

import re
import socket
import ssl
from pathlib import Path

import pytest
from mllp_support import (
    CR,
    FS,
    VT,
    Client,
    Pki,
    ack_fields,
    adt,
    frame,
    http_get,
    http_port,
    listening,
    part_lines,
    run_module,
)

from brenvolt_feeds.access import AllowList

pytest.importorskip("cryptography")


@pytest.fixture(scope="module")
def pki(tmp_path_factory: pytest.TempPathFactory) -> Pki:
    return Pki(tmp_path_factory.mktemp("pki"))


def metric(port: int, line_start: str) -> float:
    _, body = http_get(port, "/metrics")
    match = re.search(rf"^{re.escape(line_start)} (\S+)$", body, re.MULTILINE)
    assert match, body
    return float(match.group(1))


class TestAllowList:
    @pytest.mark.parametrize(
        ("entries", "host", "admitted"),
        [
            ([], "192.0.2.1", True),
            (["127.0.0.1"], "127.0.0.1", True),
            (["127.0.0.1"], "127.0.0.2", False),
            (["10.0.0.0/8"], "10.200.3.4", True),
            (["10.0.0.0/8"], "11.0.0.1", False),
            (["10.0.0.0/8, 192.0.2.7"], "192.0.2.7", True),
            (["10.0.0.0/8", "::1"], "::1", True),
            (["127.0.0.0/8"], "::ffff:127.0.0.5", True),
            (["::1"], "127.0.0.1", False),
            (["fe80::/10"], "fe80::1%eth0", True),
            (["10.0.0.1/8"], "10.9.9.9", True),  # host bits are ignored
            (["127.0.0.1"], "/run/socket", False),
        ],
        ids=["empty", "one", "other", "network", "outside", "comma", "ipv6", "mapped", "v6-only", "scoped", "host-bits", "not-ip"],
    )
    def test_admits(self, entries: list[str], host: str, admitted: bool) -> None:
        assert AllowList(entries).admits(host) is admitted

    @pytest.mark.parametrize("entry", ["example.org", "10.0.0.0/33", "1.2.3"], ids=["name", "prefix", "short"])
    def test_bad_entry(self, entry: str) -> None:
        with pytest.raises(ValueError, match="not an address or network"):
            AllowList([entry])
        result = run_module("brenvolt_feeds.listen", ["--out", "unused", "--allow", entry])
        assert result.returncode == 2 and "not an address or network" in result.stderr

    def test_peer_outside_is_refused_before_a_byte_is_read(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--allow", "10.0.0.0/8,192.0.2.7", "--http", "0") as listener:
            port = http_port(listener)
            with Client(listener.port, timeout=5) as client:
                try:
                    client.send(frame(adt("OUTSIDER")))
                except OSError:
                    pass  # closed before the write
                assert client.reply() is None
            assert metric(port, "brenvolt_frames_received_total") == 0
            assert metric(port, 'brenvolt_connections_refused_total{reason="allow"}') == 1
            assert metric(port, "brenvolt_connections_opened_total") == 0
            _, stderr = listener.terminate()
        assert re.search(r"127\.0\.0\.1:\d+: refused: not in --allow \(10\.0\.0\.0/8, 192\.0\.2\.7/32\)", stderr)
        assert part_lines(tmp_path / "out") == []

    def test_peer_inside_is_served(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--allow", "127.0.0.0/8") as listener:
            with Client(listener.port) as client:
                assert client.exchange(adt("INSIDER")) == ("AA", "INSIDER")


def tls_exchange(port: int, pki: Pki, client: tuple[Path, Path] | None, control: str) -> tuple[str, str] | str:
    """Send one message over TLS presenting ``client``; its (MSA-1, MSA-2), or why it failed."""
    context = ssl.create_default_context(cafile=str(pki.ca))
    if client is not None:
        context.load_cert_chain(str(client[0]), str(client[1]))
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            with context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
                tls.sendall(frame(adt(control)))
                data = b""
                while FS not in data:
                    chunk = tls.recv(4096)
                    if not chunk:
                        return "closed"
                    data += chunk
    except (ssl.SSLError, ConnectionError) as error:
        return type(error).__name__
    return ack_fields(data.strip(VT + FS + CR))


class TestClientCertificates:
    def test_only_a_trusted_valid_certificate_gets_in(self, tmp_path: Path, pki: Pki) -> None:
        cert, key = pki.server
        options = ["--tls-cert", str(cert), "--tls-key", str(key), "--tls-client-ca", str(pki.ca), "--http", "0"]
        with listening(tmp_path / "out", *options) as listener:
            assert tls_exchange(listener.port, pki, pki.trusted, "TRUSTED") == ("AA", "TRUSTED")
            refused = {
                name: tls_exchange(listener.port, pki, client, name.upper())
                for name, client in (("untrusted", pki.untrusted), ("none", None), ("expired", pki.expired))
            }
            assert metric(http_port(listener), 'brenvolt_connections_refused_total{reason="tls"}') == 3
            status, stderr = listener.terminate()
        assert status == 0
        # The client learns of the refusal as an alert or a closed connection, never an ACK.
        assert all(isinstance(outcome, str) for outcome in refused.values()), refused
        handshakes = re.findall(r"refused: TLS handshake failed: (.*)", stderr)
        assert len(handshakes) == 3
        assert any("CERTIFICATE_VERIFY_FAILED" in line or "certificate verify failed" in line for line in handshakes)
        assert any("certificate" in line.lower() and "return" in line.lower() for line in handshakes) or any(
            "PEER_DID_NOT_RETURN_A_CERTIFICATE" in line for line in handshakes
        )
        assert [line["control_id"] for line in part_lines(tmp_path / "out")] == ["TRUSTED"]

    def test_send_presents_a_client_certificate(self, tmp_path: Path, pki: Pki) -> None:
        cert, key = pki.server
        source = tmp_path / "one.hl7"
        source.write_bytes(adt("FROM-SEND"))
        options = ["--tls-cert", str(cert), "--tls-key", str(key), "--tls-client-ca", str(pki.ca)]
        with listening(tmp_path / "out", *options) as listener:
            common = ["--host", "127.0.0.1", "--port", str(listener.port), "--tls-ca", str(pki.ca), "--retries", "0"]
            trusted = run_module("brenvolt_feeds.send", [*common, "--tls-cert", str(pki.trusted[0]), "--tls-key", str(pki.trusted[1]), str(source)])
            without = run_module("brenvolt_feeds.send", [*common, str(source)])
        assert trusted.returncode == 0, trusted.stderr
        assert without.returncode == 1 and "without an ACK" in without.stdout

    def test_client_ca_needs_a_certificate(self, tmp_path: Path, pki: Pki) -> None:
        result = run_module("brenvolt_feeds.listen", ["--out", str(tmp_path), "--tls-client-ca", str(pki.ca)])
        assert result.returncode == 2 and "--tls-client-ca needs --tls-cert" in result.stderr
