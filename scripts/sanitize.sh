#!/usr/bin/env bash
# Builds the extensions (brenvolt and brenvolt_tables._native) with
# AddressSanitizer and UndefinedBehaviorSanitizer (GCC, -DBRENVOLT_SANITIZE=ON)
# and runs the whole test suite against them:
#
#   scripts/sanitize.sh [PYTEST ARGUMENTS ...]
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded into it; PYTHONMALLOC=malloc sends every Python allocation through
# ASan's allocator, so a stray write into a str or list is caught too. Leak
# detection is off here because the interpreter keeps memory until exit by
# design; tests/test_leaks.py and the fuzz targets look for leaks instead.
# Any sanitizer report aborts the run, which fails it.
#
# Uses ./.venv (made by scripts/setup.sh test when missing) for pytest,
# hypothesis and numpy; the sanitized module is put first on PYTHONPATH.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${BRENVOLT_PYTHON:-$PWD/.venv/bin/python}"
if [ ! -x "$python" ]; then
  scripts/setup.sh test
  python="$PWD/.venv/bin/python"
fi

build="$PWD/build/sanitize"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DBRENVOLT_BUILD_EXTENSION=ON -DBRENVOLT_SANITIZE=ON -DBRENVOLT_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ -DPython_EXECUTABLE="$python" \
  >/dev/null
cmake --build "$build" --parallel >/dev/null

# brenvolt_tables: its Python files beside the sanitized _native, in a folder
# put first on the path, so that the package found is this one whole.
site="$build/site"
rm -rf "$site"
mkdir -p "$site/brenvolt_tables"
cp python/brenvolt_tables/*.py python/brenvolt_tables/py.typed "$site/brenvolt_tables/"
cp "$build"/brenvolt_tables/_native*.so "$site/brenvolt_tables/"

asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
export LD_PRELOAD="$asan $ubsan"
export PYTHONPATH="$site:$build${PYTHONPATH:+:$PYTHONPATH}"
export PYTHONMALLOC=malloc
# allocator_may_return_null: a failed huge allocation becomes MemoryError, as
# without the sanitizer, instead of ending the process.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

"$python" - "$build" <<'EOF'
import sys
import brenvolt
import brenvolt_tables._native as native
for module in (brenvolt, native):
    if not module.__file__.startswith(sys.argv[1]):
        sys.exit(f"sanitize.sh: imported {module.__file__}, not the sanitized build")
    print(f"sanitized module: {module.__file__}")
EOF
# --capture=sys: a sanitizer report is written straight to file descriptor 2
# and the process then aborts, so pytest must not hold that descriptor.
"$python" -m pytest tests -p no:cacheprovider --capture=sys "$@"
