# Sourced by the scripts: a quiet, non-interactive Wine prefix inside the
# build tree, never the user's own ~/.wine, and a private virtual display.
: "${BUILD_DIR:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}"
export WINEPREFIX="${WINEPREFIX:-$BUILD_DIR/wineprefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko prompts; and no debugger: a program that crashes ends at
# once with an error instead of waiting in winedbg (a test then fails at
# once rather than at CTest's time-out).
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
source "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh"

# Creates the prefix once and lets it settle; windows are unmanaged so that
# closing one costs milliseconds instead of seconds under a bare X server.
ensure_wine_prefix() {
  if [[ ! -f "$WINEPREFIX/.quorvane-ready" ]]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.quorvane-ready"
  fi
}

# A persistent, warmed wineserver: without it CTest waits on Wine's
# background processes after every test.
start_wineserver() {
  wineserver -p </dev/null >/dev/null 2>&1 || true  # one may run already
  wine wineboot </dev/null >/dev/null 2>&1 || true
}

stop_wineserver() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
}

# What the tests and the benchmarks run under: the virtual display, the
# prefix and a warmed wineserver, all stopped when the calling script ends.
start_wine() {
  trap 'stop_wineserver; stop_xvfb' EXIT
  start_xvfb
  ensure_wine_prefix
  start_wineserver
}
