#!/bin/sh
# check_bindings.sh NM OBJDUMP LIBRARY DYNLIST PROGRAM
# The library's own calls, vtables and type information bind inside it: no
# dynamic relocation names a symbol the library defines, except the exported
# data of DYNLIST, which stays shared: the library reaches dbgout_profile
# through a relocation, and PROGRAM (which refers to it from its own code,
# built without PIE) holds a copy of it, which the library then uses.
set -u
nm=$1; objdump=$2; lib=$3; dynlist=$4; program=$5
tmp=${TMPDIR:-/tmp}/lc_bindings.$$
trap 'rm -f "$tmp".*' EXIT
status=0

# Dynamic symbols the library defines (without their versions).
"$nm" -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' | sed 's/@.*//' | sort -u > "$tmp.defined" || exit 1
# Symbols named by its dynamic relocations.
"$objdump" -R "$lib" | awk 'NR > 5 && NF >= 3 { print $3 }' | sed 's/@.*//; s/+0x.*//' | sort -u > "$tmp.relocated" || exit 1
# The shared data, mangled as the relocations name them.
sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$dynlist" > "$tmp.shared"
grep -q 'DelayQueueEntry::tokenCounter' "$dynlist" && echo _ZN15DelayQueueEntry12tokenCounterE >> "$tmp.shared"
sort -u -o "$tmp.shared" "$tmp.shared"

for sym in $(comm -12 "$tmp.defined" "$tmp.relocated" | comm -23 - "$tmp.shared"); do
    echo "relocation against the library's own $(echo "$sym" | c++filt 2>/dev/null || echo "$sym")"
    status=1
done
grep -qx dbgout_profile "$tmp.relocated" || {
    echo "the library reaches dbgout_profile without a relocation: a process's copy would not be its"; status=1; }
"$objdump" -R "$program" | grep -Eq 'COPY +dbgout_profile' || {
    echo "no copy relocation of dbgout_profile in $program"; status=1; }
[ $status -eq 0 ] && echo "bindings ok: $(wc -l < "$tmp.defined") defined, $(comm -12 "$tmp.defined" "$tmp.relocated" | wc -l) shared data relocated"
exit $status
