#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang under ASan/UBSan and runs
# each for a bounded time: scripts/fuzz.sh [seconds per harness, default 60].
# Each harness starts from its checked-in seeds (fuzz/corpus/<name>) plus what
# earlier runs found (build-fuzz/corpus/<name>, not checked in). Crash inputs
# are left in build-fuzz/crashes/; the script fails when one is found.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$PWD"
seconds="${1:-60}"
build="$source_dir/build-fuzz"  # absolute: the harnesses change their current folder
harnesses=(session config rights zip)

bash scripts/install-deps.sh fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=address \
  -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF -DKESTREL_BUILD_GUI=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${harnesses[@]/#/fuzz_}"

mkdir -p "$build/crashes"
# The harnesses write a file or more per input: their working folders go to
# memory where the machine has it.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for name in "${harnesses[@]}"; do
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  log="$build/fuzz_$name.log"
  echo "fuzz_$name: ${seconds} s"
  if ! "$build/fuzz/fuzz_$name" "$corpus" "$source_dir/fuzz/corpus/$name" -max_total_time="$seconds" \
      -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/${name}-" >"$log" 2>&1; then
    status=1
    echo "fuzz_$name FAILED: see $log and $build/crashes/"
    tail -n 40 "$log"
  fi
  grep -E '^stat::number_of_executed_units' "$log" | sed "s/^/  /" || true
done
exit $status
