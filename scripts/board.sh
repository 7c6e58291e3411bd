#!/bin/sh
# board.sh - the library on a booted board: an emulated 32-bit ARM board
# (qemu-system-arm, -M virt, Cortex-A15, 2 CPUs, 1 GB, no network) boots a
# Debian 12 armhf system, installs the project's armhf packages with dpkg
# and runs the board test (tests/board/on_board.sh): the library's service
# under systemd, lcctl from the board's shell, traces in the board's
# /var/log/syslog, pipe nodes on its devtmpfs, System V IPC on its 32-bit
# kernel, a crash report and a restart, callers of both time_t.  It prints
# the board's transcript and exits with its result.
#
#   scripts/board.sh [packages folder, default build/packages]
#
# The packages are those of scripts/package.sh, made first when the folder
# has no armhf ones.  The image (scripts/board/image.sh) is cached in
# build/board-image-<key>, the key a hash of what makes it (its scripts and
# the machine's Debian sources); a new key replaces the old image.  Every
# boot is bounded (LC_BOARD_TIMEOUT seconds, default 300): a board that
# hangs is killed, never left running, and like any failure leaves its
# console log in build/board/console.log.  Nothing outside build/ changes
# but the Debian packages this installs.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
debs=$(lc_folder_arg "${1:-}" "$root/build/packages")
cd "$root"
LC_APT_OPTIONS=--no-install-recommends lc_need $LC_BOARD_PACKAGES $LC_CROSS_PACKAGES pkg-config

limit=${LC_BOARD_TIMEOUT:-300}
state=$root/build/board
started=$(date +%s)
qemu_pid=""
# No emulator outlives this script, however it ends.
trap '[ -z "$qemu_pid" ] || kill "$qemu_pid" 2> /dev/null || true' EXIT
trap 'exit 130' INT TERM
since() { echo $(($(date +%s) - $1)); }

# --- The image, cached by its inputs ------------------------------------------
key=$(cat scripts/board/image.sh scripts/board/init.sh \
    $(grep -l -s debian-archive-keyring /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources) | sha256sum | cut -c1-12)
image=$root/build/board-image-$key
if [ -f "$image/root.img" ]; then
    echo "=== board: image $image (cached)"
else
    echo "=== board: making the image $image"
    t=$(date +%s)
    for old in build/board-image-*; do [ -e "$old" ] && rm -rf "$old"; done
    nice -n 10 sh scripts/board/image.sh "$image" || { echo "=== board: FAILED to make the image"; exit 1; }
    echo "=== board: image made in $(since "$t") s"
fi

# --- The packages and the programs the board test runs ------------------------
if ! ls "$debs"/liblib-common1_*_armhf.deb > /dev/null 2>&1; then
    echo "=== board: no armhf packages in $debs: scripts/package.sh"
    sh scripts/package.sh "$debs" > build/board-package.log 2>&1 ||
        { tail -n 30 build/board-package.log; echo "=== board: FAILED to make the packages"; exit 1; }
fi
rm -rf "$state"
share=$state/share
mkdir -p "$share/debs" "$share/bin" "$share/out" "$state/sysroot"
cp "$debs"/liblib-common1_*_armhf.deb "$debs"/liblib-common-dev_*_armhf.deb \
    "$debs"/lib-common-tools_*_armhf.deb "$share/debs/"
cp tests/board/on_board.sh "$share/run.sh"
# Built as a device maker builds: against the unpacked packages, through
# their pkg-config file.
for deb in "$share"/debs/*.deb; do dpkg-deb -x "$deb" "$state/sysroot"; done
cc=arm-linux-gnueabihf-gcc
flags=$(PKG_CONFIG_LIBDIR="$state/sysroot/usr/lib/arm-linux-gnueabihf/pkgconfig" \
    pkg-config --cflags --libs lib_common)
build() {
    out=$1; shift
    # shellcheck disable=SC2086
    $cc -O2 -Wall -Wextra -Werror -o "$share/bin/$out" "$@" $flags
}
build board_service tests/board/board_service.c &&
    build ipc_peer tests/board/ipc_peer.c &&
    build time32 -DLC_TIME_BITS=32 -I"$state/sysroot/usr/include/lib_common" tests/abi/time_caller.c &&
    build time64 -DLC_TIME_BITS=64 -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64 \
        -I"$state/sysroot/usr/include/lib_common" tests/abi/time_caller.c ||
    { echo "=== board: FAILED to build the board's programs"; exit 1; }

# --- Boot, test, power off ---------------------------------------------------
echo "=== board: boot (at most $limit s)"
t=$(date +%s)
timeout -k 10 "$limit" qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 1024 -nic none \
    -no-reboot -display none -monitor none -serial "file:$state/console.log" \
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
    -append "console=ttyAMA0 panic=1 quiet systemd.show_status=error" \
    -drive "if=none,id=disk,file=$image/root.img,format=raw,snapshot=on" -device virtio-blk-device,drive=disk \
    -fsdev "local,id=share,path=$share,security_model=none" -device virtio-9p-device,fsdev=share,mount_tag=board &
qemu_pid=$!
rc=0
wait "$qemu_pid" || rc=$?
qemu_pid=""
took=$(since "$t")

cat "$share/out/transcript" 2> /dev/null || true
if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    echo "=== board: FAILED: no power-off within $limit s, the board was killed; console log: $state/console.log"
    tail -n 20 "$state/console.log"
    exit 1
fi
if [ ! -s "$share/out/result" ]; then
    echo "=== board: FAILED: the board powered off without a result (qemu status $rc); console log: $state/console.log"
    tail -n 20 "$state/console.log"
    exit 1
fi
read -r passed failed < "$share/out/result"
echo "=== board: powered off after $took s; $passed checks passed, $failed failed; step $(since "$started") s in all"
[ "$failed" -eq 0 ] || { echo "=== board: console log: $state/console.log"; exit 1; }
