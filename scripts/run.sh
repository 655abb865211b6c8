#!/usr/bin/env bash
# Builds Quorvane and starts it under Wine. Without a display (a server, a
# container) it runs in a virtual display and saves a screenshot of it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export BUILD_DIR="${BUILD_DIR:-$root/build}"

bash "$root/scripts/build.sh"
source "$root/scripts/wine-env.sh"

if [[ -z "${DISPLAY:-}" ]]; then
  start_xvfb
  ensure_wine_prefix
  wine "$BUILD_DIR/dist/Quorvane.exe" </dev/null >/dev/null 2>&1 &
  app=$!
  sleep 5
  shot="$BUILD_DIR/quorvane-screen.png"
  import -display "$DISPLAY" -window root "$shot" 2>/dev/null || true
  echo "No display here: Quorvane runs in the virtual display $DISPLAY (Xvfb pid $XVFB_PID)."
  echo "A screenshot of it is in $shot."
  echo "Look again:  DISPLAY=$DISPLAY import -window root shot.png"
  echo "Stop it:     WINEPREFIX=$WINEPREFIX wineserver -k; kill $XVFB_PID"
  disown "$app" 2>/dev/null || true
else
  ensure_wine_prefix
  exec wine "$BUILD_DIR/dist/Quorvane.exe"
fi
