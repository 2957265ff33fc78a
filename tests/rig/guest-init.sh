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

# Starts kvx-usb-gadget with the given options and waits for its ready file.
gadget=""
start_gadget() {
  local dir=$1; shift
  mkdir -p "$dir"
  kvx-usb-gadget --log-dir "$dir" --ready "$dir/ready" "$@" > "$dir/gadget.out" 2>&1 &
  gadget=$!
  n=0
  while [ ! -f "$dir/ready" ]; do
    if ! kill -0 $gadget 2>/dev/null || [ $n -ge 300 ]; then
      say "RIG NOTE gadget output: $(cat "$dir/gadget.out")"
      setup_failed "kvx-usb-gadget $* did not become ready"
    fi
    n=$((n + 1))
    sleep 0.1
  done
}
stop_gadget() {
  kill $gadget 2>/dev/null
  wait $gadget
  say "RIG NOTE gadget server exit: $? (after SIGTERM)"
  # The gadgets' wire logs go to the console log for the record.
  for f in "$1"/disk*.log; do
    echo "== wire log $f" > /dev/ttyS0
    cat "$f" > /dev/ttyS0
  done
}

# The transport against RAM disks: what SG_IO and the bulk-only transport do.
start_gadget /run/kvx/ram --disks "$disks" --sense 1:d6 --hang 2:d4 --unplug 1:d8
kvx-rig-guest --disks "$disks" --log-dir /run/kvx/ram --ready /run/kvx/ram/ready \
  --sense-disk 1 --sense-opcode d6 --hang-disk 2 --hang-opcode d4 \
  --unplug-disk 1 --unplug-opcode d8 > $out 2>&1
say "RIG NOTE transport checks exit: $? at $(cut -d' ' -f1 /proc/uptime)s uptime"
stop_gadget /run/kvx/ram

# The station (kvx-mp) against simulated controllers: ports, a production,
# the produced volume after a re-plug.
start_gadget /run/kvx/healthy --sim-profile /etc/rig-sim.json
kvx-rig-guest station --phase healthy --disks "$disks" --kvx-mp /usr/bin/kvx-mp --home /kvx-home \
  --log-dir /run/kvx/healthy --ready /run/kvx/healthy/ready --mount-root /mnt \
  --fsck /usr/bin/fsck.fat > $out 2>&1
say "RIG NOTE station-healthy checks exit: $? at $(cut -d' ' -f1 /proc/uptime)s uptime"
stop_gadget /run/kvx/healthy

# A production where disk 1 is unplugged half-way (by the commands one whole
# production sent it above) and disk 2 never answers its first DOWNLOAD CODE.
whole=$(cat /run/kvx/healthy/production-cbws.1 2>/dev/null)
half=$(( ${whole:-200} / 2 ))
start_gadget /run/kvx/faults --sim-profile /etc/rig-sim-faults.json
kvx-rig-guest station --phase faults --disks "$disks" --kvx-mp /usr/bin/kvx-mp --home /kvx-home \
  --log-dir /run/kvx/faults --ready /run/kvx/faults/ready --unplug-disk 1 --unplug-after "$half" \
  --hang-disk 2 --hang-opcode d7 --hang-timeout 5 > $out 2>&1
say "RIG NOTE station-faults checks exit: $? at $(cut -d' ' -f1 /proc/uptime)s uptime"
stop_gadget /run/kvx/faults

say "RIG DONE at $(cut -d' ' -f1 /proc/uptime)s uptime"
sync
poweroff -f
