#!/usr/bin/env bash
# Builds the server and starts it on a copy of the bundled demo working folder
# (the repository's own copy is never written). Ctrl+C shuts it down.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)" --target kestrel-server kestrel
run="${KESTREL_DEMO_DIR:-$PWD/run/demo}"
if [ ! -d "$run" ]; then
  mkdir -p "$run"
  cp -r demo/. "$run/"
fi
echo "Demo working folder: $run"
cd "$run"
exec "$OLDPWD/build/apps/kestrel-server" "$@"
