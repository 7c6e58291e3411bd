#!/bin/sh
# run_demo.sh CMD... - runs the demo (CMD, with the emulator in front for a
# cross build) for 2 s while commands are written into the pipe it names,
# then with 60 s stopped early by SIGTERM.  Each run must exit 0 and leave
# no pipe node behind.
set -u
log=$(mktemp)
trap 'rm -f "$log"' EXIT
fail() { echo "FAIL: $*"; cat "$log"; exit 1; }

# Starts the demo for $1 seconds; sets pid, the pipe's path and its inode.
start() {
    "$@" 2>"$log" &
    pid=$! i=0 path=""
    while [ -z "$path" ] && [ $i -lt 300 ] && kill -0 $pid 2>/dev/null; do
        sleep 0.1
        i=$((i + 1))
        path=$(sed -n 's/^-- serving the debug pipe \(.*\); talk to it.*$/\1/p' "$log")
    done
    inode=$(stat -c %i "$path") || fail "no pipe named, or no node at '$path'"
}

# Waits for the demo; it must exit 0 and its node be gone (or made anew by
# another process).
finish() {
    wait $pid || fail "exit status $?"
    [ -e "$path" ] && [ "$(stat -c %i "$path")" = "$inode" ] && fail "$path left behind"
    grep -q '^-- done$' "$log" || fail "not done"
}

start "$@" 2
# One write: a line feed does not separate two commands.
timeout 10 sh -c 'echo "help=1;gpool=statistics" > "$1"' sh "$path" || fail "cannot write $path"
finish
grep -q 'fifo_print_debug +.*\]gpool=add_task$' "$log" || fail "no help listing"
grep -q 'threadpool_debug +.*\]min:2,max:4,live:' "$log" || fail "no statistics"
grep -q ' task (.*) run 1' "$log" || fail "no task ran"
grep -q "^--   lcctl -p $pid help\$" "$log" || fail "no lcctl command printed"
echo "2 s run: ok ($path)"

start "$@" 60
kill -TERM $pid
finish
grep -q '^-- stopping (SIGTERM)$' "$log" || fail "SIGTERM not seen"
echo "SIGTERM run: ok ($path)"
