"""Metrics in the Prometheus text format (version 0.0.4), written without a client library.

The receiver keeps plain integer counters on its hot path and two
``Histogram``\\ s; a scrape turns them into text with ``Exposition``:

    text = Exposition()
    text.counter("brenvolt_frames_received_total", "Frames read.", 12)
    text.counter("brenvolt_messages_rejected_total", "...", {("code", "AE"): 1, ("code", "AR"): 0})
    text.gauge("brenvolt_connections_open", "...", 3)
    text.histogram("brenvolt_ack_latency_seconds", "...", latencies)
    body = text.render()

Counters and histograms only grow while the process runs (a restart starts
them at 0 again, which Prometheus's ``rate()`` understands).
"""

from __future__ import annotations

import bisect
import math
from collections.abc import Mapping, Sequence
from typing import Final, TypeAlias

__all__ = ["ACK_LATENCY_BUCKETS", "CONTENT_TYPE", "FSYNC_BUCKETS", "Exposition", "Histogram", "Label"]

CONTENT_TYPE: Final = "text/plain; version=0.0.4; charset=utf-8"

ACK_LATENCY_BUCKETS: Final = (
    0.0005,
    0.001,
    0.002,
    0.005,
    0.01,
    0.02,
    0.05,
    0.1,
    0.25,
    0.5,
    1.0,
    2.5,
    10.0,
)
"""Seconds from a frame's last byte read to its answer written."""

FSYNC_BUCKETS: Final = (
    0.0001,
    0.00025,
    0.0005,
    0.001,
    0.0025,
    0.005,
    0.01,
    0.025,
    0.05,
    0.1,
    0.25,
    1.0,
)
"""Seconds one batch's fsyncs took."""

Label: TypeAlias = tuple[str, str]
"""The one label of a sample: ``("code", "AE")``."""


class Histogram:
    """Counts of observed values in fixed buckets (upper bounds, ascending), with their sum."""

    __slots__ = ("bounds", "counts", "count", "total")

    def __init__(self, bounds: Sequence[float]) -> None:
        if not bounds or list(bounds) != sorted(set(bounds)):
            raise ValueError("bucket bounds must be distinct and ascending")
        self.bounds = tuple(float(bound) for bound in bounds)
        self.counts = [0] * (len(self.bounds) + 1)
        """Observations per bucket, not cumulative; the last one is above every bound."""
        self.count = 0
        self.total = 0.0

    def observe(self, value: float) -> None:
        """Count one value (in the first bucket whose bound is at least the value)."""
        self.counts[bisect.bisect_left(self.bounds, value)] += 1
        self.count += 1
        self.total += value


def _number(value: float) -> str:
    if isinstance(value, int):
        return str(value)
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    if math.isnan(value):
        return "NaN"
    return repr(float(value))


def _escape(value: str) -> str:
    return value.replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')


def _labels(label: Label) -> str:
    name, value = label
    return f'{{{name}="{_escape(value)}"}}'


class Exposition:
    """The lines of one scrape, family by family."""

    def __init__(self) -> None:
        self._lines: list[str] = []

    def _head(self, name: str, help_text: str, kind: str) -> None:
        self._lines.append(f"# HELP {name} {help_text.replace(chr(92), chr(92) * 2).replace(chr(10), ' ')}")
        self._lines.append(f"# TYPE {name} {kind}")

    def _samples(self, name: str, value: float | Mapping[Label, float]) -> None:
        if isinstance(value, Mapping):
            for label, number in value.items():
                self._lines.append(f"{name}{_labels(label)} {_number(number)}")
        else:
            self._lines.append(f"{name} {_number(value)}")

    def counter(self, name: str, help_text: str, value: float | Mapping[Label, float]) -> None:
        """A counter family; ``name`` ends with ``_total``. ``value`` is one number or one per label set."""
        self._head(name, help_text, "counter")
        self._samples(name, value)

    def gauge(self, name: str, help_text: str, value: float | Mapping[Label, float]) -> None:
        """A gauge family: a value that goes up and down."""
        self._head(name, help_text, "gauge")
        self._samples(name, value)

    def histogram(self, name: str, help_text: str, histogram: Histogram) -> None:
        """A histogram family: cumulative ``_bucket`` lines, ``_sum`` and ``_count``."""
        self._head(name, help_text, "histogram")
        running = 0
        for bound, count in zip(histogram.bounds, histogram.counts, strict=False):
            running += count
            self._lines.append(f'{name}_bucket{{le="{_number(bound)}"}} {running}')
        self._lines.append(f'{name}_bucket{{le="+Inf"}} {histogram.count}')
        self._lines.append(f"{name}_sum {_number(histogram.total)}")
        self._lines.append(f"{name}_count {histogram.count}")

    def render(self) -> str:
        """The text of every family added, ending with a newline."""
        return "\n".join(self._lines) + "\n"
