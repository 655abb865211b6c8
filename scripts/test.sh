#!/usr/bin/env bash
# Builds Quorvane and all tests, then runs every test under Wine and Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$root/build}"

bash "$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
start_wine
cd "$BUILD_DIR"
ctest --output-on-failure --timeout 600 "$@"
