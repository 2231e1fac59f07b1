#!/usr/bin/env bash
# Builds the Debian packages from a build folder (default build/) and checks
# them: their contents, the installed demo through the packaged
# --check-config, and the systemd unit (where systemd-analyze exists).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
(cd "$build" && cpack -G DEB >/dev/null)
shopt -s nullglob
debs=("$build"/kestrel-*.deb)
[ ${#debs[@]} -ge 2 ] || { echo "no packages in $build"; exit 1; }
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
for deb in "${debs[@]}"; do
  echo "== $(basename "$deb")"
  dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$'
  dpkg-deb -x "$deb" "$root"
done
server_deb=("$build"/kestrel-server_*.deb)
dpkg-deb -I "${server_deb[0]}" postinst >/dev/null
for f in usr/bin/kestrel-server usr/bin/kestrel usr/lib/systemd/system/kestrel-server.service \
         usr/share/kestrel-server/demo/Config/KestrelServer.xml usr/share/man/man1/kestrel-server.1 \
         usr/share/bash-completion/completions/kestrel usr/share/zsh/vendor-completions/_kestrel; do
  [ -e "$root/$f" ] || { echo "missing in the packages: /$f"; exit 1; }
done
cp -r "$root/usr/share/kestrel-server/demo" "$root/demo"
"$root/usr/bin/kestrel-server" --check-config "$root/demo"
if command -v systemd-analyze >/dev/null; then
  # The unit names /usr/bin; point it at the unpacked tree for the check.
  sed "s|/usr/bin/kestrel-server|$root/usr/bin/kestrel-server|g" \
    "$root/usr/lib/systemd/system/kestrel-server.service" >"$root/kestrel-server.service"
  MANPATH="$root/usr/share/man" systemd-analyze verify "$root/kestrel-server.service"
  echo "systemd unit verified"
fi
echo "packages checked: ${#debs[@]}"
