#!/bin/sh
# lc_check_exports.sh NM LIBRARY MAP DYNLIST HEADER...
#
# The export list is written once, in MAP: the linker's version script,
# each export under the node of the release that added it.  Run when the
# library is linked (and as the test exports.interface_only), this checks
# the rest against it:
#  - the library exports exactly MAP's names, each under MAP's node;
#  - DYNLIST names exactly the exported data (vtables and type information
#    aside: they bind inside the library);
#  - the names the HEADERs declare LC_API are MAP's C names (a declaration
#    bound to another name by __asm__ counts under that name), or C++ names
#    of MAP (classes and their members, operators, TimeNow).
set -u
nm=$1; lib=$2; map=$3; dynlist=$4; shift 4
tmp=${TMPDIR:-/tmp}/lc_exports.$$
trap 'rm -f "$tmp".*' EXIT

# "node<TAB>name" for every name of a version script or dynamic list
# (node "-" in a list without nodes); C++ names as they are quoted.
names_of() {
    awk '
    {
        line = $0; out = ""
        while (line != "") {                       # comments, also across lines
            if (incomment) {
                i = index(line, "*/"); if (i == 0) { line = ""; break }
                line = substr(line, i + 2); incomment = 0
            } else {
                i = index(line, "/*"); if (i == 0) { out = out line; line = ""; break }
                out = out substr(line, 1, i - 1); line = substr(line, i + 2); incomment = 1
            }
        }
        if (match(out, /^[ \t]*LIB_COMMON_[0-9.]+[ \t]*\{/)) {
            node = out; sub(/^[ \t]*/, "", node); sub(/[ \t]*\{.*/, "", node); out = substr(out, RSTART + RLENGTH)
        }
        gsub(/extern[ \t]*"C\+\+"/, "", out)
        while (match(out, /"[^"]*"/)) {
            print (node == "" ? "-" : node) "\t" substr(out, RSTART + 1, RLENGTH - 2)
            out = substr(out, 1, RSTART - 1) substr(out, RSTART + RLENGTH)
        }
        gsub(/(global|local):/, " ", out)
        n = split(out, words, /[ \t;{}]+/)
        for (k = 1; k <= n; k++)
            if (words[k] ~ /^[A-Za-z_][A-Za-z0-9_]*$/ && words[k] !~ /^LIB_COMMON_/)
                print (node == "" ? "-" : node) "\t" words[k]
    }' "$1"
}

# The same from the library: "node<TAB>demangled name"; data.txt gets the
# exported data objects.
"$nm" -DC --defined-only "$lib" > "$tmp.nm" || exit 1
awk -v data="$tmp.data" '
    NF >= 3 && $2 != "A" {
        type = $2; $1 = ""; $2 = ""; sub(/^  /, "")
        name = $0; node = "-"
        if (i = index(name, "@")) { node = substr(name, i); sub(/^@+/, "", node); name = substr(name, 1, i - 1) }
        if (name ~ /^(_init|_fini|_edata|_end|__bss_start)$/ || name ~ /^__(odr_asan|asan_|tsan_|ubsan_|sanitizer_)/)
            next
        print node "\t" name
        if (type ~ /^[BDGRSVu]$/ && name !~ /^(vtable|typeinfo|typeinfo name) for /)
            print name > data
    }' "$tmp.nm" | sort -u > "$tmp.exported"
touch "$tmp.data"
names_of "$map" | sort -u > "$tmp.listed"
status=0
comm -23 "$tmp.listed" "$tmp.exported" | sed 's/^/not exported as listed: /' | tr '\t' ' '
comm -13 "$tmp.listed" "$tmp.exported" | sed 's/^/exported but not listed: /' | tr '\t' ' '
[ -z "$(comm -3 "$tmp.listed" "$tmp.exported")" ] || status=1

# The dynamic list: the exported data, no more, no less.
names_of "$dynlist" | cut -f2 | sort -u > "$tmp.shared"
sort -u -o "$tmp.data" "$tmp.data"
comm -23 "$tmp.shared" "$tmp.data" | sed "s|^|in $(basename "$dynlist") but no exported data: |"
comm -13 "$tmp.shared" "$tmp.data" | sed "s|^|exported data missing from $(basename "$dynlist"): |"
[ -z "$(comm -3 "$tmp.shared" "$tmp.data")" ] || status=1

# The headers' LC_API declarations, one statement each.
awk '
    /^[ \t]*(#|\*|\/\*|\/\/)/ || /class LC_API/ { next }
    /LC_API/ { stmt = ""; open = 1 }
    open { stmt = stmt " " $0; if (index($0, ";")) { open = 0; print stmt } }' "$@" |
    while IFS= read -r stmt; do
        case $stmt in
            *__asm__*) echo "$stmt" | sed 's/.*__asm__("\([^"]*\)").*/\1/' ;;
            *"extern LC_API"*) echo "$stmt" | sed 's/;.*//; s/\[[^]]*\]//g; s/=.*//; s/.*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\)[ \t]*$/\1/' ;;
            *operator*) ;;
            *) echo "$stmt" | sed 's/(.*//; s/.*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\)[ \t]*$/\1/' ;;
        esac
    done | sort -u > "$tmp.declared"
cut -f2 "$tmp.listed" | grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | sort -u > "$tmp.c_names"
cut -f2 "$tmp.listed" | grep -vE '^[A-Za-z_][A-Za-z0-9_]*$' > "$tmp.cxx_names"
for name in $(comm -13 "$tmp.c_names" "$tmp.declared"); do
    grep -q "^$name[(:]" "$tmp.cxx_names" && continue
    echo "declared LC_API but not in $(basename "$map"): $name"; status=1
done
for name in $(comm -23 "$tmp.c_names" "$tmp.declared"); do
    echo "in $(basename "$map") but declared LC_API in no header: $name"; status=1
done
[ $status -eq 0 ] && echo "exports ok: $(wc -l < "$tmp.exported") names as $(basename "$map") lists them, $(wc -l < "$tmp.data") shared data, $(wc -l < "$tmp.declared") declarations"
exit $status
