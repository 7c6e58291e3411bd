#!/bin/sh
# format.sh - formats the project's own C and C++ sources with clang-format
# and the style of .clang-format (Debian 12's clang-format 14: another
# version may lay some lines out differently).  The sources are every .c,
# .cpp and .h file of the tree except build folders and the fuzz corpora.
# Installs clang-format when it is missing (as root).
#
#   scripts/format.sh           formats the files in place
#   scripts/format.sh --check   changes nothing; names each file that would
#                               change, with its count of changed lines, and
#                               exits 1 when there is one
#   scripts/format.sh --diff    as --check, printing the changes themselves
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh

mode=${1:-format}
case $mode in
    format|--check|--diff) ;;
    *) echo "usage: scripts/format.sh [--check|--diff]" >&2; exit 2 ;;
esac
lc_need $LC_FORMAT_PACKAGES

# The project's sources, one a line, in a stable order.
sources() {
    find . \( -name .git -o -name 'build*' -o -path ./fuzz/corpus \) -prune -o \
        -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | LC_ALL=C sort
}

if [ "$mode" = format ]; then
    sources | xargs clang-format --style=file -i
    exit 0
fi

files=0
differ=0
lines=0
for f in $(sources); do
    files=$((files + 1))
    changed=$(clang-format --style=file "$f" | diff "$f" - | grep -c '^[<>]' || true)
    [ "$changed" -eq 0 ] && continue
    differ=$((differ + 1))
    lines=$((lines + changed))
    echo "$f: $changed lines"
    if [ "$mode" = --diff ]; then
        clang-format --style=file "$f" | diff -u --label "$f" --label "$f (formatted)" "$f" - || true
    fi
done
if [ "$differ" -eq 0 ]; then
    echo "format: $files files checked, none differs"
    exit 0
fi
echo "format: $files files checked, $differ differ ($lines lines; scripts/format.sh --diff shows them)"
exit 1
