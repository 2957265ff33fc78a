#include "platform/linux/sysfs_usb_topology.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/udev_hotplug.h"

namespace kvx {
namespace {
namespace fs = std::filesystem;

// Builds a sysfs tree shaped like the kernel's: nested device folders under
// devices/, and bus/usb/devices/ holding links to every device, as in /sys.
class FakeSysfs {
 public:
  FakeSysfs() {
    base_ = fs::temp_directory_path() / ("kvx-sysfs-" + std::to_string(getpid()) + "-" +
                                         std::to_string(counter_++));
    fs::remove_all(base_);
    fs::create_directories(bus());
    fs::create_directories(base_ / "devices/pci0000:00");
  }
  ~FakeSysfs() { fs::remove_all(base_); }
  fs::path bus() const { return base_ / "bus/usb/devices"; }

  // A device below `parent` (empty for a root hub), with its attributes.
  fs::path device(const std::string& name, const std::string& parent, int maxchild,
                  const std::string& deviceClass = "00") {
    const fs::path dir = (parent.empty() ? base_ / "devices/pci0000:00" : paths_.at(parent)) / name;
    fs::create_directories(dir);
    write(dir / "maxchild", std::to_string(maxchild));
    write(dir / "bDeviceClass", deviceClass);
    if (name.rfind("usb", 0) == 0) write(dir / "busnum", name.substr(3));
    fs::create_symlink(dir, bus() / name);
    // Real sysfs keeps links that point back up the tree; the walk must not follow them.
    fs::create_symlink(base_ / "devices", dir / "subsystem");
    paths_[name] = dir;
    return dir;
  }
  fs::path interface(const std::string& dev, const std::string& number, const std::string& cls,
                     const std::string& protocol = "00") {
    const fs::path dir = paths_.at(dev) / (dev + ":" + number);
    fs::create_directories(dir);
    write(dir / "bInterfaceClass", cls);
    write(dir / "bInterfaceProtocol", protocol);
    return dir;
  }
  void sgNode(const fs::path& itf, int host, const std::string& sg) {
    const std::string h = std::to_string(host);
    fs::create_directories(itf / ("host" + h) / ("target" + h + ":0:0") / (h + ":0:0:0") /
                           "scsi_generic" / sg);
  }

 private:
  static void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text << "\n"; }
  static inline int counter_ = 0;
  fs::path base_;
  std::map<std::string, fs::path> paths_;
};

TEST(SysfsUsbTopology, WalksNestedHubsAndTellsWhatIsConnected) {
  FakeSysfs sys;
  sys.device("usb1", "", 4, "09");
  sys.device("usb10", "", 2, "09");
  sys.device("usb2", "", 1, "09");
  sys.device("1-1", "usb1", 4, "09");          // external hub on root port 1
  sys.device("1-1.3", "1-1", 0);              // a disk with its sg node
  sys.sgNode(sys.interface("1-1.3", "1.0", "08", "50"), 6, "sg2");
  sys.device("1-1.4", "1-1", 0);              // a disk the kernel has not finished yet
  sys.interface("1-1.4", "1.0", "08", "50");
  sys.device("1-2", "usb1", 0);               // a boot-protocol mouse
  sys.interface("1-2", "1.0", "03", "02");
  sys.device("10-2", "usb10", 0);             // a keyboard
  sys.interface("10-2", "1.0", "03", "01");
  sys.device("2-1", "usb2", 0);  // a mouse told by its input handler
  fs::create_directories(sys.interface("2-1", "1.0", "03", "00") / "0003:046D:C077.0001" /
                         "input/input5/mouse0");

  SysfsUsbTopology topo(sys.bus(), "/dev");
  const auto roots = topo.rootHubs();
  ASSERT_EQ(roots.size(), 3u);
  EXPECT_EQ(roots[0].bus, 1);
  EXPECT_EQ(roots[1].bus, 2);
  EXPECT_EQ(roots[2].bus, 10) << "bus numbers sort as numbers";
  EXPECT_EQ(roots[2].hubId, "usb10");

  EXPECT_EQ(topo.portCount("usb1"), 4);
  EXPECT_EQ(topo.portCount("1-1"), 4);
  EXPECT_EQ(topo.portCount("9-9"), -1);

  struct {
    std::string hub;
    int port;
    UsbAttachment kind;
    std::string path, hubId;
  } cases[] = {
      {"usb1", 1, UsbAttachment::Hub, "", "1-1"},
      {"1-1", 3, UsbAttachment::MassStorage, "/dev/sg2", ""},
      {"1-1", 4, UsbAttachment::MassStorage, "", ""},
      {"1-1", 1, UsbAttachment::Empty, "", ""},
      {"usb1", 2, UsbAttachment::Mouse, "", ""},
      {"usb1", 3, UsbAttachment::Empty, "", ""},
      {"usb10", 2, UsbAttachment::Other, "", ""},
      {"usb2", 1, UsbAttachment::Mouse, "", ""},
      {"1-1:1.0", 1, UsbAttachment::QueryFailed, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hub + " port " + std::to_string(c.port));
    const UsbPortState s = topo.portState(c.hub, c.port);
    EXPECT_EQ(s.kind, c.kind);
    EXPECT_EQ(s.devicePath, c.path);
    EXPECT_EQ(s.hubId, c.hubId);
  }
}

TEST(SysfsUsbTopology, ChildNamesFollowTheKernel) {
  SysfsUsbTopology topo("/nonexistent");
  EXPECT_EQ(topo.childName("usb1", 3), "1-3");
  EXPECT_EQ(topo.childName("usb12", 1), "12-1");
  EXPECT_EQ(topo.childName("1-3", 2), "1-3.2");
  EXPECT_EQ(topo.childName("1-3.2", 12), "1-3.2.12");
  EXPECT_EQ(topo.childName("1-3", 0), "");
  EXPECT_TRUE(topo.rootHubs().empty());
}

TEST(UdevHotplug, OnlyDiskAndSgArrivalsAndRemovalsCount) {
  struct {
    const char *subsystem, *devtype, *action;
    bool change;
  } cases[] = {
      {"block", "disk", "add", true},          {"block", "disk", "remove", true},
      {"block", "partition", "add", false},    {"scsi_generic", "", "add", true},
      {"scsi_generic", "", "remove", true},    {"block", "disk", "change", false},
      {"usb", "usb_device", "add", false},     {"scsi_generic", "", "bind", false},
  };
  for (auto c : cases)
    EXPECT_EQ(IsDiskChangeEvent(c.subsystem, c.devtype, c.action), c.change)
        << c.subsystem << " " << c.devtype << " " << c.action;
}

}  // namespace
}  // namespace kvx
