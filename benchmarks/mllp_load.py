"""Load benchmark for ``brenvolt listen``: acknowledged messages per second and ACK latency, fsync on,
next to python-hl7's asyncio MLLP server answering ``create_ack`` (which stores nothing).

Starts ``python -m brenvolt_feeds.listen`` on 127.0.0.1 (a port the system
picks) writing to a temporary directory, and python-hl7's server, then drives
each in turn, case by case, from a child process
(``mllp_load.py --drive PORT CONNECTIONS SECONDS [RATE]``, its own interpreter)
that runs every connection from one selector loop on plain non-blocking
sockets, sending pre-built frames, so that it costs the shared cores little
per message (its CPU per message is reported beside the receiver's):

- saturation runs over 1, 8 and 64 connections: each connection sends an ADT
  message, waits for its ACK, sends the next, for a fixed time;
- a paced run: 1,000 messages per second in total, spread over 8 connections.

Latency is the time from the frame's last byte handed to the socket to the
ACK frame's last byte received. Each case runs both receivers one after the
other, in alternating order over ``--rounds`` rounds, and quotes the median
round; the ratio is brenvolt's rate over python-hl7's. Results go to
``benchmarks/mllp_results.md`` and ``benchmarks/mllp_results.png``.

Usage: ``PYTHONPATH=python .venv/bin/python benchmarks/mllp_load.py [--seconds 10] [--rounds 3] [--quick]``
"""

from __future__ import annotations

import argparse
import array
import os
import re
import selectors
import shutil
import signal
import socket
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


def message_parts(connection: int) -> tuple[bytes, bytes, bytes]:
    """The ADT of ``connection`` cut around its two varying places (control id and number).

    A message is ``head + number + middle + number + tail``: built with two
    byte concatenations, so the generator spends almost nothing per message.
    """
    marker = 987654321
    whole = VT + adt(connection, marker) + FS + CR
    head, middle, tail = whole.split(str(marker).encode())
    return head, middle, tail


def drive(port: int, connections: int, seconds: float, total_rate: float | None) -> tuple[list[float], float]:
    """Run the connections from one selector loop on plain non-blocking sockets.

    Each connection sends a pre-built frame, waits for its ACK, records the
    latency and sends the next; paced connections wait for their next due
    time. Raises RuntimeError on an answer that is not AA or a connection the
    receiver closed early.
    """
    selector = selectors.DefaultSelector()
    latencies: list[float] = []
    interval = connections / total_rate if total_rate else None
    sockets: list[socket.socket] = []
    sent_at = [0.0] * connections
    count = [0] * connections
    buffers = [b""] * connections
    parts = [message_parts(number) for number in range(connections)]
    for number in range(connections):
        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.setblocking(False)
        sockets.append(sock)
        selector.register(sock, selectors.EVENT_READ, number)
    started = time.perf_counter()
    deadline = started + seconds
    due = [started + (interval or 0) * number / connections for number in range(connections)]
    waiting = set(range(connections))  # connections whose next frame is not sent yet
    perf_counter = time.perf_counter

    def send(number: int) -> None:
        count[number] += 1
        text = str(count[number]).encode()
        head, middle, tail = parts[number]
        sockets[number].sendall(head + text + middle + text + tail)
        sent_at[number] = perf_counter()

    try:
        while True:
            now = perf_counter()
            if now >= deadline:
                if len(waiting) == connections:
                    break  # every frame sent got its ACK
                timeout = deadline + 30 - now
                if timeout <= 0:
                    raise RuntimeError("ACKs still missing 30 s after the end")
            else:
                for number in [number for number in waiting if due[number] <= now]:
                    waiting.discard(number)
                    due[number] += interval or 0
                    send(number)
                timeout = deadline - now
                if waiting:
                    timeout = min(timeout, min(due[number] for number in waiting) - now)
            for key, _ in selector.select(max(0.0, timeout)):
                number = key.data
                data = key.fileobj.recv(65536)  # type: ignore[union-attr]
                if not data:
                    raise RuntimeError(f"connection {number} closed by the receiver")
                buffer = buffers[number] + data
                end = buffer.find(FS)
                if end < 0:
                    buffers[number] = buffer
                    continue
                arrived = perf_counter()
                if b"MSA|AA|" not in buffer[:end]:
                    raise RuntimeError(f"not an AA: {buffer[:end]!r}")
                buffers[number] = buffer[end + 2 :]
                latencies.append(arrived - sent_at[number])
                if interval is None and arrived < deadline:
                    send(number)
                else:
                    waiting.add(number)
    finally:
        for sock in sockets:
            selector.unregister(sock)
            sock.close()
        selector.close()
    return latencies, perf_counter() - started


def drive_in_child(
    port: int, connections: int, seconds: float, total_rate: float | None
) -> tuple[list[float], float, float]:
    """Run ``drive`` in a child process (its own interpreter, so it does not share this one's GIL).

    Returns the latencies, the elapsed seconds and the child's CPU seconds.
    """
    command = [sys.executable, __file__, "--drive", str(port), str(connections), str(seconds)]
    if total_rate:
        command.append(str(total_rate))
    child = subprocess.run(command, capture_output=True, check=False, timeout=seconds + 60)
    if child.returncode != 0:
        raise RuntimeError(f"load generator failed: {child.stderr.decode(errors='replace')}")
    values = array.array("d")
    values.frombytes(child.stdout)
    elapsed, cpu = values[0], values[1]
    return values[2:].tolist(), elapsed, cpu


def drive_main(arguments: list[str]) -> int:
    """The child: ``--drive PORT CONNECTIONS SECONDS [RATE]``; writes doubles to stdout."""
    port, connections, seconds = int(arguments[0]), int(arguments[1]), float(arguments[2])
    rate = float(arguments[3]) if len(arguments) > 3 else None
    cpu_before = time.process_time()
    latencies, elapsed = drive(port, connections, seconds, rate)
    values = array.array("d", [elapsed, time.process_time() - cpu_before, *latencies])
    sys.stdout.buffer.write(values.tobytes())
    return 0


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
    client_cpu_us: float
    """Load generator CPU time per acknowledged message, in microseconds."""
    load: float = 0.0
    """The one-minute load average when the case started."""

    @property
    def rate(self) -> float:
        return self.messages / self.seconds


def percentile(values: list[float], fraction: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


PYTHON_HL7_SERVER = """
import asyncio, signal, sys
from hl7.mllp import start_hl7_server

async def main():
    async def handle(reader, writer):
        try:
            while not reader.at_eof():
                message = await reader.readmessage()
                writer.writemessage(message.create_ack())
                await writer.drain()
        except asyncio.IncompleteReadError:
            pass
        finally:
            writer.close()
    server = await start_hl7_server(handle, "127.0.0.1", 0)
    print(f"listening on 127.0.0.1:{server.sockets[0].getsockname()[1]}", file=sys.stderr, flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    async with server:
        await stop.wait()
    print("stored 0", file=sys.stderr, flush=True)

asyncio.run(main())
"""


class Server:
    def __init__(self, out: Path, *options: str, peer: bool = False) -> None:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(REPO / "python"), *filter(None, [env.get("PYTHONPATH")])])
        self.log = out.with_suffix(".log")
        command = (
            [sys.executable, "-c", PYTHON_HL7_SERVER]
            if peer
            else [
                sys.executable,
                "-m",
                "brenvolt_feeds.listen",
                "--port",
                "0",
                "--out",
                str(out),
                "-q",
                *options,
            ]
        )
        with self.log.open("wb") as stderr:
            self.process = subprocess.Popen(
                command,
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
    workdir: Path,
    name: str,
    connections: int,
    seconds: float,
    rate: float | None,
    options: list[str],
    *,
    peer: bool = False,
) -> Result:
    out = workdir / re.sub(r"[^a-z0-9]+", "-", name.lower())
    load = os.getloadavg()[0]
    server = Server(out, *options, peer=peer)
    try:
        cpu_before = server.cpu_seconds()
        latencies, elapsed, client_cpu = drive_in_child(server.port, connections, seconds, rate)
        cpu = server.cpu_seconds() - cpu_before
    finally:
        summary = server.stop()
    stored = int(re.search(r"stored (\d+)", summary).group(1))  # type: ignore[union-attr]
    if not peer and stored != len(latencies):
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
        client_cpu / max(1, len(latencies)) * 1e6,
        load,
    )
    print(
        f"{'python-hl7' if peer else 'brenvolt':>10} {name:>28}: {result.rate:8.0f} msg/s  "
        f"p50 {result.p50_ms:6.2f} ms  p99 {result.p99_ms:6.2f} ms  "
        f"max {result.max_ms:6.1f} ms  receiver CPU {result.cpu_us:5.0f} us/msg  "
        f"generator CPU {result.client_cpu_us:4.0f} us/msg  "
        f"({result.messages} messages, load {load:.2f})",
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


def median_run(runs: list[Result]) -> Result:
    """The run of median rate (the lower middle one of an even count)."""
    return sorted(runs, key=lambda result: result.rate)[(len(runs) - 1) // 2]


def write_results(
    pairs: list[tuple[Result, Result]],
    runs: dict[tuple[str, bool], list[Result]],
    load_before: tuple[float, float, float],
    seconds: float,
    rounds: int,
    probe: tuple[float, float, float],
) -> None:
    import platform

    commit = subprocess.run(
        ["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True, cwd=REPO
    ).stdout.strip()
    import importlib.metadata

    loop = "uvloop " + importlib.metadata.version("uvloop") if _has("uvloop") else "asyncio"
    lines = [
        "# MLLP load: `brenvolt listen` with fsync on, next to python-hl7's asyncio server",
        "",
        f"Run of `benchmarks/mllp_load.py` on commit {commit}, "
        f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
        f"{os.cpu_count()} cores, Python {platform.python_version()}, brenvolt listen on {loop}, "
        f"python-hl7 {importlib.metadata.version('hl7')}; load average before the run "
        f"{load_before[0]:.2f} / {load_before[1]:.2f} / {load_before[2]:.2f}. "
        "The receivers and the load generator share the machine. Each case runs "
        f"{seconds:g} s per receiver and round, the two receivers one after the other in alternating "
        f"order, {rounds} rounds; the round of median rate is quoted, with the one-minute load average "
        "when it started. Every ACK is checked to be AA, and brenvolt's stored count to equal the ACKs it "
        "sent. python-hl7's server answers `create_ack()` as soon as it has read a message, and stores "
        "nothing: brenvolt writes each message's JSON line and fsyncs it first. Latency: from the frame's "
        "last byte handed to the socket to the ACK received. Ratio: brenvolt's rate over python-hl7's.",
        "",
        f"This disk's cost of durability, measured in the same folder just before: one write+fsync at a time "
        f"takes {probe[0]:.2f} ms at the median and {probe[1]:.2f} ms at p99; four threads doing the same "
        f"complete {probe[2]:,.0f} fsyncs/s together.",
        "",
        "| case | brenvolt msg/s | p50 ms | p99 ms | CPU µs/msg | python-hl7 msg/s | p50 ms | p99 ms "
        "| CPU µs/msg | ratio | load |",
        "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for mine, theirs in pairs:
        lines.append(
            f"| {mine.name} | {mine.rate:,.0f} | {mine.p50_ms:.2f} | {mine.p99_ms:.2f} | {mine.cpu_us:.0f} "
            f"| {theirs.rate:,.0f} | {theirs.p50_ms:.2f} | {theirs.p99_ms:.2f} | {theirs.cpu_us:.0f} "
            f"| {mine.rate / theirs.rate:.2f} | {mine.load:.2f} / {theirs.load:.2f} |"
        )
    lines += [
        "",
        "Every round, in the order run (msg/s, p99 ms, receiver CPU µs/msg, load average):",
        "",
        "| case | receiver | rounds |",
        "| --- | --- | --- |",
    ]
    for mine, _ in pairs:
        for peer, label in ((False, "brenvolt"), (True, "python-hl7")):
            rounds_text = "; ".join(
                f"{run.rate:,.0f} msg/s, p99 {run.p99_ms:.2f}, {run.cpu_us:.0f} µs, load {run.load:.2f}"
                for run in runs[(mine.name, peer)]
            )
            lines.append(f"| {mine.name} | {label} | {rounds_text} |")
    (HERE / "mllp_results.md").write_text("\n".join(lines) + "\n")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
    names = [SHORT.get(mine.name, mine.name) for mine, _ in pairs]
    positions = list(range(len(pairs)))
    left.bar(
        [p - 0.2 for p in positions],
        [mine.rate for mine, _ in pairs],
        width=0.4,
        label="brenvolt (fsync'd)",
        color="#4477aa",
    )
    left.bar(
        [p + 0.2 for p in positions],
        [theirs.rate for _, theirs in pairs],
        width=0.4,
        label="python-hl7 (no store)",
        color="#ddcc77",
    )
    left.axhline(12000, color="#cc6677", linestyle="--", label="target 12,000 msg/s (8 connections)")
    left.set_xticks(positions, names, fontsize=9)
    left.set_ylabel("acknowledged messages / s")
    left.set_title("Throughput")
    left.legend(fontsize=8)
    right.bar(
        [p - 0.2 for p in positions],
        [mine.p99_ms for mine, _ in pairs],
        width=0.4,
        label="brenvolt p99",
        color="#332288",
    )
    right.bar(
        [p + 0.2 for p in positions],
        [theirs.p99_ms for _, theirs in pairs],
        width=0.4,
        label="python-hl7 p99",
        color="#aa4499",
    )
    right.axhline(5, color="#cc6677", linestyle="--", label="p99 target 5 ms (1,000 msg/s)")
    right.set_xticks(positions, names, fontsize=9)
    right.set_ylabel("ms from last byte sent to ACK")
    right.set_title("ACK latency, p99")
    right.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(HERE / "mllp_results.png", dpi=110)


def _has(module: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(module) is not None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each case (default 10)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of every case (default 3)")
    parser.add_argument(
        "--quick", action="store_true", help="2 s per case, one round; results files are not written"
    )
    parser.add_argument("--parallel-fsyncs", type=int, help="passed to brenvolt listen")
    parser.add_argument("--only", help="run only the cases whose name holds this text")
    parser.add_argument("--no-peer", action="store_true", help="brenvolt alone, without python-hl7's server")
    options = parser.parse_args()
    seconds = 2.0 if options.quick else options.seconds
    rounds = 1 if options.quick else options.rounds
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
        runs: dict[tuple[str, bool], list[Result]] = {}
        sides = [False] if options.no_peer else [False, True]
        for round_ in range(rounds):
            for name, n, rate in chosen:
                for peer in sides if round_ % 2 == 0 else list(reversed(sides)):
                    result = run_case(Path(folder), name, n, seconds, rate, options_, peer=peer)
                    runs.setdefault((name, peer), []).append(result)
    if not options.quick and not options.only and not options.no_peer:
        pairs = [(median_run(runs[(name, False)]), median_run(runs[(name, True)])) for name, _, _ in chosen]
        write_results(pairs, runs, load_before, seconds, rounds, probe)
    return 0


if __name__ == "__main__":
    sys.exit(drive_main(sys.argv[2:]) if sys.argv[1:2] == ["--drive"] else main())
