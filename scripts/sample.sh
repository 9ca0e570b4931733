#!/usr/bin/env bash
# Sets up brenvolt and prints the records of the bundled sample message.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python examples/convert.py examples/adt_a01.hl7
