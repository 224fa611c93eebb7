#!/bin/busybox sh
# shellcheck shell=dash
# /init of the LAVA test board: mounts what boardmark reads, quiets the
# kernel on the console and hands the console to a shell, where LAVA runs
# the test overlay it packed into this initramfs.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /tmp
# Kernel messages could split a line of the test's output.
echo 1 >/proc/sys/kernel/printk
exec setsid cttyhack sh -l
