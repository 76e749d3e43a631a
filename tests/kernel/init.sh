#!/bin/busybox sh
# The virtual machine's first process: mounts what the cases need, loads
# the USB modules (dummy_hcd with two full-speed buses), runs every case,
# and powers off.
/bin/busybox mkdir -p /usr/bin /usr/sbin
/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
for module in $(cat /modules/order); do
  case $module in
    dummy_hcd.ko) insmod /modules/$module is_high_speed=0 num=2 ;;
    *) insmod /modules/$module ;;
  esac
done
mount -t configfs configfs /sys/kernel/config
mount -t debugfs debugfs /sys/kernel/debug
echo "QVK-BOOTED $(cut -d' ' -f1 /proc/uptime) s"
sh /cases.sh
echo "QVK-END"
poweroff -f
