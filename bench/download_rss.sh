#!/usr/bin/env bash
# The server's memory while many clients download at once with pipelined
# chunk windows: starts kestrel-server with one project, lets CLIENTS
# "kestrel get" of the same incompressible file run together (each on its own
# connection), samples the server's resident set every 20 ms and prints it
# idle, at its peak during the downloads and after them, with the times.
#
#   bench/download_rss.sh [BUILD-DIR] [CLIENTS] [SIZE-MB]   (default: build 32 16)
#
# Everything runs on 127.0.0.1 in a temporary folder and is stopped here.
set -euo pipefail
. "$(dirname "$0")/bench_server_config.sh"

build=$(cd "${1:-build}" && pwd)
clients=${2:-32}
size_mb=${3:-16}
server_bin=$build/apps/kestrel-server
cli_bin=$build/apps/kestrel/kestrel
for b in "$server_bin" "$cli_bin"; do
  [ -x "$b" ] || { echo "missing $b" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kestrel-rss.XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

server=$work/server
root=$server/Projects/Bench
mkdir -p "$root/data" "$server/Config" "$work/local"
head -c "$((size_mb << 20))" /dev/urandom >"$root/data/random.bin"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
write_bench_config "$server" "$port"
(cd "$server" && exec "$server_bin" >"$work/server.out" 2>&1) &
server_pid=$!
for _ in $(seq 600); do [ -f "$server/Config/Scanresult_Bench_bench.xml" ] && break; sleep 0.1; done
[ -f "$server/Config/Scanresult_Bench_bench.xml" ] || { cat "$work/server.out" >&2; exit 1; }

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status"; }
idle=$(rss_kb)

export KESTREL_SERVER=127.0.0.1:$port KESTREL_PROJECT=Bench KESTREL_USER=bench
export KESTREL_PASSWORD=bench KESTREL_GLOBAL_KEY=bench-key
t0=$(date +%s.%N)
getters=()
for i in $(seq "$clients"); do
  timeout 300 "$cli_bin" get -q data/random.bin "$work/local/$i.bin" >/dev/null &
  getters+=($!)
done
peak=$idle
running=1
while [ "$running" -eq 1 ]; do
  running=0
  for pid in "${getters[@]}"; do kill -0 "$pid" 2>/dev/null && running=1 && break; done
  now=$(rss_kb)
  [ "$now" -gt "$peak" ] && peak=$now
  sleep 0.02
done
failed=0
for pid in "${getters[@]}"; do wait "$pid" || failed=$((failed + 1)); done
t1=$(date +%s.%N)
for i in $(seq "$clients"); do
  cmp -s "$work/local/$i.bin" "$root/data/random.bin" || failed=$((failed + 1))
done
sleep 0.5
after=$(rss_kb)

python3 - "$clients" "$size_mb" "$idle" "$peak" "$after" "$t0" "$t1" "$failed" <<'PY'
import sys
n, mb, idle, peak, after, t0, t1, failed = sys.argv[1:]
n, mb, seconds = int(n), int(mb), float(t1) - float(t0)
print("%d pipelined downloads of %d MB at once: %.2f s (%.1f MB/s in total), %s failed"
      % (n, mb, seconds, n * mb / seconds, failed))
print("server resident set: idle %.1f MB, peak %.1f MB (+%.1f MB, %.0f KB per connection), "
      "after %.1f MB" % (int(idle) / 1024, int(peak) / 1024, (int(peak) - int(idle)) / 1024,
                         (int(peak) - int(idle)) / n, int(after) / 1024))
PY
