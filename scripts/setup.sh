#!/usr/bin/env bash
# Installs what brenvolt needs on a Debian or Ubuntu machine and builds it into
# ./.venv. Extra arguments name pip extras, e.g. `scripts/setup.sh test`.
#
# A build that is up to date is not made again: .venv/.brenvolt-installed
# records the extras installed and the build settings of the last install
# (SKBUILD_*, CMAKE_*, CC, CXX and the flags in the environment), and the
# install is skipped when they cover what is asked for, no file it was built
# from (below src and python, CMakeLists.txt, pyproject.toml) changed since,
# and brenvolt (with brenvolt_tables) imports. Remove that file to force a new build.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
dpkg -s libsimdjson-dev >/dev/null 2>&1 || missing+=(libsimdjson-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
# The Unicode character database, read by tests/test_escape.py to check which
# characters may continue an escape sequence's name.
dpkg -s unicode-data >/dev/null 2>&1 || missing+=(unicode-data)
# A Java runtime for the Spark data source of brenvolt_tables, which the
# tests run in local mode (the test and spark extras).
case " $* " in
  *" test "* | *" spark "*)
    command -v java >/dev/null 2>&1 || missing+=(openjdk-17-jre-headless)
    ;;
esac
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  echo "installing ${missing[*]} with apt-get" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

stamp=.venv/.brenvolt-installed
sources=(src python CMakeLists.txt pyproject.toml)
# The build settings a user can give through the environment change the build
# (how many jobs build it does not).
settings=$(env | grep -E '^(SKBUILD_[A-Z_]*|CMAKE_[A-Z_]*|CC|CXX|CFLAGS|CXXFLAGS|CPPFLAGS|LDFLAGS)=' |
  grep -v '^CMAKE_BUILD_PARALLEL_LEVEL=' | sort || true)

up_to_date() {
  [ -f "$stamp" ] && [ -x .venv/bin/python ] || return 1
  [ "$(sed -n '2,$p' "$stamp")" = "$settings" ] || return 1
  local have extra
  have=" $(head -n 1 "$stamp") "
  for extra in "$@"; do
    [[ "$have" == *" $extra "* ]] || return 1
  done
  [ -z "$(find "${sources[@]}" -type f -newer "$stamp" -not -path '*/__pycache__/*' -print -quit 2>/dev/null)" ] ||
    return 1
  .venv/bin/python -c "import brenvolt, brenvolt_cli, brenvolt_feeds, brenvolt_tables" 2>/dev/null
}

if up_to_date "$@"; then
  echo "setup.sh: brenvolt in ./.venv is up to date (rm $stamp to build it again)" >&2
  exit 0
fi

# The stamp takes the time the build started, so that a file changed while
# it ran makes the next run build again.
started=$(mktemp)
trap 'rm -f "$started"' EXIT
[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
extras=""
if [ $# -gt 0 ]; then extras="[$(IFS=,; echo "$*")]"; fi
# The extras installed before stay installed: the stamp keeps them too, when
# the build settings were the same.
installed=""
if [ -f "$stamp" ] && [ "$(sed -n '2,$p' "$stamp")" = "$settings" ]; then installed=$(head -n 1 "$stamp"); fi
rm -f "$stamp"
.venv/bin/python -m pip install -q ".${extras}"
all=$(printf '%s\n' $installed "$@" | sort -u | tr '\n' ' ' | sed 's/ *$//')
{ echo "$all"; [ -z "$settings" ] || echo "$settings"; } >"$stamp"
touch -r "$started" "$stamp"
