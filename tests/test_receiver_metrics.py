"""``brenvolt listen --http``: /metrics read by prometheus_client's parser against a known load, and /health."""

from __future__ import annotations

import asyncio
import time
from pathlib import Path

import pytest
from mllp_support import CR, FS, Client, ack_fields, adt, frame, http_get, http_port, listening

from brenvolt_feeds import ack
from brenvolt_feeds import store as store_module
from brenvolt_feeds.listen import ListenConfig, Receiver
from brenvolt_feeds.metrics import Exposition, Histogram

parser = pytest.importorskip("prometheus_client.parser")


def scrape(port: int) -> dict[str, float]:
    """Every sample of /metrics by name and labels, e.g. ``brenvolt_messages_rejected_total{code=AE}``."""
    status, body = http_get(port, "/metrics")
    assert status == 200
    samples: dict[str, float] = {}
    for family in parser.text_string_to_metric_families(body):
        for sample in family.samples:
            labels = ",".join(f"{key}={value}" for key, value in sorted(sample.labels.items()))
            samples[sample.name + (f"{{{labels}}}" if labels else "")] = sample.value
    return samples


def test_counts_match_a_known_load(tmp_path: Path) -> None:
    incoming_ack = ack.build_ack(adt("ORIGINAL").decode(), "AA").encode()
    broken = b"MSH|^~\\&|A|B|C|D|20261208||ADT^A01|NO-VERSION\rPID|1\r"  # fails --validate: AR
    with listening(tmp_path / "out", "--http", "127.0.0.1:0", "--validate") as listener:
        port = http_port(listener)
        assert scrape(port)["brenvolt_frames_received_total"] == 0
        with Client(listener.port) as first, Client(listener.port) as second:
            for n in range(20):
                client = first if n % 2 else second
                assert client.exchange(adt(f"M-{n}")) == ("AA", f"M-{n}")
            assert first.exchange(adt("M-1")) == ("AA", "M-1")  # duplicates
            assert second.exchange(adt("M-2")) == ("AA", "M-2")
            assert first.exchange(b"MSH|^~\\&|A|B|C|D|x||ADT^A01|BAD|P|2.5\rPID|\xff\r")[0] == "AE"
            assert first.exchange(broken)[0] == "AR"
            first.send(b"junk!")
            first.send(frame(incoming_ack))  # stored, never answered
            assert first.exchange(adt("LAST")) == ("AA", "LAST")
            during = scrape(port)
            assert during["brenvolt_connections_open"] == 2
        deadline = time.monotonic() + 10
        while scrape(port)["brenvolt_connections_open"] and time.monotonic() < deadline:
            time.sleep(0.05)
        after = scrape(port)
        listener.terminate()
    assert after["brenvolt_connections_open"] == 0
    expected = {
        "brenvolt_frames_received_total": 26,
        "brenvolt_messages_stored_total": 22,  # 20, the ACK and LAST
        "brenvolt_duplicates_total": 2,
        "brenvolt_messages_rejected_total{code=AE}": 1,
        "brenvolt_messages_rejected_total{code=AR}": 1,
        "brenvolt_bytes_skipped_total": 5,
        "brenvolt_connections_opened_total": 2,
        "brenvolt_connections_refused_total{reason=allow}": 0,
        "brenvolt_connections_refused_total{reason=limit}": 0,
        "brenvolt_frames_oversized_total": 0,
        "brenvolt_store_failures_total": 0,
        "brenvolt_frames_unanswered": 0,
        "brenvolt_ack_latency_seconds_count": 25,  # every frame but the incoming ACK
        "brenvolt_forward_sent_total": 0,
        "brenvolt_forward_lag_seconds": 0,
    }
    assert {name: after[name] for name in expected} == expected
    assert after['brenvolt_ack_latency_seconds_bucket{le=+Inf}'] == 25
    assert 1 <= after["brenvolt_fsync_seconds_count"] <= 24  # group commit: at most one per stored line
    assert after["brenvolt_ack_latency_seconds_sum"] > 0


@pytest.mark.parametrize(
    ("method", "path", "status", "text"),
    [
        ("GET", "/health", 200, "ok\n"),
        ("HEAD", "/health", 200, ""),
        ("GET", "/metrics?x=1", 200, "# HELP brenvolt_frames_received_total"),
        ("GET", "/other", 404, "not found"),
        ("POST", "/metrics", 405, "only GET and HEAD"),
    ],
    ids=["health", "health-head", "metrics-query", "unknown-path", "post"],
)
def test_endpoints(tmp_path: Path, method: str, path: str, status: int, text: str) -> None:
    with listening(tmp_path / "out", "--http", "0") as listener:
        got, body = http_get(http_port(listener), path, method=method)
    assert got == status
    assert body.startswith(text)


def test_http_listens_on_loopback_by_default(tmp_path: Path) -> None:
    with listening(tmp_path / "out", "--http", "0") as listener:
        assert "metrics on http://127.0.0.1:" in listener.stderr()


def test_health_is_503_while_the_store_cannot_write(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    real = store_module._fsync
    broken = {"on": False}

    def fsync(fd: int, data_only: bool = False) -> None:
        if broken["on"]:
            raise OSError(28, "No space left on device")
        real(fd, data_only)

    monkeypatch.setattr(store_module, "_fsync", fsync)
    receiver = Receiver(ListenConfig(out=str(tmp_path / "out"), port=0, http=("127.0.0.1", 0)))

    async def scenario() -> list[tuple[int, str]]:
        await receiver.start()
        seen = []
        try:
            loop = asyncio.get_running_loop()

            async def get() -> tuple[int, str]:
                return await loop.run_in_executor(None, http_get, receiver.http_port, "/health")

            async def exchange(control: str) -> bytes:
                reader, writer = await asyncio.open_connection("127.0.0.1", receiver.port)
                writer.write(frame(adt(control)))
                data = await reader.read(4096)
                writer.close()
                return data

            seen.append(await get())
            broken["on"] = True
            assert await exchange("LOST") == b""  # closed without an answer
            seen.append(await get())
            broken["on"] = False
            answer = await exchange("BACK")
            assert ack_fields(answer.strip(b"\x0b" + FS + CR)) == ("AA", "BACK")
            seen.append(await get())
        finally:
            await receiver.stop()
        return seen

    healthy, failing, recovered = asyncio.run(scenario())
    assert healthy == (200, "ok\n")
    assert failing[0] == 503 and "could not be stored" in failing[1] and "No space left" in failing[1]
    assert recovered == (200, "ok\n")


class TestExposition:
    def test_what_the_parser_reads_back(self) -> None:
        histogram = Histogram([0.1, 1.0])
        for value in (0.05, 0.1, 0.5, 3.0):
            histogram.observe(value)
        text = Exposition()
        text.counter("x_total", "a counter\nover two lines \\ with a backslash", 3)
        text.counter("y_total", "labelled", {("code", 'A"E\\'): 1, ("code", "AR"): 2})
        text.gauge("z", "a gauge", 0.25)
        text.histogram("h_seconds", "a histogram", histogram)
        families = {family.name: family for family in parser.text_string_to_metric_families(text.render())}
        assert [sample.value for sample in families["x"].samples] == [3]
        assert [(sample.labels["code"], sample.value) for sample in families["y"].samples] == [('A"E\\', 1), ("AR", 2)]
        assert families["z"].samples[0].value == 0.25
        buckets = {sample.labels["le"]: sample.value for sample in families["h_seconds"].samples if sample.name.endswith("_bucket")}
        assert buckets == {"0.1": 2, "1.0": 3, "+Inf": 4}
        totals = {sample.name: sample.value for sample in families["h_seconds"].samples if not sample.name.endswith("_bucket")}
        assert totals == {"h_seconds_sum": pytest.approx(3.65), "h_seconds_count": 4}

    @pytest.mark.parametrize("bounds", [[], [1.0, 0.5], [1.0, 1.0]], ids=["empty", "descending", "repeated"])
    def test_bad_bounds(self, bounds: list[float]) -> None:
        with pytest.raises(ValueError, match="distinct and ascending"):
            Histogram(bounds)
