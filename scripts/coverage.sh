#!/usr/bin/env bash
# Builds the extension and the fuzz targets' replay programs with GCC's line
# coverage (--coverage, -O0), runs the tests against them, and reports how
# much of the HL7 core ran:
#
#   scripts/coverage.sh [PYTEST ARGUMENTS ...]
#
# What runs, all counted together:
# - the test suite at the processor's best SIMD level (the default);
# - the quick tier (-m "not slow") again with BRENVOLT_SIMD=scalar, since the
#   module picks one level per process and the plain loops are a level of
#   their own;
# - every fuzz target over its seed corpus (fuzz/make_corpus.py) and its
#   regression inputs: the targets check the core's properties at every scan
#   level and reach the reference paths (replace_eof, the key printer, the
#   UTF-8 encoders) that the module no longer calls.
# The core is what the CMake target brenvolt_core compiles: its sources, read
# from CMake's file API, and the headers under src/ that they include, read
# from the build's dependency records. The Python boundary (the extension's
# own sources) is left out of the figure. Prints a table per file, with the
# lines that never ran, and ends with the line
#   core line coverage: N%
# The target is 95%.
#
# Build folder: build/coverage (the instrumented module and its .gcda counts);
# gcovr (PyPI) lives in its own virtual environment, build/coverage/tools.
# Python comes from ./.venv (made by scripts/setup.sh test when missing) or
# $BRENVOLT_PYTHON, with the instrumented module first on PYTHONPATH; nothing
# is installed into that environment.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${BRENVOLT_PYTHON:-$PWD/.venv/bin/python}"
if [ ! -x "$python" ]; then
  scripts/setup.sh test
  python="$PWD/.venv/bin/python"
fi
if ! command -v ninja >/dev/null 2>&1; then
  echo "coverage.sh: needs ninja (pip install ninja, or apt-get install ninja-build)" >&2
  exit 2
fi

build="$PWD/build/coverage"
tools="$build/tools"
if [ ! -x "$tools/bin/gcovr" ]; then
  "$python" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --upgrade pip
  "$tools/bin/python" -m pip install -q 'gcovr>=8.8'
fi

# The file API query makes CMake write the targets and their sources.
mkdir -p "$build/.cmake/api/v1/query"
touch "$build/.cmake/api/v1/query/codemodel-v2"
cmake -S . -B "$build" -G Ninja -DBRENVOLT_BUILD_EXTENSION=ON -DBRENVOLT_FUZZ_REPLAY=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=g++ -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic -O0" \
  -DCMAKE_MODULE_LINKER_FLAGS="--coverage" -DCMAKE_EXE_LINKER_FLAGS="--coverage" \
  -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" --parallel >/dev/null

# Counts from an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete

# brenvolt_tables: its Python files beside the instrumented _native, in a
# folder first on the path, so that the package found is this one whole.
site="$build/site"
rm -rf "$site"
mkdir -p "$site/brenvolt_tables"
cp python/brenvolt_tables/*.py python/brenvolt_tables/py.typed "$site/brenvolt_tables/"
cp "$build"/brenvolt_tables/_native*.so "$site/brenvolt_tables/"

export PYTHONPATH="$site:$build${PYTHONPATH:+:$PYTHONPATH}"
"$python" - "$build" <<'PY'
import sys
import brenvolt
import brenvolt_tables._native as native
for module in (brenvolt, native):
    if not module.__file__.startswith(sys.argv[1]):
        sys.exit(f"coverage.sh: imported {module.__file__}, not the instrumented build")
    print(f"instrumented module: {module.__file__}")
PY
status=0
"$python" -m pytest tests -p no:cacheprovider "$@" || status=$?
echo "coverage.sh: the quick tier with BRENVOLT_SIMD=scalar"
BRENVOLT_SIMD=scalar "$python" -m pytest tests -p no:cacheprovider -q -m "not slow" || status=$?
echo "coverage.sh: the fuzz targets over their seed corpora and regression inputs"
python3 fuzz/make_corpus.py "$build/corpus" >/dev/null
for replay in "$build"/replay_*; do
  target="${replay##*/replay_}"
  inputs=("$build/corpus/$target")
  [ -d "fuzz/regressions/$target" ] && inputs+=("fuzz/regressions/$target")
  printf '%-14s ' "$target"
  "$replay" "${inputs[@]}" || status=$?
done

# The core's files, relative to the repository, one per line.
"$python" - "$build" >"$build/core-files.txt" <<'PY'
import json, subprocess, sys
from pathlib import Path

build = Path(sys.argv[1])
root = Path.cwd().resolve()
reply = build / ".cmake" / "api" / "v1" / "reply"
(index,) = sorted(reply.glob("index-*.json"))[-1:]
codemodel = json.loads((reply / json.loads(index.read_text())["reply"]["codemodel-v2"]["jsonFile"]).read_text())
(target_ref,) = [t for t in codemodel["configurations"][0]["targets"] if t["name"] == "brenvolt_core"]
target = json.loads((reply / target_ref["jsonFile"]).read_text())
sources = {(root / s["path"]).resolve() for s in target["sources"]}
objects = {o["path"] for o in target.get("artifacts", [])}
files = set(sources)
# Headers: the dependencies ninja recorded for the core's object files.
deps = subprocess.run(["ninja", "-C", str(build), "-t", "deps"], check=True, capture_output=True, text=True).stdout
current_is_core = False
for line in deps.splitlines():
    if line and not line.startswith(" "):
        current_is_core = "/brenvolt_core.dir/" in line.split(":")[0]
    elif current_is_core and line.strip():
        path = (build / line.strip()).resolve()
        if root / "src" in path.parents:
            files.add(path)
for path in sorted(files):
    print(path.relative_to(root).as_posix())
PY

filters=()
while IFS= read -r file; do filters+=(--filter "$(printf '%s' "$file" | sed 's/[.[\]*+?()|^$]/\\&/g')\$"); done \
  <"$build/core-files.txt"
# Only the project's objects: CMake's own probes leave coverage notes too.
# --exclude-noncode-lines: a line holding only a closing brace is no
# statement, though gcov may charge an unwinding path to it.
# --merge-lines: a line of a template counts once, as run when any of its
# instances ran it.
# -fprofile-update=atomic (above): tests run core code on several threads
# with the interpreter lock released, and plain counters then race into
# negative counts that gcovr refuses; negative_hits.warn keeps one such
# count from failing the whole report.
"$tools/bin/gcovr" --root . "${filters[@]}" "$build/CMakeFiles/brenvolt_core.dir" "$build/CMakeFiles/_brenvolt.dir" \
  "$build/CMakeFiles/_brenvolt_tables.dir" "$build"/CMakeFiles/replay_*.dir \
  --merge-lines --exclude-noncode-lines --gcov-ignore-parse-errors=negative_hits.warn --gcov-executable gcov --txt - --json-summary "$build/summary.json" --json-summary-pretty \
  | sed '/^-*$/d'
"$python" - "$build/summary.json" "$status" <<'PY'
import json, sys
summary = json.load(open(sys.argv[1]))
if sys.argv[2] != "0":
    print(f"coverage.sh: the test suite failed (exit {sys.argv[2]}); the figure counts what ran")
print(f"core line coverage: {summary['line_percent']}%")
PY
exit "$status"
