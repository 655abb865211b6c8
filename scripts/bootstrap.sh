#!/usr/bin/env bash
# Installs the Debian packages needed to build Quorvane for Windows and to
# test it under Wine. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64
  wine wine64
  xvfb xauth x11-utils imagemagick
  googletest nlohmann-json3-dev
  wixl
  prometheus prometheus-node-exporter
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root:  apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  # The tests start their own Prometheus and node exporter on free ports;
  # the ones the packages set up as services are not wanted.
  for service in prometheus prometheus-node-exporter; do
    if [[ " ${missing[*]} " == *" $service "* ]]; then
      invoke-rc.d "$service" stop >/dev/null 2>&1 || true
    fi
  done
fi
