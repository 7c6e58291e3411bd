#!/bin/busybox sh
# init.sh - /init of the board's initrd (busybox, made on the host by
# scripts/board/image.sh): loads the modules of the virtio disk, ext4 and
# 9p that /mods/order lists in dependency order, mounts the root file
# system and the folder the host shares with the board (/srv/board), and
# hands over to systemd.  Any failure powers the board off, so that the
# host sees it at once instead of at its time-out.
/bin/busybox mkdir -p /usr/bin /sbin /usr/sbin
/bin/busybox --install -s

fail() {
    echo "initrd: $*"
    poweroff -f
}

mount -t proc proc /proc
mount -t devtmpfs devtmpfs /dev
for m in $(cat /mods/order); do
    insmod "/mods/$m.ko" || fail "insmod $m failed"
done
# The disk appears when virtio-mmio has probed it: wait for it, at most 10 s.
n=0
while [ ! -b /dev/vda ]; do
    [ $n -lt 1000 ] || fail "no disk /dev/vda"
    usleep 10000
    n=$((n + 1))
done
mount -t ext4 -o rw /dev/vda /newroot || fail "cannot mount the root file system"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 board /newroot/srv/board ||
    fail "cannot mount the shared folder"
mount --move /dev /newroot/dev
umount /proc
exec switch_root /newroot /lib/systemd/systemd
