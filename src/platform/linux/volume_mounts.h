#pragma once
// Where the host mounted the volume of a USB disk: from the disk's SCSI
// generic node (the device path discovery stores, "/dev/sg3") through sysfs
// to its block device and partitions, then through the mount table.
//
//   /sys/class/scsi_generic/sg3/device  -> the SCSI device (H:C:T:L)
//   <scsi device>/block/sdb             -> its block device
//   /sys/class/block/sdb/sdb1/partition -> a partition of it
//   /proc/self/mounts                   -> "/dev/sdb1 /media/disk vfat ..."
//
// The first mounted partition wins (in partition order), then the whole disk
// (a "superfloppy" without a partition table). Roots are parameters so tests
// can build the tree and the table in a temporary folder.

#include <filesystem>
#include <string>
#include <vector>

namespace kvx {

struct MountPaths {
  std::filesystem::path sysfs = "/sys";
  std::filesystem::path mounts = "/proc/self/mounts";
  std::filesystem::path dev = "/dev";
};

// The block device names behind a device path, partitions first in their
// order, the whole disk last ("sdb1", "sdb2", "sdb"); empty when the path is
// not a SCSI generic or disk node sysfs knows.
std::vector<std::string> BlockDevicesOf(const std::string& devicePath, const MountPaths& paths);

// A mount-table field with its octal escapes ("\040" for a blank) undone.
std::string UnescapeMountField(const std::string& field);

// Every mount point of the disk's block devices, in the order of
// BlockDevicesOf and, for one device, of the mount table.
std::vector<std::filesystem::path> MountsOf(const std::string& devicePath,
                                            const MountPaths& paths = MountPaths{});

// Whether something is mounted on `target` (its mount-table entry).
bool IsMountTarget(const std::filesystem::path& target, const MountPaths& paths = MountPaths{});

// The mount point of the disk's volume; empty when none is mounted.
std::filesystem::path MountedVolumeOf(const std::string& devicePath,
                                      const MountPaths& paths = MountPaths{});

}  // namespace kvx
