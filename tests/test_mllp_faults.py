"""Faults around ``brenvolt listen``: stalled frames, resets, a failing disk, and ``kill -9`` under load.

The promise under test: every message that got AA is stored exactly once; a
message that got no ACK may be stored, and when it is sent again it is
counted as a duplicate rather than stored twice.
"""

from __future__ import annotations

import asyncio
import collections
import os
import random
import signal
import threading
import time
from pathlib import Path

import pytest
from mllp_support import (
    VT,
    Client,
    Listener,
    ack_fields,
    adt,
    drive_connection,
    frame,
    listening,
    part_lines,
    summary_counts,
)

from brenvolt_feeds import store as store_module
from brenvolt_feeds.listen import ListenConfig, Receiver
from brenvolt_feeds.store import read_lines


class TestStalls:
    def test_frame_stalled_halfway_is_closed_after_its_timeout(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--frame-timeout", "0.5") as listener:
            with Client(listener.port) as stalled, Client(listener.port) as busy:
                half = frame(adt("STALLED"))[:40]
                stalled.send(half)
                started = time.monotonic()
                # The other connection is served while the first one stalls.
                assert busy.exchange(adt("MEANWHILE")) == ("AA", "MEANWHILE")
                assert stalled.closed_by_peer()
                waited = time.monotonic() - started
            assert 0.4 <= waited < 9
            _, stderr = listener.terminate()
        assert "frame stalled for 0.5s at offset 40" in stderr
        assert [line["control_id"] for line in part_lines(tmp_path / "out")] == ["MEANWHILE"]

    def test_slow_but_steady_frame_is_not_cut(self, tmp_path: Path) -> None:
        with listening(tmp_path / "out", "--frame-timeout", "0.5") as listener:
            with Client(listener.port) as client:
                data = frame(adt("SLOW"))
                for start in range(0, len(data), len(data) // 4 + 1):
                    client.send(data[start : start + len(data) // 4 + 1])
                    time.sleep(0.2)
                answer = client.reply()
            assert answer is not None and ack_fields(answer) == ("AA", "SLOW")


class TestTimerOnAMillisecondClock:
    def test_a_limit_reached_exactly_closes(self, tmp_path: Path) -> None:
        """uvloop's clock counts whole milliseconds: now - since can be just under the limit while
        since + limit - now is 0; the connection must close then, not stop watching."""
        from mllp_support import ScriptedTransport

        from brenvolt_feeds.connection import MllpConnection

        receiver = Receiver(ListenConfig(out=str(tmp_path), fsync=False, idle_timeout=0.3))

        class Clock:
            def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
                self.loop, self.now, self.armed = loop, 1000.1, []

            def time(self) -> float:
                return self.now

            def call_later(self, delay: float, callback: object) -> asyncio.TimerHandle:
                self.armed.append(delay)
                return self.loop.call_later(3600, lambda: None)

            def create_future(self) -> asyncio.Future[None]:
                return self.loop.create_future()

        async def scenario() -> tuple[bool, list[float]]:
            connection = MllpConnection(receiver)
            clock = Clock(asyncio.get_running_loop())
            connection._loop = clock  # type: ignore[assignment]
            transport = ScriptedTransport(connection)
            connection.connection_made(transport)
            assert 1000.4 - 1000.1 < 0.3 and 1000.1 + 0.3 - 1000.4 <= 0  # the clock's two readings
            clock.now = 1000.4
            connection._check_time()
            await asyncio.sleep(0)
            return transport.closing, clock.armed

        closing, armed = asyncio.run(scenario())
        assert closing and armed == [0.3]
        assert receiver.counters.timeouts == 1


class TestPeerNotReading:
    def test_peer_that_reads_no_acks_is_closed_after_the_idle_timeout(self, tmp_path: Path) -> None:
        receiver = Receiver(ListenConfig(out=str(tmp_path), fsync=False, idle_timeout=0.2))

        async def scenario() -> float:
            store = await receiver.open_store()
            started = time.monotonic()
            try:
                # The peer's window never opens: the first ACK written fills it.
                await drive_connection(
                    receiver, [frame(adt("UNREAD-1")) + frame(adt("UNREAD-2"))], stuck=True
                )
            finally:
                await store.close()
            return time.monotonic() - started

        waited = asyncio.run(scenario())
        assert 0.15 <= waited < 5
        assert receiver.counters.timeouts == 1
        # Both messages were stored before their ACKs were written.
        assert [line["control_id"] for line in read_lines(tmp_path)] == ["UNREAD-1", "UNREAD-2"]


class TestResets:
    @pytest.mark.parametrize("when", ["before-ack", "after-ack"])
    def test_reset_then_resend_stores_once(self, tmp_path: Path, when: str) -> None:
        control = f"RESET-{when}"
        with listening(tmp_path / "out") as listener:
            client = Client(listener.port)
            if when == "after-ack":
                assert client.exchange(adt(control)) == ("AA", control)
            else:
                client.send(frame(adt(control)))
            client.reset()
            # The sender did not see (or did not trust) an ACK, so it sends again.
            with Client(listener.port) as again:
                assert again.exchange(adt(control)) == ("AA", control)
                assert again.exchange(adt("STILL-SERVING")) == ("AA", "STILL-SERVING")
            status, stderr = listener.terminate()
        assert status == 0
        counts = summary_counts(stderr)
        assert [line["control_id"] for line in part_lines(tmp_path / "out")].count(control) == 1
        assert counts["stored"] == 2
        # Reset before its ACK, the first copy may or may not have been stored.
        assert counts["duplicates"] in ((1,) if when == "after-ack" else (0, 1))


class TestDiskFailure:
    def test_failed_write_sends_no_ack_and_closes(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        failing = {"calls": 0}
        real = store_module._fsync

        def fsync(fd: int, data_only: bool = False) -> None:
            # Pass the directory's and the first line's fsync, then fail every later one.
            failing["calls"] += 1
            if failing["calls"] > 2:
                raise OSError(28, "No space left on device")
            real(fd, data_only)

        monkeypatch.setattr(store_module, "_fsync", fsync)
        receiver = Receiver(ListenConfig(out=str(tmp_path)))

        async def scenario() -> bytes:
            store = await receiver.open_store()
            try:
                # FIRST is answered before the others arrive, as a sender waiting for its ACK does.
                return await drive_connection(
                    receiver, [frame(adt("FIRST")), frame(adt("SECOND")) + frame(adt("THIRD"))]
                )
            finally:
                monkeypatch.setattr(store_module, "_fsync", real)
                await store.close()

        written = asyncio.run(scenario())
        answers = [ack_fields(piece[1:]) for piece in bytes(written).split(b"\x1c\r") if piece.startswith(VT)]
        assert answers == [("AA", "FIRST")]
        assert receiver.counters.store_failures == 1
        assert [line["control_id"] for line in read_lines(tmp_path)] == ["FIRST"]


class _Feeder(threading.Thread):
    """One sending connection: resend its unanswered message first, then new ones, until the receiver dies."""

    def __init__(self, port: int, name: str, state: dict[str, object], stop: threading.Event) -> None:
        super().__init__(daemon=True)
        self.port, self.name_, self.state, self.stop = port, name, state, stop

    def run(self) -> None:
        state = self.state
        try:
            client = Client(self.port, timeout=5)
        except OSError:
            return
        try:
            while not self.stop.is_set():
                if state["pending"] is None:
                    state["next"] = int(state["next"]) + 1  # type: ignore[call-overload]
                    state["pending"] = f"{self.name_}-{state['next']}"
                control = str(state["pending"])
                try:
                    client.send(frame(adt(control)))
                    answer = client.reply()
                except OSError:
                    return
                if answer is None:
                    return
                assert ack_fields(answer) == ("AA", control)
                state["acked"].append(control)  # type: ignore[union-attr]
                state["pending"] = None
        finally:
            client.close()


def test_kill_9_under_load_restarted_20_times(tmp_path: Path) -> None:
    out = tmp_path / "out"
    rng = random.Random(20261208)
    states = {f"F{n}": {"next": 0, "pending": None, "acked": []} for n in range(4)}
    kills = 0
    for _ in range(20):
        listener = Listener(out)
        stop = threading.Event()
        feeders: list[_Feeder] = []
        try:
            listener.start()
            feeders = [_Feeder(listener.port, name, state, stop) for name, state in states.items()]
            for feeder in feeders:
                feeder.start()
            time.sleep(rng.uniform(0.2, 0.5))
            assert listener.process is not None
            os.kill(listener.process.pid, signal.SIGKILL)
            listener.process.wait(10)
            kills += 1
        finally:
            stop.set()
            listener.kill()
            for feeder in feeders:
                feeder.join(10)
        assert not any(feeder.is_alive() for feeder in feeders)

    acked = [control for state in states.values() for control in state["acked"]]  # type: ignore[attr-defined]
    unanswered = [str(state["pending"]) for state in states.values() if state["pending"] is not None]
    assert kills == 20 and len(acked) > 100

    # Nothing acknowledged is missing or doubled, and no line is cut.
    lines = part_lines(out)
    stored = collections.Counter(str(line["control_id"]) for line in lines)
    assert all(stored[control] == 1 for control in acked)
    assert set(stored) <= set(acked) | set(unanswered)
    assert max(stored.values()) == 1

    # Send everything once more: what is stored comes back as a duplicate.
    with listening(out) as listener:
        with Client(listener.port) as client:
            for control in [*acked, *unanswered]:
                assert client.exchange(adt(control)) == ("AA", control)
        status, stderr = listener.terminate()
    assert status == 0
    counts = summary_counts(stderr)
    in_store_before = sum(1 for control in unanswered if stored[control])
    assert counts["duplicates"] == len(acked) + in_store_before
    assert counts["stored"] == len(unanswered) - in_store_before
    final = collections.Counter(str(line["control_id"]) for line in part_lines(out))
    assert set(final) == set(acked) | set(unanswered) and max(final.values()) == 1
    assert not list(out.glob("*.open"))
    torn = list(out.glob("torn-*.bin"))
    print(
        f"\nkill -9 loop: {kills} kills, {len(acked)} acknowledged, {len(unanswered)} unanswered at the end "
        f"({in_store_before} of them stored), {len(torn)} torn tails set aside, "
        f"{len(list(out.glob('part-*.jsonl')))} part files"
    )
