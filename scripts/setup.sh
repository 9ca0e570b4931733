#!/usr/bin/env bash
# Installs what brenvolt needs on a Debian or Ubuntu machine and builds it into
# ./.venv. Extra arguments name pip extras, e.g. `scripts/setup.sh test`.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
dpkg -s libsimdjson-dev >/dev/null 2>&1 || missing+=(libsimdjson-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
# The Unicode character database, read by tests/test_escape.py to check which
# characters may continue an escape sequence's name.
dpkg -s unicode-data >/dev/null 2>&1 || missing+=(unicode-data)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "installing ${missing[*]} with apt-get" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
extras=""
if [ $# -gt 0 ]; then extras="[$(IFS=,; echo "$*")]"; fi
.venv/bin/python -m pip install -q ".${extras}"
