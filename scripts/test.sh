#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs every test.
# KESTREL_SANITIZE=address|thread builds a sanitizer variant in its own folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
san="${KESTREL_SANITIZE:-}"
build="build${san:+-$san}"
cmake -S . -B "$build" -G Ninja -DKESTREL_WERROR=ON -DKESTREL_SANITIZE="$san" \
  -DKESTREL_BUILD_BENCH="$([ -z "$san" ] && echo ON || echo OFF)" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
