#!/bin/sh
# image.sh OUT - makes the board's image into the folder OUT (scripts/
# board.sh calls it when its cache has none for these inputs):
#
#   OUT/root.img    ext4 disk image (2 GB, sparse) of a Debian 12 armhf
#                   system made by mmdebstrap from Debian's packages only:
#                   systemd as init, rsyslog writing /var/log/syslog, procps,
#                   and the unit lc-board.service, which runs
#                   /srv/board/run.sh once the system is up and powers the
#                   board off after it
#   OUT/vmlinuz     Debian's armmp kernel (its package is unpacked on the
#                   host, not installed in the image)
#   OUT/initrd.img  busybox, the modules of the virtio disk, ext4 and 9p,
#                   and scripts/board/init.sh as /init
#
# Running the armhf maintainer scripts needs armhf programs to run on this
# machine.  The system-wide binfmt_misc is neither mounted here nor changed:
# the build runs in a user namespace of its own (ids mapped 1:1, so the
# files get their real owners), which mounts a private binfmt_misc
# (kernel 6.7 or later) and registers qemu-arm there with the F flag, the
# static qemu-arm being taken from Debian's qemu-user-static package
# unpacked under OUT (installing that package would replace the machine's
# qemu-user-binfmt).  The kernel's own initramfs is never made: Debian's
# mkinitramfs under emulation takes minutes; the initrd made here boots in
# seconds.
set -eu
here=$(cd "$(dirname "$0")" && pwd)

# Inside the namespace: register qemu-arm, then build the root.
if [ "${1:-}" = --in-namespace ]; then
    out=$2
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    # The ELF header of a 32-bit little-endian ARM executable, and its mask.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
    mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-arm:M::$magic:$mask:$out/qemu/usr/bin/qemu-arm-static:F" \
        > /proc/sys/fs/binfmt_misc/register
    shift 2
    exec "$@"
fi

out=$1
work=$out.tmp
rm -rf "$work"
mkdir -p "$work/debs"
# The host's apt sources of Debian's archive (the board's packages come
# from the same mirror as the machine's).
sources=$(grep -l -s debian-archive-keyring /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources || true)
[ -n "$sources" ] || { echo "board image: no apt source of Debian's archive on this machine" >&2; exit 1; }

echo "board image: qemu-arm-static from qemu-user-static"
(cd "$work/debs" && apt-get download -q qemu-user-static 2>&1 | grep -v '^W: Download is performed unsandboxed') > "$work/qemu.log"
dpkg-deb -x "$work"/debs/qemu-user-static_*.deb "$work/qemu"
rm -f "$work"/debs/qemu-user-static_*.deb

# in_namespace CMD...: CMD as root of a new user namespace that maps the
# ids 0..65535 to themselves, with mount and pid namespaces of its own and
# the private binfmt_misc.  The map is written from outside once the child
# has unshared; the child waits for it on a FIFO.
in_namespace() {
    ready=$work/ns-ready
    mkfifo "$ready"
    unshare --user --mount --pid --fork sh -c 'read go < "$0"; mount -t proc proc /proc; exec "$@"' \
        "$ready" sh "$here/image.sh" --in-namespace "$work" "$@" &
    child=$!
    while [ "$(readlink /proc/$child/ns/user)" = "$(readlink /proc/self/ns/user)" ]; do
        kill -0 "$child" 2> /dev/null || return 1
        sleep 0.01
    done
    echo "0 0 65536" > /proc/$child/uid_map
    echo "0 0 65536" > /proc/$child/gid_map
    echo go > "$ready"
    wait "$child"
}

# The unit that runs the board test and powers off after it, whatever its
# result; no getty on the console, whose output is the board's transcript.
unit='[Unit]
Description=lib_common board run (/srv/board/run.sh)
After=rsyslog.service
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/bin/sh /srv/board/run.sh
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyAMA0'
customize="printf '%s\\n' '$unit' > \"\$1/etc/systemd/system/lc-board.service\"
mkdir -p \"\$1/etc/systemd/system/multi-user.target.wants\" \"\$1/srv/board\"
ln -s ../lc-board.service \"\$1/etc/systemd/system/multi-user.target.wants/lc-board.service\"
ln -s /dev/null \"\$1/etc/systemd/system/getty.target\"
ln -s /dev/null \"\$1/etc/systemd/system/serial-getty@ttyAMA0.service\"
echo board > \"\$1/etc/hostname\"
: > \"\$1/etc/fstab\""
# The kernel and busybox for the initrd: downloaded with the image's apt
# (armhf), unpacked on the host.
download="cd '$work/debs' && k=\$(APT_CONFIG=\$MMDEBSTRAP_APT_CONFIG apt-cache depends linux-image-armmp |
    sed -n 's/^ *Depends: \\(linux-image-[0-9][^ ]*\\)\$/\\1/p') &&
    APT_CONFIG=\$MMDEBSTRAP_APT_CONFIG apt-get download -q \"\$k\" busybox-static"

echo "board image: mmdebstrap (armhf, bookworm)"
# shellcheck disable=SC2086
in_namespace mmdebstrap --mode=root --variant=essential --architectures=armhf \
    --include=systemd-sysv,rsyslog,procps,libstdc++6 \
    --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --customize-hook="$customize" --customize-hook="$download" \
    bookworm "$work/root" $sources > "$work/mmdebstrap.log" 2>&1 ||
    { tail -n 30 "$work/mmdebstrap.log"; exit 1; }

echo "board image: kernel, initrd, disk image"
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/kernel"; done
cp "$work"/kernel/boot/vmlinuz-* "$work/vmlinuz"
modules=$(echo "$work"/kernel/lib/modules/*)
# add_module NAME: NAME after the modules it depends on (the "depends=" of
# its .modinfo), each once.
# (sh has no local variables: the path is found again after the recursion.)
module_file() { find "$modules" -name "$1.ko"; }
add_module() {
    grep -qx "$1" "$work/initrd/mods/order" 2> /dev/null && return 0
    [ -n "$(module_file "$1")" ] || { echo "board image: no module $1" >&2; return 1; }
    for dep in $(tr '\0' '\n' < "$(module_file "$1")" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    cp "$(module_file "$1")" "$work/initrd/mods/"
    echo "$1" >> "$work/initrd/mods/order"
}
mkdir -p "$work/initrd/bin" "$work/initrd/mods" "$work/initrd/proc" "$work/initrd/dev" "$work/initrd/newroot"
# crc32c_generic: ext4's checksums (the kernel cannot load it by itself
# without modprobe).
for m in virtio_mmio virtio_blk crc32c_generic ext4 9pnet_virtio 9p; do add_module "$m"; done
cp "$work/kernel/bin/busybox" "$work/initrd/bin/"
cp "$here/init.sh" "$work/initrd/init"
chmod 755 "$work/initrd/init"
(cd "$work/initrd" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.img"
mke2fs -q -t ext4 -L board -d "$work/root" "$work/root.img" 2G

mkdir -p "$out"
mv "$work/vmlinuz" "$work/initrd.img" "$work/root.img" "$out/"
rm -rf "$work"
echo "board image: $(du -h --apparent-size "$out/root.img" | cut -f1) disk ($(du -h "$out/root.img" | cut -f1) used)," \
     "kernel $(basename "$modules")"
