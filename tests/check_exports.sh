#!/bin/sh
# check_exports.sh NM LIBRARY LIST...
# Each LIST holds one entry per line: a plain name must be exported; a line
# "~REGEX" allows demangled names that match REGEX (class members and the
# like).  Every dynamic symbol the library defines must be allowed.
set -u
nm=$1; lib=$2; shift 2
tmp=${TMPDIR:-/tmp}/lc_exports.$$
trap 'rm -f "$tmp".*' EXIT
# Names without their version ("name@@LIB_COMMON_1.0"); the version nodes
# themselves appear as absolute symbols of their own.
"$nm" -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' | sed 's/@.*//' | sort -u > "$tmp.mangled" || exit 1
"$nm" -DC --defined-only "$lib" | awk 'NF >= 3 { $1 = ""; $2 = ""; sub(/^  /, ""); print }' | sed 's/@@*LIB_COMMON_[0-9.]*$//' | sort -u > "$tmp.demangled"
cat "$@" | sed -e 's/#.*//' -e 's/[[:space:]]*$//' | grep -v '^$' > "$tmp.list"
grep -v '^~' "$tmp.list" | sort -u > "$tmp.required"
grep '^~' "$tmp.list" | sed 's/^~//' > "$tmp.patterns"
status=0
for name in $(comm -23 "$tmp.required" "$tmp.mangled"); do
    echo "missing export: $name"; status=1
done
# Symbols the linker defines in every shared object.
printf '%s\n' _init _fini _edata _end __bss_start > "$tmp.linker"
while IFS= read -r sym; do
    grep -qxF "$sym" "$tmp.required" && continue
    grep -qxF "$sym" "$tmp.linker" && continue
    case $sym in __odr_asan*|__asan_*|__tsan_*|__ubsan_*|__sanitizer_*|LIB_COMMON_[0-9]*) continue ;; esac
    if [ -s "$tmp.patterns" ] && printf '%s\n' "$sym" | grep -qxEf "$tmp.patterns"; then continue; fi
    echo "unexpected export: $sym"; status=1
done < "$tmp.demangled"
[ $status -eq 0 ] && echo "exports ok: $(wc -l < "$tmp.mangled") symbols"
exit $status
