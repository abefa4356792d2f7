#!/usr/bin/env bash
# Installs what is missing, builds the command-line program and runs it with the given arguments:
#   bash scripts/kvx.sh describe sim/profiles/uac1-headset.json [--text]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

need=()
for pkg in cmake ninja-build g++ binutils python3 libgtest-dev libgmock-dev libsndfile1-dev pkg-config libbenchmark-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >&2
fi

# The same folder and options as scripts/test.sh: the two never compile the tree twice. Build
# output goes to stderr so that stdout carries only the program's own output.
# shellcheck source=scripts/build-options.sh
. "$root/scripts/build-options.sh"
cmake -S "$root" -B "$root/build" -G Ninja "${kvx_build_options[@]}" >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target kvx >&2
exec "$root/build/tools/kvx" "$@"
