#pragma once
// The produced disk's volume on a Linux station, for the folder copies.
//
// The production rewrote the disk behind the kernel's back (vendor commands
// through the SCSI generic node), so what the kernel knows of it is stale: a
// blank disk had no medium and size 0, a re-produced one may still have its
// old volume mounted and old blocks cached. Attaching the volume:
//   1. detaches every mount of the disk made before: it shows the file system
//      the production replaced, and writing through it would damage the new
//      one;
//   2. makes the kernel read the disk again (SCSI rescan, cached blocks
//      dropped, partition table re-read), again every second until the disk
//      shows a medium;
//   3. mounts the volume (the first partition, else the whole disk) as vfat on
//      the port's own mount point; where the station may not mount, it waits
//      for the desktop's automounter to mount it instead.
// ProducedVolume::finish() then flushes the volume and unmounts what the
// station mounted.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "engine/produced_volume.h"
#include "platform/linux/volume_mounts.h"

namespace kvx {

// The kernel calls behind the attach; every call returns 0 or an errno.
// Tests substitute them.
class VolumeSystem {
 public:
  virtual ~VolumeSystem() = default;
  // Writes `text` to a sysfs attribute.
  virtual int writeAttribute(const std::filesystem::path& attribute, const std::string& text) = 0;
  // Opens the disk's block device (a removable disk checks its medium on
  // open), drops its cached blocks and re-reads its partition table.
  virtual int rereadDisk(const std::filesystem::path& node) = 0;
  virtual int mountVfat(const std::filesystem::path& source, const std::filesystem::path& target,
                        const std::string& options) = 0;
  // A lazy detach when `detach`: the mount goes at once, open files keep it
  // alive until they close.
  virtual int unmount(const std::filesystem::path& target, bool detach) = 0;
  // Writes everything cached for the file system of `root` to the disk.
  virtual int syncFileSystem(const std::filesystem::path& root) = 0;
};

// The real calls (mount(2), umount2(2), syncfs(2), BLKFLSBUF, BLKRRPART).
VolumeSystem& KernelVolumeSystem();

struct VolumeAttachOptions {
  // The port's own mount point; made when missing, removed after the unmount.
  std::filesystem::path mountPoint;
  MountPaths paths;
  // How long the disk may take to show its medium after the first re-read.
  std::chrono::milliseconds mediumWait{10000};
  // How long an automounter may take when the station may not mount.
  std::chrono::milliseconds automountWait{15000};
  std::chrono::milliseconds poll{50};
  // The job's stop flag, polled by every wait.
  std::function<bool()> stopRequested;
};

ProducedVolume AttachProducedVolume(const std::string& devicePath,
                                    const VolumeAttachOptions& options,
                                    VolumeSystem& system = KernelVolumeSystem());

}  // namespace kvx
