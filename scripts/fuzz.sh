#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a chosen time:
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET ...]
#
# 60 seconds per target and every target by default. The working corpus of
# each target grows in build/fuzz/corpus/<target>, seeded from the test data
# by fuzz/make_corpus.py; the inputs in fuzz/regressions/<target> (earlier
# findings) are run first every time. Any finding (crash, sanitizer report,
# broken property, leak, timeout, out-of-memory) fails the run and leaves its
# input in build/fuzz/artifacts/. Inputs are capped at 4 KiB: a segment line
# holds every structure there is in far less, and longer inputs only slow the
# search (tests/test_bad_input.py covers the gigantic ones).
#
# Needs clang and its libFuzzer runtime; on Debian bookworm:
#   apt-get install clang libclang-rt-14-dev libsimdjson-dev cmake ninja-build
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(segments escape validation assembly json_records)

declare -A dictionary=(
  [segments]=hl7 [validation]=hl7 [escape]=escape [assembly]=assembly [json_records]=json
)

compiler="${BRENVOLT_FUZZ_CXX:-}"
if [ -z "$compiler" ]; then
  for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$candidate" >/dev/null 2>&1; then compiler="$candidate"; break; fi
  done
fi
if [ -z "$compiler" ]; then
  echo "fuzz.sh: clang++ not found; install clang and libclang-rt-14-dev" >&2
  exit 2
fi

build=build/fuzz
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DBRENVOLT_FUZZ=ON -DBRENVOLT_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build "$build" --parallel >/dev/null

python3 fuzz/make_corpus.py "$build/corpus" >/dev/null
mkdir -p "$build/artifacts" "$build/logs"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
printf '%-14s %12s %10s %8s  %s\n' target executions exec/s corpus result
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  inputs=("$corpus")
  [ -d "fuzz/regressions/$target" ] && inputs+=("fuzz/regressions/$target")
  log="$build/logs/$target.log"
  status=0
  timeout $((seconds + 300)) "$build/fuzz_$target" "${inputs[@]}" \
    -dict="fuzz/${dictionary[$target]}.dict" -max_total_time="$seconds" -max_len=4096 -timeout=20 \
    -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  size=$(find "$corpus" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    result="clean"
  else
    result="FINDING (exit $status, log $log)"
    failed+=("$target")
  fi
  printf '%-14s %12s %10s %8s  %s\n' "$target" "${runs:-?}" "${rate:-?}" "$size" "$result"
done

if [ ${#failed[@]} -gt 0 ]; then
  for target in "${failed[@]}"; do
    echo "---- $target: end of $build/logs/$target.log" >&2
    tail -n 40 "$build/logs/$target.log" >&2
  done
  echo "fuzz.sh: findings in: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
