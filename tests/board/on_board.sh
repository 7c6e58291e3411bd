#!/bin/sh
# on_board.sh - the board test, run as root on the booted armhf board by
# its unit, from the folder the host shares with it (scripts/board.sh):
#
#   /srv/board/debs/*.deb   the project's armhf packages
#   /srv/board/bin/         board_service, ipc_peer, time32, time64 (built on
#                           the host against those packages)
#   /srv/board/out/         transcript and result, read by the host
#
# Each check prints one line "ok|FAIL <name> (<seconds> s): ..." and its
# details indented.  Every wait is for an event (a line, a node, a pid),
# bounded by a deadline; no check sleeps for a fixed time.  lcctl is used
# only through its command line, and its output is judged by stable facts
# (exit status, "lib=7" in get, a trace line in follow), not by its layout.
set -u
share=/srv/board
out=$share/out
bin=/usr/local/bin
tmp=/run/board-test
unit=board-service
mkdir -p "$out" "$tmp"
: > "$out/transcript"
passed=0
failed=0

say() { printf '%s\n' "$*" | tee -a "$out/transcript"; }
now() { cut -d' ' -f1 /proc/uptime; }
# elapsed SINCE: seconds from SINCE (an uptime) to now, one decimal.
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# wait_for SECONDS CMD...: runs CMD every 0.1 s until it succeeds (0) or
# the time is up (1).
wait_for() {
    limit=$(awk -v a="$(now)" -v s="$1" 'BEGIN { print a + s }')
    shift
    while ! "$@" > /dev/null 2>&1; do
        if awk -v a="$(now)" -v l="$limit" 'BEGIN { exit !(a > l) }'; then return 1; fi
        sleep 0.1
    done
}

# check NAME FUNCTION: runs FUNCTION, whose output becomes the details,
# and counts it.
check() {
    start=$(now)
    if "$2" > "$tmp/details" 2>&1; then
        passed=$((passed + 1)); verdict=ok
    else
        failed=$((failed + 1)); verdict=FAIL
    fi
    say "$verdict $1 ($(elapsed "$start") s)"
    sed 's/^/    /' "$tmp/details" | tee -a "$out/transcript"
}

main_pid() { systemctl show -p MainPID --value "$unit"; }
serving() { lcctl list | grep -q "\\b$1\\b.*board_service"; }
node_of() { lcctl list | sed -n "s|^\\(/dev/libfifo[_0-9]*\\) *$1 .*|\\1|p"; }
# A node made less than a second ago is never removed: clean until NODE is
# gone.
cleaned() { lcctl clean > /dev/null; [ ! -e "$1" ]; }
# The service runs again under a pid other than OLD and serves its pipe.
restarted() {
    new=$(main_pid)
    [ "$new" != 0 ] && [ "$new" != "$1" ] && serving "$new"
}

install_packages() {
    dpkg -i "$share"/debs/*_armhf.deb || return 1
    dpkg-query -W -f '${Package}:${Architecture} ${Version} ${db:Status-Abbrev}\n' \
        liblib-common1 liblib-common-dev lib-common-tools
    # The ldconfig trigger has registered the library.
    ldconfig -p | grep liblib_common.so.1 || return 1
    cp "$share"/bin/* "$bin/"
}

start_service() {
    cat > /etc/systemd/system/$unit.service <<EOF
[Unit]
Description=lib_common board service
After=rsyslog.service

[Service]
ExecStart=$bin/board_service
Restart=on-failure
RestartSec=1
StateDirectory=board_service
EOF
    systemctl daemon-reload && systemctl start $unit || return 1
    pid=$(main_pid)
    wait_for 30 serving "$pid" || { lcctl list; return 1; }
    echo "$pid" > "$tmp/pid"
    systemctl show -p ActiveState -p SubState -p MainPID $unit | tr '\n' ' '
    echo
}

lcctl_talks() {
    pid=$(cat "$tmp/pid")
    lcctl list || return 1
    lcctl -p "$pid" get | tee "$tmp/get" || return 1
    grep -q ' lib=6' "$tmp/get" || return 1
    lcctl -p "$pid" lib_level=debug module_level=debug || return 1
    lcctl -p "$pid" get | tee "$tmp/get" || return 1
    grep -q ' lib=7' "$tmp/get" && grep -q ' module=7' "$tmp/get" || return 1
    # follow: the ticks at level 7 of "module" now come through.
    timeout 60 lcctl -p "$pid" follow > "$tmp/follow" 2>&1 &
    follower=$!
    wait_for 30 grep -Eq '\[module tick \+[0-9]+ *\]tick [0-9]+' "$tmp/follow"
    found=$?
    kill "$follower" 2> /dev/null
    wait "$follower"
    echo "follow:"
    head -n 3 "$tmp/follow"
    return $found
}

# A record is "<time> board board_service: <trace>" (the library does not
# open the log, so no pid), the trace's tag "[module <function> +<line>]"
# with the line number left-aligned in four columns.  Only the service runs
# now, so every board_service record is its.
syslog_records() {
    pid=$(cat "$tmp/pid")
    tag='\+([0-9]{4}|[0-9]{3} |[0-9]{2}  |[0-9]   )\]'
    wait_for 30 grep -Eq " board_service: \\[module main $tag""up, pid $pid\$" /var/log/syslog &&
        wait_for 30 grep -Eq " board_service: \\[module tick $tag""tick [0-9]+\$" /var/log/syslog ||
        { tail -n 5 /var/log/syslog; return 1; }
    grep -E " board_service: \\[(lib|module) " /var/log/syslog | head -n 5
    echo "..."
    grep -E " board_service: \\[module tick " /var/log/syslog | tail -n 1
}

second_process() {
    pid=$(cat "$tmp/pid")
    "$bin/board_service" > /dev/null 2>&1 &
    second=$!
    wait_for 30 serving "$second" || return 1
    node=$(node_of "$second")
    lcctl list
    [ "$node" = "/dev/libfifo_$second" ] && [ -p "$node" ] && serving "$pid" || return 1
    kill -9 "$second"
    wait "$second"
    echo "after kill -9 $second:"
    lcctl list | tee "$tmp/list"
    grep -q "^$node .*stale" "$tmp/list" && [ -p "$node" ] || return 1
    wait_for 10 cleaned "$node" || return 1
    echo "after lcctl clean:"
    lcctl list
    serving "$pid"
}

system_v_ipc() {
    key=$((0x4c430000 + $$))
    timeout 30 "$bin/ipc_peer" serve "$key" > "$tmp/serve" 2>&1 &
    server=$!
    timeout 30 "$bin/ipc_peer" call "$key"
    caller=$?
    wait "$server"
    served=$?
    cat "$tmp/serve"
    # Objects a failed run left behind.
    [ $caller -eq 0 ] || ipcrm -Q "$key" -S "$key" -M "$key" 2> /dev/null
    [ $caller -eq 0 ] && [ $served -eq 0 ]
}

time_t_callers() {
    timeout 30 "$bin/time32" && timeout 30 "$bin/time64"
}

crash_and_restart() {
    pid=$(cat "$tmp/pid")
    node=$(node_of "$pid")
    rm -f /dev/xel_core.file
    lcctl -p "$pid" board=crash
    wait_for 60 restarted "$pid" || { systemctl status --no-pager $unit; return 1; }
    new=$(main_pid)
    echo "$new" > "$tmp/pid"
    echo "restarted: pid $pid -> $new, NRestarts=$(systemctl show -p NRestarts --value $unit)"
    report=/dev/xel_core.file
    grep -q "^---------------\$" $report && grep -q "pid:[0-9]*-" $report &&
        grep -q "^backtrace start\$" $report && grep -q "^backtrace end\$" $report || return 1
    cmp -s $report /var/lib/board_service/xel_core.file || return 1
    echo "$report: $(wc -c < $report) bytes, $(grep -c '^0x' $report) stack lines; its copy in /var/lib/board_service"
    grep -m 1 '^Name:' $report
    grep " board_service: .*crashing on request" /var/log/syslog | tail -n 1
    # The crashed process's node is stale now; clean removes it.
    wait_for 10 cleaned "$node" || return 1
    echo "$node of the crashed process removed by lcctl clean"
    lcctl list
}

stop_service() {
    pid=$(cat "$tmp/pid")
    node=$(node_of "$pid")
    systemctl stop $unit || return 1
    [ -n "$node" ] && [ ! -e "$node" ] || return 1
    echo "stopped; $node removed by the process"
}

say "board: up $(now) s, $(uname -srm), $(nproc) CPUs, $(sed -n 's/^MemTotal: *//p' /proc/meminfo)"
check "install the armhf packages with dpkg" install_packages
if [ $failed -eq 0 ]; then
    check "board_service runs as a systemd service" start_service
fi
if [ $failed -eq 0 ]; then
    check "lcctl list, get, a level change and follow" lcctl_talks
    check "traces in /var/log/syslog" syslog_records
    check "a second process, kill -9, lcctl clean" second_process
    check "System V IPC between two processes" system_v_ipc
    check "callers of both time_t" time_t_callers
    check "a crash: report written, service restarted" crash_and_restart
    check "the service stops and removes its node" stop_service
fi
say "board: $passed passed, $failed failed, at $(now) s; powering off"
echo "$passed $failed" > "$out/result"
[ $failed -eq 0 ]
