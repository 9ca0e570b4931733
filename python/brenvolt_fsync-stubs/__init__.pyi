"""Durability for brenvolt listen's store: FsyncPool, threads that fdatasync without the interpreter lock."""

from collections.abc import Sequence
from typing import Self, final

@final
class FsyncPool:
    """Threads that fdatasync batches of file descriptors without the interpreter lock.

    An event loop watches ``fileno()`` and reads ``completed()``.
    """

    def __new__(cls, threads: int) -> Self: ...
    def fileno(self) -> int:
        """The descriptor that becomes readable when finished batches wait in ``completed()``."""
    def submit(self, token: int, fds: Sequence[int], /) -> None:
        """Queue a batch: each descriptor is fdatasync'd in order and closed; the pool owns them."""
    def completed(self) -> list[tuple[int, int, float]]:
        """The batches finished since the last call: (token, errno, seconds), errno 0 when durable."""
    def close(self) -> None:
        """Finish every batch queued, stop the threads and close ``fileno()``."""
