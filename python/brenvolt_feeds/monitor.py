"""The receiver's HTTP endpoint: ``GET /metrics`` (Prometheus text) and ``GET /health``.

A deliberately small HTTP/1.1 server on asyncio: one request per connection
(answered with ``Connection: close``), a request head of at most 8 KiB read
within 5 seconds, ``GET`` and ``HEAD`` only. ``/health`` answers 200 and
``ok`` while the receiver is healthy, 503 and the reasons otherwise.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
from collections.abc import Awaitable, Callable
from typing import Final

from brenvolt_feeds.metrics import CONTENT_TYPE

__all__ = ["Monitor", "parse_address"]

log = logging.getLogger("brenvolt.listen")

HEAD_LIMIT: Final = 8 * 1024
HEAD_TIMEOUT: Final = 5.0
DEFAULT_HOST: Final = "127.0.0.1"

_REASONS: Final = {
    200: "OK",
    400: "Bad Request",
    404: "Not Found",
    405: "Method Not Allowed",
    503: "Service Unavailable",
}


def parse_address(text: str) -> tuple[str, int]:
    """``HOST:PORT``, ``[IPv6]:PORT``, ``:PORT`` or ``PORT`` as (host, port); the host defaults to loopback.

    Raises ``ValueError`` with what is wrong.
    """
    host, _, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    try:
        number = int(port)
    except ValueError:
        raise ValueError(f"not HOST:PORT: {text!r}") from None
    if not 0 <= number <= 65535:
        raise ValueError(f"port out of range in {text!r}")
    return host or DEFAULT_HOST, number


class Monitor:
    """Serves ``metrics()`` at ``/metrics`` and ``health()`` at ``/health`` once ``start`` is awaited.

    ``health`` returns the reasons the receiver is unhealthy; an empty list means healthy.
    """

    def __init__(
        self,
        host: str,
        port: int,
        metrics: Callable[[], str],
        health: Callable[[], Awaitable[list[str]]],
    ) -> None:
        self.host = host
        self.port = port
        self._metrics = metrics
        self._health = health
        self._server: asyncio.Server | None = None

    async def start(self) -> int:
        """Listen; return the port bound (useful with port 0). Raises ``OSError`` when it cannot."""
        self._server = await asyncio.start_server(self._serve, self.host, self.port, limit=HEAD_LIMIT)
        self.port = self._server.sockets[0].getsockname()[1]
        return self.port

    async def stop(self) -> None:
        if self._server is not None:
            self._server.close()
            with contextlib.suppress(Exception):
                async with asyncio.timeout(2):
                    await self._server.wait_closed()

    async def _serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            try:
                async with asyncio.timeout(HEAD_TIMEOUT):
                    head = await reader.readuntil(b"\r\n\r\n")
            except (asyncio.LimitOverrunError, asyncio.IncompleteReadError, TimeoutError, ConnectionError):
                return
            status, body, content_type, head_only = await self._answer(head)
            data = body.encode("utf-8")
            writer.write(
                (
                    f"HTTP/1.1 {status} {_REASONS[status]}\r\nContent-Type: {content_type}\r\n"
                    f"Content-Length: {len(data)}\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
                ).encode("ascii")
                + (b"" if head_only else data)
            )
            with contextlib.suppress(ConnectionError, TimeoutError):
                async with asyncio.timeout(HEAD_TIMEOUT):
                    await writer.drain()
        finally:
            writer.close()

    async def _answer(self, head: bytes) -> tuple[int, str, str, bool]:
        """(status, body, content type, whether to leave the body out) for one request head."""
        plain = "text/plain; charset=utf-8"
        request = head.split(b"\r\n", 1)[0].decode("latin-1").split()
        if len(request) != 3 or not request[2].startswith("HTTP/"):
            return 400, "bad request\n", plain, False
        method, target = request[0], request[1].split("?", 1)[0]
        if target not in ("/metrics", "/health"):
            return 404, "not found: try /metrics or /health\n", plain, method == "HEAD"
        if method not in ("GET", "HEAD"):
            return 405, "only GET and HEAD\n", plain, False
        if target == "/metrics":
            return 200, self._metrics(), CONTENT_TYPE, method == "HEAD"
        problems = await self._health()
        if problems:
            return 503, "".join(f"{problem}\n" for problem in problems), plain, method == "HEAD"
        return 200, "ok\n", plain, method == "HEAD"
