#!/bin/sh
# run_demo_syslog.sh SYSLOGD CMD... - runs the demo (CMD, with the emulator in
# front for a cross build) for 2 s with --syslog under a busybox syslogd of its
# own (SYSLOGD: scripts/syslogd.sh, which never touches a live /dev/log) and
# checks the records that daemon wrote: priorities, time stamps, and long
# traces cut into records of at most 160 characters.  Exits 77 (skipped)
# where no daemon of its own can be run.
set -u
syslogd=$1
shift
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$syslogd" "$dir/messages" "$@" 2 --syslog 2>"$dir/stderr"
rc=$?
if [ $rc = 77 ]; then
    cat "$dir/stderr"
    exit 77
fi
if [ $rc != 0 ] || ! grep -q '^-- done$' "$dir/stderr"; then
    echo "FAIL: the demo under syslogd exited $rc"
    cat "$dir/stderr" "$dir/messages"
    exit 1
fi

# "Dec  7 03:23:54 host user.info lc_demo: text" -> "info|text"; busybox
# drops a record's trailing newline.
sed -n 's/^[A-Z][a-z][a-z] [ 0-9][0-9] [0-9:]\{8\} [^ ]* user\.\([a-z]*\) lc_demo: \(.*\)$/\1|\2/p' \
    "$dir/messages" > "$dir/records"
[ -s "$dir/records" ] || fail "no record of the demo reached the daemon"

# How many records are exactly "$1" (priority|text, a basic regex).
count() { grep -c -e "^$1\$" "$dir/records"; }

# Priorities: each level trace of show_levels is sent at its own level.
[ "$(count 'err|\[lib show_levels +[0-9 ]*\]error trace')" = 3 ] || fail "error trace: not 3 records at user.err"
[ "$(count 'info|\[lib show_levels +[0-9 ]*\]info trace')" = 2 ] || fail "info trace: not 2 records at user.info"
[ "$(count 'debug|\[lib show_levels +[0-9 ]*\]debug trace')" = 1 ] || fail "debug trace: not 1 record at user.debug"
[ "$(grep -c 'show_levels' "$dir/records")" = 6 ] || fail "show_levels: records at other priorities"

# The time stamp: seconds of the minute and milliseconds, right before the tag.
stamp='[0-5][0-9]\.[0-9][0-9][0-9]'
[ "$(count "info|$stamp\\[lib show_stamp_and_dump +[0-9 ]*\\]stamped trace")" = 1 ] ||
    fail "stamped trace: no record with the time stamp before its tag"
[ "$(count "info|${stamp}frame \\[len:7\\],data:0x00,0x00,0x00,0x01,0x65,0x88,0x84,")" = 1 ] ||
    fail "hex dump: not one stamped record"

# No record is longer than 160 characters, and none is empty (a lone
# trailing newline is never sent as a record of its own).
awk -F'|' '{ t = substr($0, length($1) + 2) } length(t) > 160 { print "FAIL: record of " length(t) " characters: " t; bad = 1 }
    t == "" { print "FAIL: empty record at " $1 " (line " NR ")"; bad = 1 } END { exit bad }' \
    "$dir/records" || failures=$((failures + 1))

# The long trace, 321 characters without a stamp and 327 with one, arrives
# as pieces of 160, 160 (and 7) characters, in order, at its priority; other
# threads' records may come between them.
awk -F'|' -v out="$dir/pieces" '
    BEGIN {
        body = "long trace of 321 characters:"
        for (i = 1; i <= 66; i++) body = body sprintf(" %03d", i)
    }
    function check(prio, head, len, n,    text, i, piece, want, at) {
        text = head body "\n"
        if (length(text) != len) { print "FAIL: " prio " long trace is " length(text) " characters, not " len; return 1 }
        at = 0
        for (i = 0; i < n; i++) {
            piece = substr(text, i * 160 + 1, 160)
            sub(/\n$/, "", piece)
            want = prio "|" piece
            if (!(want in line)) { print "FAIL: " prio " long trace: piece " i + 1 " missing: " piece; return 1 }
            if (seen[want] != 1) { print "FAIL: " prio " long trace: piece " i + 1 " sent " seen[want] " times"; return 1 }
            if (line[want] <= at) { print "FAIL: " prio " long trace: piece " i + 1 " out of order"; return 1 }
            at = line[want]
        }
        print prio ": " n " pieces of " len " characters" > out
        return 0
    }
    { seen[$0]++; if (!($0 in line)) line[$0] = NR; t = substr($0, length($1) + 2) }
    $1 == "info" && t ~ /^\[lib show_long_trace \+/ { plain = substr(t, 1, 27) }
    $1 == "err" && t ~ /^[0-5][0-9]\.[0-9][0-9][0-9]\[lib show_long_trace \+/ { stamped = substr(t, 1, 33) }
    END {
        bad = 0
        if (plain == "") { print "FAIL: no unstamped long trace at user.info"; bad = 1 }
        else bad += check("info", plain, 321, 2)
        if (stamped == "") { print "FAIL: no stamped long trace at user.err"; bad = 1 }
        else bad += check("err", stamped, 327, 3)
        exit bad != 0
    }' "$dir/records" || failures=$((failures + 1))

if [ $failures != 0 ]; then
    echo "$failures check(s) failed; the daemon's records:"
    cat "$dir/messages"
    exit 1
fi
cat "$dir/pieces"
echo "syslog records: ok ($(wc -l < "$dir/records") records of the demo)"
