#!/bin/sh
# footprint.sh - size of the stripped armhf shared library and of its text
# segment, from a Release cross build.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
lc_need $LC_BUILD_PACKAGES $LC_CROSS_PACKAGES
dir=build/armhf-release
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLC_BUILD_TESTS=OFF -DLC_BUILD_EXAMPLES=OFF \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-armhf.cmake" > /dev/null
cmake --build "$dir" -j "${LC_JOBS:-2}" > /dev/null
lib=$(find "$dir" -maxdepth 1 -name 'liblib_common.so.*.*' | head -n 1)
arm-linux-gnueabihf-strip -o "$dir/liblib_common.stripped.so" "$lib"
bytes=$(stat -c %s "$dir/liblib_common.stripped.so")
echo "stripped armhf library: $bytes bytes"
arm-linux-gnueabihf-size "$dir/liblib_common.stripped.so"
