#!/bin/sh
# installed_example.sh pkg-config PREFIX SOURCE PROGRAM CC FLAGS -- CHECK...
# installed_example.sh find_package PREFIX SOURCE_DIR BUILD_DIR CC FLAGS [CMAKE_OPTION...] -- CHECK...
#
# Builds examples against the copy of the library installed under PREFIX,
# as a user of that copy builds a program, then runs CHECK (check_output.sh
# with the program to run).
#
#   pkg-config    compiles SOURCE into PROGRAM with CC, FLAGS and what
#                 `pkg-config --cflags --libs lib_common` gives, seeing
#                 only the prefix's .pc files (PKG_CONFIG_LIBDIR, right
#                 for a cross compiler too); the program records the
#                 prefix's library folder (-Wl,-rpath), so it runs
#                 without LD_LIBRARY_PATH.
#   find_package  configures SOURCE_DIR as a CMake project of its own in
#                 BUILD_DIR (find_package(lib_common), CMAKE_PREFIX_PATH
#                 PREFIX, compiler CC, FLAGS for compiling and linking,
#                 the CMAKE_OPTIONs such as a toolchain file) and builds it.
set -eu
mode=$1; prefix=$2; src=$3; out=$4; cc=$5; flags=$6
shift 6
options=""
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    options="$options $1"
    shift
done
[ $# -gt 1 ] || { echo "usage: see the top of $0" >&2; exit 2; }
shift
set -f # FLAGS and the options are split into words, never globbed

case $mode in
pkg-config)
    pcdir=$(dirname "$(find "$prefix" -name lib_common.pc | head -n 1)")
    [ -f "$pcdir/lib_common.pc" ] || { echo "FAIL: no lib_common.pc under $prefix" >&2; exit 1; }
    libs=$(PKG_CONFIG_LIBDIR=$pcdir pkg-config --cflags --libs lib_common)
    mkdir -p "$(dirname "$out")"
    # shellcheck disable=SC2086
    "$cc" $flags -o "$out" "$src" $libs -Wl,-rpath,"$(cd "$pcdir/.." && pwd)"
    ;;
find_package)
    # shellcheck disable=SC2086
    cmake -S "$src" -B "$out" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" $options > "$out.configure.log" 2>&1 || {
        cat "$out.configure.log"; exit 1; }
    cmake --build "$out"
    ;;
*) echo "unknown mode: $mode" >&2; exit 2 ;;
esac
exec "$@"
