#include "device/port_discovery.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/station.h"
#include "support/flash_fakes.h"

namespace kvx {
namespace {

using test::Lanes;
using test::kSilent;
using test::TreeTopology;

constexpr std::uint32_t X = 0xECD35195;

// Jobs that run until told to stop, for ports that must stay busy.
class HoldingSequence : public ProductionSequence {
 public:
  std::atomic<int> running{0};
  std::int32_t RunProduction(PortJob& job) override {
    ++running;
    while (!job.stopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --running;
    return msg::kCancel;
  }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

class DiscoveryTest : public ::testing::Test {
 protected:
  DiscoveryTest() {
    catalog.types = {{X, 0, 4096, 64, 4, false, "K9GAG"}, {0x2222, 0, 2048, 64, 4, true, "Dual"}};
    // Bus 1: root ports 1..4; a hub on root port 2 with 4 ports.
    topo.roots = {{1, "usb1"}};
    topo.hubs["usb1"] = std::vector<UsbPortState>(4);
    topo.hubs["1-2"] = std::vector<UsbPortState>(4);
  }
  void disk(const std::string& path, std::uint32_t id = X) {
    disks.disks[path].chips = {{0, Lanes(id, kSilent)}};
  }
  std::vector<std::pair<std::string, std::string>> lines() { return portMap.lines(); }

  test::IdDisks disks;
  HoldingSequence sequence;
  FixedAnswerOperator op{true};
  Station station{disks, sequence, op, Language::English};
  TreeTopology topo;
  MemoryPortMap portMap;
  test::ListCatalog catalog;
  test::FakeSelection selection;
  PortDiscovery discovery{station, topo, portMap, catalog, selection};
};

TEST_F(DiscoveryTest, NewPortsGetSlotsInWalkOrderAndAreIdentified) {
  disk("/dev/sg1");
  disk("/dev/sg3");
  disk("/dev/sg4");
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  topo.set("usb1", 3, TreeTopology::Disk("/dev/sg3"));
  topo.set("usb1", 4, TreeTopology::Disk("/dev/sg4"));
  discovery.RefreshPorts();
  using L = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(lines(), (L{{"Port-1-1", "0"}, {"Port-1-3", "1"}, {"Port-1-4", "2"}}));
  EXPECT_EQ(discovery.portList(),
            (std::vector<std::string>{"Port-1-1=0", "Port-1-3=1", "Port-1-4=2"}));
  for (int slot = 0; slot < 3; ++slot) {
    const auto& rec = station.record(slot);
    EXPECT_EQ(rec.Present.load(), 1);
    EXPECT_TRUE(IsOpen(rec.hDevice));
    EXPECT_EQ(rec.FlashTypeIndex, 0);
    EXPECT_EQ(rec.ChipCount, 1);
    const PortView v = station.display(slot).snapshot();
    EXPECT_TRUE(v.buttonEnabled);
    EXPECT_EQ(v.text, "pcs = 1  Type = K9GAG  FlashID = 0xECD35195  Page = 64");
    EXPECT_EQ(v.colour, BarColour::Blue);
  }
  EXPECT_EQ(disks.pathOf(station.record(1).hDevice), "/dev/sg3");
  EXPECT_EQ(selection.selected, 0);

  // A refresh with nothing changed does no device I/O.
  const int commands = disks.commands.load();
  discovery.RefreshPorts();
  EXPECT_EQ(disks.commands.load(), commands);
}

TEST_F(DiscoveryTest, HubsAreWalkedMiceAreSkippedKeysNeverCollide) {
  disk("/dev/sg7");
  disk("/dev/sg8");
  // Port 2 behind the hub on root port 1, and root port 12: joined without
  // separators both would read "Port-112"; they must be two keys.
  topo.hubs["usb1"] = std::vector<UsbPortState>(12);
  topo.set("usb1", 1, TreeTopology::Hub("1-1"));
  topo.hubs["1-1"] = std::vector<UsbPortState>(4);
  topo.set("1-1", 2, TreeTopology::Disk("/dev/sg7"));
  topo.set("1-1", 3, {UsbAttachment::Mouse, "", ""});
  topo.set("usb1", 12, TreeTopology::Disk("/dev/sg8"));
  topo.set("usb1", 5, {UsbAttachment::Other, "", ""});
  discovery.RefreshPorts();
  using L = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(lines(), (L{{"Port-1-1.2", "0"}, {"Port-1-5", "1"}, {"Port-1-12", "2"}}));
  EXPECT_EQ(station.record(1).DevicePath, "") << "a device that is no disk gets a slot, no path";
  EXPECT_FALSE(IsOpen(station.record(1).hDevice));
}

TEST_F(DiscoveryTest, ReplugKeepsTheSlotUnplugFreesThePort) {
  disk("/dev/sg1");
  disk("/dev/sg2");
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  topo.set("usb1", 3, TreeTopology::Disk("/dev/sg2"));
  discovery.RefreshPorts();
  const DeviceHandle first = station.record(0).hDevice;

  topo.set("usb1", 1, {});
  discovery.RefreshPorts();
  EXPECT_EQ(station.record(0).Present.load(), 0);
  EXPECT_EQ(station.record(0).hDevice, kInvalidHandle);
  EXPECT_EQ(disks.closed, std::vector<DeviceHandle>{first});
  EXPECT_FALSE(station.display(0).snapshot().buttonEnabled);
  EXPECT_EQ(station.display(0).snapshot().text, "");

  // The same disk back in the same socket: the same slot, a new handle.
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  discovery.RefreshPorts();
  EXPECT_EQ(station.record(0).Present.load(), 1);
  EXPECT_TRUE(IsOpen(station.record(0).hDevice));
  EXPECT_NE(station.record(0).hDevice, first);
  // Into a socket never used before: a new slot.
  topo.set("usb1", 1, {});
  topo.set("usb1", 4, TreeTopology::Disk("/dev/sg1"));
  discovery.RefreshPorts();
  EXPECT_EQ(station.record(2).DevicePath, "/dev/sg1");
  EXPECT_EQ(lines().size(), 3u);
}

TEST_F(DiscoveryTest, ClearPortsRestartsNumberingWithoutTwoSlotsForOneDisk) {
  disk("/dev/sg1");
  disk("/dev/sg2");
  topo.set("usb1", 3, TreeTopology::Disk("/dev/sg1"));
  topo.set("usb1", 4, TreeTopology::Disk("/dev/sg2"));
  discovery.RefreshPorts();
  ASSERT_EQ(station.record(1).DevicePath, "/dev/sg2");
  discovery.ClearPorts();
  EXPECT_TRUE(lines().empty());
  EXPECT_TRUE(discovery.portList().empty());
  topo.set("usb1", 3, {});
  discovery.RefreshPorts();
  using L = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(lines(), (L{{"Port-1-4", "0"}}));
  EXPECT_EQ(station.record(0).DevicePath, "/dev/sg2");
  EXPECT_EQ(station.record(0).Present.load(), 1);
  EXPECT_EQ(station.record(1).Present.load(), 0) << "the old slot let go of the same disk";
}

TEST_F(DiscoveryTest, BadIniLinesNeverGiveASlotOutsideTheRangeOrTwice) {
  for (int i = 1; i <= 4; ++i) {
    disk("/dev/sg" + std::to_string(i));
    topo.set("usb1", i, TreeTopology::Disk("/dev/sg" + std::to_string(i)));
  }
  portMap.set({{"Port-1-1", "999"}, {"Port-1-2", "abc"}, {"Port-1-3", "1"}, {"Port-1-4", "1"},
               {"Port-9-9", "4"}});
  discovery.RefreshPorts();
  std::map<std::string, std::string> m;
  for (auto& [k, v] : lines()) m[k] = v;
  EXPECT_EQ(m["Port-1-3"], "1");
  std::set<std::string> values;
  for (const char* k : {"Port-1-1", "Port-1-2", "Port-1-3", "Port-1-4"}) {
    const int v = std::stoi(m[k]);
    EXPECT_GE(v, 0);
    EXPECT_LT(v, 64);
    EXPECT_NE(v, 4) << "slot 4 belongs to Port-9-9";
    EXPECT_TRUE(values.insert(m[k]).second) << k << " shares slot " << m[k];
  }
}

TEST_F(DiscoveryTest, NoSlotBeyondSixtyThree) {
  topo.hubs["usb1"] = std::vector<UsbPortState>(70);
  for (int i = 1; i <= 70; ++i) {
    const std::string path = "/dev/sg" + std::to_string(i);
    disk(path);
    topo.set("usb1", i, TreeTopology::Disk(path));
  }
  discovery.RefreshPorts();
  EXPECT_EQ(lines().size(), 64u);
  EXPECT_EQ(lines().back().first, "Port-1-64");
  EXPECT_EQ(station.record(63).DevicePath, "/dev/sg64");
}

TEST_F(DiscoveryTest, SlotWhoseDiskChangedReopensAndIdentifiesTheNewOne) {
  disk("/dev/sg1");
  disk("/dev/sg5", 0x7777);  // a flash nobody knows
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  discovery.RefreshPorts();
  ASSERT_EQ(station.record(0).FlashTypeIndex, 0);
  const DeviceHandle old = station.record(0).hDevice;
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg5"));
  discovery.RefreshPorts();
  EXPECT_EQ(disks.closed, std::vector<DeviceHandle>{old});
  EXPECT_EQ(disks.pathOf(station.record(0).hDevice), "/dev/sg5");
  EXPECT_EQ(station.record(0).FlashTypeIndex, -1) << "no flash type of the previous disk";
  EXPECT_EQ(station.display(0).snapshot().colour, BarColour::Red);
  station.StartAll();
  station.WaitForIdle();
  EXPECT_EQ(sequence.running.load(), 0);
  EXPECT_FALSE(station.busy(0)) << "an unidentified disk cannot be started";
}

TEST_F(DiscoveryTest, DiskWithoutItsScsiNodeWaitsForALaterRefresh) {
  topo.set("usb1", 1, TreeTopology::Disk(""));
  discovery.RefreshPorts();
  EXPECT_TRUE(lines().empty());
  disk("/dev/sg1");
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  discovery.RefreshPorts();
  EXPECT_EQ(station.record(0).Present.load(), 1);
}

TEST_F(DiscoveryTest, ABusyPortKeepsItsHandleUntilItsJobEnds) {
  disk("/dev/sg1");
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  discovery.RefreshPorts();
  const DeviceHandle h = station.record(0).hDevice;
  station.StartAll();
  while (sequence.running.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  topo.set("usb1", 1, {});  // pulled mid-job
  discovery.RefreshPorts();
  EXPECT_EQ(station.record(0).hDevice, h) << "the job still holds its handle";
  EXPECT_TRUE(disks.closed.empty());
  // Plugged again while the old job runs: the slot is not re-opened under it.
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  discovery.RefreshPorts();
  EXPECT_EQ(station.record(0).hDevice, h);
  topo.set("usb1", 1, {});
  discovery.RefreshPorts();

  station.record(0).Running.store(0);
  station.WaitForIdle();
  EXPECT_EQ(disks.closed, std::vector<DeviceHandle>{h}) << "the worker closed it";
  EXPECT_EQ(station.record(0).hDevice, kInvalidHandle);
  EXPECT_FALSE(station.display(0).snapshot().buttonEnabled);
}

TEST_F(DiscoveryTest, ManualFlashTypeDoublesDualDieWithoutTouchingTheSetting) {
  selection.automatic = false;
  selection.selected = 1;  // "Dual"
  selection.count = 2;
  disk("/dev/sg1");
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  discovery.RefreshPorts();
  const auto& rec = station.record(0);
  EXPECT_EQ(rec.FlashTypeIndex, 1);
  EXPECT_EQ(rec.ChipCount, 4);
  EXPECT_EQ(rec.MultiChip, 1);
  EXPECT_EQ(selection.count, 2) << "the chip-count setting is not doubled";
  EXPECT_EQ(selection.selections, 0);
  EXPECT_EQ(station.display(0).snapshot().text, "pcs = 4  Type = Dual ");
}

TEST_F(DiscoveryTest, ARefreshCutShortStopsWalkingAndTheNextOneFinishes) {
  disk("/dev/sg1");
  disk("/dev/sg4");
  topo.set("usb1", 1, TreeTopology::Disk("/dev/sg1"));
  topo.set("usb1", 4, TreeTopology::Disk("/dev/sg4"));
  topo.onPortQuery = [&](const std::string&, int port) {
    if (port == 2) {
      discovery.noteDeviceChange();  // a disk arrives while the walk runs
      discovery.cutShort();
    }
  };
  discovery.RefreshPorts();
  EXPECT_EQ(lines().size(), 1u) << "the walk stopped after port 2";
  EXPECT_EQ(discovery.deviceChangeCount(), 1u) << "the arrival is still pending";
  EXPECT_FALSE(discovery.refreshRunning());
  topo.onPortQuery = nullptr;
  discovery.RefreshPorts();
  EXPECT_EQ(lines().size(), 2u);
  EXPECT_EQ(discovery.deviceChangeCount(), 0u);
}

TEST_F(DiscoveryTest, ConcurrentRefreshesNeverShareSlots) {
  topo.hubs["usb1"] = std::vector<UsbPortState>(16);
  for (int i = 1; i <= 16; ++i) {
    const std::string path = "/dev/sg" + std::to_string(i);
    disk(path);
    topo.set("usb1", i, TreeTopology::Disk(path));
  }
  std::thread a([&] { discovery.RefreshPorts(); });
  std::thread b([&] { discovery.RefreshPorts(); });
  a.join();
  b.join();
  EXPECT_EQ(lines().size(), 16u);
  std::set<std::string> paths;
  for (int slot = 0; slot < 16; ++slot) {
    EXPECT_EQ(station.record(slot).Present.load(), 1);
    EXPECT_TRUE(paths.insert(station.record(slot).DevicePath).second);
  }
  EXPECT_EQ(disks.openCount.load(), 16) << "every disk opened once";
}

}  // namespace
}  // namespace kvx
