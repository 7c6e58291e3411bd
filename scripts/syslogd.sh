#!/bin/sh
# syslogd.sh - runs a command while busybox's syslogd listens on /dev/log and
# writes every record it receives into a file of its own.
#
#   scripts/syslogd.sh [--use-live] LOGFILE COMMAND [ARG...]
#
# The daemon and the command run in a private mount and pid namespace whose
# /dev is a small tmpfs of its own (null, zero, full, random, urandom, tty
# bound from the real /dev, and a private shm), so a live /dev/log and the
# pipe nodes of other processes are never touched.  When the command ends,
# however it ends (also Ctrl-C or a killed parent), the namespace ends and
# takes the daemon and its socket with it.
#
#   --use-live   where /dev/log is already live, run the command on that
#                daemon instead (LOGFILE then stays empty).
#
# Without namespaces the real /dev/log is used only where none exists: the
# daemon is started on it and it is removed afterwards.  An existing /dev/log
# is never replaced: without --use-live the script then exits 77 (skipped).
#
# LC_SYSLOGD_NAMESPACE=0 takes the way without namespaces (to test it).
#
# Exit status: the command's, or 77 when it could not be run as asked.
set -u
here=$(cd "$(dirname "$0")" && pwd)
me="$here/$(basename "$0")"
SKIP=77

# True when a daemon listens on /dev/log: a connect succeeds (nothing is
# sent).  Without python3, the kernel's list of bound unix sockets is asked.
log_is_live() {
    [ -S /dev/log ] || return 1
    if command -v python3 >/dev/null 2>&1; then
        python3 -c 'import socket, sys
for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
    try:
        socket.socket(socket.AF_UNIX, kind).connect("/dev/log")
        sys.exit(0)
    except OSError:
        pass
sys.exit(1)' 2>/dev/null
        return
    fi
    target=$(readlink -f /dev/log)
    awk -v a=/dev/log -v b="$target" '$NF == a || $NF == b { found = 1 } END { exit !found }' \
        /proc/net/unix 2>/dev/null
}

# Waits up to 5 s for the daemon with process id $1 to bind /dev/log.
wait_for_socket() {
    i=0
    while [ ! -S /dev/log ] && [ $i -lt 50 ] && kill -0 "$1" 2>/dev/null; do
        sleep 0.1
        i=$((i + 1))
    done
    [ -S /dev/log ]
}

# ---- Inside the namespace (this script again, as its process 1) ----------
if [ "${1:-}" = --inside ]; then
    # Only ever as process 1 of the namespace made below: outside one, the
    # mounts would cover the machine's own /dev.
    if [ $$ != 1 ]; then
        echo "syslogd.sh: --inside is for the script's own namespace" >&2
        exit 2
    fi
    stage=$2 log=$3
    shift 3
    mount -t tmpfs -o mode=755,size=4m lc_dev "$stage" || exit $SKIP
    for node in null zero full random urandom tty; do
        [ -c "/dev/$node" ] || continue
        : > "$stage/$node" && mount --bind "/dev/$node" "$stage/$node" || exit $SKIP
    done
    mkdir "$stage/shm" && mount -t tmpfs -o mode=1777 lc_shm "$stage/shm" || exit $SKIP
    ln -s /proc/self/fd "$stage/fd"
    ln -s /proc/self/fd/0 "$stage/stdin"
    ln -s /proc/self/fd/1 "$stage/stdout"
    ln -s /proc/self/fd/2 "$stage/stderr"
    mount --move "$stage" /dev || exit $SKIP

    busybox syslogd -n -O "$log" &
    daemon=$!
    # As process 1 this shell receives only the signals it handles; the
    # namespace, daemon included, ends when it exits.
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    if ! wait_for_socket $daemon; then
        echo "syslogd.sh: busybox syslogd did not start" >&2
        exit $SKIP
    fi
    "$@"
    rc=$?
    kill $daemon 2>/dev/null
    wait $daemon 2>/dev/null
    exit $rc
fi

# ---- Outside ----------------------------------------------------------------
use_live=0
if [ "${1:-}" = --use-live ]; then
    use_live=1
    shift
fi
if [ $# -lt 2 ]; then
    echo "usage: $0 [--use-live] LOGFILE COMMAND [ARG...]" >&2
    exit 2
fi
log=$1
shift
case $log in /*) ;; *) log="$(pwd)/$log" ;; esac

if [ $use_live = 1 ] && log_is_live; then
    echo "syslogd.sh: /dev/log is live; the command logs to that daemon" >&2
    exec "$@"
fi
if ! busybox syslogd --help >/dev/null 2>&1; then
    echo "syslogd.sh: SKIPPED: busybox with syslogd is not installed" >&2
    exit $SKIP
fi
: > "$log" || exit 2

work=$(mktemp -d "${TMPDIR:-/tmp}/lc_syslogd.XXXXXX") || exit 2
daemon=""
made_inode=""
cleanup() {
    if [ -n "$daemon" ]; then
        kill "$daemon" 2>/dev/null
        wait "$daemon" 2>/dev/null
        # Removes the socket only if it is still the one the daemon made.
        if [ -S /dev/log ] && [ "$(stat -c %i /dev/log)" = "$made_inode" ]; then
            rm -f /dev/log
        fi
    fi
    rmdir "$work/dev" 2>/dev/null
    rmdir "$work" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if [ "${LC_SYSLOGD_NAMESPACE:-1}" != 0 ] && [ "$(id -u)" = 0 ] && mkdir "$work/dev" &&
        unshare --mount --pid --fork --kill-child --mount-proc true 2>/dev/null; then
    unshare --mount --pid --fork --kill-child --mount-proc \
        sh "$me" --inside "$work/dev" "$log" "$@"
    exit $?
fi

# No namespaces: only where no /dev/log exists at all.
if [ -e /dev/log ] || [ -L /dev/log ]; then
    if [ $use_live = 1 ]; then
        echo "syslogd.sh: /dev/log exists but nothing listens; no namespace to start a daemon in" >&2
        exec "$@"
    fi
    echo "syslogd.sh: SKIPPED: no private namespace here, and /dev/log exists (never replaced)" >&2
    exit $SKIP
fi
busybox syslogd -n -O "$log" &
daemon=$!
if ! wait_for_socket $daemon; then
    echo "syslogd.sh: busybox syslogd did not start" >&2
    exit $SKIP
fi
made_inode=$(stat -c %i /dev/log)
"$@"
exit $?
