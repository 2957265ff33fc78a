#!/bin/busybox sh
# /init of the rig's guest: loads the modules, starts the gadget server on the
# dummy_hcd UDCs, runs the checks and powers off. Results go to the second
# serial port (ttyS1), the kernel's console stays on ttyS0.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run

out=/dev/ttyS1
stty -F $out raw -echo 2>/dev/null
say() { echo "$*" > $out; }
setup_failed() {
  say "RIG FAIL setup: $*"
  say "RIG DONE pass=0 fail=1"
  sync
  poweroff -f
}

while read -r mod params; do
  insmod /lib/modules/$mod.ko $params || setup_failed "insmod $mod $params"
done < /etc/rig-modules
mount -t configfs configfs /sys/kernel/config || setup_failed "mount configfs"
say "RIG NOTE boot: modules loaded at $(cut -d' ' -f1 /proc/uptime)s uptime"

disks=$(cat /etc/rig-disks)
mkdir -p /run/kvx
kvx-usb-gadget --disks "$disks" --log-dir /run/kvx --ready /run/kvx/ready \
  --sense 1:d6 --hang 2:d4 --unplug 1:d8 > /run/kvx/gadget.out 2>&1 &
gadget=$!
n=0
while [ ! -f /run/kvx/ready ]; do
  if ! kill -0 $gadget 2>/dev/null || [ $n -ge 300 ]; then
    say "RIG NOTE gadget output: $(cat /run/kvx/gadget.out)"
    setup_failed "kvx-usb-gadget did not become ready"
  fi
  n=$((n + 1))
  sleep 0.1
done

kvx-rig-guest --disks "$disks" --log-dir /run/kvx --ready /run/kvx/ready \
  --sense-disk 1 --sense-opcode d6 --hang-disk 2 --hang-opcode d4 \
  --unplug-disk 1 --unplug-opcode d8 > $out 2>&1
rc=$?
kill $gadget 2>/dev/null
wait $gadget
say "RIG NOTE gadget server exit: $? (after SIGTERM)"
say "RIG NOTE guest program exit: $rc at $(cut -d' ' -f1 /proc/uptime)s uptime"
# The gadgets' wire logs go to the console log for the record.
for f in /run/kvx/disk*.log; do
  echo "== wire log $f" > /dev/ttyS0
  cat "$f" > /dev/ttyS0
done
sync
poweroff -f
