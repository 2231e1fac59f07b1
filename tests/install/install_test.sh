#!/usr/bin/env bash
# Installs the build into a temporary root and checks the installed server:
# --check-config accepts the installed demo, reports each fault of a broken
# copy with exit 1, and the installed server starts in a working folder.
set -euo pipefail
build="$1"
root="$(mktemp -d)"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$root/usr" >/dev/null
server="$root/usr/bin/kestrel-server"
demo="$root/usr/share/kestrel-server/demo"
[ -x "$server" ] || { echo "FAIL: no installed kestrel-server"; exit 1; }
[ -f "$root/usr/lib/systemd/system/kestrel-server.service" ] || fail "no systemd unit"
[ -f "$root/usr/bin/kestrel" ] || fail "no installed kestrel client"
[ -f "$root/usr/share/bash-completion/completions/kestrel" ] || fail "no bash completion"
[ -f "$root/usr/share/zsh/vendor-completions/_kestrel" ] || fail "no zsh completion"
if command -v help2man >/dev/null; then
  [ -f "$root/usr/share/man/man1/kestrel-server.1" ] || fail "no man page"
fi

# A fresh copy of the installed demo.
fresh() {
  rm -rf "$root/work"
  cp -r "$demo" "$root/work"
  chmod -R u+w "$root/work"
}

fresh
if ! out="$("$server" --check-config "$root/work")"; then
  fail "the installed demo is refused: $out"
fi

# One broken copy per fault: the sed expression breaks it, the text must be reported.
expect_fault() {
  local name="$1" edit="$2" text="$3"
  fresh
  sed -i "$edit" "$root/work/Config/KestrelServer.xml"
  local code=0 out
  out="$("$server" --check-config "$root/work")" || code=$?
  [ "$code" -eq 1 ] || fail "$name: exit $code, not 1"
  grep -qF -- "$text" <<<"$out" || fail "$name: '$text' not in: $out"
}
expect_fault misspelled-key 's/TCPIPListenPort>/TCPIPListenport>/g' "did you mean 'TCPIPListenPort'?"
expect_fault not-xml 's|</General>|</Generl>|' "not well-formed XML"
expect_fault user-gap 's|User2>|User3>|g' "User2 is missing"
expect_fault undeclared-group 's|<Group1>Guests</Group1>|<Group1>Gests</Group1>|' "does not declare"
expect_fault port-range 's|<TCPIPListenPort>50000|<TCPIPListenPort>70000|' "'70000' is not a port number"
expect_fault missing-root 's|Projects\\Demo|Projects\\Gone|' "does not exist"
expect_fault project-gap 's|Project1>|Project2>|g' "Project1 is missing"

# A rights file that does not parse, with user rights on.
fresh
sed -i 's|<ActivateUserPrivileges>false|<ActivateUserPrivileges>true|' "$root/work/Config/KestrelServer.xml"
cp "$root/work/Projects/Demo/readme.txt" "$root/work/Projects/Demo/~RootRights.xml"
code=0
out="$("$server" --check-config "$root/work")" || code=$?
[ "$code" -eq 1 ] || fail "broken rights file: exit $code"
grep -qF "rights file does not parse" <<<"$out" || fail "broken rights file not reported: $out"

# The installed server starts in a working folder and says where it listens.
fresh
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
sed -i "s|<TCPIPListenPort>50000|<TCPIPListenPort>$port|" "$root/work/Config/KestrelServer.xml"
"$server" --workdir "$root/work" >"$root/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -q "listening on 127.0.0.1:$port" "$root/server.out" && break
  sleep 0.1
done
grep -q "listening on 127.0.0.1:$port" "$root/server.out" || fail "no listening line: $(cat "$root/server.out")"
kill -TERM "$server_pid"
code=0
wait "$server_pid" || code=$?
server_pid=""
[ "$code" -eq 0 ] || fail "the installed server exited $code"
[ -d "$root/work/logs" ] || fail "no logs folder in the working folder"

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "install test: all checks passed"
