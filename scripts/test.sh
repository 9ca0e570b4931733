#!/usr/bin/env bash
# Sets up brenvolt with its test dependencies and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test
.venv/bin/python -m pytest tests "$@"
