#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan on) and runs each one for a
# bounded time from its seed corpus. New inputs go to a scratch folder, not the repo.
#   fuzz/run.sh [SECONDS_PER_TARGET]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
build=$root/build-fuzz
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQX_FUZZ=ON -DQX_BUILD_TESTS=OFF -DQX_BUILD_EXAMPLES=OFF \
  -DQX_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for corpus in "$root"/fuzz/corpus/*/; do
  name=$(basename "$corpus")
  mkdir -p "$scratch/$name"
  echo "Fuzzing $name for ${seconds}s"
  (cd "$scratch" && "$build/${name}_fuzzer" -max_total_time="$seconds" -timeout=30 \
    -rss_limit_mb=4096 -print_final_stats=1 "$scratch/$name" "$corpus" 2>&1 | tail -n 12)
  # libFuzzer leaves crash-*, leak-* or timeout-* files on a finding.
  if compgen -G "$scratch/crash-*" >/dev/null || compgen -G "$scratch/leak-*" >/dev/null ||
     compgen -G "$scratch/timeout-*" >/dev/null; then
    echo "$name: the fuzzer found a failing input"
    exit 1
  fi
done
