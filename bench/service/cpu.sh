#!/usr/bin/env bash
# CPU of the whole OrdaloService process over a stretch of wall-clock time: once with no frame,
# once with one virtual frame streaming at 120 Hz with two moving fingers (a looping scroll).
# Runs in a private network namespace when it can, so a running service is not disturbed.
#   bench/service/cpu.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-30}
if [ -z "${ORDALO_IN_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  exec env ORDALO_IN_NETNS=1 unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$build" "$seconds"
fi
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
ticks=$(getconf CLK_TCK)

cpu_of() {  # pid -> utime + stime in clock ticks
  awk '{print $14 + $15}' "/proc/$1/stat"
}

measure() {  # label
  local pid=$1 label=$2
  sleep 3  # past the start-up and the bring-up
  local c0 t0 c1 t1
  c0=$(cpu_of "$pid"); t0=$(date +%s.%N)
  sleep "$seconds"
  c1=$(cpu_of "$pid"); t1=$(date +%s.%N)
  awk -v c="$((c1 - c0))" -v hz="$ticks" -v t0="$t0" -v t1="$t1" -v l="$label" \
    'BEGIN { printf "%-40s %6.2f %% of one core over %.1f s\n", l, 100 * c / hz / (t1 - t0), t1 - t0 }'
}

mkdir -p "$work/frames" "$work/run"
(cd "$work/run" && ORDALO_VIRTUAL_DIR="$work/frames" ORDALO_LOG_LEVEL=1 exec "$build/bin/OrdaloService") &
service=$!
measure "$service" "no frame"
"$build/bin/ordalo-virtual-frame" --dir "$work/frames" --scenario two-finger-scroll --loop \
  --rate 120 > /dev/null &
measure "$service" "one frame, 120 Hz, two moving fingers"
