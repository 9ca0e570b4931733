#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a chosen time:
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET ...]
#
# 60 seconds per target and every target by default. Each run starts where
# the last one stopped: what the fuzzers found beyond the seeds is kept,
# minimised, in fuzz/corpus/<target> (in the repository), and joins the
# seeds made from the test data (fuzz/make_corpus.py, into
# build/fuzz/seeds/<target>) in the working corpus build/fuzz/corpus/<target>.
# The inputs in fuzz/regressions/<target> (earlier findings) are run first
# every time. After a clean run the working corpus is minimised with
# -merge=1 against the seeds: the inputs that cover what the seeds do not
# replace fuzz/corpus/<target>; commit them to keep the ground gained. Any finding (crash, sanitizer report, broken
# property, leak, timeout, out-of-memory) fails the run and leaves its input
# in build/fuzz/artifacts/. Each target's inputs may be as long as its
# longest seed, so that every seed (a message with a 70,000-byte field, a
# JSON file of a whole batch) is run whole.
#
# Needs clang and its libFuzzer runtime; on Debian bookworm:
#   apt-get install clang libclang-rt-14-dev libsimdjson-dev cmake ninja-build
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(segments escape validation assembly json_records tables)

declare -A dictionary=(
  [segments]=hl7 [validation]=hl7 [escape]=escape [assembly]=assembly [json_records]=json
  [tables]=hl7
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

rm -rf "$build/seeds"
python3 fuzz/make_corpus.py "$build/seeds" >/dev/null
mkdir -p "$build/artifacts" "$build/logs"

# The options the run relies on (leaks reported, an allocation failure a
# finding, UBSan fatal with a stack), placed last so that they win over the
# same options in the caller's environment.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1:allocator_may_return_null=0:abort_on_error=0"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1"

# The size of the largest file in the given folders (those that exist).
largest_file() {
  local folders=() folder
  for folder in "$@"; do [ -d "$folder" ] && folders+=("$folder"); done
  [ ${#folders[@]} -gt 0 ] || { echo 0; return; }
  find "${folders[@]}" -type f -printf '%s\n' | sort -n | tail -n 1
}

# libFuzzer's count of the units in its corpus at the end of a run (files
# that add no coverage are not units).
corpus_units() {
  grep -o 'corp: [0-9]*' "$1" | tail -n 1 | sed 's/corp: //'
}

failed=()
printf '%-14s %12s %10s %8s %9s  %s\n' target executions exec/s units max_len result
for target in "${targets[@]}"; do
  seeds="$build/seeds/$target"
  corpus="$build/corpus/$target"
  kept="fuzz/corpus/$target"
  mkdir -p "$seeds" "$corpus" "$kept"
  cp -n "$seeds"/* "$kept"/* "$corpus"/ 2>/dev/null || true
  inputs=("$corpus")
  [ -d "fuzz/regressions/$target" ] && inputs+=("fuzz/regressions/$target")
  max_len=$(largest_file "$corpus" "fuzz/regressions/$target")
  [ "$max_len" -ge 4096 ] || max_len=4096
  log="$build/logs/$target.log"
  status=0
  timeout $((seconds + 300)) "$build/fuzz_$target" "${inputs[@]}" \
    -dict="fuzz/${dictionary[$target]}.dict" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout=20 -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  units=$(corpus_units "$log")
  if [ "$status" -eq 0 ]; then
    result="clean"
    # Keep what this run gained: merged into a copy of the seeds, the
    # inputs that add coverage beyond them, in place of the kept ones.
    merged="$build/merged/$target"
    rm -rf "$merged" && mkdir -p "$merged" && cp "$seeds"/* "$merged"/ 2>/dev/null || true
    if "$build/fuzz_$target" -merge=1 -max_len="$max_len" -timeout=20 -rss_limit_mb=3072 \
      "$merged" "$kept" "$corpus" >"$build/logs/$target.merge.log" 2>&1; then
      rm -rf "$kept" && mkdir -p "$kept"
      for input in "$merged"/*; do
        [ -e "$seeds/$(basename "$input")" ] || mv "$input" "$kept"/
      done
      result="clean, kept $(find "$kept" -type f | wc -l) inputs"
    else
      result="clean (merge failed: $build/logs/$target.merge.log)"
    fi
  else
    result="FINDING (exit $status, log $log)"
    failed+=("$target")
  fi
  printf '%-14s %12s %10s %8s %9s  %s\n' "$target" "${runs:-?}" "${rate:-?}" "${units:-?}" "$max_len" \
    "$result"
done

if [ ${#failed[@]} -gt 0 ]; then
  for target in "${failed[@]}"; do
    echo "---- $target: end of $build/logs/$target.log" >&2
    tail -n 40 "$build/logs/$target.log" >&2
  done
  echo "fuzz.sh: findings in: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
