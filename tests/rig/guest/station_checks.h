#pragma once
// The station's own program, kvx-mp, in the guest against gadget disks that
// kvx-usb-gadget serves from the simulator:
//
//   kvx-rig-guest station --phase healthy --disks N --kvx-mp EXE --home DIR
//                 --log-dir DIR --ready FILE --mount-root DIR [--fsck EXE]
//   kvx-rig-guest station --phase faults  --disks N --kvx-mp EXE --home DIR
//                 --log-dir DIR --ready FILE --unplug-disk D --hang-disk D
//                 --hang-opcode OP --hang-timeout S --unplug-after CBWS
//
// healthy: `kvx-mp ports` lists every gadget disk on its port and no other
// disk; `kvx-mp produce` ends with result 0 on every port and leaves the
// other disks' bytes alone; after a re-plug the produced disk's FAT volume
// passes fsck.fat and mounts with the kernel's vfat driver, where the
// station's mount lookup finds it; the station's hot-plug source hears the
// unplug and the plug. It writes the number of commands one production sent
// to disk D in <log-dir>/production-cbws.<D>, for the faults phase.
//
// faults: one production on every disk, where disk --unplug-disk is unbound
// once its wire log holds --unplug-after CBWs and disk --hang-disk never
// answers opcode --hang-opcode (a fault of the simulation profile). Those two
// ports end red, the unplugged one soon after the unplug and the silent one
// after the command's SG_IO timeout (--hang-timeout s); every other port ends
// with result 0.
//
// Output as the transport checks: RIG PASS/FAIL/NOTE lines, then
// "RIG END station-<phase> pass=<n> fail=<n>".

namespace kvx::rig {

int RunStationChecks(int argc, char** argv);

}  // namespace kvx::rig
