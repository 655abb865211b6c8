#!/usr/bin/env bash
# Builds everything and runs every benchmark: the programs under Wine, then
# the scripts that measure what the build made; prints their figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$root/build}"
bash "$root/scripts/build.sh" >/dev/null
source "$root/scripts/wine-env.sh"
start_wine
for bench in "$BUILD_DIR"/bench/bench_*.exe; do
  echo "== $(basename "$bench" .exe)"
  wine "$bench" "$@"
done
for bench in "$root"/bench/*_bench.sh; do
  echo "== $(basename "$bench" .sh)"
  bash "$bench" "$@"
done
