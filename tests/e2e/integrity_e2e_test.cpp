// Station integrity on simulated disks: one job per port and one port per
// disk, nothing trusted that came from a device, and job results that never
// call a failure a success. One test per group; each is a table of cases.

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "e2e/e2e_station.h"
#include "e2e/rework.h"
#include "engine/bins_serials.h"
#include "engine/messages.h"
#include "support/wait_for.h"

namespace kvx::e2e {
namespace {

using test::WaitFor;

using namespace std::chrono_literals;
using sim::DiskSpec;

struct Case {
  const char* name;
  std::function<void()> run;
};

void RunCases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.run();
  }
}

// A disk whose first job command (the configuration table) never answers:
// the host gives up after the command's timeout, scaled here to about a
// second. Meanwhile the job is busy and the operator may stop it, pull the
// disk or press Start again.
DiskSpec Stuck() {
  DiskSpec d = ControllerDisk();
  d.faults.timeouts = {{0xD5, 1, 1}};
  return d;
}

// Starts every port and returns once disk 0 is inside its stuck command.
std::uint64_t StartAndWaitUntilStuck(SimStation& s) {
  sim::Latency l;
  l.timeoutScale = 0.08;
  s.sim->setLatency(l);
  s.discovery.RefreshPorts();
  const std::uint64_t identified = s.sim->disk(0).commandCount();
  s.station.StartAll();
  EXPECT_TRUE(WaitFor([&] { return s.sim->disk(0).commandCount() > identified; }));
  return identified;
}

std::uint32_t FlashTypeByte(ConfigImage& cfg, std::size_t offset) {
  return cfg.flashTypeRecord(0).bytes()[offset];
}

TEST(IntegrityE2E, OneJobPerPortAndOnePortPerDisk) {
  RunCases({
      {"Start after Stop does not start a second worker on a port still busy",
       [] {
         SimStation s(SimOf({Stuck()}));
         const std::uint64_t identified = StartAndWaitUntilStuck(s);
         s.station.StopAll();  // the operator answers yes
         s.station.StartAll();
         s.station.PortButtonClick(0);  // asks "Stop it?" of the busy port, never starts
         EXPECT_TRUE(s.station.busy(0)) << "the first worker still waits for its command";
         s.station.WaitForIdle();
         EXPECT_EQ(s.sim->disk(0).commandCount(), identified + 1)
             << "the disk saw the stuck command and nothing of a second job";
         EXPECT_NE(s.station.record(0).LastResult, 0);
         EXPECT_EQ(s.station.display(0).snapshot().colour, BarColour::Red);
         s.station.StartAll();
         s.station.WaitForIdle();
         EXPECT_EQ(s.station.record(0).LastResult, 0)
             << "an idle port starts again: " << s.station.record(0).FailureText;
       }},
      {"refreshes from two threads while disks come and go keep keys and devices apart",
       [] {
         SimStation s(SimOf(std::vector<DiskSpec>(6, ControllerDisk())));
         std::atomic<bool> done{false};
         auto refresher = [&] {
           while (!done.load()) s.discovery.RefreshPorts();
         };
         std::thread button(refresher), watcher(refresher);
         for (int round = 0; round < 20; ++round) {
           s.sim->unplug(round % 6);
           std::this_thread::sleep_for(1ms);
           s.sim->plug(round % 6);
         }
         done = true;
         button.join();
         watcher.join();
         s.discovery.RefreshPorts();
         std::set<std::string> keys, paths;
         int present = 0;
         for (int k = 0; k < kPortCount; ++k) {
           const FORMATINFO& rec = s.station.record(k);
           if (!rec.Present.load()) continue;
           ++present;
           EXPECT_TRUE(keys.insert(rec.PortKey).second) << "key on two slots: " << rec.PortKey;
           EXPECT_TRUE(paths.insert(rec.DevicePath).second) << "device on two slots: " << rec.DevicePath;
         }
         EXPECT_EQ(present, 6);
       }},
      {"keys that plain concatenation would merge stay apart",
       [] {
         // Root port 12 of bus 1, port 2 of a hub on root port 1 of bus 1,
         // and root port 2 of bus 11 would all be "Port-112".
         sim::Profile p;
         p.disks = {ControllerDisk(), ControllerDisk(), ControllerDisk()};
         sim::UsbNode hub{sim::UsbNode::Kind::Hub, -1, {{}, {sim::UsbNode::Kind::Disk, 0, {}}}};
         sim::UsbBus bus1{1, std::vector<sim::UsbNode>(12)};
         bus1.ports[0] = hub;
         bus1.ports[11] = {sim::UsbNode::Kind::Disk, 1, {}};
         sim::UsbBus bus11{11, {{}, {sim::UsbNode::Kind::Disk, 2, {}}}};
         p.buses = {bus1, bus11};
         SimStation s(std::make_unique<Simulator>(p));
         s.discovery.RefreshPorts();
         std::set<std::string> keys;
         for (int k = 0; k < 3; ++k) keys.insert(s.station.record(k).PortKey);
         EXPECT_EQ(keys, (std::set<std::string>{"Port-1-1.2", "Port-1-12", "Port-11-2"}));
       }},
      {"a refresh leaves a busy port's handle alone; the worker closes it; the value is not reused",
       [] {
         SimStation s(SimOf({Stuck(), ControllerDisk()}));
         // Handles of busy ports are read under the station's control lock,
         // as discovery reads them.
         auto handle = [&] {
           std::lock_guard control(s.station.controlMutex());
           return s.station.record(0).hDevice;
         };
         StartAndWaitUntilStuck(s);
         const DeviceHandle held = handle();
         s.sim->unplug(0);
         s.discovery.RefreshPorts();
         EXPECT_TRUE(s.station.busy(0));
         EXPECT_EQ(handle(), held) << "the job still holds its handle";
         s.station.WaitForIdle();
         EXPECT_NE(s.station.record(0).LastResult, 0);
         EXPECT_EQ(s.station.display(0).snapshot().colour, BarColour::Red);
         EXPECT_EQ(s.station.record(0).hDevice, kInvalidHandle) << "the worker closed it";
         EXPECT_EQ(s.station.record(1).LastResult, 0);
         s.sim->plug(0);
         s.discovery.RefreshPorts();
         EXPECT_TRUE(IsOpen(s.station.record(0).hDevice));
         EXPECT_NE(s.station.record(0).hDevice, held);
       }},
      {"a different disk on a slot is opened and identified anew",
       [] {
         SimStation s(SimOf({ControllerDisk(), ControllerDisk()}));
         s.discovery.RefreshPorts();
         ASSERT_EQ(s.station.record(0).DevicePath, "sim:0");
         s.sim->unplug(0);
         s.discovery.ClearPorts();  // "clear port records"
         s.discovery.RefreshPorts();
         const FORMATINFO& rec = s.station.record(0);
         EXPECT_EQ(rec.DevicePath, "sim:1");
         EXPECT_TRUE(IsOpen(rec.hDevice));
         EXPECT_EQ(rec.FlashTypeIndex, 0);
         EXPECT_EQ(rec.Present.load(), 1);
         for (int k = 1; k < kPortCount; ++k)
           EXPECT_FALSE(s.station.record(k).Present.load() && s.station.record(k).DevicePath == "sim:1")
               << "slot " << k << " holds the same disk";
       }},
      {"a failed identification keeps nothing of the disk before and cannot start",
       [] {
         SimStation s(SimOf({ControllerDisk()}));
         s.discovery.RefreshPorts();
         ASSERT_EQ(s.station.record(0).FlashTypeIndex, 0);
         sim::Faults noAnswer;
         noAnswer.senses = {{0xD6, 0x04, 0x44, 0, 1, 0}};  // Read ID fails from now on
         s.sim->injectFaults(0, noAnswer);
         s.sim->unplug(0);
         s.discovery.RefreshPorts();
         s.sim->plug(0);
         s.discovery.RefreshPorts();
         EXPECT_EQ(s.station.record(0).FlashTypeIndex, -1);
         EXPECT_EQ(s.station.record(0).ChipCount, 0);
         s.station.StartAll();
         EXPECT_FALSE(s.station.busy(0));
         EXPECT_EQ(s.sim->eraseCount(0, 0), 0u);
       }},
      {"a double-die type doubles this disk's chips, not the chip-count setting",
       [] {
         SimStation s(SimOf({ControllerDisk()}));
         auto ft = s.station.config().flashTypeRecord(0);
         ft.setByte(FlashTypeRecord::kFlagsB, std::uint8_t(ft.bytes()[FlashTypeRecord::kFlagsB] | 1));
         s.selection.automatic = false;
         s.selection.selected = 0;
         s.selection.count = 1;
         s.discovery.RefreshPorts();
         EXPECT_EQ(s.station.record(0).ChipCount, 2);
         EXPECT_EQ(s.selection.count, 1);
         EXPECT_EQ(s.selection.selections, 0);
       }},
      {"a flash type naming a missing code type ends red with 33313 before the disk is touched",
       [] {
         SimStation s(SimOf({ControllerDisk()}));
         s.station.config().flashTypeRecord(0).setByte(FlashTypeRecord::kScanCode, 9);
         ASSERT_EQ(FlashTypeByte(s.station.config(), FlashTypeRecord::kScanCode), 9u);
         s.produce();
         EXPECT_EQ(s.station.record(0).LastResult, msg::kDownloadError);
         EXPECT_EQ(s.station.display(0).snapshot().colour, BarColour::Red);
         EXPECT_EQ(s.sim->eraseCount(0, 0), 0u);
       }},
  });
}

// Forged or damaged recordings on the flash: a re-format refuses them before
// it erases anything; the multi-chip reader treats the package as unrecorded.
TEST(IntegrityE2E, ValuesFromTheFlashAreCheckedBeforeUse) {
  using Edit = std::function<void(std::span<std::uint8_t, 512>)>;
  struct Forgery {
    const char* name;
    Edit edit;
  };
  const Forgery forgeries[] = {
      {"system block beyond the chip", [](auto s) { sysinfo::PutBe16(s, sysinfo::kSysBlock, 0xFFF0); }},
      {"system-information page beyond the block", [](auto s) { s[sysinfo::kSysInfoPage] = 200; }},
      {"table bitmap page beyond the block", [](auto s) { s[sysinfo::kTableBitmapPage] = 77; }},
      {"code page beyond the block", [](auto s) { s[sysinfo::kCodePages] = 99; }},
  };
  for (const Forgery& f : forgeries) {
    SCOPED_TRACE(std::string("re-format: ") + f.name);
    SimStation s(SimOf({ControllerDisk()}));
    s.produce();
    ASSERT_EQ(s.station.record(0).LastResult, 0);
    const std::uint32_t sysBlock = s.station.record(0).Flash.SysBlock;
    ASSERT_GT(EditSystemInformation(*s.sim, 0, 0, f.edit), 0);
    const std::uint32_t erases = s.sim->eraseCount(0, sysBlock);
    s.station.options().scanLevelIndex = 2;  // "High Format"
    s.station.StartAll();
    s.station.WaitForIdle();
    EXPECT_EQ(s.station.record(0).LastResult, -1);
    EXPECT_EQ(s.station.display(0).snapshot().colour, BarColour::Red);
    EXPECT_NE(s.station.record(0).FailureText.find("damaged"), std::string::npos)
        << s.station.record(0).FailureText;
    EXPECT_EQ(s.sim->eraseCount(0, sysBlock), erases) << "nothing erased";
  }

  const Forgery recordings[] = {
      {"sectors per page 9", [](auto s) { s[sysinfo::kSectorsPerPage] = 9; }},
      {"another page count", [](auto s) { sysinfo::PutBe16(s, sysinfo::kPagePerBlock, 64); }},
      {"blocks beyond the disk", [](auto s) { sysinfo::PutBe16(s, sysinfo::kBlockPerChip, 4000); }},
      {"table block beyond the chip", [](auto s) { sysinfo::PutBe16(s, sysinfo::kTableBlocks, 300); }},
      {"system block beyond the chip", [](auto s) { sysinfo::PutBe16(s, sysinfo::kSysBlock, 256); }},
      {"more zones than the tables hold", [](auto s) { s[sysinfo::kZoneCountMinus1] = 255; }},
  };
  for (const Forgery& f : recordings) {
    SCOPED_TRACE(std::string("multi-chip, package 1: ") + f.name);
    Rework w;
    ASSERT_GT(EditSystemInformation(*w.s.sim, Rework::kB, 0, f.edit), 0);
    w.moveThePackages();
    w.combine();
    const FORMATINFO& c = w.s.station.record(Rework::kC);
    EXPECT_EQ(c.LastResult, 0) << w.s.station.display(Rework::kC).snapshot().text;
    // Package 1 counts as unrecorded: every one of its pages is bad.
    EXPECT_GE(c.BadPages, Rework::kBlocksPerChip * 32);
    EXPECT_EQ(w.s.sim->eraseCount(Rework::kC, Rework::kBlocksPerChip + 150), 1u)
        << "erased with the whole disk, never made a data block";
  }

  SCOPED_TRACE("package 0 forged: no recording to build on");
  Rework w;
  ASSERT_GT(EditSystemInformation(*w.s.sim, Rework::kA, 0,
                                  [](auto s) { s[sysinfo::kSectorsPerPage] = 0; }),
            0);
  w.moveThePackages();
  w.combine();
  EXPECT_EQ(w.s.station.record(Rework::kC).LastResult, -1);
  EXPECT_EQ(w.s.station.display(Rework::kC).snapshot().colour, BarColour::Red);
}

TEST(IntegrityE2E, JobResultsNeverCallAFailureASuccess) {
  RunCases({
      {"a forced block range that is not a number ends red",
       [] {
         SimStation s(SimOf({ControllerDisk()}));
         s.station.options().fromBlock = LiveOptions::kNotANumber;  // "1O0"
         s.station.options().toBlock = 100;
         s.produce();
         EXPECT_NE(s.station.record(0).LastResult, 0);
         EXPECT_EQ(s.station.display(0).snapshot().colour, BarColour::Red);
         EXPECT_NE(s.station.record(0).FailureText.find("not a number"), std::string::npos);
       }},
      {"a disk matching no bin row never shows the previous disk's bin",
       [] {
         SimStation s(SimOf({ControllerDisk()}));
         auto& o = s.station.options();
         o.fromBin[0] = 1, o.toBin[0] = 100000, o.mBin[0] = 8;
         s.produce();
         ASSERT_EQ(s.station.record(0).LastResult, 0);
         EXPECT_EQ(s.station.record(0).BinNo, 1);
         o.fromBin[0] = 1, o.toBin[0] = 2;  // no row matches now
         s.station.StartAll();
         s.station.WaitForIdle();
         EXPECT_EQ(s.station.record(0).BinNo, 0);
         EXPECT_NE(s.station.display(0).snapshot().text.find("BIN-0"), std::string::npos);
       }},
      {"a matching row of size 0 does not make a 0 MB product",
       [] {
         SimStation s(SimOf({ControllerDisk()}));
         auto& o = s.station.options();
         o.fromBin[0] = 1, o.toBin[0] = 100000, o.mBin[0] = 0;
         s.produce();
         const FORMATINFO& rec = s.station.record(0);
         ASSERT_EQ(rec.LastResult, 0);
         EXPECT_EQ(rec.BinNo, 1);
         EXPECT_GT(rec.DiskSectors, 0u);
         EXPECT_EQ(rec.FixedSectors, rec.DiskSectors) << "no declared size: the disk keeps its own";
       }},
      {"serials fit 16 characters, never repeat, and running out ends red",
       [] {
         SimStation s(SimOf(std::vector<DiskSpec>(3, ControllerDisk())));
         std::int32_t counter = kLastSerialNumber - 2;
         s.station.hooks().makeSerial = [&](FORMATINFO&, int) {
           return MakeSerial(SerialMode::Inc, "ABCDEFGHIJKLMNOPQR", [&] { return std::optional(++counter); },
                             std::tm{}, 0);
         };
         s.produce();
         std::set<std::string> serials;
         int refused = 0;
         for (int k = 0; k < 3; ++k) {
           const FORMATINFO& rec = s.station.record(k);
           if (rec.LastResult != 0) {
             ++refused;
             EXPECT_EQ(s.station.display(k).snapshot().colour, BarColour::Red);
             EXPECT_FALSE(rec.FailureText.empty()) << "the refusal says why";
             continue;
           }
           EXPECT_LE(rec.SerialText.size(), 16u);
           EXPECT_TRUE(serials.insert(rec.SerialText).second) << rec.SerialText;
         }
         EXPECT_EQ(serials, (std::set<std::string>{"ABCDEFGHIJ999998", "ABCDEFGHIJ999999"}));
         EXPECT_EQ(refused, 1);
       }},
      {"the erase phase erases every block of every chip once when blocks are no multiple of 64",
       [] {
         DiskSpec d = ControllerDisk(2);
         d.geometry.blocksPerChip = 200;
         SimStation s(SimOf({d}));
         DemoSettings(s.station.config(), 200);
         s.station.options().onlyScan = true;
         s.produce();
         ASSERT_EQ(s.station.record(0).LastResult, 0) << s.station.display(0).snapshot().text;
         int wrong = 0;
         for (std::uint32_t b = 0; b < 400; ++b) wrong += s.sim->eraseCount(0, b) != 1;
         EXPECT_EQ(wrong, 0);
       }},
  });
}

}  // namespace
}  // namespace kvx::e2e
