#!/usr/bin/env bash
# The real-kernel rig: boots Debian's kernel under QEMU with a busybox
# initramfs, an xHCI controller with a hub and a generic USB disk behind it, an
# IDE system disk, and dummy_hcd UDCs inside the guest on which kvx-usb-gadget
# serves simulated disks as real USB mass-storage devices. kvx-rig-guest then
# runs the station's transport against them through the guest kernel's
# sg/usb-storage stack and reports each check on the second serial port.
#
#   tests/rig/run-rig.sh BUILD_DIR [WORK_DIR]
#
# Exit status 0 only when the guest booted, every check reported PASS, the
# guest reached its end, and the two disks that are not ours kept every byte.
# Any other outcome (missing package, no boot, timeout, a FAIL) exits non-zero
# with the reason. RIG_TIMEOUT (seconds, default 300) bounds the VM's life.
set -euo pipefail

die() { echo "rig: FAIL: $*" >&2; exit 1; }

[ $# -ge 1 ] || die "usage: run-rig.sh BUILD_DIR [WORK_DIR]"
build=$(cd "$1" && pwd) || die "no build directory $1"
work=${2:-$build/rig-work}
here=$(cd "$(dirname "$0")" && pwd)
vm_timeout=${RIG_TIMEOUT:-300}
gadget_disks=3
started=$(date +%s)

# --- what the rig needs from the host ------------------------------------
qemu=$(command -v qemu-system-x86_64) || die "qemu-system-x86_64 missing (package qemu-system-x86; run scripts/install-deps.sh)"
busybox=""
for b in /bin/busybox /usr/bin/busybox; do
  if [ -x "$b" ] && ! ldd "$b" >/dev/null 2>&1; then busybox=$b; break; fi
done
[ -n "$busybox" ] || die "no static busybox (package busybox-static)"
kver=""
for k in $(ls -1 /lib/modules 2>/dev/null | sort -V -r); do
  if [ -r "/boot/vmlinuz-$k" ] && [ -r "/lib/modules/$k/modules.dep" ]; then kver=$k; break; fi
done
[ -n "$kver" ] || die "no readable /boot/vmlinuz-* with its module tree (package linux-image-amd64)"
kernel=/boot/vmlinuz-$kver
moddir=/lib/modules/$kver
for exe in kvx-usb-gadget kvx-mp tests/rig/kvx-rig-guest; do
  [ -x "$build/$exe" ] || die "$build/$exe not built"
done

rm -rf "$work"
mkdir -p "$work"
root=$work/root
mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,run,tmp,usr/bin,lib/modules}

# --- busybox and our binaries with the shared libraries they load --------
cp "$busybox" "$root/bin/busybox"
copy_with_libs() {
  local exe=$1
  install -m 755 "$exe" "$root/usr/bin/$(basename "$exe")"
  local lib
  for lib in $(ldd "$exe" | awk '/=> \// {print $3} /^[[:space:]]*\// {print $1}'); do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
copy_with_libs "$build/kvx-usb-gadget"
copy_with_libs "$build/tests/rig/kvx-rig-guest"
copy_with_libs "$build/kvx-mp"
# fsck.fat checks the volume the station produced (package dosfstools).
fsck_fat=$(command -v fsck.fat || true)
[ -n "$fsck_fat" ] || die "fsck.fat missing (package dosfstools; run scripts/install-deps.sh)"
copy_with_libs "$fsck_fat"

# --- the simulated disks and the station's folder ---------------------------
# Both profiles: three small controllers (8 MiB of flash each, latency off:
# the guest's CPU is emulated). The second adds a command that never answers.
cp "$here/rig-sim.json" "$here/rig-sim-faults.json" "$root/etc/"
# The station's settings for these flashes: the demo settings the station
# makes for a simulation, saved to config.dat by a setting change.
mkdir -p "$root/kvx-home"
"$build/kvx-mp" --home "$root/kvx-home" --sim-profile "$here/rig-sim.json" config set LevelCount 4 \
  > "$work/kvx-home.out" 2>&1 || die "kvx-mp could not write the station's settings: $(cat "$work/kvx-home.out")"
[ -s "$root/kvx-home/config.dat" ] || die "kvx-mp wrote no config.dat"
# A folder every production copies onto the disk's volume: a sub-folder, a
# long name outside ASCII and a file of some size among it.
zone0="$root/kvx-home/Zone0Files"
mkdir -p "$zone0/docs"
printf 'copied by the station onto every produced disk\n' > "$zone0/README.TXT"
printf 'a long name outside ASCII\n' > "$zone0/docs/说明 long name.txt"
seq 1 40000 > "$zone0/docs/numbers.txt"
"$build/kvx-mp" --home "$root/kvx-home" --sim-profile "$here/rig-sim.json" config set Zone0FilePath \
  /kvx-home/Zone0Files > "$work/kvx-home.out" 2>&1 ||
  die "kvx-mp could not set the zone-0 folder: $(cat "$work/kvx-home.out")"

# --- kernel modules in dependency order (modules.dep) ---------------------
wanted=(usb-common usbcore xhci-hcd xhci-pci scsi_common scsi_mod sg sd_mod usb-storage
        libata ata_piix udc-core dummy_hcd configfs libcomposite usb_f_fs
        fat vfat nls_cp437 nls_iso8859-1)
declare -A dep_of path_of seen
while IFS=: read -r path deps; do
  name=${path##*/}; name=${name%%.ko*}; name=${name//-/_}
  path_of[$name]=$path
  dep_of[$name]=$deps
done < "$moddir/modules.dep"
order=()
visit() {
  local n=${1//-/_}
  [ -n "${seen[$n]:-}" ] && return 0
  seen[$n]=1
  if [ -z "${path_of[$n]:-}" ]; then
    grep -qE "/${n//_/[-_]}\.ko" "$moddir/modules.builtin" 2>/dev/null && return 0
    die "module $n is neither in $moddir/modules.dep nor built in"
  fi
  local deps=(${dep_of[$n]}) i d
  # modprobe loads a module's dependencies from the end of its list.
  for ((i = ${#deps[@]} - 1; i >= 0; i--)); do
    d=${deps[i]##*/}; visit "${d%%.ko*}"
  done
  order+=("$n")
}
for m in "${wanted[@]}"; do visit "$m"; done
: > "$root/etc/rig-modules"
for n in "${order[@]}"; do
  src=$moddir/${path_of[$n]}
  case "$src" in
    *.ko) cp "$src" "$root/lib/modules/$n.ko" ;;
    *.ko.xz) xz -dc "$src" > "$root/lib/modules/$n.ko" ;;
    *.ko.zst) zstd -qdc "$src" > "$root/lib/modules/$n.ko" ;;
    *) die "unknown module file $src" ;;
  esac
  params=""
  [ "$n" = dummy_hcd ] && params="num=$gadget_disks"
  echo "$n $params" >> "$root/etc/rig-modules"
done

install -m 755 "$here/guest-init.sh" "$root/init"
echo "$gadget_disks" > "$root/etc/rig-disks"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) > "$work/initramfs.gz"

# --- the disks that are not ours: random bytes, checked after the run ----
head -c $((8 << 20)) /dev/urandom > "$work/system-disk.img"
head -c $((4 << 20)) /dev/urandom > "$work/usb-disk.img"
sha_before=$(cd "$work" && sha256sum system-disk.img usb-disk.img)

# --- acceleration: KVM only when it really works --------------------------
accel=(-accel tcg)
if [ -r /dev/kvm ] && [ -w /dev/kvm ] &&
   echo quit | timeout 20 "$qemu" -accel kvm -machine none -nodefaults -display none \
     -monitor stdio >/dev/null 2>&1; then
  accel=(-accel kvm -cpu host)
fi
echo "rig: initramfs built in $(( $(date +%s) - started ))s"
echo "rig: kernel $kver, accel ${accel[1]}, ${#order[@]} modules, initramfs $(du -k "$work/initramfs.gz" | cut -f1) KiB"

# --- boot ------------------------------------------------------------------
console=$work/console.log
results=$work/results.log
: > "$console"; : > "$results"
boot_started=$(date +%s)
set +e
timeout --kill-after=10 "$vm_timeout" "$qemu" "${accel[@]}" -machine pc -m 768 -smp 1 \
  -nodefaults -display none -no-reboot -monitor none \
  -kernel "$kernel" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 rdinit=/init panic=-1 loglevel=7" \
  -serial "file:$console" -serial "file:$results" \
  -drive "file=$work/system-disk.img,format=raw,if=ide,index=0" \
  -device qemu-xhci,id=xhci \
  -device usb-hub,bus=xhci.0,port=1 \
  -drive "if=none,id=usbdisk,format=raw,file=$work/usb-disk.img" \
  -device usb-storage,bus=xhci.0,port=1.2,drive=usbdisk,serial=RIGUSBDISK01 \
  > "$work/qemu.out" 2>&1
qemu_rc=$?
set -e
echo "rig: the VM ran $(( $(date +%s) - boot_started ))s"
tr -d '\r' < "$results" > "$results.txt"
elapsed=$(( $(date +%s) - started ))

cat "$results.txt"
echo "rig: wall time ${elapsed}s (qemu exit $qemu_rc)"

reason=""
if [ "$qemu_rc" -eq 124 ] || [ "$qemu_rc" -eq 137 ]; then
  reason="the VM did not finish within ${vm_timeout}s"
elif [ "$qemu_rc" -ne 0 ]; then
  reason="qemu exited with $qemu_rc: $(tail -n 3 "$work/qemu.out" | tr '\n' ' ')"
fi
if [ -z "$reason" ] && ! grep -q '^RIG DONE ' "$results.txt"; then
  reason="the guest never reported its end (no boot, or a crash: see $console)"
fi
if [ -z "$reason" ] && grep -q '^RIG FAIL' "$results.txt"; then
  reason="$(grep -c '^RIG FAIL' "$results.txt") guest check(s) failed"
fi
for part in transport station-healthy station-faults; do
  if [ -z "$reason" ] && ! grep -q "^RIG END $part " "$results.txt"; then
    reason="the guest's $part checks never reported their end"
  fi
done
if [ -z "$reason" ] && ! grep -q '^RIG PASS' "$results.txt"; then
  reason="the guest reported no passing check"
fi
sha_after=$(cd "$work" && sha256sum system-disk.img usb-disk.img)
if [ "$sha_before" != "$sha_after" ]; then
  reason="${reason:+$reason; }a disk that is not ours changed: $sha_after"
else
  echo "rig: host check: system disk and generic USB disk images unchanged (sha256)"
fi
if [ -n "$reason" ]; then
  echo "rig: last console lines:" >&2
  tail -n 40 "$console" | tr -d '\r' >&2
  die "$reason"
fi
echo "rig: PASS"
