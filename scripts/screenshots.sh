#!/usr/bin/env bash
# Makes the screenshots of the desktop front end's windows in docs/screenshots/
# (main-window.png, logging-window.png, about-box.png): kestrel-gui runs under
# Xvfb on a copy of the demo working folder, listening on a free loopback port,
# and saves its windows itself. Needs Qt 6 and the Debian package xvfb
# (apt-get install xvfb); not part of CI. Never edit the pictures by hand.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v xvfb-run >/dev/null; then
  echo "xvfb-run is missing: apt-get install xvfb" >&2
  exit 1
fi
build="${KESTREL_BUILD_DIR:-build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j"$(nproc)" --target kestrel-gui
gui="$PWD/$build/apps/kestrel-gui/kestrel-gui"
if [ ! -x "$gui" ]; then
  echo "$gui was not built (is qt6-base-dev installed?)" >&2
  exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r demo/. "$work/"
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
sed -i "s#<TCPIPListenPort>[0-9]*</TCPIPListenPort>#<TCPIPListenPort>$port</TCPIPListenPort>#" \
  "$work/Config/KestrelServer.xml"
shots="$PWD/docs/screenshots"
mkdir -p "$shots"
cd "$work"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$gui" --screenshot "$shots"
