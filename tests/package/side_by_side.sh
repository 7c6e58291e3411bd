#!/bin/sh
# side_by_side.sh DEBS_A DEBS_B WORK
# The library and development packages of two architectures (amd64 and
# armhf: a cross-building machine) installed into one system: a scratch
# dpkg database under WORK that knows both architectures.  dpkg refuses the
# second architecture of a package that is not Multi-Arch: same, and a file
# both hold unless its bytes are the same (a man page compressed with a
# time stamp, a header that differs); both must pass.  Unpacking checks
# exactly that; the C libraries they depend on are not in the scratch
# system, so nothing is configured.
set -eu
a=$1; b=$2; work=$3
rm -rf "$work"
mkdir -p "$work/var/lib/dpkg/info" "$work/var/lib/dpkg/updates"
: > "$work/var/lib/dpkg/status"
arch_a=$(dpkg-deb -f "$(ls "$a"/liblib-common-dev_*.deb)" Architecture)
arch_b=$(dpkg-deb -f "$(ls "$b"/liblib-common-dev_*.deb)" Architecture)
for arch in "$arch_a" "$arch_b"; do
    [ "$arch" = "$(dpkg --print-architecture)" ] || dpkg --root="$work" --add-architecture "$arch"
done
# --force-script-chrootless: the scratch root has no shell to run scripts
# with (the packages have none; dpkg only looks for one).
if dpkg --root="$work" --force-script-chrootless --force-not-root --unpack \
        "$a"/liblib-common1_*.deb "$a"/liblib-common-dev_*.deb \
        "$b"/liblib-common1_*.deb "$b"/liblib-common-dev_*.deb > "$work.log" 2>&1; then
    dpkg-query --admindir="$work/var/lib/dpkg" -W -f '${Package}:${Architecture} ${Version} ${Multi-Arch} ${db:Status-Abbrev}\n' |
        sed 's/^/  /'
    echo "ok: liblib-common1 and liblib-common-dev of $arch_a and $arch_b unpack side by side" \
         "($(find "$work/usr/lib" -name 'liblib_common.so.*.*' | sed "s|^$work||" | tr '\n' ' '))"
else
    cat "$work.log"
    echo "FAIL: the packages of $arch_a and $arch_b do not unpack side by side"
    exit 1
fi
