#!/usr/bin/env bash
# Installs what is missing, builds the command-line program and runs it with the given arguments:
#   bash scripts/kvx.sh describe sim/profiles/uac1-headset.json [--text]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

need=()
for pkg in cmake ninja-build g++ python3 libgtest-dev libgmock-dev libsndfile1-dev pkg-config; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >&2
fi

# Build output goes to stderr so that stdout carries only the program's own output.
cmake -S "$root" -B "$root/build" -G Ninja >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target kvx >&2
exec "$root/build/tools/kvx" "$@"
