#include "platform/linux/volume_attach.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

namespace kvx {
namespace fs = std::filesystem;
namespace {

using Clock = std::chrono::steady_clock;

class Kernel final : public VolumeSystem {
 public:
  int writeAttribute(const fs::path& attribute, const std::string& text) override {
    const int fd = ::open(attribute.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int err = n < 0 ? errno : 0;
    ::close(fd);
    return err;
  }
  int rereadDisk(const fs::path& node) override {
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    // Blocks cached from before the production are not on the disk any more.
    ::ioctl(fd, BLKFLSBUF, 0);
    const int err = ::ioctl(fd, BLKRRPART, 0) == 0 ? 0 : errno;
    ::close(fd);
    return err;
  }
  int mountVfat(const fs::path& source, const fs::path& target,
                const std::string& options) override {
    return ::mount(source.c_str(), target.c_str(), "vfat", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                   options.c_str()) == 0
               ? 0
               : errno;
  }
  int unmount(const fs::path& target, bool detach) override {
    return ::umount2(target.c_str(), detach ? MNT_DETACH : 0) == 0 ? 0 : errno;
  }
  int syncFileSystem(const fs::path& root) override {
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = ::syncfs(fd) == 0 ? 0 : errno;
    ::close(fd);
    return err;
  }
};

std::string Describe(int err) {
  return std::strerror(err);
}

// The disk's size in 512-byte sectors as sysfs gives it; 0 when unknown.
std::uint64_t SectorsOf(const MountPaths& paths, const std::string& disk) {
  std::ifstream in(paths.sysfs / "class" / "block" / disk / "size");
  std::uint64_t n = 0;
  return in >> n ? n : 0;
}

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

class Attach {
 public:
  Attach(const std::string& devicePath, const VolumeAttachOptions& o, VolumeSystem& sys)
      : device_(devicePath), o_(o), sys_(sys) {}

  ProducedVolume run() {
    const auto devices = BlockDevicesOf(device_, o_.paths);
    if (devices.empty())
      return ProducedVolume::Missing("the kernel gives " + device_ + " no block device");
    disk_ = devices.back();

    // 1. Mounts from before the production.
    for (const fs::path& old : MountsOf(device_, o_.paths))
      if (const int err = sys_.unmount(old, true); err != 0 && err != EINVAL)
        return ProducedVolume::Missing("the disk's old volume is still mounted at " + old.string() +
                                       " and could not be detached: " + Describe(err));

    // 2. The kernel reads the disk again until it shows a medium.
    const auto deadline = Clock::now() + o_.mediumWait;
    int lastErr = 0;
    for (auto nextReread = Clock::now();;) {
      if (stopped()) return ProducedVolume::Missing("stopped");
      if (Clock::now() >= nextReread) {
        lastErr = reread();
        nextReread = Clock::now() + std::chrono::seconds(1);
      }
      if (SectorsOf(o_.paths, disk_) > 0 && Exists(o_.paths.dev / volumeName())) break;
      if (Clock::now() >= deadline)
        return ProducedVolume::Missing(
            "/dev/" + disk_ + " shows no medium after the production" +
            (lastErr != 0 ? " (re-reading it: " + Describe(lastErr) + ")" : std::string()));
      std::this_thread::sleep_for(o_.poll);
    }

    // 3. Mounted by the station, or else by an automounter.
    const fs::path source = o_.paths.dev / volumeName();
    const int err = mountOwn(source);
    if (err == 0) return ownVolume();
    if (err != EPERM && err != EACCES)
      return ProducedVolume::Missing("the kernel could not mount " + source.string() +
                                     " as vfat: " + Describe(err));
    return automounted(source, err);
  }

 private:
  bool stopped() const { return o_.stopRequested && o_.stopRequested(); }

  // The first partition, else the whole disk (a volume without a partition
  // table). Read anew: the re-read may have changed the partitions.
  std::string volumeName() const {
    const auto devices = BlockDevicesOf(device_, o_.paths);
    return devices.empty() ? disk_ : devices.front();
  }

  int reread() {
    // A rescan makes the SCSI disk read its capacity again; the re-read of the
    // partition table needs the block device itself. A station that may do
    // neither still gets its chance at the mount below.
    const fs::path rescan = o_.paths.sysfs / "class" / "block" / disk_ / "device" / "rescan";
    const int rescanErr = sys_.writeAttribute(rescan, "1");
    const int rereadErr = sys_.rereadDisk(o_.paths.dev / disk_);
    return rereadErr != 0 ? rereadErr : rescanErr;
  }

  int mountOwn(const fs::path& source) {
    std::error_code ec;
    fs::create_directories(o_.mountPoint, ec);
    if (ec) return ec.value();
    // A mount left on the port's mount point by a station that ended
    // without unmounting.
    if (IsMountTarget(o_.mountPoint, o_.paths)) sys_.unmount(o_.mountPoint, true);
    // Long names in UTF-8 whatever the kernel's default character set; a
    // kernel without that default's tables takes ISO 8859-1 ones for the
    // case conversions.
    int err = sys_.mountVfat(source, o_.mountPoint, "utf8");
    if (err == EINVAL) {
      const int second = sys_.mountVfat(source, o_.mountPoint, "utf8,iocharset=iso8859-1");
      if (second != EINVAL) err = second;
    }
    return err;
  }

  ProducedVolume ownVolume() {
    VolumeSystem& sys = sys_;
    const fs::path target = o_.mountPoint;
    const auto poll = o_.poll;
    return ProducedVolume(target, [&sys, target, poll]() -> std::string {
      std::string problem;
      if (const int err = sys.syncFileSystem(target); err != 0)
        problem = "writing the copied files to the disk failed: " + Describe(err);
      // A reader that still holds a file (an indexer, a file manager) gets a
      // moment; after that the mount is detached and goes when it lets go.
      int err = EBUSY;
      for (int i = 0; i < 20 && err == EBUSY; ++i) {
        err = sys.unmount(target, false);
        if (err == EBUSY)
          std::this_thread::sleep_for(std::max(poll, std::chrono::milliseconds(50)));
      }
      if (err == EBUSY) err = sys.unmount(target, true);
      if (err != 0 && problem.empty())
        problem = "the volume stays mounted at " + target.string() + ": " + Describe(err);
      std::error_code ec;
      if (err == 0) fs::remove(target, ec);
      return problem;
    });
  }

  ProducedVolume automounted(const fs::path& source, int mountErr) {
    const auto deadline = Clock::now() + o_.automountWait;
    for (;;) {
      if (stopped()) return ProducedVolume::Missing("stopped");
      if (const fs::path root = MountedVolumeOf(device_, o_.paths); !root.empty()) {
        VolumeSystem& sys = sys_;
        return ProducedVolume(root, [&sys, root]() -> std::string {
          const int err = sys.syncFileSystem(root);
          return err == 0 ? std::string()
                          : "writing the copied files to the disk failed: " + Describe(err);
        });
      }
      if (Clock::now() >= deadline)
        return ProducedVolume::Missing("mounting " + source.string() + " was refused (" +
                                       Describe(mountErr) +
                                       ") and no automounter mounted it within " +
                                       std::to_string(o_.automountWait.count() / 1000) + " s");
      std::this_thread::sleep_for(o_.poll);
    }
  }

  const std::string device_;
  const VolumeAttachOptions& o_;
  VolumeSystem& sys_;
  std::string disk_;
};

}  // namespace

VolumeSystem& KernelVolumeSystem() {
  static Kernel kernel;
  return kernel;
}

ProducedVolume AttachProducedVolume(const std::string& devicePath,
                                    const VolumeAttachOptions& options, VolumeSystem& system) {
  return Attach(devicePath, options, system).run();
}

}  // namespace kvx
