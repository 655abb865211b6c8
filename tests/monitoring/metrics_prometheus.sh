#!/usr/bin/env bash
# The whole road a fleet takes: qv metrics --textfile writes quorvane.prom
# into the folder a real node exporter's textfile collector reads (the format
# of windows_exporter's), a real Prometheus server scrapes the exporter, and
# its HTTP API gives the starts counter of a service whose program crashed.
# Both servers listen on 127.0.0.1 on ports found free, and end with the test.
#   metrics_prometheus.sh SCENE_EXE SOURCE_DIR PROMTOOL PROMETHEUS NODE_EXPORTER
set -euo pipefail
scene=$1 root=$2 promtool=$3 prometheus=$4 exporter=$5
work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap finish EXIT
source "$root/scripts/wine-env.sh"
mkdir -p "$work/textfile" "$work/data"

# A port on 127.0.0.1 that nothing listens on now.
free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$port"; return; fi
  done
  return 1
}
# Waits until something listens on the port, or the server has ended.
listening() {
  local pid=$1 port=$2
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# Starts a server on a free port (another try when the port was taken
# meanwhile); sets $port.
serve() {
  local log=$1; shift
  for _ in 1 2 3; do
    port=$(free_port)
    "$@" "$port" >"$log" 2>&1 &
    local pid=$!
    if listening "$pid" "$port"; then pids+=("$pid"); return 0; fi
    kill "$pid" 2>/dev/null || true
  done
  echo "cannot start: $*"; cat "$log"; return 1
}

start_exporter() {
  exec "$exporter" --web.listen-address="127.0.0.1:$1" --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory="$work/textfile"
}
serve "$work/exporter.log" start_exporter
exporter_port=$port

start_prometheus() {
  cat >"$work/prometheus.yml" <<YAML
global: {scrape_interval: 1s, evaluation_interval: 1s}
scrape_configs:
  - job_name: quorvane
    static_configs: [{targets: ["127.0.0.1:$exporter_port"]}]
YAML
  exec "$prometheus" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$1"
}
serve "$work/prometheus.log" start_prometheus
server="http://127.0.0.1:$port"
echo "node exporter on 127.0.0.1:$exporter_port, Prometheus on 127.0.0.1:$port"

QUORVANE_TEXTFILE_DIR="$(winepath -w "$work/textfile")" \
  "$root/scripts/wine-emulator" "$scene" --gtest_filter='MetricsScene.ACrash*'

# Scraped within a few seconds: the counter as Prometheus holds it.
query='quorvane_program_starts_total{service="QV Metrics Crash",job="quorvane"}'
for _ in $(seq 60); do
  answer=$("$promtool" query instant "$server" "$query" 2>&1 || true)
  if [[ $answer =~ =\>\ ([0-9]+) ]]; then
    echo "Prometheus answers: $answer"
    starts=${BASH_REMATCH[1]}
    errors=$("$promtool" query instant "$server" 'node_textfile_scrape_error' 2>&1 || true)
    echo "node exporter's textfile collector: $errors"
    [[ $errors =~ =\>\ 0\ @ ]] || { echo "the collector could not read the file"; exit 1; }
    ((starts >= 2)) || { echo "the counter shows no restart after the crash"; exit 1; }
    echo "starts after a crash, through the HTTP API: $starts"
    exit 0
  fi
  sleep 0.5
done
echo "Prometheus never had $query: $answer"
echo "--- exporter log"; tail -20 "$work/exporter.log"
echo "--- prometheus log"; tail -20 "$work/prometheus.log"
exit 1
