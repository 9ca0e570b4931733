#!/usr/bin/env bash
# Sets up brenvolt with the benchmark peers (orjson, python-hl7, hl7apy,
# matplotlib) and runs the benchmark suite; it prints a table of ratios and
# writes benchmarks/results.md and benchmarks/results.png. Arguments go to the
# suite, e.g. `scripts/bench.sh --quick` for a smoke run of about 30 s.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
.venv/bin/python benchmarks/run.py "$@"
