#!/bin/sh
# check_abi.sh [--update] ABIDW ABIDIFF LIBRARY BASELINE SUPPRESSIONS SRCDIR HEADERDIR...
# Describes the library's ABI with abidw (only the types of the public
# headers in HEADERDIR...) and compares it with the committed BASELINE:
# any change abidiff reports beyond the SUPPRESSIONS (additions) fails,
# with abidiff's report naming what changed.  --update writes the fresh
# description to BASELINE instead.
set -u
update=0
[ "${1:-}" = --update ] && { update=1; shift; }
abidw=$1; abidiff=$2; lib=$3; baseline=$4; suppr=$5; src=$6; shift 6
tmp=${TMPDIR:-/tmp}/lc_abi.$$
trap 'rm -f "$tmp".*' EXIT

hd=""
for dir in "$@"; do hd="$hd --headers-dir $dir"; done
# shellcheck disable=SC2086
"$abidw" --no-corpus-path --no-comp-dir-path --no-show-locs --drop-private-types $hd "$lib" > "$tmp.raw" || {
    echo "abidw failed on $lib"; exit 1; }
# Source paths relative to the project, so that any checkout compares.
sed "s|path='$src/|path='|" "$tmp.raw" > "$tmp.abi"

if [ $update -eq 1 ]; then
    cp "$tmp.abi" "$baseline" && echo "wrote $baseline"
    exit $?
fi
[ -f "$baseline" ] || { echo "no baseline $baseline (make one with the abi_baseline target)"; exit 1; }
"$abidiff" --suppressions "$suppr" "$baseline" "$tmp.abi" > "$tmp.report" 2>&1
rc=$?
if [ $rc -ne 0 ]; then
    cat "$tmp.report"
    echo "ABI differs from $baseline (abidiff status $rc)."
    echo "If the change is intended, update the baseline: cmake --build <build> --target abi_baseline"
    exit 1
fi
echo "ABI matches $baseline"
