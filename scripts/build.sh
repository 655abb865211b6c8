#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything into
# $BUILD_DIR (default: build/). What ships lands in $BUILD_DIR/dist.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$root/build}"

bash "$root/scripts/bootstrap.sh"
cmake -S "$root" -B "$BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
