#!/bin/sh
# run.sh BUILD_DIR WORK_DIR CC CXX CMAKE SANITIZE
# Installs the built library into a scratch prefix, then builds and runs
# consumer.c as C through pkg-config and as C++ through find_package; both
# check that the running library's lc_version() is the package's version.
set -eu
build=$1; work=$2; cc=$3; cxx=$4; cmake=$5; san=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"; mkdir -p "$work"
prefix=$work/prefix
flags=""
[ -n "$san" ] && flags="-fsanitize=$san"

"$cmake" --install "$build" --prefix "$prefix" > "$work/install.log"
# The tool is installed beside the library and answers for itself.
"$prefix/bin/lcctl" --help | grep -q "^usage: lcctl list"
# Every install has the man pages: the reference's and the tool's.
for page in man3/lib_common.3 man3/lib_common_choosing_a_queue.3 man3/add_task.3 man1/lcctl.1; do
    [ -f "$prefix/share/man/$page" ] || { echo "FAIL: no share/man/$page in the installed prefix"; exit 1; }
done
libdir=$(dirname "$(find "$prefix" -name 'lib_common.pc' | head -n 1)")/..
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

# C through pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
"$cc" $flags -Wall -Wextra -Werror -o "$work/consumer_c" "$here/consumer.c" $(pkg-config --cflags --libs lib_common)
"$work/consumer_c" "$(pkg-config --modversion lib_common)"

# The installed shared library: every export versioned, the SONAME kept.
for so in "$libdir"/liblib_common.so.*.*.*; do
    [ -f "$so" ] && sh "$here/../abi/check_versions.sh" readelf "$so" "$(pkg-config --modversion lib_common)"
done

# C++ through find_package.
"$cmake" -S "$here" -B "$work/cmake_build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" > "$work/configure.log"
"$cmake" --build "$work/cmake_build" > "$work/build.log"
"$work/cmake_build/consumer_cpp" "$(cat "$work/cmake_build/package_version")"
echo "consumer ok"
