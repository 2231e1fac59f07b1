#!/bin/bash
# Starts kestrel-server in a temporary folder on a free loopback port, runs
# bench_upload_attacks against it and stops it again.
#   bench/upload_attacks.sh [BUILD_DIR]   (default: build)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
work=$(mktemp -d /tmp/kestrel-attacks-XXXXXX)
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; rm -rf "$work"' EXIT

digest() { printf 'k7qz21m%s4tx88' "$1" | md5sum | cut -c1-32; }
# A free port below the ephemeral range, which busy clients on this machine use up.
port=$(python3 -c '
import random, socket
while True:
    p = random.randint(20000, 32000)
    try:
        socket.socket().bind(("", p)); print(p); break
    except OSError:
        pass')
mkdir -p "$work/server/Config" "$work/server/Projects/Demo"
printf 'Read me first.\r\n' >"$work/server/Projects/Demo/readme.txt"
cat >"$work/server/Config/KestrelServer.xml" <<XML
<?xml version='1.0' encoding='UTF-8' ?>
<KestrelServer_Config><General><CustomerInstallation>true</CustomerInstallation>
<GlobalKey>bench-attack-key</GlobalKey><LogLevel>Warning</LogLevel>
<ScanIntervallProjects>600</ScanIntervallProjects><ScanIntervallUserrights>600</ScanIntervallUserrights>
<TCPIPListenPort>$port</TCPIPListenPort></General>
<Project1><Projectname>Demo</Projectname><Rootpath>.\Projects\Demo</Rootpath>
<Group1><Groupname>Staff</Groupname></Group1>
<User1><Username>alice</Username><Realname>Alice</Realname><Useremail>a@example.org</Useremail><Password>$(digest wonderland)</Password><Group1>Staff</Group1></User1>
<User2><Username>bob</Username><Realname>Bob</Realname><Useremail>b@example.org</Useremail><Password>$(digest builder)</Password><Group1>Staff</Group1></User2>
</Project1></KestrelServer_Config>
XML
(cd "$work/server" && exec "$build/apps/kestrel-server" >"$work/server.out" 2>&1) &
server=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
sleep 1  # slots and the first scan
kill -0 "$server" || { cat "$work/server.out"; exit 1; }
"$build/bench/bench_upload_attacks" "$port" "$work/server" "$work/scratch"
