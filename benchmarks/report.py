"""Rows of the results table, and their text, Markdown and chart forms."""

from __future__ import annotations

import datetime as _dt
import importlib.metadata
import os
import platform
import subprocess
from dataclasses import dataclass
from pathlib import Path

SECTIONS = {
    "hl7-to-python": "HL7 -> Python",
    "python-to-hl7": "Python -> HL7",
    "from-file": "JSON file -> HL7",
    "memory": "Memory",
    "growth": "Growth",
}


@dataclass
class Target:
    limit: float
    strict: bool = False   # "<" rather than "<="
    text: str = ""

    def met(self, ratio: float) -> bool:
        return ratio < self.limit if self.strict else ratio <= self.limit

    def label(self) -> str:
        return f"{'<' if self.strict else '<='} {self.limit:g}" + (f" ({self.text})" if self.text else "")


@dataclass
class Row:
    section: str           # key of SECTIONS
    workload: str
    against: str           # what brenvolt is compared with
    mine: float | None     # brenvolt's figure (seconds per call, bytes, or seconds per byte)
    theirs: float | None   # the other side's figure, same unit
    unit: str              # "s", "B" or "s/B"
    ratio: float | None    # median of per-round ratios, brenvolt / other side; None when skipped
    low: float | None = None
    high: float | None = None
    rounds: int = 0
    target: Target | None = None
    note: str = ""

    @property
    def verdict(self) -> str:
        if self.ratio is None:
            return "SKIP"
        if self.target is None:
            return ""
        return "PASS" if self.target.met(self.ratio) else "MISS"


def fmt_value(value: float | None, unit: str) -> str:
    if value is None:
        return "-"
    if unit == "s":
        for scale, name in ((1.0, "s"), (1e-3, "ms"), (1e-6, "us")):
            if value >= scale:
                return f"{value / scale:.3g} {name}"
        return f"{value * 1e9:.3g} ns"
    if unit == "B":
        for scale, name in ((1 << 30, "GiB"), (1 << 20, "MiB"), (1 << 10, "KiB")):
            if value >= scale:
                return f"{value / scale:.3g} {name}"
        return f"{value:.0f} B"
    if unit == "s/B":
        return f"{value * 1e9:.3g} ns/B"
    return f"{value:.3g}"


def fmt_ratio(row: Row) -> str:
    return "skipped" if row.ratio is None else f"{row.ratio:.3g}"


def fmt_range(row: Row) -> str:
    if row.ratio is None or row.low is None:
        return ""
    return f"{row.low:.3g}-{row.high:.3g}"


COLUMNS = ["Section", "Workload", "brenvolt against", "brenvolt", "other", "ratio", "range", "n", "target",
           "", "note"]


def cells(row: Row) -> list[str]:
    return [
        SECTIONS[row.section], row.workload, row.against, fmt_value(row.mine, row.unit),
        fmt_value(row.theirs, row.unit), fmt_ratio(row), fmt_range(row), str(row.rounds or ""),
        row.target.label() if row.target else "", row.verdict, row.note,
    ]


def text_table(rows: list[Row]) -> str:
    table = [COLUMNS] + [cells(r) for r in rows]
    widths = [max(len(line[i]) for line in table) for i in range(len(COLUMNS))]
    lines = []
    for n, line in enumerate(table):
        lines.append("  ".join(c.ljust(w) for c, w in zip(line, widths, strict=False)).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def _md(text: str) -> str:
    return text.replace("|", "\\|")


def markdown_table(rows: list[Row]) -> str:
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
    for row in rows:
        lines.append("| " + " | ".join(_md(c) for c in cells(row)) + " |")
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Where and with what the figures were taken
# ---------------------------------------------------------------------------

def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def memory_total() -> str:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return fmt_value(int(line.split()[1]) * 1024, "B")
    except OSError:
        pass
    return "unknown"


def versions() -> dict[str, str]:
    out = {"Python": f"{platform.python_implementation()} {platform.python_version()}"}
    for name in ("brenvolt", "orjson", "hl7", "hl7apy", "matplotlib"):
        try:
            out[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            out[name] = "not installed"
    return out


def checkout() -> str:
    """The commit of the work tree the suite runs from, if it is a git checkout."""
    here = Path(__file__).resolve().parent
    try:
        rev = subprocess.run(["git", "-C", str(here), "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(here), "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return rev + (" (with uncommitted changes)" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


LOAD_AT_START = os.getloadavg()[0] if hasattr(os, "getloadavg") else None
CHECKOUT_AT_START: str | None = None  # set by run.py before anything is timed


def environment() -> list[tuple[str, str]]:
    cores = os.cpu_count() or 0
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = cores
    return [
        ("Date", _dt.datetime.now(_dt.UTC).strftime("%Y-%m-%d %H:%M UTC")),
        ("CPU", cpu_model()),
        ("Cores", f"{cores} logical" + (f", {usable} usable" if usable != cores else "")),
        ("Memory", memory_total()),
        ("Load average (1 min)", "unknown" if LOAD_AT_START is None else
         f"{LOAD_AT_START:.2f} at the start, {os.getloadavg()[0]:.2f} at the end"),
        ("System", f"{platform.system()} {platform.release()} {platform.machine()}"),
        *versions().items(),
        ("Work tree at the start", CHECKOUT_AT_START or checkout()),
    ]


# ---------------------------------------------------------------------------
# Markdown
# ---------------------------------------------------------------------------

HOW = """\
Each ratio is brenvolt's figure divided by the other side's, so below 1 means
brenvolt is faster (or smaller). Both sides run in one process, in turn
(A B A B ...) over n rounds; a sample repeats a call until it lasts a few
milliseconds; the ratio quoted is the median of the per-round ratios, and
"range" gives the lowest and highest of them. The garbage collector is paused
inside each sample, as timeit does. Results are dropped inside the sample, so
freeing them counts on both sides.

- HL7 -> Python: `Hl7Json(msg).hl7_json` against `orjson.loads(j)` (j as
  bytes) and `json.loads(j)` (j as str), j being the JSON text of the same
  records; "floor" is whichever of the two was faster in that round. Then
  `hl7.parse` (python-hl7), `hl7apy.parser.parse_message(msg,
  find_groups=False, validation_level=TOLERANT)`, and the pure-Python converter
  in `benchmarks/pure.py`, whose output is checked equal to brenvolt's first.
  A peer is skipped on a workload where it raises or would take more than the
  time limit per call (judged first on a message a tenth the size).
- Python -> HL7: `JsonHl7(records).hl7_string` against `orjson.dumps(records)`
  and the pure-Python inverse (checked equal first).
- JSON file -> HL7: `JsonHl7.from_file(path).hl7_string` against
  `JsonHl7(orjson.loads(bytes read from path)).hl7_string`; both read the
  file inside the timed call.
- Memory: in a fresh interpreter per figure, the rise of ru_maxrss over the
  baseline taken just before converting the large message. brenvolt's rise is
  compared with the deep size of its result (each object counted once) plus
  twice the input, and with the rise for `orjson.loads` of the same records'
  JSON.
- Growth: brenvolt's HL7 -> Python time per input byte on each workload
  (and on the large message's shape at a tenth of its size), divided by its
  time per byte on the ORU workload, the two timed in turn.
"""


def markdown(rows: list[Row], mode: str, elapsed: float, workloads: list[tuple[str, str, int]]) -> str:
    env = environment()
    passed = sum(r.verdict == "PASS" for r in rows)
    missed = [r for r in rows if r.verdict == "MISS"]
    parts = [
        "# brenvolt benchmark results",
        "",
        f"Written by `benchmarks/run.py` ({mode} run, {elapsed:.0f} s). Chart: "
        + ("`results.png`" if mode == "full" else "`results-quick.png`") + " beside this file.",
        "",
        "| | |",
        "|---|---|",
        *[f"| {k} | {v} |" for k, v in env],
        "",
        "## Workloads",
        "",
        "Generated by `benchmarks/workloads.py` from fixed seeds.",
        "",
        "| Workload | What | Bytes |",
        "|---|---|---|",
        *[f"| {k} | {_md(title)} | {n:,} |" for k, title, n in workloads],
        "",
        "## Results",
        "",
        f"Targets: {passed} met, {len(missed)} missed" + (":" if missed else "."),
        "",
        *[f"- {SECTIONS[r.section]}, {_md(r.workload)}, against {_md(r.against)}: {r.ratio:.3g} "
          f"(target {_md(r.target.label())})" for r in missed],
        *([""] if missed else []),
        markdown_table(rows),
        "",
        "## How the figures are taken",
        "",
        HOW,
    ]
    return "\n".join(parts)


# ---------------------------------------------------------------------------
# Chart
# ---------------------------------------------------------------------------

COLOURS = {"PASS": "#2e7d32", "MISS": "#c62828", "": "#78909c"}


def chart(rows: list[Row], path: Path, subtitle: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sections = [s for s in SECTIONS if any(r.section == s for r in rows)]
    heights = [sum(r.section == s for r in rows) for s in sections]
    fig, axes = plt.subplots(
        len(sections), 1, figsize=(11, 1.2 + 0.3 * sum(heights) + 0.6 * len(sections)),
        gridspec_kw={"height_ratios": [h + 1.5 for h in heights]}, squeeze=False,
    )
    values = [r.ratio for r in rows if r.ratio] + [r.target.limit for r in rows if r.target]
    lo, hi = min(values + [0.5]) / 2.5, max(values + [2.0]) * 4
    for ax, section in zip(axes[:, 0], sections, strict=False):
        mine = [r for r in rows if r.section == section]
        ys = range(len(mine))[::-1]
        for y, r in zip(ys, mine, strict=False):
            if r.ratio is None:
                ax.text(lo * 1.1, y, f"skipped: {r.note}", va="center", fontsize=7, color="#555555")
                continue
            ax.barh(y, r.ratio, left=lo, color=COLOURS[r.verdict], height=0.7)
            ax.barh(y, 0, left=r.ratio)  # keeps the axis limits honest
            if r.low is not None and r.high is not None and r.high > r.low:
                ax.plot([r.low, r.high], [y, y], color="black", lw=0.8)
            label = f"{r.ratio:.3g}" + (f"  {r.verdict}" if r.verdict else "")
            ax.text(max(r.ratio, r.high or 0.0) * 1.15, y, label,
                    va="center", fontsize=7)
            if r.target is not None:
                ax.plot([r.target.limit] * 2, [y - 0.42, y + 0.42], color="black", lw=2)
        ax.set_yticks(list(ys))
        ax.set_yticklabels([f"{r.workload}: {r.against}" for r in mine], fontsize=7.5)
        ax.set_xscale("log")
        ax.set_xlim(lo, hi)
        ax.set_ylim(-0.8, len(mine) - 0.2)
        ax.axvline(1.0, color="black", lw=0.6, ls="--")
        ax.set_title(SECTIONS[section], fontsize=9, loc="left")
        ax.tick_params(axis="x", labelsize=7)
        ax.grid(axis="x", which="major", lw=0.3)
    axes[-1, 0].set_xlabel("brenvolt / other side (log scale; below 1: brenvolt faster or smaller; "
                           "black tick: target; line: range over rounds)", fontsize=8)
    fig.suptitle(f"brenvolt benchmark ratios\n{subtitle}", fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.7 / fig.get_figheight()))
    fig.savefig(path, dpi=110)
    plt.close(fig)
