#include "platform/linux/volume_attach.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <vector>

#include "config/config_test_support.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// The kernel as the attach sees it: a sysfs tree, a /dev folder and a mount
// table in a temporary folder. The disk behind /dev/sg2 is sdb; a re-read
// makes the medium the production wrote appear (once `mediumAfterRereads`
// re-reads have happened), a mount adds a line to the table.
class FakeKernel : public VolumeSystem {
 public:
  explicit FakeKernel(const fs::path& root) {
    paths.sysfs = root / "sys";
    paths.dev = root / "dev";
    paths.mounts = root / "mounts";
    scsi = paths.sysfs / "devices" / "host4" / "4:0:0:0";
    fs::create_directories(scsi / "block" / "sdb");
    fs::create_directories(paths.sysfs / "class" / "scsi_generic" / "sg2");
    fs::create_directory_symlink(scsi, paths.sysfs / "class" / "scsi_generic" / "sg2" / "device");
    fs::create_directories(paths.sysfs / "class" / "block");
    fs::create_directory_symlink(scsi / "block" / "sdb", paths.sysfs / "class" / "block" / "sdb");
    fs::create_directory_symlink(scsi, scsi / "block" / "sdb" / "device");
    fs::create_directories(paths.dev);
    test::WriteBytes(paths.dev / "sdb", "");
    size(0);
    table("/dev/sda1 / ext4 rw 0 0\n");
  }

  void size(std::uint64_t sectors) {
    test::WriteBytes(scsi / "block" / "sdb" / "size", std::to_string(sectors) + "\n");
  }
  void partition(const std::string& name) {
    fs::create_directories(scsi / "block" / "sdb" / name);
    test::WriteBytes(scsi / "block" / "sdb" / name / "partition", "1\n");
    test::WriteBytes(paths.dev / name, "");
  }
  void table(const std::string& text) {
    mountTable = text;
    test::WriteBytes(paths.mounts, mountTable);
  }
  void addMount(const std::string& source, const fs::path& target) {
    table(mountTable + source + " " + target.string() + " vfat rw 0 0\n");
  }
  void removeMount(const fs::path& target) {
    std::string kept, line;
    std::istringstream in(mountTable);
    while (std::getline(in, line))
      if (line.find(" " + target.string() + " ") == std::string::npos) kept += line + "\n";
    table(kept);
  }

  int writeAttribute(const fs::path& attribute, const std::string& text) override {
    log.push_back("write " + attribute.lexically_relative(paths.sysfs).string() + "=" + text);
    return 0;
  }
  int rereadDisk(const fs::path& node) override {
    log.push_back("reread " + node.filename().string());
    if (++rereads == mediumAfterRereads) {
      size(15095);
      if (withPartition) partition("sdb1");
    }
    return rereadError;
  }
  int mountVfat(const fs::path& source, const fs::path& target,
                const std::string& options) override {
    log.push_back("mount " + source.filename().string() + " " + options);
    int err = mountErrors.empty() ? 0 : mountErrors.front();
    if (!mountErrors.empty()) mountErrors.erase(mountErrors.begin());
    if (err == 0) addMount(source.string(), target);
    return err;
  }
  int unmount(const fs::path& target, bool detach) override {
    log.push_back(std::string(detach ? "detach " : "unmount ") + target.filename().string());
    if (!detach && busyUnmounts > 0) {
      --busyUnmounts;
      return EBUSY;
    }
    if (detach && detachError) return detachError;
    removeMount(target);
    return 0;
  }
  int syncFileSystem(const fs::path& root) override {
    log.push_back("sync " + root.filename().string());
    return syncError;
  }

  MountPaths paths;
  fs::path scsi;
  std::string mountTable;
  std::vector<std::string> log;
  int rereads = 0, mediumAfterRereads = 1, rereadError = 0;
  bool withPartition = true;
  std::vector<int> mountErrors;
  int busyUnmounts = 0, detachError = 0, syncError = 0;
};

class VolumeAttachTest : public ::testing::Test {
 protected:
  VolumeAttachTest() : kernel(dir.path()) {
    options.mountPoint = dir.path() / "volumes" / "port-3";
    options.paths = kernel.paths;
    options.mediumWait = milliseconds(300);
    options.automountWait = milliseconds(300);
    options.poll = milliseconds(5);
  }
  ProducedVolume attach() { return AttachProducedVolume("/dev/sg2", options, kernel); }
  bool mounted(const fs::path& target) const { return IsMountTarget(target, kernel.paths); }

  test::TempDir dir;
  FakeKernel kernel;
  VolumeAttachOptions options;
};

// A blank disk had no medium when it arrived: the station makes the kernel
// read it again, mounts the new volume on the port's own mount point, and
// after the copies flushes it and unmounts it.
TEST_F(VolumeAttachTest, ABlankDiskIsReadAgainMountedAndGivenBackFlushed) {
  ProducedVolume v = attach();
  ASSERT_TRUE(v.available()) << v.problem();
  EXPECT_EQ(v.root(), options.mountPoint);
  EXPECT_TRUE(mounted(options.mountPoint));
  EXPECT_EQ(v.finish(), "");
  EXPECT_FALSE(mounted(options.mountPoint));
  EXPECT_FALSE(fs::exists(options.mountPoint));
  EXPECT_EQ(kernel.log,
            (std::vector<std::string>{"write class/block/sdb/device/rescan=1", "reread sdb",
                                      "mount sdb1 utf8", "sync port-3", "unmount port-3"}));
  EXPECT_EQ(v.finish(), "") << "finish runs once";
  EXPECT_EQ(kernel.log.size(), 5u);
}

TEST_F(VolumeAttachTest, AVolumeNotFinishedIsGivenBackWhenItGoes) {
  {
    ProducedVolume v = attach();
    ASSERT_TRUE(v.available()) << v.problem();
  }
  EXPECT_FALSE(mounted(options.mountPoint));
  EXPECT_EQ(kernel.log.back(), "unmount port-3");
}

// The old volume of a re-produced disk is stale: it is detached before the
// re-read, and the new one is mounted by the station, not looked up.
TEST_F(VolumeAttachTest, AMountFromBeforeTheProductionIsDetachedFirst) {
  kernel.size(15095);
  kernel.partition("sdb1");
  kernel.addMount((kernel.paths.dev / "sdb1").string(), "/media/old");
  ProducedVolume v = attach();
  ASSERT_TRUE(v.available()) << v.problem();
  EXPECT_EQ(v.root(), options.mountPoint);
  ASSERT_GE(kernel.log.size(), 2u);
  EXPECT_EQ(kernel.log[0], "detach old");
  EXPECT_FALSE(mounted("/media/old"));

  kernel.table("");
  kernel.addMount((kernel.paths.dev / "sdb1").string(), "/media/old");
  kernel.detachError = EPERM;
  ProducedVolume refused = attach();
  EXPECT_FALSE(refused.available());
  EXPECT_NE(refused.problem().find("still mounted at /media/old"), std::string::npos)
      << refused.problem();
}

TEST_F(VolumeAttachTest, TheDiskIsReadAgainEverySecondUntilItShowsItsMedium) {
  options.mediumWait = milliseconds(3000);
  kernel.mediumAfterRereads = 2;
  kernel.withPartition = false;  // a volume without a partition table
  ProducedVolume v = attach();
  ASSERT_TRUE(v.available()) << v.problem();
  EXPECT_EQ(kernel.rereads, 2);
  EXPECT_EQ(kernel.log[4], "mount sdb utf8");
}

TEST_F(VolumeAttachTest, WhatStopsTheAttachIsSaid) {
  struct Case {
    const char* name;
    std::function<void(FakeKernel&, VolumeAttachOptions&)> arrange;
    const char* problem;
  };
  const Case cases[] = {
      {"no medium", [](FakeKernel& k, VolumeAttachOptions&) { k.mediumAfterRereads = 99; },
       "/dev/sdb shows no medium after the production"},
      {"no medium, the re-read refused",
       [](FakeKernel& k, VolumeAttachOptions&) {
         k.mediumAfterRereads = 99;
         k.rereadError = EACCES;
       },
       "shows no medium after the production (re-reading it: Permission denied)"},
      {"not a FAT volume",
       [](FakeKernel& k, VolumeAttachOptions&) {
         k.mountErrors = {EINVAL, EINVAL};
       },
       "could not mount"},
      {"an I/O error", [](FakeKernel& k, VolumeAttachOptions&) { k.mountErrors = {EIO}; },
       "as vfat: Input/output error"},
      {"no right to mount and no automounter",
       [](FakeKernel& k, VolumeAttachOptions&) { k.mountErrors = {EPERM}; },
       "was refused (Operation not permitted) and no automounter mounted it"},
      {"stopped while waiting",
       [](FakeKernel& k, VolumeAttachOptions& o) {
         k.mediumAfterRereads = 99;
         o.mediumWait = milliseconds(60000);
         o.stopRequested = [&k] { return k.rereads > 0; };
       },
       "stopped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir d;
    FakeKernel k(d.path());
    VolumeAttachOptions o = options;
    o.paths = k.paths;
    o.mountPoint = d.path() / "volumes" / "port-3";
    c.arrange(k, o);
    const ProducedVolume v = AttachProducedVolume("/dev/sg2", o, k);
    EXPECT_FALSE(v.available());
    EXPECT_NE(v.problem().find(c.problem), std::string::npos) << v.problem();
    EXPECT_FALSE(IsMountTarget(o.mountPoint, k.paths));
  }
  EXPECT_EQ(AttachProducedVolume("/dev/sg9", options, kernel).problem(),
            "the kernel gives /dev/sg9 no block device");
}

TEST_F(VolumeAttachTest, AKernelWithoutTheDefaultCharacterSetTakesIso8859Tables) {
  kernel.mountErrors = {EINVAL, 0};
  ProducedVolume v = attach();
  ASSERT_TRUE(v.available()) << v.problem();
  EXPECT_EQ(kernel.log[2], "mount sdb1 utf8");
  EXPECT_EQ(kernel.log[3], "mount sdb1 utf8,iocharset=iso8859-1");
}

// A station that may not mount leaves it to the desktop's automounter; its
// mount is flushed at the end but stays.
TEST_F(VolumeAttachTest, AnAutomounterMountsWhereTheStationMayNot) {
  // A mount already there counts as the old volume, so the automounter's
  // mount comes after the re-read: this kernel adds it at the refused mount.
  struct Automounting : FakeKernel {
    using FakeKernel::FakeKernel;
    int mountVfat(const fs::path& source, const fs::path&, const std::string&) override {
      log.push_back("mount refused");
      addMount(source.string(), "/media/operator/DISK");
      return EPERM;
    }
  };
  test::TempDir d;
  Automounting k(d.path());
  options.paths = k.paths;
  options.automountWait = milliseconds(5000);
  ProducedVolume v = AttachProducedVolume("/dev/sg2", options, k);
  ASSERT_TRUE(v.available()) << v.problem();
  EXPECT_EQ(v.root(), "/media/operator/DISK");
  EXPECT_EQ(v.finish(), "");
  EXPECT_EQ(k.log.back(), "sync DISK");
  EXPECT_TRUE(IsMountTarget("/media/operator/DISK", k.paths));
}

TEST_F(VolumeAttachTest, GivingTheVolumeBackSaysWhatWentWrong) {
  {
    ProducedVolume v = attach();
    ASSERT_TRUE(v.available()) << v.problem();
    kernel.busyUnmounts = 1000;  // a reader that never lets go
    EXPECT_EQ(v.finish(), "");
    EXPECT_EQ(kernel.log.back(), "detach port-3");
    EXPECT_FALSE(mounted(options.mountPoint));
  }
  kernel.busyUnmounts = 0;
  ProducedVolume v = attach();
  ASSERT_TRUE(v.available()) << v.problem();
  kernel.syncError = EIO;
  EXPECT_EQ(v.finish(), "writing the copied files to the disk failed: Input/output error");
  EXPECT_FALSE(mounted(options.mountPoint));
}

}  // namespace
}  // namespace kvx
