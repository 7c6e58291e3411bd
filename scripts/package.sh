#!/bin/sh
# package.sh - builds the Debian packages of the library from debian/ with
# dpkg-buildpackage, for amd64 and for armhf (the device, cross-built):
#
#   liblib-common1_<version>_<arch>.deb     the shared library
#   liblib-common-dev_<version>_<arch>.deb  headers, pkg-config file, CMake
#                                           package, man pages of section 3
#   lib-common-tools_<version>_<arch>.deb   lcctl (and its man page)
#
# Each architecture is built in a copy of the sources under build/ (dpkg-
# buildpackage writes into the source tree).  Every package is checked
# (tests/package/check_packages.sh: fields, contents, ELF files, and a C and
# a C++ program built against the unpacked packages and run), lintian must
# find no error in any, and the development packages of both architectures
# must unpack side by side into one scratch system.  Only then are the six
# moved into the output folder; a failure leaves it as it was.
# Installs what is missing (as root), or says what is.
#
#   scripts/package.sh [output folder, default build/packages]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
out=$(lc_folder_arg "${1:-}" "$root/build/packages")
cd "$root"
lc_need $LC_BUILD_PACKAGES $LC_CROSS_PACKAGES $LC_PACKAGE_PACKAGES

jobs=${LC_JOBS:-2}
mkdir -p build
work=$(mktemp -d "$root/build/package.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

version=$(sed -n 's/^project(lib_common VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
# The release is written twice, for CMake and for Debian; they must agree.
debian_version=$(dpkg-parsechangelog -S Version)
if [ "$debian_version" != "$version" ]; then
    echo "debian/changelog is at $debian_version, CMakeLists.txt at $version: add a changelog entry" >&2
    exit 1
fi

# The sources as they are in the work tree (tracked and new files), without
# build/; a copy that is no git checkout is copied whole.
copy_sources() {
    mkdir -p "$1"
    if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
        git ls-files -z -co --exclude-standard | tar --null -T - -cf - | tar -xf - -C "$1"
    else
        tar --exclude=./build -cf - . | tar -xf - -C "$1"
    fi
}

# package ARCH TRIPLET: builds the three packages of ARCH into
# $work/ARCH/debs and checks them.
package() {
    arch=$1; triplet=$2
    dir=$work/$arch
    log=$work/$arch.log
    echo "=== $arch: dpkg-buildpackage"
    copy_sources "$dir/src"
    # -d: a cross build has the target's libraries as the cross toolchain's
    # packages, not as the armhf packages Build-Depends would name.
    if ! (cd "$dir/src" && DEB_BUILD_OPTIONS="parallel=$jobs nocheck" \
            dpkg-buildpackage -b -uc -us -d -a "$arch") > "$log" 2>&1; then
        tail -n 30 "$log"
        echo "=== $arch: FAILED"
        return 1
    fi
    mkdir -p "$dir/debs"
    mv "$dir"/*.deb "$dir/debs/"
    echo "=== $arch: check"
    sh tests/package/check_packages.sh "$arch" "$triplet" "$dir/debs" "$version" \
        "$dir/src/debian/tmp" "$dir/check" || { echo "=== $arch: FAILED"; return 1; }
}

package amd64 x86_64-linux-gnu
package armhf arm-linux-gnueabihf

echo "=== lintian"
# Errors fail; warnings are printed (each one overridden in debian/ says why).
if lintian --fail-on error --tag-display-limit 0 "$work"/amd64/debs/*.deb "$work"/armhf/debs/*.deb \
        > "$work/lintian.log" 2>&1; then
    echo "ok: lintian finds no error in the six packages"
else
    echo "FAIL: lintian"
fi
grep -v '^running with root privileges' "$work/lintian.log" || true
grep -q '^E: ' "$work/lintian.log" && exit 1

echo "=== side by side"
sh tests/package/side_by_side.sh "$work/amd64/debs" "$work/armhf/debs" "$work/side" || exit 1

# All passed: replace this project's packages in the output folder.
mkdir -p "$out"
rm -f "$out"/liblib-common1_*.deb "$out"/liblib-common-dev_*.deb "$out"/lib-common-tools_*.deb
for deb in "$work"/amd64/debs/*.deb "$work"/armhf/debs/*.deb; do
    cp "$deb" "$out/.$(basename "$deb").part"
    mv "$out/.$(basename "$deb").part" "$out/$(basename "$deb")"
done
echo "=== packages in $out:"
ls -l "$out"/liblib-common1_*.deb "$out"/liblib-common-dev_*.deb "$out"/lib-common-tools_*.deb
