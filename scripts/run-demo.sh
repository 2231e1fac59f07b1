#!/usr/bin/env bash
# Builds the server, the command-line client and, when Qt 6 is present, the
# desktop front end, and starts the server on a copy of the bundled demo
# working folder (the repository's own copy is never written). Ctrl+C shuts it
# down. KESTREL_DEMO_GUI=1 starts the desktop front end instead of the
# headless server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
targets=(kestrel-server kestrel)
if cmake --build build --target help | grep '^kestrel-gui:' >/dev/null; then
  targets+=(kestrel-gui)
fi
cmake --build build -j"$(nproc)" --target "${targets[@]}"
run="${KESTREL_DEMO_DIR:-$PWD/run/demo}"
if [ ! -d "$run" ]; then
  mkdir -p "$run"
  cp -r demo/. "$run/"
fi
echo "Demo working folder: $run"
cd "$run"
if [ "${KESTREL_DEMO_GUI:-0}" = 1 ]; then
  exec "$OLDPWD/build/apps/kestrel-gui/kestrel-gui" "$@"
fi
exec "$OLDPWD/build/apps/kestrel-server" "$@"
