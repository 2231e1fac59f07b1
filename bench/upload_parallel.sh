#!/bin/bash
# Uploads on 1 and 32 connections at once through the session handler against
# a bare TCP ping-pong of the same frame sizes (1290-byte chunk, 7-byte
# acknowledgement), from bench_transfer. Each pair runs back to back, in
# alternating order, so that both see the same state of a shared machine;
# prints the share of every repetition (the mean of its pairs) and their median.
#   bench/upload_parallel.sh [BUILD_DIR] [REPETITIONS]   (default: build 6)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
reps=${2:-6}
"$build/bench/bench_transfer" --benchmark_filter='BM_UploadShare/' \
  --benchmark_repetitions="$reps" --benchmark_format=json 2>/dev/null |
  python3 -c '
import json, sys, statistics
shares, times = {}, {}
for b in json.load(sys.stdin)["benchmarks"]:
    if b.get("run_type") != "iteration": continue
    n = int(b["run_name"].split("/")[1])
    shares.setdefault(n, []).append(b["share"])
    times.setdefault(n, []).append(b["real_time"])
for n in sorted(shares):
    s = shares[n]
    print("%2d connections: uploads at %5.1f %% of ping-pong (median of %d repetitions: %s; upload %.0f ms)"
          % (n, 100 * statistics.median(s), len(s), " ".join("%.1f" % (100 * x) for x in s),
             statistics.median(times[n])))
'
