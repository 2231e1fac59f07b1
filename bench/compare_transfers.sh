#!/usr/bin/env bash
# Moves the same files with kestrel get/put, with the rsync daemon and as a raw
# TCP stream (socat), directly on loopback and through latency_proxy at 1 ms
# and 20 ms round trip, and prints one table of times and throughputs.
#
#   bench/compare_transfers.sh [BUILD-DIR] [SIZE-MB]
#
# Every transfer runs RUNS times (default 3) and the median is shown: on a
# shared machine single runs vary by half their time. The runs of one row take
# turns in a new random order each round (the same orders in every row), after
# one untimed transfer, so that no tool always comes first or always follows
# the same one: on a virtual machine the same writes of a large file sometimes
# take several times as long, and that must not always fall on the same tool.
#
# BUILD-DIR (default build) must hold kestrel-server, kestrel and
# latency_proxy (configure with -DKESTREL_BUILD_BENCH=ON). SIZE-MB defaults
# to 256. Everything runs on 127.0.0.1 in a temporary folder; every server and
# proxy is started and stopped here, and every transfer is bounded in time.
set -euo pipefail
. "$(dirname "$0")/bench_server_config.sh"

build=$(cd "${1:-build}" && pwd)
size_mb=${2:-256}
rtts=(0 1 20)
limit=120  # seconds, per transfer
runs=${RUNS:-3}

for p in rsync socat python3; do
  if ! command -v "$p" >/dev/null; then
    echo "installing $p"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get install -y -qq "$p" >/dev/null
  fi
done
for b in apps/kestrel-server apps/kestrel/kestrel bench/latency_proxy; do
  [ -x "$build/$b" ] || { echo "missing $build/$b" >&2; exit 1; }
done
server_bin=$build/apps/kestrel-server
cli_bin=$build/apps/kestrel/kestrel
proxy_bin=$build/bench/latency_proxy

work=$(mktemp -d /tmp/kestrel-compare.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
# Waits until something listens on 127.0.0.1:$1, without connecting (a
# connection would use up socat's single accept or a proxy's target).
wait_port() {
  local hex
  hex=$(printf '%04X' "$1")
  for _ in $(seq 1500); do
    grep -qE "^ *[0-9]+: [0-9A-F]+:$hex [0-9A-F]+:0000 0A" /proc/net/tcp /proc/net/tcp6 && return 0
    sleep 0.02
  done
  echo "nothing listens on port $1" >&2
  return 1
}
# Starts latency_proxy to port $1 with round trip $2 ms; its port goes into
# proxy_port (not a subshell: the proxy's pid must reach pids).
start_proxy() {
  proxy_port=$(free_port)
  "$proxy_bin" "$proxy_port" 127.0.0.1 "$1" "$2" >/dev/null &
  pids+=($!)
  wait_port "$proxy_port"
}
now() { date +%s.%N; }

# The data: incompressible, and text-like (varied log lines; deflate's
# window never reaches back to the repetitions of the 4 MB pattern).
server=$work/server
root=$server/Projects/Bench
mkdir -p "$root/data" "$server/Config" "$work/local" "$work/rsync/up"
echo "making ${size_mb} MB test files"
head -c "$((size_mb << 20))" /dev/urandom >"$root/data/random.bin"
python3 - "$root/data/text.txt" "$size_mb" <<'PY'
import random, sys
path, size = sys.argv[1], int(sys.argv[2]) << 20
rng = random.Random(7)
words = ("server client upload download chunk archive folder scan user project rights "
         "warning info error transfer session key login logout file time size").split()
lines = []
total = 0
while total < 4 << 20:
    line = "%02d.%02d.26 %02d:%02d:%02d - %s: %s %d\n" % (
        rng.randint(1, 28), rng.randint(1, 12), rng.randint(0, 23), rng.randint(0, 59),
        rng.randint(0, 59), rng.choice(["Info", "Warning", "Error"]),
        " ".join(rng.choice(words) for _ in range(rng.randint(4, 12))), rng.randint(0, 10**6))
    lines.append(line)
    total += len(line)
block = "".join(lines).encode()
with open(path, "wb") as f:
    written = 0
    while written < size:
        piece = block[: size - written]
        f.write(piece)
        written += len(piece)
PY
cp "$root/data/random.bin" "$root/data/text.txt" "$work/rsync/"

# Kestrel server with one project and one user.
kport=$(free_port)
write_bench_config "$server" "$kport"
(cd "$server" && exec "$server_bin" >"$work/server.out" 2>&1) &
pids+=($!)
wait_port "$kport" || { cat "$work/server.out" >&2; exit 1; }
for _ in $(seq 600); do [ -f "$server/Config/Scanresult_Bench_bench.xml" ] && break; sleep 0.1; done

# rsync daemon on the same files.
rport=$(free_port)
cat >"$work/rsyncd.conf" <<EOF
use chroot = no
uid = $(id -un)
gid = $(id -gn)
pid file = $work/rsyncd.pid
[bench]
path = $work/rsync
read only = no
EOF
rsync --daemon --no-detach --config="$work/rsyncd.conf" --address=127.0.0.1 --port="$rport" &
pids+=($!)
wait_port "$rport"

export KESTREL_PROJECT=Bench KESTREL_USER=bench KESTREL_PASSWORD=bench KESTREL_GLOBAL_KEY=bench-key

# One timed run of "$@"; prints seconds, or "fail".
timed() {
  local t0 t1
  # Each transfer starts without the dirty pages of the one before: a tool
  # that flushes its file to storage waits only for its own data.
  sync
  t0=$(now)
  if timeout "$limit" "$@" >/dev/null 2>"$work/last.err"; then
    t1=$(now)
    python3 -c "print('%.3f' % ($t1 - $t0))"
  else
    echo fail
  fi
}
# The median of the times given; "fail" when any run failed.
median() {
  python3 -c '
import sys
v = sys.argv[1:]
ok = sorted(float(x) for x in v if x != "fail")
print("fail" if len(ok) < len(v) else "%.3f" % ok[len(ok) // 2])' "$@"
}
# Raw TCP: socat listener writing a file, a sender reading it; until both end.
# Runs in a command substitution, so the proxy it starts is stopped here (its
# pid never reaches the script's pids, and it would hold the output open).
raw_stream() {
  local file=$1 rtt=$2 port target t0 t1 listener
  port=$(free_port)
  socat -u "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" "CREATE:$work/local/raw.out" &
  listener=$!
  wait_port "$port"
  target=$port
  if [ "$rtt" -gt 0 ]; then
    start_proxy "$port" "$rtt"
    target=$proxy_port
  fi
  sync
  t0=$(now)
  if timeout "$limit" socat -u "OPEN:$file" "TCP:127.0.0.1:$target" && wait "$listener"; then
    t1=$(now)
    python3 -c "print('%.3f' % ($t1 - $t0))"
  else
    kill "$listener" 2>/dev/null || true
    echo fail
  fi
  if [ "$rtt" -gt 0 ]; then kill "${pids[-1]}" 2>/dev/null || true; fi
}

# Sets order to its arguments in a random order (bash's RANDOM, seeded by the
# caller; no subshell, so every call draws on from the same seed).
shuffle() {
  order=("$@")
  local i j t
  for ((i = ${#order[@]} - 1; i > 0; i--)); do
    j=$((RANDOM % (i + 1)))
    t=${order[i]} order[i]=${order[j]} order[j]=$t
  done
}
# One timed step of a row; each appends its time to its list. The local copy
# that both put steps send is made by the untimed first get of the row, and
# every get writes it again.
kestrel_get() {
  rm -f "$work/local/$name"
  kgs+=("$(timed "$cli_bin" get -q "data/$name" "$work/local/$name")")
  cmp -s "$work/local/$name" "$root/data/$name" || differs+=" get"
}
kestrel_put() {
  # Both tools write a new file: rsync's target goes before its run too.
  rm -f "$root/up/$name"
  kps+=("$(timed "$cli_bin" put -q "$work/local/$name" up)")
  cmp -s "$root/up/$name" "$root/data/$name" || differs+=" put"
}
rsync_get() {
  rm -f "$work/local/$name"
  rgs+=("$(timed rsync -a --whole-file "rsync://127.0.0.1:$rp/bench/$name" "$work/local/")")
}
rsync_put() {
  # Without the removal rsync's quick check would skip the copy.
  rm -f "$work/rsync/up/$name"
  rps+=("$(timed rsync -a --whole-file "$work/local/$name" "rsync://127.0.0.1:$rp/bench/up/")")
}
raw_run() {
  raws+=("$(raw_stream "$root/data/$name" "$rtt")")
}

results=$work/results.txt
: >"$results"
for rtt in "${rtts[@]}"; do
  if [ "$rtt" -eq 0 ]; then
    kp=$kport rp=$rport
  else
    start_proxy "$kport" "$rtt"
    kp=$proxy_port
    start_proxy "$rport" "$rtt"
    rp=$proxy_port
  fi
  for name in random.bin text.txt; do
    export KESTREL_SERVER=127.0.0.1:$kp
    kgs=() kps=() rgs=() rps=() raws=() differs=""
    rm -f "$work/local/$name"
    timed "$cli_bin" get -q "data/$name" "$work/local/$name" >/dev/null  # untimed warm-up
    RANDOM=7  # the same orders in every row and every run of the script
    for _ in $(seq "$runs"); do
      shuffle kestrel_get kestrel_put rsync_get rsync_put raw_run
      for step in "${order[@]}"; do
        "$step"
      done
    done
    kg=$(median "${kgs[@]}") kpu=$(median "${kps[@]}") rg=$(median "${rgs[@]}")
    rpu=$(median "${rps[@]}") raw=$(median "${raws[@]}")
    [[ $differs == *get* ]] && kg="$kg(differs)"
    [[ $differs == *put* ]] && kpu="$kpu(differs)"
    echo "$rtt $name $kg $kpu $rg $rpu $raw" >>"$results"
    echo "rtt ${rtt} ms $name: kestrel get $kg s, put $kpu s; rsync get $rg s, put $rpu s; raw tcp $raw s"
    echo "  runs: kestrel get ${kgs[*]}; put ${kps[*]}; rsync get ${rgs[*]}; put ${rps[*]}; raw ${raws[*]}"
  done
done

echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
python3 - "$results" "$size_mb" <<'PY'
import sys
path, mb = sys.argv[1], float(sys.argv[2])
def rate(t):
    try:
        return "%7.1f" % (mb / float(t))
    except ValueError:
        return "    n/a"
def ratio(a, b):
    try:
        return "%5.1fx" % (float(a) / float(b))
    except (ValueError, ZeroDivisionError):
        return "  n/a"
print("%-6s %-11s %8s %8s %8s %8s %8s | MiB/s: %7s %7s %7s %7s %7s | get/rsync put/rsync get/raw put/raw" % (
    "rtt", "file", "k-get", "k-put", "rs-get", "rs-put", "raw", "k-get", "k-put", "rs-get", "rs-put", "raw"))
for line in open(path):
    rtt, name, kg, kp, rg, rp, raw = line.split()
    print("%-6s %-11s %8s %8s %8s %8s %8s | MiB/s: %s %s %s %s %s | %9s %9s %7s %7s" % (
        rtt + "ms", name, kg, kp, rg, rp, raw, rate(kg), rate(kp), rate(rg), rate(rp), rate(raw),
        ratio(kg, rg), ratio(kp, rp), ratio(kg, raw), ratio(kp, raw)))
PY
