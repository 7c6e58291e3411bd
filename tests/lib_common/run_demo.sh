#!/bin/sh
# run_demo.sh CMD... - runs the demo (CMD, with the emulator in front for a
# cross build) twice: for 2 s while commands are written into the pipe it
# names, and with 60 s stopped early by SIGTERM.  Each run must exit 0 and
# leave no pipe node behind.
set -u
log=$(mktemp)
trap 'rm -f "$log"' EXIT
fail() { echo "FAIL: $*"; cat "$log"; exit 1; }

# Prints the path of the pipe the demo at pid $1 says it serves.
pipe_of() {
    i=0
    while [ $i -lt 300 ]; do
        p=$(sed -n 's/^-- serving the debug pipe \(.*\); talk to it.*$/\1/p' "$log")
        [ -n "$p" ] && { echo "$p"; return 0; }
        kill -0 "$1" 2>/dev/null || return 1
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

# True when node $1 is still the one with inode $2 (not gone, not made anew
# by another process).
node_left() { [ -e "$1" ] && [ "$(stat -c %i "$1")" = "$2" ]; }

"$@" 2 2>"$log" &
pid=$!
path=$(pipe_of $pid) || fail "no pipe named"
inode=$(stat -c %i "$path") || fail "no node at $path"
# One write: a line feed does not separate two commands.
timeout 10 sh -c 'echo "help=1;gpool=statistics" > "$1"' sh "$path" || fail "cannot write $path"
wait $pid
rc=$?
[ $rc -eq 0 ] || fail "exit status $rc"
grep -q 'fifo_print_debug +.*\]gpool=add_task$' "$log" || fail "no help listing"
grep -q 'threadpool_debug +.*\]min:2,max:4,live:' "$log" || fail "no statistics"
grep -q ' task (.*) run 1' "$log" || fail "no task ran"
grep -q '^-- done$' "$log" || fail "not done"
node_left "$path" "$inode" && fail "$path left behind"
echo "2 s run: ok ($path)"

"$@" 60 2>"$log" &
pid=$!
path=$(pipe_of $pid) || fail "no pipe named"
inode=$(stat -c %i "$path") || fail "no node at $path"
kill -TERM $pid
wait $pid
rc=$?
[ $rc -eq 0 ] || fail "exit status $rc after SIGTERM"
grep -q '^-- stopping (SIGTERM)$' "$log" || fail "SIGTERM not seen"
node_left "$path" "$inode" && fail "$path left behind"
echo "SIGTERM run: ok ($path)"
