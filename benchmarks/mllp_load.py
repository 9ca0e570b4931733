"""Load benchmark for ``brenvolt listen``: acknowledged messages per second and ACK latency, fsync on.

Starts ``python -m brenvolt_feeds.listen`` on 127.0.0.1 (a port the system
picks) writing to a temporary directory, then drives it from this process
with asyncio protocols:

- saturation runs over 1, 8 and 64 connections: each connection sends an ADT
  message, waits for its ACK, sends the next, for a fixed time;
- a paced run: 1,000 messages per second in total, spread over 8 connections.

Latency is the time from the frame's last byte handed to the socket to the
ACK frame's last byte received. Results go to ``benchmarks/mllp_results.md``
and ``benchmarks/mllp_results.png``.

Usage: ``PYTHONPATH=python .venv/bin/python benchmarks/mllp_load.py [--seconds 10] [--quick]``
"""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
VT, FS, CR = b"\x0b", b"\x1c", b"\r"


def adt(connection: int, number: int) -> bytes:
    control = f"L{connection}-{number}"
    return (
        f"MSH|^~\\&|LOADGEN|HOSP|BRENVOLT|HOSP|20261208120000||ADT^A01^ADT_A01|{control}|P|2.5\r"
        "EVN|A01|20261208120000\r"
        f"PID|1||{number}^^^HOSP^MR||DOE^JOHN^Q||19800101|M|||1 MAIN ST^^SYRACUSE^NY^13215||555-0100\r"
        "NK1|1|DOE^JANE|SPO|1 MAIN ST^^SYRACUSE^NY^13215|555-0101\r"
        "PV1|1|I|WARD^101^A^HOSP||||1234^WELBY^MARCUS|||MED||||7|||1234^WELBY^MARCUS|IN||||||||||||||||||||||||20261208115500\r"
        "AL1|1|DA|PCN^PENICILLIN|SV|RASH\r"
    ).encode()


class AckClient(asyncio.Protocol):
    """One connection: send, wait for the ACK, record the latency, send the next."""

    def __init__(self, number: int, latencies: list[float], deadline: float, interval: float | None) -> None:
        self.number = number
        self.latencies = latencies
        self.deadline = deadline
        self.interval = interval
        self.sent_at = 0.0
        self.count = 0
        self.buffer = b""
        self.transport: asyncio.Transport | None = None
        self.done: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.next_due = time.perf_counter()

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        assert isinstance(transport, asyncio.Transport)
        self.transport = transport
        self.send_next()

    def send_next(self) -> None:
        now = time.perf_counter()
        if now >= self.deadline:
            assert self.transport is not None
            self.transport.close()
            return
        if self.interval is not None and now < self.next_due:
            asyncio.get_running_loop().call_later(self.next_due - now, self.send_next)
            return
        self.count += 1
        assert self.transport is not None
        self.transport.write(VT + adt(self.number, self.count) + FS + CR)
        self.sent_at = time.perf_counter()
        if self.interval is not None:
            self.next_due += self.interval

    def data_received(self, data: bytes) -> None:
        self.buffer += data
        end = self.buffer.find(FS)
        if end < 0:
            return
        arrived = time.perf_counter()
        payload, self.buffer = self.buffer[:end], self.buffer[end + 2 :]
        if b"MSA|AA|" not in payload:
            raise RuntimeError(f"not an AA: {payload!r}")
        self.latencies.append(arrived - self.sent_at)
        self.send_next()

    def connection_lost(self, exc: Exception | None) -> None:
        if not self.done.done():
            self.done.set_result(None)


@dataclass
class Result:
    name: str
    connections: int
    seconds: float
    messages: int
    p50_ms: float
    p99_ms: float
    max_ms: float
    cpu_us: float
    """Receiver CPU time per acknowledged message, in microseconds."""

    @property
    def rate(self) -> float:
        return self.messages / self.seconds


async def drive(
    port: int, connections: int, seconds: float, total_rate: float | None
) -> tuple[list[float], float]:
    loop = asyncio.get_running_loop()
    latencies: list[float] = []
    started = time.perf_counter()
    deadline = started + seconds
    interval = connections / total_rate if total_rate else None
    clients = []
    for number in range(connections):
        client = AckClient(number, latencies, deadline, interval)
        if interval is not None:  # spread the paced connections over one interval
            client.next_due = started + interval * number / connections
        await loop.create_connection(lambda c=client: c, "127.0.0.1", port)  # type: ignore[misc]
        clients.append(client)
    await asyncio.wait_for(asyncio.gather(*(client.done for client in clients)), seconds + 30)
    return latencies, time.perf_counter() - started


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class Server:
    def __init__(self, out: Path, *options: str) -> None:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(REPO / "python"), *filter(None, [env.get("PYTHONPATH")])])
        self.log = out.with_suffix(".log")
        with self.log.open("wb") as stderr:
            self.process = subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "brenvolt_feeds.listen",
                    "--port",
                    "0",
                    "--out",
                    str(out),
                    "-q",
                    *options,
                ],
                stderr=stderr,
                stdin=subprocess.DEVNULL,
                env=env,
            )
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            match = re.search(r"listening on [\d.]+:(\d+)", self.log.read_text())
            if match:
                self.port = int(match.group(1))
                return
            time.sleep(0.05)
        self.process.kill()
        raise RuntimeError("listen did not start")

    def cpu_seconds(self) -> float:
        """User plus system CPU time the receiver has used so far."""
        fields = Path(f"/proc/{self.process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self) -> str:
        try:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(60)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait(10)
        return self.log.read_text()


def run_case(
    workdir: Path, name: str, connections: int, seconds: float, rate: float | None, options: list[str]
) -> Result:
    out = workdir / re.sub(r"[^a-z0-9]+", "-", name.lower())
    server = Server(out, *options)
    try:
        cpu_before = server.cpu_seconds()
        latencies, elapsed = asyncio.run(drive(server.port, connections, seconds, rate))
        cpu = server.cpu_seconds() - cpu_before
    finally:
        summary = server.stop()
    stored = int(re.search(r"stored (\d+)", summary).group(1))  # type: ignore[union-attr]
    if stored != len(latencies):
        raise RuntimeError(f"{name}: {len(latencies)} ACKs but {stored} stored")
    result = Result(
        name,
        connections,
        elapsed,
        len(latencies),
        percentile(latencies, 0.5) * 1000,
        percentile(latencies, 0.99) * 1000,
        max(latencies) * 1000,
        cpu / max(1, len(latencies)) * 1e6,
    )
    print(
        f"{name:>24}: {result.rate:8.0f} msg/s  p50 {result.p50_ms:6.2f} ms  p99 {result.p99_ms:6.2f} ms  "
        f"max {result.max_ms:6.1f} ms  receiver CPU {result.cpu_us:5.0f} us/msg  "
        f"({result.messages} messages)",
        flush=True,
    )
    shutil.rmtree(out, ignore_errors=True)
    return result


SHORT = {
    "1 connection": "1 conn.",
    "8 connections": "8 conn.",
    "64 connections": "64 conn.",
    "paced 1,000 msg/s (8 conn.)": "1,000/s paced",
}


def fsync_probe(folder: Path) -> tuple[float, float, float]:
    """This disk's cost of durability.

    Returns p50 and p99 ms of one write+fsync at a time, and fsyncs/s from 4 threads.
    """
    import threading

    path = folder / "fsync-probe"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    try:
        times = []
        for _ in range(200):
            started = time.perf_counter()
            os.write(fd, b"x" * 700 + b"\n")
            os.fsync(fd)
            times.append(time.perf_counter() - started)
        count = [0] * 4
        stop = time.perf_counter() + 2

        def hammer(slot: int) -> None:
            while time.perf_counter() < stop:
                os.write(fd, b"x" * 700 + b"\n")
                os.fsync(fd)
                count[slot] += 1

        threads = [threading.Thread(target=hammer, args=(slot,)) for slot in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        os.close(fd)
        path.unlink()
    return percentile(times, 0.5) * 1000, percentile(times, 0.99) * 1000, sum(count) / 2


def write_results(
    results: list[Result],
    load_before: tuple[float, float, float],
    seconds: float,
    probe: tuple[float, float, float],
) -> None:
    import platform

    commit = subprocess.run(
        ["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True, cwd=REPO
    ).stdout.strip()
    lines = [
        "# MLLP load: `brenvolt listen` with fsync on",
        "",
        f"Run of `benchmarks/mllp_load.py` on commit {commit}, "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
        f"{os.cpu_count()} cores, Python {platform.python_version()}, load average before the run "
        f"{load_before[0]:.2f} / {load_before[1]:.2f} / {load_before[2]:.2f}. "
        f"The receiver and the load generator share the machine. Each case runs {seconds:g} s; "
        "every ACK is checked to be AA and the receiver's stored count to equal the ACKs received. "
        "Latency: from the frame's last byte "
        "handed to the socket to the ACK received.",
        "",
        f"This disk's cost of durability, measured in the same folder just before: one write+fsync at a time "
        f"takes {probe[0]:.2f} ms at the median and {probe[1]:.2f} ms at p99; four threads doing the same "
        f"complete {probe[2]:,.0f} fsyncs/s together.",
        "",
        "| case | connections | acknowledged msg/s | p50 ms | p99 ms | max ms "
        "| receiver CPU µs/msg | messages |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for result in results:
        lines.append(
            f"| {result.name} | {result.connections} | {result.rate:,.0f} | {result.p50_ms:.2f} "
            f"| {result.p99_ms:.2f} "
            f"| {result.max_ms:.1f} | {result.cpu_us:.0f} | {result.messages:,} |"
        )
    (HERE / "mllp_results.md").write_text("\n".join(lines) + "\n")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    names = [SHORT.get(result.name, result.name) for result in results]
    left.bar(names, [result.rate for result in results], color="#4477aa")
    left.axhline(5000, color="#cc6677", linestyle="--", label="target 5,000 msg/s (8 connections)")
    left.set_ylabel("acknowledged messages / s")
    left.set_title("Throughput, fsync on")
    left.legend(fontsize=8)
    left.tick_params(axis="x", labelsize=9)
    positions = range(len(results))
    right.bar(
        [p - 0.2 for p in positions], [r.p50_ms for r in results], width=0.4, label="p50", color="#88ccee"
    )
    right.bar(
        [p + 0.2 for p in positions], [r.p99_ms for r in results], width=0.4, label="p99", color="#332288"
    )
    right.axhline(20, color="#cc6677", linestyle="--", label="p99 target 20 ms (1,000 msg/s)")
    right.set_xticks(list(positions), names, fontsize=9)
    right.set_ylabel("ms from last byte sent to ACK")
    right.set_title("ACK latency")
    right.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(HERE / "mllp_results.png", dpi=110)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each case (default 10)")
    parser.add_argument("--quick", action="store_true", help="2 s per case; results files are not written")
    parser.add_argument("--parallel-fsyncs", type=int, help="passed to brenvolt listen")
    parser.add_argument("--only", help="run only the cases whose name holds this text")
    options = parser.parse_args()
    seconds = 2.0 if options.quick else options.seconds
    load_before = os.getloadavg()
    print(f"load average before: {load_before[0]:.2f} {load_before[1]:.2f} {load_before[2]:.2f}", flush=True)
    cases = [
        ("1 connection", 1, None),
        ("8 connections", 8, None),
        ("64 connections", 64, None),
        ("paced 1,000 msg/s (8 conn.)", 8, 1000.0),
    ]
    # On the disk of the work tree, not a tmpfs, so that fsync means what it does in use.
    with tempfile.TemporaryDirectory(prefix="mllp-load-", dir=REPO) as folder:
        probe = fsync_probe(Path(folder))
        print(
            f"fsync: p50 {probe[0]:.2f} ms, p99 {probe[1]:.2f} ms one at a time; "
            f"{probe[2]:,.0f}/s from 4 threads"
        )
        options_ = ["--parallel-fsyncs", str(options.parallel_fsyncs)] if options.parallel_fsyncs else []
        chosen = [case for case in cases if not options.only or options.only in case[0]]
        results = [run_case(Path(folder), name, n, seconds, rate, options_) for name, n, rate in chosen]
    if not options.quick and not options.only:
        write_results(results, load_before, seconds, probe)
    return 0


if __name__ == "__main__":
    sys.exit(main())
