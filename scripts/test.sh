#!/bin/sh
# test.sh - checks the formatting of the sources, builds the library and
# runs the whole suite, in every build that counts: a normal host build, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer, the 32-bit ARM target under qemu, the Debian packages
# for amd64 and armhf (built from the release presets and checked by
# scripts/package.sh), the packages installed and tested on an emulated
# armhf board (scripts/board.sh), the reference (scripts/docs.sh: every
# export documented, no Doxygen warning), and a short smoke run of every
# fuzz target.  The
# builds are the presets of CMakePresets.json of the same names; each treats
# a warning in the project's own sources as an error.  Installs what is
# missing (as root).  Exits nonzero when anything fails.
#
#   scripts/test.sh [format|host|asan|tsan|armhf|package|board|docs|fuzz ...]   (default: all)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh

builds=${*:-format host asan tsan armhf package board docs fuzz}
lc_need $LC_BUILD_PACKAGES $LC_RUNTIME_PACKAGES
lc_need_syslogd
case " $builds " in *" armhf "*|*" package "*) lc_need $LC_CROSS_PACKAGES ;; esac
case " $builds " in *" package "*) lc_need $LC_PACKAGE_PACKAGES ;; esac
case " $builds " in *" fuzz "*) lc_need $LC_FUZZ_PACKAGES ;; esac
case " $builds " in *" format "*) lc_need $LC_FORMAT_PACKAGES ;; esac

. scripts/steps.sh

# What each step shows of its log, and says of it in the summary.
show_all() { cat "$1"; }
show_last() { tail -n 1 "$1"; }
show_ctest() {  # a build that failed shows where
    if grep -q '^=== [a-z0-9]*: ctest' "$1"; then sed -n '/^=== [a-z0-9]*: ctest/,$p' "$1"; else tail -n 40 "$1"; fi
}
say_format() { tail -n 1 "$1" | sed 's/^format: //'; }
say_build() {
    grep -Eo "[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+" "${1%.log}.ctest.log" 2>/dev/null |
        tail -n 1 | grep . || echo "no tests run"
}
say_package() {
    echo "$(grep -c '^=== [a-z0-9]*: check' "$1" || true) architectures, $(grep -c '^ok ' "$1" || true)" \
        "checks passed, $(grep -c '^FAIL' "$1" || true) failed"
}
say_docs() {
    printf '%s%s\n' "$(sed -n 's/^docs: \([0-9]*\) functions.*/\1 functions with a thread-safety line, no warnings/p' "$1")" \
        "$(sed -n 's/^docs: HTML .*(\([0-9]*\) pages); man pages .*(\([0-9]*\) pages, \([0-9]*\) links)/; \1 HTML pages, \2 man pages, \3 links/p' "$1")"
}
say_fuzz() { echo "$(grep -c '^fuzz .*: ok' "$1") targets clean"; }
say_board() {
    sed -n 's/^=== board: powered off after \([0-9]*\) s; \([^;]*\); step \([0-9]*\) s.*/\2; boot to power-off \1 s, step \3 s/p' "$1"
}

# A test build: its preset built, then its ctest.
build_and_test() { lc_build "$1" && lc_ctest "build/$1"; }

mkdir -p build
for b in $builds; do
    case $b in
        format) lc_step format build/format.log show_last say_format scripts/format.sh --check ;;
        host|asan|tsan|armhf) lc_step "$b" "build/$b.log" show_ctest say_build build_and_test "$b" ;;
        package) lc_step package build/package.log show_all say_package scripts/package.sh build/packages ;;
        board) lc_step board build/board.log show_all say_board scripts/board.sh build/packages ;;
        docs) lc_step docs build/docs.log show_all say_docs scripts/docs.sh ;;
        fuzz) lc_step fuzz build/fuzz.smoke.log show_all say_fuzz \
            env LC_WERROR=ON scripts/fuzz.sh "${LC_FUZZ_SMOKE_SECS:-10}" ;;
        *) echo "unknown build: $b" >&2; exit 2 ;;
    esac
done

echo "=== summary:$lc_summary"
exit $lc_status
