#!/bin/sh
# demo.sh - builds the library and runs the demo process.  Installs only
# what that needs (a compiler, CMake and Ninja; as root), and builds
# without tests and man pages.
#   scripts/demo.sh [seconds] [--syslog]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
lc_need $LC_COMPILE_PACKAGES $LC_RUNTIME_PACKAGES
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLC_BUILD_TESTS=OFF -DLC_MAN=OFF > build.demo.configure.log 2>&1 || {
    cat build.demo.configure.log; exit 1; }
rm -f build.demo.configure.log
cmake --build build/demo -j "${LC_JOBS:-2}" > /dev/null
# The demo prints the lcctl commands that talk to it with this path.
LCCTL="$root/build/demo/tools/lcctl/lcctl" exec build/demo/examples/lc_demo "$@"
