#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   scripts/test.sh            normal build in build/
#   KVX_SANITIZE=1 scripts/test.sh   AddressSanitizer+UBSan build in build-asan/
#   KVX_TSAN=1 scripts/test.sh       ThreadSanitizer build in build-tsan/
#   KVX_FUZZ=1 scripts/test.sh       clang libFuzzer targets (ASan+UBSan) in build-fuzz/, each for a bounded time
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for pkg in cmake ninja-build g++ binutils python3 libgtest-dev libgmock-dev libsndfile1-dev pkg-config libbenchmark-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
# lld links the programs faster; the build falls back to the default linker without it.
command -v ld.lld >/dev/null 2>&1 || need+=(lld)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi

if [ "${KVX_FUZZ:-0}" = 1 ]; then
  # KVX_FUZZ_SECONDS sets how long each fuzzer runs (20 s by default); they run side by side.
  if ! command -v clang++ >/dev/null 2>&1; then
    SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq clang
  fi
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DKVX_BENCH=OFF -DKVX_FUZZ=ON -DKVX_SANITIZE=ON \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
    -DKVX_FUZZ_SECONDS="${KVX_FUZZ_SECONDS:-20}" >/dev/null
  fuzzers=(usbd_fuzzer feedback_fuzzer asio_fuzzer)
  cmake --build build-fuzz -j "$(nproc)" --target "${fuzzers[@]}"
  # All at once, however few the cores: each runs for its time, so the stage takes that long.
  ctest --test-dir build-fuzz -R '_fuzzer$' -j "${#fuzzers[@]}" --output-on-failure --timeout 300
  exit 0
fi

# shellcheck source=scripts/build-options.sh
. "$(dirname "$0")/build-options.sh"
dir=build; opts=("${kvx_build_options[@]}")
# The sanitizer tree compiles at -O1: its libraries build in about half the time at -O2, and its
# tests run only a little longer (the normal tree tests the libraries as built at -O2).
if [ "${KVX_SANITIZE:-0}" = 1 ]; then
  dir=build-asan
  opts+=(-DKVX_SANITIZE=ON -DKVX_BENCH=OFF "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
         "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
fi
if [ "${KVX_TSAN:-0}" = 1 ]; then dir=build-tsan; opts+=(-DKVX_TSAN=ON -DKVX_BENCH=OFF); fi

jobs=$(nproc)
cmake -S . -B "$dir" -G Ninja "${opts[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
