#!/usr/bin/env bash
# Builds the HL7 core and the extension with clang++ and warnings as errors
# (the pip build uses g++), then imports that build and converts the sample
# message with it:
#
#   scripts/clang.sh [--warnings=error|warn]
#
# --warnings=error (the default) stops the build at the first file with a
# warning; --warnings=warn builds every file, prints each warning, and
# fails only on errors.
# Build folder: build/clang. Python comes from ./.venv (made by
# scripts/setup.sh test when missing) or $BRENVOLT_PYTHON. Needs clang
# (Debian: apt-get install clang).
set -euo pipefail
cd "$(dirname "$0")/.."

werror=ON
for argument in "$@"; do
  case "$argument" in
    --warnings=error) werror=ON ;;
    --warnings=warn) werror=OFF ;;
    *) echo "usage: scripts/clang.sh [--warnings=error|warn]" >&2; exit 2 ;;
  esac
done

compiler="${BRENVOLT_CLANG_CXX:-}"
if [ -z "$compiler" ]; then
  for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$candidate" >/dev/null 2>&1; then compiler="$candidate"; break; fi
  done
fi
if [ -z "$compiler" ]; then
  echo "clang.sh: clang++ not found; install clang" >&2
  exit 2
fi

python="${BRENVOLT_PYTHON:-$PWD/.venv/bin/python}"
if [ ! -x "$python" ]; then
  scripts/setup.sh test
  python="$PWD/.venv/bin/python"
fi

build="$PWD/build/clang"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DBRENVOLT_BUILD_EXTENSION=ON -DBRENVOLT_WERROR="$werror" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$compiler" -DPython_EXECUTABLE="$python" \
  >/dev/null
# Every file is compiled again so that its warnings are printed on each run.
cmake --build "$build" --parallel --clean-first 2>&1 | tee "$build/warnings.log"
warnings=$(grep -c 'warning:' "$build/warnings.log" || true)
echo "clang.sh: $compiler gave $warnings warning(s)"

PYTHONPATH="$build" "$python" - "$build" examples/adt_a01.hl7 <<'PY'
import sys
import brenvolt
if not brenvolt.__file__.startswith(sys.argv[1]):
    sys.exit(f"clang.sh: imported {brenvolt.__file__}, not the clang build")
records = brenvolt.Hl7Json.from_file(sys.argv[2]).hl7_json
print(f"clang build {brenvolt.__file__}: {len(records)} records from {sys.argv[2]}")
PY
