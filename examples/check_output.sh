#!/bin/sh
# check_output.sh EXPECTED CMD... - runs an example (CMD, with the emulator
# in front for a cross build) and checks it: it must exit 0 within 30 s, and
# its standard output must hold exactly the lines of EXPECTED, in order.  A
# line of EXPECTED is compared as it stands, except one that starts with
# "~ ": the rest of it is an extended regular expression that the whole
# output line must match (for what changes from run to run: a process id,
# a path).
set -u
expected=$1
shift
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

fail() {
    echo "FAIL: $*"
    echo "--- standard output:"
    cat "$out"
    echo "--- standard error:"
    cat "$err"
    exit 1
}

[ -s "$expected" ] || fail "no expected lines in $expected"
timeout 30 "$@" >"$out" 2>"$err"
rc=$?
[ $rc -eq 0 ] || fail "exit status $rc"

# Prints the first 10 differences; exits 1 when there is any.
awk '
    NR == FNR { want[++n] = $0; next }
    { got[++m] = $0 }
    END {
        bad = 0
        for (i = 1; (i <= n || i <= m) && bad < 10; i++) {
            if (i > n) { print "line " i ": not expected: " got[i]; bad++; continue }
            if (i > m) { print "line " i ": missing: " want[i]; bad++; continue }
            if (substr(want[i], 1, 2) == "~ ")
                same = got[i] ~ ("^(" substr(want[i], 3) ")$")
            else
                same = got[i] == want[i]
            if (!same) {
                print "line " i ": expected: " want[i]
                print "line " i ":      got: " got[i]
                bad++
            }
        }
        exit bad > 0
    }' "$expected" "$out" || fail "output differs from $expected"
echo "ok: $(wc -l <"$out") lines as expected"
