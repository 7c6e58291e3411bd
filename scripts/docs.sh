#!/bin/sh
# docs.sh - makes the reference of the library with Doxygen, from the
# comments of the installed headers and the front page
# lib_common/lib_common.md (configure preset "docs", target "docs"):
#
#   build/docs/html/index.html   the HTML reference
#   build/docs/man/man3/         man pages of section 3: lib_common.3 (the
#                                front page), lib_common_<family>.3, the
#                                guide lib_common_choosing_a_queue.3, a page
#                                per record, and a link per function, macro,
#                                type and variable to its family's page:
#                                man -l build/docs/man/man3/add_task.3
#   build/docs/man/man1/lcctl.1  the tool's page (tools/lcctl/lcctl.1)
#
# Fails when an exported name has no comment or a comment has an error
# (Doxygen's warnings file must stay empty), when an exported function's
# comment (or a class's) lacks its "Thread safety:" line, when the man
# page of add_task or of lcctl does not open, or when man's formatter
# complains about a page.  The build target "man", part of every build,
# makes the same pages for every install.  Installs what is missing (as
# root).
#
#   scripts/docs.sh
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
lc_need $LC_BUILD_PACKAGES $LC_DOC_PACKAGES

dir=build/docs
mkdir -p build
echo "=== docs: configure"
cmake --preset docs > build/docs.configure.log 2>&1 || { cat build/docs.configure.log; exit 1; }
echo "=== docs: Doxygen"
cmake --build --preset docs || { echo "FAIL: Doxygen found undocumented names or errors (above)"; exit 1; }

status=0
for w in "$dir"/doxygen/html-warnings.txt "$dir"/doxygen/man-warnings.txt; do
    if [ ! -f "$w" ] || [ -s "$w" ]; then
        echo "FAIL: warnings in $w:"; cat "$w" 2>/dev/null; status=1
    fi
done

# Every exported function of a family, and every class, says which threads
# may call it.  Doxygen's XML holds each one's description.
missing=$(awk '
    /<compounddef / { kind = $0; sub(/.*kind="/, "", kind); sub(/".*/, "", kind); cname = "" }
    /<compoundname>/ && cname == "" { cname = $0; gsub(/.*<compoundname>|<\/compoundname>.*/, "", cname) }
    kind == "class" && /Thread safety:/ { class_ok[cname] = 1 }
    kind == "class" && /<\/compounddef>/ { if (!(cname in class_ok)) print "class " cname }
    kind == "group" && /<memberdef kind="function"/ { infn = 1; ok = 0; fname = "" }
    infn && /<name>/ && fname == "" { fname = $0; gsub(/.*<name>|<\/name>.*/, "", fname) }
    infn && /Thread safety:/ { ok = 1 }
    infn && /<\/memberdef>/ { infn = 0; functions++; if (!ok) print "function " fname }
    END { print functions > "/dev/stderr" }
' "$dir"/doxygen/xml/group__*.xml "$dir"/doxygen/xml/class*.xml 2> "$dir/doxygen/functions.count")
functions=$(cat "$dir/doxygen/functions.count")
if [ -n "$missing" ]; then
    echo "FAIL: no \"Thread safety:\" line in the comment of:"; echo "$missing" | sed 's/^/  /'
    status=1
fi
if [ "${functions:-0}" -lt 150 ]; then
    echo "FAIL: only ${functions:-0} functions found in Doxygen's XML"; status=1
fi

# The man page of add_task opens from anywhere, and is the tasks' page.
page=$(cd / && MANPAGER=cat MANWIDTH=100 man -l "$root/$dir/man/man3/add_task.3" 2>&1) || true
case $page in
    *"int add_task (lc_task_fn fn"*"Thread safety:"*) ;;
    *) echo "FAIL: man -l $dir/man/man3/add_task.3 does not show add_task:"
       echo "$page" | head -5; status=1 ;;
esac

# Every page formats without a complaint at man's 78 columns of an
# 80-column terminal (a table too wide, a line that cannot be broken),
# lcctl(1) among them when the tool has its page: groff as man runs it
# (preconv, tbl), output thrown away.
for f in $(find "$dir/man" -type f -name '*.[0-9]' | sort); do
    complaint=$(groff -k -t -man -Tutf8 -rLL=78n -z "$f" 2>&1)
    [ -z "$complaint" ] || { echo "FAIL: groff -man $f: $complaint"; status=1; }
done
if [ -f tools/lcctl/lcctl.1 ]; then
    case $(cd / && MANPAGER=cat MANWIDTH=100 man -l "$root/$dir/man/man1/lcctl.1" 2>&1) in
        *NAME*lcctl*) ;;
        *) echo "FAIL: man -l $dir/man/man1/lcctl.1 does not show lcctl(1)"; status=1 ;;
    esac
fi

pages=$(find "$dir/man/man3" -type f -name '*.3' | wc -l)
links=$(find "$dir/man/man3" -type l -name '*.3' | wc -l)
html=$(find "$dir/html" -name '*.html' | wc -l)
[ $status -eq 0 ] || exit 1
echo "docs: $functions functions and every class with a thread-safety line; no warnings"
echo "docs: HTML $dir/html/index.html ($html pages); man pages $dir/man/man3 ($pages pages, $links links)"
echo "docs: man -l $dir/man/man3/add_task.3"
