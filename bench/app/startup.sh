#!/usr/bin/env bash
# Start-up of the real executable to its first painted window, and its resident
# memory then, on a copy of the demo workspace. Runs under Xvfb when it is
# there (a real X server), else on the offscreen platform.
#   bench/app/startup.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build=${1:-build}
runs=${2:-10}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
"$root/scripts/demo-workspace" "$build" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$build/demo/." "$work/"
cp -f "$build/src/app/facset" "$work/facset"
loop='cd "$0"; for i in $(seq 1 "$1"); do FACSET_QUIT_AFTER_PAINT=1 ./facset 2>/dev/null; done'
if command -v xvfb-run >/dev/null; then
  xvfb-run -a -s "-screen 0 1280x800x24" bash -c "$loop" "$work" "$runs"
else
  QT_QPA_PLATFORM=offscreen bash -c "$loop" "$work" "$runs"
fi
