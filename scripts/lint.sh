#!/usr/bin/env bash
# Checks the layout of the C++ sources against .clang-format and the Python
# code with ruff (rules and line length in pyproject.toml, [tool.ruff]):
#
#   scripts/lint.sh [--cxx-format=error|warn] [--ruff=error|warn]
#
# Each check fails the run by default (error); with warn it prints its
# findings and the run goes on to pass. C++: every .cpp and .h file in src/,
# fuzz/ and tools/, through `clang-format --dry-run --Werror`; `clang-format -i FILE`
# rewrites a file in place. Python: `ruff check` over the repository;
# `ruff check --fix` repairs what it can. Needs clang-format (Debian:
# apt-get install clang-format) and ruff (in the test extra; ./.venv or PATH).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/lint.sh [--cxx-format=error|warn] [--ruff=error|warn]" >&2
  exit 2
}
cxx_format=error
ruff_mode=error
for argument in "$@"; do
  case "$argument" in
    --cxx-format=error | --cxx-format=warn) cxx_format="${argument#*=}" ;;
    --ruff=error | --ruff=warn) ruff_mode="${argument#*=}" ;;
    *) usage ;;
  esac
done

clang_format="${BRENVOLT_CLANG_FORMAT:-}"
if [ -z "$clang_format" ]; then
  for candidate in clang-format clang-format-19 clang-format-18 clang-format-17 clang-format-16 \
    clang-format-15 clang-format-14; do
    if command -v "$candidate" >/dev/null 2>&1; then clang_format="$candidate"; break; fi
  done
fi
ruff="$PWD/.venv/bin/ruff"
[ -x "$ruff" ] || ruff="$(command -v ruff || true)"

failed=()

if [ -z "$clang_format" ]; then
  echo "lint.sh: clang-format not found; install clang-format" >&2
  failed+=(clang-format)
else
  mapfile -t sources < <(find src fuzz tools -name '*.cpp' -o -name '*.h' | sort)
  unformatted=()
  for file in "${sources[@]}"; do
    "$clang_format" --style=file --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
  done
  if [ ${#unformatted[@]} -eq 0 ]; then
    echo "clang-format: ${#sources[@]} files laid out as .clang-format says"
  else
    # The findings themselves, capped so that a long list stays readable.
    for file in "${unformatted[@]}"; do
      { "$clang_format" --style=file --dry-run "$file" 2>&1 || true; } | head -n 12
    done
    lines=$(for file in "${unformatted[@]}"; do
      "$clang_format" --style=file "$file" | diff "$file" - | grep -c '^<' || true
    done | awk '{ n += $1 } END { print n + 0 }')
    echo "clang-format ($cxx_format): ${#unformatted[@]} of ${#sources[@]} files differ" \
      "($lines lines to change): ${unformatted[*]}"
    [ "$cxx_format" = warn ] || failed+=(clang-format)
  fi
fi

if [ -z "$ruff" ]; then
  echo "lint.sh: ruff not found; scripts/setup.sh test installs it into ./.venv" >&2
  failed+=(ruff)
elif "$ruff" check --output-format concise --no-cache .; then
  echo "ruff: clean"
else
  echo "ruff ($ruff_mode): findings above"
  [ "$ruff_mode" = warn ] || failed+=(ruff)
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "lint.sh: failed: ${failed[*]}" >&2
  exit 1
fi
