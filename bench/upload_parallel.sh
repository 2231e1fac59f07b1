#!/bin/bash
# Uploads on 1 and 32 connections at once through the session handler against
# a bare TCP ping-pong of the same frame sizes (1290-byte chunk, 7-byte
# acknowledgement), from bench_transfer; prints each pair and the share.
#   bench/upload_parallel.sh [BUILD_DIR] [REPETITIONS]   (default: build 3)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
reps=${2:-3}
"$build/bench/bench_transfer" --benchmark_filter='BM_Upload/|BM_PingPongUploadShape/' \
  --benchmark_repetitions="$reps" --benchmark_format=json 2>/dev/null |
  python3 -c '
import json, sys, statistics
runs = {}
for b in json.load(sys.stdin)["benchmarks"]:
    if b.get("run_type") != "iteration": continue
    runs.setdefault(b["run_name"], []).append(b["bytes_per_second"] / 2**20)
for n in (1, 32):
    up = runs.get("BM_Upload/%d/iterations:2/manual_time" % n, [])
    pp = runs.get("BM_PingPongUploadShape/%d/iterations:2/manual_time" % n, [])
    if not up or not pp: continue
    u, p = statistics.median(up), statistics.median(pp)
    print("%2d connections: uploads %7.1f MiB/s, ping-pong %7.1f MiB/s: %5.1f %% (medians of %d; uploads %s)"
          % (n, u, p, 100 * u / p, len(up), " ".join("%.1f" % x for x in up)))
'
