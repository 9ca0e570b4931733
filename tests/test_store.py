"""The durable JSON Lines store: group commit, rotation, crash recovery, duplicates, write failures."""

from __future__ import annotations

import asyncio
import base64
from pathlib import Path

import orjson
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brenvolt_feeds import store as store_module
from brenvolt_feeds.store import (
    Kind,
    Store,
    StoreClosed,
    StoreError,
    part_line,
    read_lines,
    reject_line,
    stored_files,
)


def line(n: int, size: int = 0) -> bytes:
    return part_line(
        "2026-12-08T12:00:00+00:00",
        "127.0.0.1:1",
        f"C{n}",
        f"{n:064x}",
        [{"segment_name": "MSH", "x": "y" * size}],
    )


def names(folder: Path) -> list[str]:
    return sorted(path.name for path in folder.iterdir())


class TestAppend:
    def test_concurrent_lines_share_fsyncs_and_all_arrive_in_order(self, tmp_path: Path) -> None:
        async def scenario() -> Store:
            store = await Store.open(tmp_path)
            results = await asyncio.gather(
                *(store.append(Kind.PART, line(n), (f"C{n}", f"{n:064x}")) for n in range(300))
            )
            assert results == [True] * 300
            await store.close()
            return store

        store = asyncio.run(scenario())
        assert [value["control_id"] for value in read_lines(tmp_path)] == [f"C{n}" for n in range(300)]
        assert store.batches < 300 / 2, "group commit should cover many lines per fsync"

    def test_close_renames_open_files_and_removes_nothing_written(self, tmp_path: Path) -> None:
        async def scenario() -> list[str]:
            store = await Store.open(tmp_path)
            await store.append(Kind.PART, line(1))
            await store.append(Kind.REJECTS, reject_line("t", "p", "bad", b"\xff"))
            during = names(tmp_path)
            await store.close()
            return during

        during = asyncio.run(scenario())
        assert [name.endswith(".jsonl.open") for name in during] == [True, True]
        after = names(tmp_path)
        assert [name.rsplit("-", 2)[0] for name in after] == ["part", "rejects"]
        assert all(name.endswith(".jsonl") for name in after)
        (reject,) = read_lines(tmp_path, Kind.REJECTS)
        assert reject == {"received": "t", "peer": "p", "error": "bad", "raw": "/w=="}

    @pytest.mark.parametrize("bad", [b"{}", b"{}\n{}\n", b""], ids=["no-newline", "two-lines", "empty"])
    def test_only_one_whole_line_is_taken(self, tmp_path: Path, bad: bytes) -> None:
        async def scenario() -> None:
            store = await Store.open(tmp_path)
            try:
                with pytest.raises(ValueError):
                    await store.append(Kind.PART, bad)
            finally:
                await store.close()

        asyncio.run(scenario())
        assert names(tmp_path) == []

    def test_append_after_close_raises(self, tmp_path: Path) -> None:
        async def scenario() -> None:
            store = await Store.open(tmp_path)
            await store.close()
            with pytest.raises(StoreClosed):
                await store.append(Kind.PART, line(1))

        asyncio.run(scenario())


class TestRotation:
    def test_by_size(self, tmp_path: Path) -> None:
        async def scenario() -> None:
            store = await Store.open(tmp_path, rotate_bytes=1000)
            for n in range(10):
                await store.append(Kind.PART, line(n, 400))
            await store.close()

        asyncio.run(scenario())
        files = stored_files(tmp_path)
        assert len(files) == 5
        assert all(len(path.read_bytes().splitlines()) == 2 for path in files)
        assert [value["control_id"] for value in read_lines(tmp_path)] == [f"C{n}" for n in range(10)]

    def test_by_time_even_when_idle(self, tmp_path: Path) -> None:
        async def scenario() -> list[str]:
            store = await Store.open(tmp_path, rotate_seconds=0.2)
            await store.append(Kind.PART, line(1))
            for _ in range(100):  # bounded: at most 5 s
                if not store.open_paths:
                    break
                await asyncio.sleep(0.05)
            seen = names(tmp_path)
            await store.append(Kind.PART, line(2))
            await store.close()
            return seen

        idle = asyncio.run(scenario())
        assert len(idle) == 1 and idle[0].endswith(".jsonl"), idle
        assert len(stored_files(tmp_path)) == 2

    def test_by_time_under_steady_traffic(self, tmp_path: Path) -> None:
        async def scenario() -> None:
            store = await Store.open(tmp_path, rotate_seconds=0.2, fsync=False)
            for n in range(50):  # 1 s of a line every 20 ms: the writer never waits 0.2 s
                await store.append(Kind.PART, line(n))
                await asyncio.sleep(0.02)
            await store.close()

        asyncio.run(scenario())
        assert len(stored_files(tmp_path)) >= 3
        assert [value["control_id"] for value in read_lines(tmp_path)] == [f"C{n}" for n in range(50)]


class TestRecovery:
    @pytest.mark.parametrize(
        ("content", "kept", "torn"),
        [
            (b'{"a":1}\n{"a":2', b'{"a":1}\n', b'{"a":2'),
            (b'{"a":1', b"", b'{"a":1'),
            (b'{"a":1}\n', b'{"a":1}\n', None),
            (b'{"a":1}\n' + b"x" * 200_000, b'{"a":1}\n', b"x" * 200_000),
        ],
        ids=["cut-last-line", "only-a-cut-line", "whole-lines", "long-cut-line"],
    )
    def test_cut_line_is_set_aside_and_file_closed(
        self, tmp_path: Path, content: bytes, kept: bytes, torn: bytes | None
    ) -> None:
        left = tmp_path / "part-20261208T120000.000000Z-000007.jsonl.open"
        left.write_bytes(content)

        async def scenario() -> Store:
            store = await Store.open(tmp_path, dup_window=0)
            await store.append(Kind.PART, line(1))
            await store.close()
            return store

        store = asyncio.run(scenario())
        closed = tmp_path / "part-20261208T120000.000000Z-000007.jsonl"
        assert closed.read_bytes() == kept
        torn_files = sorted(tmp_path.glob("torn-*.bin"))
        assert [path.read_bytes() for path in torn_files] == ([torn] if torn is not None else [])
        assert store.recovery.closed == (closed.name,)
        # The new part file continues the sequence after the old one and the torn file.
        newest = stored_files(tmp_path)[-1]
        assert int(newest.name.split("-")[2].split(".")[0]) > 7

    @settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(
        values=st.lists(st.text(max_size=40), min_size=1, max_size=8),
        cut=st.integers(min_value=0, max_value=10_000),
    )
    def test_any_crash_point_keeps_exactly_the_whole_lines(
        self, tmp_path_factory: pytest.TempPathFactory, values: list[str], cut: int
    ) -> None:
        folder = tmp_path_factory.mktemp("crash")
        content = b"".join(orjson.dumps({"v": value}) + b"\n" for value in values)
        written = content[: cut % (len(content) + 1)]
        (folder / "part-20261208T120000.000000Z-000001.jsonl.open").write_bytes(written)

        async def scenario() -> None:
            store = await Store.open(folder, dup_window=0, fsync=False)
            await store.close()

        asyncio.run(scenario())
        whole = written[: written.rfind(b"\n") + 1]
        assert [value["v"] for value in read_lines(folder)] == [
            orjson.loads(line)["v"] for line in whole.splitlines()
        ]
        torn = b"".join(path.read_bytes() for path in folder.glob("torn-*.bin"))
        assert whole + torn == written

    def test_duplicate_memory_survives_a_restart_within_its_window(self, tmp_path: Path) -> None:
        async def first() -> None:
            store = await Store.open(tmp_path, dup_window=3)
            for n in range(5):
                await store.append(Kind.PART, line(n), (f"C{n}", f"{n:064x}"))
            await store.close()

        async def second() -> list[bool]:
            store = await Store.open(tmp_path, dup_window=3)
            fresh = [await store.append(Kind.PART, line(n), (f"C{n}", f"{n:064x}")) for n in (4, 3, 2, 1, 0)]
            await store.close()
            return fresh

        asyncio.run(first())
        # C2..C4 are the last three remembered; C0 and C1 fell out of the window.
        assert asyncio.run(second()) == [False, False, False, True, True]

    def test_same_control_id_with_other_bytes_is_not_a_duplicate(self, tmp_path: Path) -> None:
        async def scenario() -> list[bool]:
            store = await Store.open(tmp_path)
            fresh = [
                await store.append(Kind.PART, line(1), ("C1", "aa")),
                await store.append(Kind.PART, line(1), ("C1", "bb")),
                await store.append(Kind.PART, line(1), ("C1", "aa")),
            ]
            await store.close()
            return fresh

        assert asyncio.run(scenario()) == [True, True, False]

    def test_concurrent_copies_are_stored_once(self, tmp_path: Path) -> None:
        async def scenario() -> list[bool]:
            store = await Store.open(tmp_path)
            fresh = await asyncio.gather(*(store.append(Kind.PART, line(1), ("C1", "aa")) for _ in range(5)))
            await store.close()
            return fresh

        assert sorted(asyncio.run(scenario())) == [False, False, False, False, True]
        assert len(list(read_lines(tmp_path))) == 1


class TestWriteFailure:
    def test_failed_fsync_reports_every_waiter_and_leaves_no_partial_line(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        failing = {"on": False}
        real = store_module._fsync

        def fsync(fd: int, data_only: bool = False) -> None:
            if failing["on"]:
                raise OSError(5, "Input/output error")
            real(fd, data_only)

        monkeypatch.setattr(store_module, "_fsync", fsync)

        async def scenario() -> list[object]:
            store = await Store.open(tmp_path)
            await store.append(Kind.PART, line(0), ("C0", "0"))
            failing["on"] = True
            outcomes = await asyncio.gather(
                *(store.append(Kind.PART, line(n), (f"C{n}", str(n))) for n in range(1, 4)),
                return_exceptions=True,
            )
            failing["on"] = False
            # The same messages can be stored once the disk is back: they were never remembered.
            again = await store.append(Kind.PART, line(1), ("C1", "1"))
            await store.close()
            return [*outcomes, again]

        outcomes = asyncio.run(scenario())
        assert [type(item) for item in outcomes[:3]] == [StoreError] * 3
        assert outcomes[3] is True
        assert [value["control_id"] for value in read_lines(tmp_path)] == ["C0", "C1"]


def test_bad_options_raise() -> None:
    for options in ({"rotate_bytes": 0}, {"rotate_seconds": 0}, {"dup_window": -1}):
        with pytest.raises(ValueError):
            Store("unused", **options)  # type: ignore[arg-type]


def test_lines_are_json_with_the_documented_keys() -> None:
    value = orjson.loads(part_line("t", "p", "C1", "ab", [{"segment_name": "MSH"}]))
    assert list(value) == ["received", "peer", "control_id", "sha256", "records"]
    kept = orjson.loads(part_line("t", "p", "C1", "ab", [{"segment_name": "MSH"}], b"MSH|\r\xff"))
    assert list(kept) == ["received", "peer", "control_id", "sha256", "records", "raw"]
    assert base64.b64decode(kept["raw"]) == b"MSH|\r\xff"
