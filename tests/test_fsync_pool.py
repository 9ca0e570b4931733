"""brenvolt_fsync.FsyncPool: batches of descriptors made durable by threads that never take the
interpreter lock, and the store built on it."""

from __future__ import annotations

import asyncio
import errno
import os
import select
import time
from pathlib import Path

import pytest

from brenvolt_feeds import store as store_module
from brenvolt_feeds.store import Kind, Store, part_line, read_lines

brenvolt_fsync = pytest.importorskip("brenvolt_fsync")


def finished(pool: object, count: int, seconds: float = 10) -> list[tuple[int, int, float]]:
    """Wait on fileno() until ``count`` batches are reported (bounded)."""
    done: list[tuple[int, int, float]] = []
    deadline = time.monotonic() + seconds
    while len(done) < count:
        remaining = deadline - time.monotonic()
        assert remaining > 0, f"only {done} within {seconds}s"
        readable, _, _ = select.select([pool.fileno()], [], [], remaining)  # type: ignore[attr-defined]
        if readable:
            done += pool.completed()  # type: ignore[attr-defined]
    return done


def is_open(fd: int) -> bool:
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True


class TestPool:
    def test_batches_are_synced_closed_and_reported(self, tmp_path: Path) -> None:
        pool = brenvolt_fsync.FsyncPool(3)
        try:
            files = [os.open(tmp_path / f"f{n}", os.O_WRONLY | os.O_CREAT) for n in range(6)]
            for fd in files:
                os.write(fd, b"line\n")
            pool.submit(1, files[:2])
            pool.submit(2**64 - 1, files[2:])
            pool.submit(3, [])
            done = finished(pool, 3)
            assert sorted(token for token, _, _ in done) == [1, 3, 2**64 - 1]
            assert all(error == 0 and seconds >= 0 for _, error, seconds in done)
            assert not any(is_open(fd) for fd in files)
            assert pool.completed() == []
        finally:
            pool.close()

    @pytest.mark.parametrize("kind", ["pipe", "closed"])
    def test_a_failed_sync_is_reported_with_its_errno(self, tmp_path: Path, kind: str) -> None:
        pool = brenvolt_fsync.FsyncPool(1)
        try:
            if kind == "pipe":
                bad, other = os.pipe()
                os.close(other)
                expected = errno.EINVAL
            else:
                bad = os.open(tmp_path / "gone", os.O_WRONLY | os.O_CREAT)
                os.close(bad)
                expected = errno.EBADF
            good = os.open(tmp_path / "after", os.O_WRONLY | os.O_CREAT)
            pool.submit(7, [bad, good])
            ((token, error, _),) = finished(pool, 1)
            assert (token, error) == (7, expected)
            assert not is_open(good)  # closed, though its sync was skipped
        finally:
            pool.close()

    @pytest.mark.parametrize(
        ("call", "error", "text"),
        [
            (lambda: brenvolt_fsync.FsyncPool(0), ValueError, "threads must be at least 1, not 0"),
            (lambda: brenvolt_fsync.FsyncPool(1).submit(1, [-1]), ValueError, "argument 'fds': -1 is not a file descriptor"),
            (lambda: brenvolt_fsync.FsyncPool(1).submit(1, 5), TypeError, "argument 'fds': must be a sequence of int"),
            (lambda: brenvolt_fsync.FsyncPool(1).submit(-1, []), OverflowError, None),
            (lambda: brenvolt_fsync.FsyncPool(1).submit(1), TypeError, "FsyncPool.submit() takes 2 arguments (1 given)"),
        ],
        ids=["no-threads", "negative-fd", "not-a-sequence", "negative-token", "arguments"],
    )
    def test_bad_arguments(self, call: object, error: type[Exception], text: str | None) -> None:
        with pytest.raises(error) as raised:
            call()  # type: ignore[operator]
        assert type(raised.value) is error
        if text is not None:
            assert str(raised.value) == text

    def test_closed_pool(self) -> None:
        pool = brenvolt_fsync.FsyncPool(2)
        pool.close()
        pool.close()
        for method, args in (("fileno", ()), ("completed", ()), ("submit", (1, []))):
            with pytest.raises(ValueError, match="the FsyncPool is closed"):
                getattr(pool, method)(*args)

    def test_close_finishes_what_was_queued(self, tmp_path: Path) -> None:
        pool = brenvolt_fsync.FsyncPool(1)
        files = [os.open(tmp_path / f"q{n}", os.O_WRONLY | os.O_CREAT) for n in range(50)]
        for n, fd in enumerate(files):
            pool.submit(n, [fd])
        pool.close()
        assert not any(is_open(fd) for fd in files)


class TestStoreOnThePool:
    def test_the_store_uses_the_pool_and_its_lines_are_durable(self, tmp_path: Path) -> None:
        observed: list[float] = []

        async def scenario() -> list[bool]:
            store = await Store.open(tmp_path, parallel_syncs=2)
            store.fsync_observer = observed.append
            assert store._pool is not None
            lines = [part_line("t", "p", f"C{n}", f"{n:064x}", [{"segment_name": "MSH"}]) for n in range(200)]
            try:
                return list(await asyncio.gather(*(store.append(Kind.PART, line, (f"C{n}", "x")) for n, line in enumerate(lines))))
            finally:
                await store.close()

        results = asyncio.run(scenario())
        assert results == [True] * 200
        assert [line["control_id"] for line in read_lines(tmp_path)] == [f"C{n}" for n in range(200)]
        assert 1 <= len(observed) <= 200

    def test_a_replaced_fsync_keeps_the_threads(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        calls: list[int] = []
        real = store_module._fsync

        def fsync(fd: int, data_only: bool = False) -> None:
            calls.append(fd)
            real(fd, data_only)

        monkeypatch.setattr(store_module, "_fsync", fsync)

        async def scenario() -> bool:
            store = await Store.open(tmp_path)
            try:
                assert store._pool is None
                return await store.append(Kind.PART, part_line("t", "p", "C", "d", []))
            finally:
                await store.close()

        assert asyncio.run(scenario()) is True
        assert calls
