#!/bin/sh
# check_versions.sh READELF LIBRARY [VERSION]
# Every symbol the library exports carries a version node LIB_COMMON_x.y as
# its default version; the nodes form one chain from LIB_COMMON_1.0; the
# SONAME is liblib_common.so.1; with VERSION given, the node of that
# release (its major and minor) exists.
set -u
readelf=$1; lib=$2; version=${3:-}
status=0
# Defined symbols: "name@@node"; the nodes themselves are ABS entries.
syms=$("$readelf" --dyn-syms --wide "$lib" | awk '$5 != "LOCAL" && $7 != "UND" && $7 != "ABS" && NF >= 8 && $1 ~ /^[0-9]+:$/ { print $8 }') || exit 1
[ -n "$syms" ] || { echo "no exported symbols read from $lib"; exit 1; }
for sym in $syms; do
    case $sym in
        *@@LIB_COMMON_[0-9]*.[0-9]*) ;;
        *) echo "export without a version node: $sym"; status=1 ;;
    esac
done
soname=$("$readelf" -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = liblib_common.so.1 ] || { echo "SONAME is '$soname'"; status=1; }
# Version definitions: each node after 1.0 names the one before as parent.
defs=$("$readelf" -V --wide "$lib" | sed -n '/Version definition section/,/^$/p')
prev=""
for node in $(printf '%s\n' "$defs" | grep -o 'Name: LIB_COMMON_[0-9.]*' | sed 's/Name: //'); do
    if [ -n "$prev" ] && ! printf '%s\n' "$defs" | grep -A1 "Name: $node\$" | grep -q "Parent 1: $prev\$"; then
        echo "$node does not inherit $prev"; status=1
    fi
    prev=$node
done
if [ -n "$version" ]; then
    node=LIB_COMMON_$(echo "$version" | cut -d. -f1-2)
    printf '%s\n' "$defs" | grep -q "Name: $node\$" || { echo "no node $node for version $version"; status=1; }
fi
[ $status -eq 0 ] && echo "versions ok: $(echo "$syms" | wc -l) exports, nodes $(printf '%s\n' "$defs" | grep -o 'LIB_COMMON_[0-9.]*' | sort -u | tr '\n' ' ')"
exit $status
