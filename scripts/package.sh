#!/bin/sh
# package.sh - builds the Debian packages of the library with CPack, for
# amd64 and for armhf (the device):
#
#   liblib-common1_<version>_<arch>.deb     the shared library (and the tools
#                                           built with it)
#   liblib-common-dev_<version>_<arch>.deb  headers, pkg-config file, CMake
#                                           package, man pages
#
# Each architecture is a Release build without tests (presets "release" and
# "armhf-release", installed under /usr with the library in Debian's
# multiarch folder).  Every package is checked (tests/package/
# check_packages.sh: fields, contents, ELF files, and a C and a C++ program
# built against the unpacked packages and run) before any is kept: the four
# are built in a temporary folder and moved into the output folder only
# when all four passed; a failure leaves the output folder as it was.
# Installs what is missing (as root), or says what is.
#
#   scripts/package.sh [output folder, default build/packages]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
# The output folder as given from where the script was called.
case ${1:-} in
    "") out=$root/build/packages ;;
    /*) out=$1 ;;
    *) out=$PWD/$1 ;;
esac
cd "$root"
. scripts/deps.sh
lc_need $LC_BUILD_PACKAGES $LC_CROSS_PACKAGES $LC_PACKAGE_PACKAGES

jobs=${LC_JOBS:-2}
mkdir -p build
work=$(mktemp -d "$root/build/package.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# package ARCH TRIPLET PRESET [cmake options...]: build, pack and check one
# architecture into $work/ARCH/debs.
package() {
    arch=$1; triplet=$2; preset=$3; shift 3
    dir=$work/$arch
    log=$work/$arch.log
    echo "=== $arch: configure, build, pack"
    if ! { cmake --preset "$preset" -B "$dir/build" -DCMAKE_INSTALL_PREFIX=/usr "$@" &&
           cmake --build "$dir/build" -j "$jobs" &&
           # Man pages, when the build has a step that makes them.
           { ! ninja -C "$dir/build" -t query man > /dev/null 2>&1 ||
             cmake --build "$dir/build" -j "$jobs" --target man; } &&
           cpack --config "$dir/build/CPackConfig.cmake" -B "$dir/debs" &&
           cmake --install "$dir/build" --prefix "$dir/stage"; } > "$log" 2>&1; then
        tail -n 30 "$log"
        echo "=== $arch: FAILED"
        return 1
    fi
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/build/CMakeCache.txt")
    echo "=== $arch: check"
    sh tests/package/check_packages.sh "$arch" "$triplet" "$dir/debs" "$version" \
        "$dir/stage" "$dir/check" || { echo "=== $arch: FAILED"; return 1; }
}

package amd64 x86_64-linux-gnu release
package armhf arm-linux-gnueabihf armhf-release -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabihf

# All four passed: replace this project's packages in the output folder.
mkdir -p "$out"
mkdir "$work/keep"
mv "$work"/amd64/debs/*.deb "$work"/armhf/debs/*.deb "$work/keep/"
rm -f "$out"/liblib-common1_*.deb "$out"/liblib-common-dev_*.deb
for deb in "$work"/keep/*.deb; do
    cp "$deb" "$out/.$(basename "$deb").part"
    mv "$out/.$(basename "$deb").part" "$out/$(basename "$deb")"
done
echo "=== packages in $out:"
ls -l "$out"/liblib-common1_*.deb "$out"/liblib-common-dev_*.deb
