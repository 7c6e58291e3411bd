#!/bin/sh
# run_with_lcctl.sh COMMANDS LCCTL [EMULATOR...] -- PROGRAM [ARG...]
#
# Drives an example that serves its debug pipe with lcctl, as a developer
# would from another shell: starts PROGRAM (behind the emulator of a cross
# build) in the background, waits until it prints "serving <pipe> as pid
# <pid>", then sends each line of COMMANDS (no blank lines or '#'
# comments) with `lcctl -p <pid> -t 10 <line>`, printing "$ lcctl <line>",
# what lcctl printed and, unless 0, "(exit status <n>)".  Then it stops
# the program with SIGTERM and prints "-- the process's standard output:"
# and that output.  Its standard error gets lcctl's and the program's.
#
# Exits 1 when the program does not serve within 30 s, does not stop within
# 20 s of SIGTERM (it is then killed, and its node removed with lcctl
# clean), or ends with a status other than 0.  Only the program's own pipe
# is talked to: other processes' nodes under /dev are never touched.
set -u
commands=$1
lcctl=$2
shift 2
emulator=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    emulator="$emulator $1"
    shift
done
[ $# -gt 1 ] || { echo "usage: $0 COMMANDS LCCTL [EMULATOR...] -- PROGRAM [ARG...]" >&2; exit 2; }
shift
set -f # the emulator's words and the command lines are split, never globbed

work=$(mktemp -d)
pid=""
pipe=""
# Running, not ended (an ended child stays a zombie until it is waited for).
alive() {
    [ -r "/proc/$1/stat" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"
}
# A killed program leaves its node behind; clean removes it only when no
# process serves it.
kill_program() {
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=""
    if [ -n "$pipe" ]; then $emulator "$lcctl" clean "$pipe" >&2; fi
}
finish() {
    if [ -n "$pid" ]; then kill_program; fi
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM

"$@" > "$work/out" 2> "$work/err" &
pid=$!

# Serving: the line names the pipe and the pid lcctl is to talk to.
tries=0
while ! grep -q '^serving ' "$work/out"; do
    tries=$((tries + 1))
    if ! alive "$pid" || [ $tries -gt 300 ]; then
        echo "the program does not serve its pipe" >&2
        cat "$work/out" "$work/err" >&2
        exit 1
    fi
    sleep 0.1
done
line=$(grep '^serving ' "$work/out")
pipe=$(echo "$line" | sed -n 's/^serving \([^ ]*\) .*/\1/p')
target=$(echo "$line" | sed -n 's/.* as pid \([0-9]*\).*/\1/p')

while IFS= read -r cmd; do
    case $cmd in ""|"#"*) continue ;; esac
    echo "\$ lcctl $cmd"
    # shellcheck disable=SC2086
    $emulator "$lcctl" -p "$target" -t 10 $cmd > "$work/answer" 2> "$work/complaint"
    rc=$?
    cat "$work/answer"
    [ $rc -eq 0 ] || echo "(exit status $rc)"
    cat "$work/complaint" >&2
done < "$commands"

kill -TERM "$pid"
tries=0
while alive "$pid"; do
    tries=$((tries + 1))
    if [ $tries -gt 200 ]; then
        echo "the program did not stop within 20 s of SIGTERM" >&2
        kill_program
        exit 1
    fi
    sleep 0.1
done
wait "$pid"
status=$?
pid=""
echo "-- the process's standard output:"
cat "$work/out"
cat "$work/err" >&2
[ $status -eq 0 ] || { echo "the program ended with status $status" >&2; exit 1; }
