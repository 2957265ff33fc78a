#include "platform/linux/volume_mounts.h"

#include <gtest/gtest.h>

#include "config/config_test_support.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;

// A sysfs tree shaped like the kernel's: sg2 and sg3 are two USB disks;
// sdb has partitions 1, 2 and 10, sdc none.
class VolumeMountsTest : public ::testing::Test {
 protected:
  VolumeMountsTest() {
    paths.sysfs = dir / "sys";
    paths.mounts = dir / "mounts";
    paths.dev = "/dev";
    const fs::path devices = paths.sysfs / "devices" / "usb" / "host4";
    disk(devices / "4:0:0:0", "sg2", "sdb", {"sdb1", "sdb2", "sdb10"});
    disk(devices / "5:0:0:0", "sg3", "sdc", {});
  }
  void disk(const fs::path& scsiDevice, const std::string& sg, const std::string& block,
            const std::vector<std::string>& partitions) {
    fs::create_directories(scsiDevice / "block" / block);
    fs::create_directories(paths.sysfs / "class" / "scsi_generic" / sg);
    fs::create_directory_symlink(scsiDevice,
                                 paths.sysfs / "class" / "scsi_generic" / sg / "device");
    const fs::path blockDir = scsiDevice / "block" / block;
    fs::create_directories(paths.sysfs / "class" / "block");
    fs::create_directory_symlink(blockDir, paths.sysfs / "class" / "block" / block);
    test::WriteBytes(blockDir / "dev", "250:77\n");  // no real node has it
    for (const auto& p : partitions) {
      fs::create_directories(blockDir / p);
      test::WriteBytes(blockDir / p / "partition", "1\n");
    }
    fs::create_directories(blockDir / "queue");  // not a partition
  }
  void mounts(const std::string& table) { test::WriteBytes(paths.mounts, table); }

  test::TempDir dir;
  MountPaths paths;
};

TEST_F(VolumeMountsTest, BlockDevicesOfAGenericNodeArePartitionsInOrderThenTheDisk) {
  EXPECT_EQ(BlockDevicesOf("/dev/sg2", paths),
            (std::vector<std::string>{"sdb1", "sdb2", "sdb10", "sdb"}));
  EXPECT_EQ(BlockDevicesOf("/dev/sg3", paths), (std::vector<std::string>{"sdc"}));
  EXPECT_EQ(BlockDevicesOf("/dev/sdb", paths).back(), "sdb");
  EXPECT_TRUE(BlockDevicesOf("/dev/sg9", paths).empty());
  EXPECT_TRUE(BlockDevicesOf("sim:3", paths).empty());
}

TEST_F(VolumeMountsTest, TheMountPointOfTheFirstMountedPartitionOrTheWholeDisk) {
  struct Case {
    const char* name;
    const char* device;
    std::string table;
    fs::path expected;
  };
  const Case cases[] = {
      {"second partition", "/dev/sg2",
       "/dev/sda1 / ext4 rw 0 0\n/dev/sdb2 /media/usb\\040disk vfat rw 0 0\n", "/media/usb disk"},
      {"first partition wins", "/dev/sg2",
       "/dev/sdb10 /mnt/ten vfat rw 0 0\n/dev/sdb1 /mnt/one vfat rw 0 0\n", "/mnt/one"},
      {"superfloppy", "/dev/sg3", "/dev/sdc /mnt/c vfat rw 0 0\n", "/mnt/c"},
      {"not mounted", "/dev/sg2", "/dev/sda1 / ext4 rw 0 0\n/dev/sdbx /mnt/x vfat rw 0 0\n", ""},
      {"unknown node", "/dev/sg7", "/dev/sdb1 /mnt/one vfat rw 0 0\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mounts(c.table);
    EXPECT_EQ(MountedVolumeOf(c.device, paths), c.expected);
  }
}

TEST(MountFieldTest, OctalEscapesAreUndone) {
  EXPECT_EQ(UnescapeMountField("/media/a\\040b\\011c\\134d"), "/media/a b\tc\\d");
  EXPECT_EQ(UnescapeMountField("/media/trailing\\04"), "/media/trailing\\04");
  EXPECT_EQ(UnescapeMountField("/plain"), "/plain");
}

}  // namespace
}  // namespace kvx
