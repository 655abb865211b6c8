#!/usr/bin/env bash
# qv metrics on services in every state, checked by Prometheus's promtool;
# and every metric the shipped alerts and dashboard use is one qv writes.
#   metrics_promtool.sh SCENE_EXE SOURCE_DIR PROMTOOL PROMETHEUS NODE_EXPORTER
set -euo pipefail
scene=$1 root=$2 promtool=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$root/scripts/wine-env.sh"

QUORVANE_METRICS_OUT="$work/quorvane.prom" \
  "$root/scripts/wine-emulator" "$scene" --gtest_filter='MetricsScene.EveryState*'
[[ -s "$work/quorvane.prom" ]] || { echo "the scene wrote no metrics"; exit 1; }

echo "promtool check metrics:"
"$promtool" check metrics <"$work/quorvane.prom"

# Written only for an entry with a health check, which the scene has none of.
health_only="quorvane_program_health quorvane_program_health_failures quorvane_program_health_checked_timestamp_seconds"
status=0
for name in $(grep -oh 'quorvane_[a-z_]*' "$root/monitoring/quorvane-rules.yml" "$root/monitoring/quorvane-dashboard.json" | sort -u); do
  if ! grep -q "^# TYPE $name " "$work/quorvane.prom" && [[ " $health_only " != *" $name "* ]]; then
    echo "the alerts or the dashboard use $name, which qv metrics does not write"
    status=1
  fi
done
((status == 0)) && echo "every metric of the alerts and the dashboard is one qv metrics writes"
exit $status
