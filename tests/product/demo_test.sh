#!/bin/sh
# Runs scripts/demo on a finished build (in a private network namespace: fixed ports) until it
# shows a bound frame, touches and desktop events, then stops it as Ctrl-C would and checks
# that nothing it started is left: no process of its session, no listening port, no socket
# folder. Usage: demo_test.sh SOURCE BUILD
set -eu
src=$1 build=$2
work=$(mktemp -d /tmp/ordalo-demo-XXXXXX)
sid=""
# However the test ends, nothing of the demo's session outlives it.
cleanup() {
    if [ -n "$sid" ]; then pkill -KILL -s "$sid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    echo "---- demo output (end) ----" >&2
    tail -n 40 "$work/out" >&2 || true
    exit 1
}
# Polls for up to $1 seconds until the command after it succeeds.
within() {
    limit=$(( $1 * 10 )); shift
    n=0
    until "$@"; do
        n=$((n + 1))
        [ $n -le $limit ] || return 1
        sleep 0.1
    done
}
shows() { grep -Eq "$1" "$work/out"; }

# A session of its own, so that everything the demo starts can be found afterwards. A job sent
# to the background by a script starts with SIGINT ignored; perl gives it back its default, as
# a program started from a terminal has it.
ORDALO_BUILD_DIR=$build ORDALO_DEMO_DIR=$work/run \
    perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV or die "exec: $!"' setsid "$src/scripts/demo" \
    >"$work/out" 2>&1 </dev/null &
pid=$!
within 10 sh -c "ps -o sid= -p $pid | grep -q ." || fail "the demo did not start"
sid=$(ps -o sid= -p "$pid" | tr -d ' ')

within 90 shows 'Device Added' || fail "no frame was bound"
within 60 shows '^fseq [0-9-]+: [0-9]+ [0-9.]+ [0-9.]+' || fail "the monitor showed no touch"
if [ -e "$build/bin/OrdaloOSXBridge" ]; then
    within 60 shows '^left-down ' || fail "no click from the tap"
    within 60 shows '^scroll ' || fail "no scroll from the two-finger scroll"
fi

# Ctrl-C: SIGINT to the whole foreground group.
kill -INT "-$sid"
within 20 sh -c "! kill -0 $pid 2>/dev/null" || fail "the demo did not stop within 20 s"
status=0
wait "$pid" || status=$?
[ "$status" -eq 130 ] || fail "the demo ended with status $status, not 130 (interrupted)"
# Ended children may take a moment to be reaped once orphaned.
within 5 sh -c "! ps -e -o sid= | tr -d ' ' | grep -qx $sid" ||
    fail "left running: $(ps -e -o pid=,sid=,args= | awk -v s="$sid" '$2 == s')"
sid=""  # all ended: nothing for the clean-up to signal
if command -v ss >/dev/null; then
    left=$(ss -Hlntu | grep -E ':(3000|3333|28875)\b' || true)
    [ -z "$left" ] || fail "ports still open: $left"
fi
[ ! -e "$work/run/frames" ] || fail "the virtual frame's folder is left behind"
echo "demo showed frame, touches and gestures, and left nothing behind"
