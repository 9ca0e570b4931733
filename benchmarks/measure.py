"""Interleaved timing and peak-memory probes.

Every figure the suite quotes is a ratio of two times (or two sizes) taken in
one process: the sides of a comparison run in turn, A B A B ..., for a number
of rounds, and the median of the per-round ratios is quoted, which shrugs off
a noisy neighbour on a shared machine. The garbage collector is paused during
each timed sample, as timeit does; results are dropped inside the sample, so
freeing them is timed on both sides.
"""

from __future__ import annotations

import gc
import json
import math
import os
import signal
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent


@dataclass
class Settings:
    min_sample: float      # seconds one timed sample lasts at least (calls are repeated to reach it)
    budget: float          # seconds one comparison aims to spend in its rounds
    min_rounds: int
    max_rounds: int
    peer_limit: float      # a peer call that would take longer than this is skipped
    memory_repeats: int
    cheap_round: float     # rounds that cost less than this many seconds ...
    cheap_rounds: int      # ... are run at least this many times


FULL = Settings(min_sample=0.02, budget=1.5, min_rounds=3, max_rounds=21, peer_limit=30.0, memory_repeats=3,
                cheap_round=1.5, cheap_rounds=5)
QUICK = Settings(min_sample=0.005, budget=0.25, min_rounds=3, max_rounds=9, peer_limit=3.0, memory_repeats=1,
                 cheap_round=0.0, cheap_rounds=3)


@dataclass
class Comparison:
    """Per-call times of each side, round by round."""
    names: list[str]
    calls: list[int]                       # calls per sample, per side
    times: list[list[float]] = field(default_factory=list)  # times[round][side], seconds per call

    def per_call(self, side: int) -> float:
        return statistics.median(r[side] for r in self.times)

    def ratio(self, side: int, against: int | None = None,
              weights: tuple[float, float] = (1.0, 1.0)) -> float:
        """Median over rounds of (time of `side` / weight) / (time of `against` / weight).
        With `against` None, the faster of the other sides in that round."""
        out = []
        for r in self.times:
            other = min(t for i, t in enumerate(r) if i != side) if against is None else r[against]
            out.append((r[side] / weights[0]) / (other / weights[1]))
        return statistics.median(out)

    def spread(self, side: int, against: int | None = None,
               weights: tuple[float, float] = (1.0, 1.0)) -> tuple[float, float]:
        """Lowest and highest per-round ratio."""
        out = []
        for r in self.times:
            other = min(t for i, t in enumerate(r) if i != side) if against is None else r[against]
            out.append((r[side] / weights[0]) / (other / weights[1]))
        return min(out), max(out)


def _sample(fn: Callable[[], object], calls: int) -> float:
    """Seconds per call over `calls` back-to-back calls."""
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        elapsed = time.perf_counter() - start
    finally:
        if gc_was_on:
            gc.enable()
    return elapsed / calls


def _calibrate(fn: Callable[[], object], settings: Settings) -> tuple[int, float]:
    """Calls per sample so that a sample lasts min_sample, and the time per call."""
    per_call = _sample(fn, 1)  # also the warm-up
    calls = 1
    while per_call * calls < settings.min_sample:
        calls = max(calls * 2, math.ceil(settings.min_sample / max(per_call, 1e-9)))
        per_call = _sample(fn, calls)
    gc.collect()
    return calls, per_call


def compare(sides: dict[str, Callable[[], object]], settings: Settings,
            known: dict[str, float] | None = None) -> Comparison:
    """Time the sides in turn over interleaved rounds. `known` gives the time
    of one call already made for a side, which then needs no calibration when
    it is long enough for a sample on its own."""
    names = list(sides)
    fns = list(sides.values())
    known = known or {}
    calibrated = [
        (1, known[name]) if known.get(name, 0.0) >= settings.min_sample else _calibrate(fn, settings)
        for name, fn in sides.items()
    ]
    calls = [c for c, _ in calibrated]
    round_cost = sum(c * t for c, t in calibrated)
    rounds = int(settings.budget / max(round_cost, 1e-9))
    rounds = max(settings.min_rounds, min(settings.max_rounds, rounds))
    if round_cost < settings.cheap_round:
        rounds = max(rounds, settings.cheap_rounds)
    result = Comparison(names, calls)
    for _ in range(rounds):
        row = []
        for fn, n in zip(fns, calls, strict=False):
            row.append(_sample(fn, n))
            gc.collect()
        result.times.append(row)
    return result


# ---------------------------------------------------------------------------
# Slow peers: a call that would take longer than the limit is skipped
# ---------------------------------------------------------------------------

class _Overtime(BaseException):
    """Raised by the alarm; a BaseException so that a peer's broad
    `except Exception` cannot swallow it."""


def _on_alarm(signum, frame):
    raise _Overtime


def timed_call(fn: Callable[[], object], limit: float) -> tuple[float | None, str | None]:
    """Run fn once under a time limit: (seconds, None), or (None, why it was skipped)."""
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    signal.setitimer(signal.ITIMER_REAL, limit)
    start = time.perf_counter()
    try:
        fn()
        return time.perf_counter() - start, None
    except _Overtime:
        return None, f"over {limit:g} s"
    except Exception as exc:  # the peer refused the input
        text = str(exc).strip().splitlines()[0] if str(exc).strip() else ""
        return None, f"raised {type(exc).__name__}" + (f": {text[:60]}" if text else "")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.collect()


# ---------------------------------------------------------------------------
# Peak memory, each measurement in a fresh interpreter
# ---------------------------------------------------------------------------

def memory_probe(side: str, hl7_path: Path, json_path: Path) -> dict:
    """Run memory_probe.py in a fresh interpreter and return what it reports."""
    out = subprocess.run(
        [sys.executable, str(HERE / "memory_probe.py"), side, str(hl7_path), str(json_path)],
        check=True, capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    return json.loads(out.stdout)
