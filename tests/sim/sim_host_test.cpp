// The simulator as the station's backend: handles, the router, faults,
// plug and unplug, the USB tree, profiles, export and 64 disks at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <set>
#include <thread>

#include "device/device_router.h"
#include "sim/sim_export.h"
#include "sim_test_util.h"

namespace kvx::sim::test {
namespace {

ScsiResult Info(Rig& rig, DeviceHandle h) { return ReadControllerInfo(rig.ctx, h); }

TEST(SimHandles, PositiveBelow2To40AndNeverReused) {
  Profile p;
  p.disks = {SmallDisk(), SmallDisk()};
  Rig rig(p);
  std::set<DeviceHandle> seen;
  for (int i = 0; i < 50; ++i) {
    const DeviceHandle h = rig.sim->open(Simulator::DevicePath(i % 2));
    ASSERT_GT(h, 0);
    ASSERT_LT(h, DeviceHandle(1) << 40);
    EXPECT_TRUE(seen.insert(h).second) << "handle reused";
    EXPECT_EQ(Info(rig, h), 0);
    rig.sim->close(h);
    EXPECT_EQ(Info(rig, h), EBADF) << "a closed handle answers nothing";
  }
  for (const char* bad : {"sim:2", "sim:-1", "sim:", "sim:1x", "sim:01a", "/dev/sg0"})
    EXPECT_EQ(rig.sim->open(bad), kInvalidHandle) << bad;
  EXPECT_EQ(rig.sim->send(DataDirection::In, 12345 << 8, Cdb{}, nullptr, 0, 0, 5), EBADF);

  // Through the station's router under "sim:".
  DeviceRouter router;
  router.addBackend("sim:", rig.sim.get());
  const DeviceHandle routed = router.open("sim:1");
  ASSERT_GT(routed, 0);
  CommandContext ctx{&router, {}};
  EXPECT_EQ(ReadControllerInfo(ctx, routed), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ctx.reply.data())), "KVX-SIM");
}

TEST(SimFaults, UnplugAfterNCommandsTimeoutsAndSense) {
  DiskSpec d = SmallDisk();
  d.faults.unplugAfter = 3;
  d.faults.senses = {{op::kEraseBlocks, 3, 0x0C, 0x00, 2, 1}};  // the 2nd erase only
  d.latency = Latency{};
  d.latency->timeoutScale = 0.001;  // a 60 s timeout waits 60 ms
  Rig rig(d);
  std::atomic<int> notices{0};
  rig.sim->hotplug().start([&] { ++notices; });

  EXPECT_EQ(rig.erase(0, 1), 0);
  EXPECT_EQ(rig.erase(0, 1), PackSense(3, 0x0C, 0)) << "the chosen sense on the 2nd erase";
  EXPECT_EQ(rig.erase(0, 1), 0) << "count 1: only once";
  EXPECT_EQ(notices.load(), 0);
  EXPECT_EQ(rig.erase(0, 1), ENODEV) << "the 4th command finds the disk gone";
  EXPECT_EQ(notices.load(), 1) << "the vanishing is announced";
  EXPECT_FALSE(rig.sim->plugged(0));
  EXPECT_EQ(Info(rig, rig.h), ENODEV) << "every later command";
  EXPECT_EQ(rig.sim->open("sim:0"), kInvalidHandle) << "an unplugged disk refuses opens";

  ASSERT_TRUE(rig.sim->plug(0));
  EXPECT_EQ(notices.load(), 2);
  EXPECT_EQ(Info(rig, rig.h), ENODEV) << "the old handle stays dead after the disk is back";
  const DeviceHandle h2 = rig.sim->open("sim:0");
  ASSERT_GT(h2, rig.h);
  EXPECT_EQ(Info(rig, h2), 0);

  // A command that never answers: ETIMEDOUT after the scaled timeout.
  Faults t;
  t.timeouts = {{op::kFirmwareScan, 1, 0}};
  rig.sim->injectFaults(0, t);
  rig.h = h2;
  ASSERT_EQ(rig.loadCode(0), 0);
  FirmwareScanArgs a;
  a.pages = 16;
  std::vector<std::uint8_t> bm(2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FirmwareScan(rig.ctx, h2, a, bm), ETIMEDOUT);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(55));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(FirmwareScan(rig.ctx, h2, a, bm), ETIMEDOUT) << "count 0: every later one";
  rig.sim->hotplug().stop();
  rig.sim->unplug(0);
  EXPECT_EQ(notices.load(), 2) << "no notices after stop";
}

TEST(SimLatency, CommandsCostTheirModelledTime) {
  Rig rig(SmallDisk());
  Latency l;
  l.scale = 1.0;
  l.commandUs = 1000;
  l.eraseBlockUs = 500;
  rig.sim->setLatency(l);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(rig.erase(0, 0, 8), 0);  // 1 ms + 8 x 0.5 ms
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
}

TEST(SimTopology, WalksTheProfileTreeAndFollowsPlugAndUnplug) {
  const char* json = R"({
    "disks": [{"blocksPerChip": 64, "pagesPerBlock": 16},
              {"blocksPerChip": 64, "pagesPerBlock": 16, "plugged": false},
              {"kind": "generic", "sectors": 4096}],
    "usb": [{"bus": 2, "ports": [{"disk": 2}]},
            {"bus": 1, "ports": [{"hub": ["empty", {"disk": 0},
                                          {"hub": ["mouse", {"disk": 1}]}]},
                                 "other"]}]})";
  auto sim = Simulator::FromJson(json);
  UsbTopology& t = sim->topology();
  const auto roots = t.rootHubs();
  ASSERT_EQ(roots.size(), 2u);
  EXPECT_EQ(roots[0].bus, 1);
  EXPECT_EQ(roots[0].hubId, "usb1");
  // Walk it the way discovery will and collect "Port-<bus>-<chain>" keys.
  std::map<std::string, UsbPortState> seen;
  auto walk = [&](auto& self, const std::string& hub, const std::string& key) -> void {
    const int n = t.portCount(hub);
    for (int p = 1; p <= n; ++p) {
      const auto s = t.portState(hub, p);
      const std::string k = key + std::to_string(p);
      if (s.kind == UsbAttachment::Hub) self(self, s.hubId, k + ".");
      else seen[k] = s;
    }
  };
  for (const auto& r : roots) walk(walk, r.hubId, "Port-" + std::to_string(r.bus) + "-");
  EXPECT_EQ(seen["Port-1-1.2"].kind, UsbAttachment::MassStorage);
  EXPECT_EQ(seen["Port-1-1.2"].devicePath, "sim:0");
  EXPECT_EQ(seen["Port-1-1.3.1"].kind, UsbAttachment::Mouse);
  EXPECT_EQ(seen["Port-1-1.3.2"].kind, UsbAttachment::Empty) << "disk 1 starts unplugged";
  EXPECT_EQ(seen["Port-1-2"].kind, UsbAttachment::Other);
  EXPECT_EQ(seen["Port-2-1"].devicePath, "sim:2");
  EXPECT_EQ(t.portCount("1-1.3"), 2);
  EXPECT_EQ(t.portCount("1-9"), -1);
  EXPECT_EQ(t.portState("1-9", 1).kind, UsbAttachment::QueryFailed);

  int notices = 0;
  sim->hotplug().start([&] { ++notices; });
  EXPECT_TRUE(sim->plug(1));
  EXPECT_FALSE(sim->plug(1)) << "already in";
  EXPECT_EQ(t.portState("1-1.3", 2).devicePath, "sim:1");
  EXPECT_TRUE(sim->unplug(0));
  EXPECT_EQ(t.portState("1-1", 2).kind, UsbAttachment::Empty);
  EXPECT_EQ(notices, 2);
}

TEST(SimProfile, RejectsWhatCannotBeSimulated) {
  const char* cases[] = {
      "[]",
      R"({"disks": 3})",
      R"({"disks": [{"pagesPerBlock": 12}]})",
      R"({"disks": [{"pagesPerBlock": 512}]})",
      R"({"disks": [{"sectorsPerPage": 0}]})",
      R"({"disks": [{"chips": 5}]})",
      R"({"disks": [{"chips": 2, "blocksPerChip": 20000}]})",
      R"({"disks": [{"blocksPerChip": 64, "defects": {"factoryBadBlocks": [64]}}]})",
      R"({"disks": [{"pagesPerBlock": 16, "defects": {"weakPages": [{"block": 1, "page": 16}]}}]})",
      R"({"disks": [{"kind": "tape"}]})",
      R"({"disks": [{"flashId": "0xZZ"}]})",
      R"({"disks": [{"faults": {"senses": [{"opcode": "0xD2", "key": 0}]}}]})",
      R"({"disks": [{}], "usb": [{"bus": 1, "ports": [{"disk": 1}]}]})",
      R"({"disks": [{}], "usb": [{"bus": 1, "ports": [{"disk": 0}, {"disk": 0}]}]})",
      R"({"disks": [{}], "usb": [{"bus": 1, "ports": ["printer"]}]})",
      "{not json",
  };
  for (const char* c : cases) EXPECT_THROW(ParseProfile(c), ProfileError) << c;
}

TEST(SimProfile, ShortFormIsSeededAndShowsItsDefectsToTheScan) {
  const Profile a = ShortFormProfile(8, 42), b = ShortFormProfile(8, 42), c = ShortFormProfile(8, 43);
  ASSERT_EQ(a.disks.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(a.disks[i].defects.factoryBadBlocks, b.disks[i].defects.factoryBadBlocks);
    EXPECT_EQ(a.disks[i].defects.factoryBadBlocks.size(), 3u);
    EXPECT_EQ(a.disks[i].defects.weakPages.size(), 4u);
  }
  EXPECT_NE(a.disks[0].defects.factoryBadBlocks, a.disks[1].defects.factoryBadBlocks) << "disks differ";
  EXPECT_NE(a.disks[0].defects.factoryBadBlocks, c.disks[0].defects.factoryBadBlocks) << "seeds differ";

  // Scan disk 0 of the short form: the factory bad blocks come back whole.
  Profile p = a;
  p.latency = {};
  Rig rig(p);
  ASSERT_EQ(rig.loadCode(0), 0);
  const Geometry g = a.disks[0].geometry;
  std::vector<std::uint32_t> allBad;
  for (std::uint32_t b0 = 0; b0 < g.blocksPerChip; b0 += 64) ASSERT_EQ(rig.erase(0, b0, 64), 0);
  for (std::uint32_t blk = 0; blk < g.blocksPerChip; ++blk) {
    FirmwareScanArgs s;
    s.firstPage = blk * g.pagesPerBlock;
    s.pages = std::uint8_t(g.pagesPerBlock);
    s.pass = 2;
    std::vector<std::uint8_t> bm(4);
    ASSERT_EQ(FirmwareScan(rig.ctx, rig.h, s, bm), 0);
    if (bm == std::vector<std::uint8_t>(4, 0xFF)) allBad.push_back(blk);
  }
  EXPECT_EQ(allBad, a.disks[0].defects.factoryBadBlocks);
}

TEST(SimProfile, JsonFormCarriesEveryPart) {
  const char* json = R"({"seed": 9,
    "latency": {"scale": 0, "commandUs": 125},
    "disks": [{"chips": 2, "blocksPerChip": 128, "pagesPerBlock": 32, "sectorsPerPage": 4,
               "flashId": "0x98DA9015", "bothLanes": true,
               "defects": {"factoryBadBlocks": {"random": 5}, "weakPages": [{"block": 3, "page": 4,
                           "passes": [3], "invert": 0, "visits": [1, 2]}],
                           "programFailPages": [{"block": "0x10", "page": 1}],
                           "wearOut": [{"block": 7, "erases": 3}]},
               "faults": {"unplugAfter": 100, "timeouts": [{"opcode": "0xDA", "nth": 2}],
                          "senses": [{"opcode": 213, "key": 3, "asc": "0x0C", "ascq": 2, "count": 0}]}}]})";
  const Profile p = ParseProfile(json);
  const DiskSpec& d = p.disks[0];
  EXPECT_EQ(d.geometry.totalBlocks(), 256u);
  EXPECT_EQ(d.ids[1].lane0, 0x98DA9015u);
  EXPECT_EQ(d.ids[1].lane1, 0x98DA9015u);
  EXPECT_EQ(d.ids[2].lane0, 0u);
  EXPECT_EQ(d.defects.factoryBadBlocks.size(), 5u);
  EXPECT_EQ(d.defects.weakPages[0].passMask, 1 << 3);
  EXPECT_EQ(d.defects.weakPages[0].visitMask, 0b110u);
  EXPECT_EQ(d.defects.programFailPages[0].block, 16u);
  EXPECT_EQ(d.defects.wearOutBlocks[0].erases, 3u);
  EXPECT_EQ(d.faults.unplugAfter, 100u);
  EXPECT_EQ(d.faults.timeouts[0].nth, 2u);
  EXPECT_EQ(d.faults.senses[0].opcode, 0xD5);
  EXPECT_EQ(d.faults.senses[0].count, 0u);
  EXPECT_EQ(p.latency.commandUs, 125);
  EXPECT_EQ(ParseProfile(json).disks[0].defects.factoryBadBlocks, d.defects.factoryBadBlocks) << "seeded";
}

TEST(SimExport, LogicalImageAndRawNand) {
  Rig rig(SmallDisk());
  FormatPlan f = SimplePlan(rig.geo, 1, 8);
  WriteFormat(rig, f);
  const auto dir = std::filesystem::temp_directory_path() / ("kvx_sim_export_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string error;
  EXPECT_FALSE(rig.sim->exportLogicalImage(0, (dir / "none.img").string(), &error)) << "no firmware yet";
  EXPECT_FALSE(error.empty());
  ASSERT_EQ(rig.loadCode(1), 0);
  std::vector<std::uint8_t> data(f.sectors() * 512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 3 + i / 4096);
  for (std::uint32_t s = 0; s < f.sectors(); s += 128) {
    const auto n = std::uint32_t(std::min<std::uint64_t>(128, f.sectors() - s));
    ASSERT_EQ(DiskWrite(rig.ctx, rig.h, s, n * 512,
                        std::span<const std::uint8_t>(data.data() + std::size_t(s) * 512, n * 512), 0, 5),
              0);
  }
  ASSERT_TRUE(rig.sim->exportLogicalImage(0, (dir / "disk.img").string(), &error)) << error;
  std::ifstream img(dir / "disk.img", std::ios::binary);
  std::vector<std::uint8_t> got((std::istreambuf_iterator<char>(img)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, data);

  ASSERT_TRUE(rig.sim->exportRawNand(0, (dir / "nand.bin").string(), &error)) << error;
  const auto raw = ReadRawNandExport((dir / "nand.bin").string());
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->geometry.blocksPerChip, 64u);
  // Every programmed page is there and matches a read of it; nothing else.
  std::uint32_t programmed = 0;
  for (const auto& p : raw->pages) {
    std::vector<std::uint8_t> now(p.raw.size());
    ASSERT_EQ(ReadPagesWithSpare(rig.ctx, rig.h, std::uint8_t(p.chip), p.pageAddress * 4, 1, 4, now, 5), 0);
    EXPECT_EQ(now, p.raw) << p.pageAddress;
    ++programmed;
  }
  // system info + zone info + table bitmap + 1 code page + 2 table pages + 6 x 16 data pages
  EXPECT_EQ(programmed, 4u + 2u + 6u * 16u);
  std::filesystem::remove_all(dir);
}

// A FAT volume written through WRITE(10) comes back out of the export in a
// form the independent tools accept.
TEST(SimExport, FatVolumePassesFsckAndMtools) {
  Rig rig(SmallDisk());
  FormatPlan f = SimplePlan(rig.geo, 1, 42);  // 40 counted blocks: 2560 sectors
  WriteFormat(rig, f);
  ASSERT_EQ(rig.loadCode(1), 0);
  ASSERT_EQ(f.sectors(), 2560u);
  const auto dir = std::filesystem::temp_directory_path() / ("kvx_sim_fat_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string vol = (dir / "vol.img").string(), out = (dir / "out.img").string();
  {
    std::ofstream note(dir / "NOTE.TXT");
    note << "produced on a simulated disk\n";
  }
  ASSERT_EQ(std::system(("mkfs.fat -C -i 12345678 -n SIMDISK " + vol + " 1280 >/dev/null").c_str()), 0);
  ASSERT_EQ(std::system(("mcopy -i " + vol + " " + (dir / "NOTE.TXT").string() + " ::NOTE.TXT").c_str()), 0);
  std::ifstream in(vol, std::ios::binary);
  std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(image.size(), 2560u * 512);
  for (std::uint32_t s = 0; s < 2560; s += 128)
    ASSERT_EQ(DiskWrite(rig.ctx, rig.h, s, 65536,
                        std::span<const std::uint8_t>(image.data() + std::size_t(s) * 512, 65536), 0, 5),
              0);
  std::string error;
  ASSERT_TRUE(rig.sim->exportLogicalImage(0, out, &error)) << error;
  EXPECT_EQ(std::system(("fsck.fat -n " + out + " >/dev/null").c_str()), 0);
  EXPECT_EQ(std::system(("mtype -i " + out + " ::NOTE.TXT | grep -q 'simulated disk'").c_str()), 0);
  std::filesystem::remove_all(dir);
}

TEST(SimConcurrency, SixtyFourDisksOnSixtyFourThreads) {
  Profile p;
  for (int i = 0; i < 64; ++i) p.disks.push_back(SmallDisk(1, 32, 16, 4));
  Simulator sim(std::move(p));
  std::atomic<int> failures{0};
  std::atomic<int> notices{0};
  sim.hotplug().start([&] { ++notices; });
  std::vector<std::thread> workers;
  for (int i = 0; i < 64; ++i) {
    workers.emplace_back([&, i] {
      CommandContext ctx{&sim, {}};
      const DeviceHandle h = sim.open(Simulator::DevicePath(i));
      if (h <= 0) return void(++failures);
      const auto code = CodeImage(2);
      if (DownloadCode(ctx, h, 0, 2, code) != 0) ++failures;
      std::vector<std::uint8_t> page(2048, std::uint8_t(i)), back(2048), bm(2);
      for (std::uint32_t b = 0; b < 32; ++b) {
        if (EraseBlocks(ctx, h, 0, b, 1) != 0) ++failures;
        if (WriteSectors(ctx, h, 0, b * 16 * 4, 4, 0, 1, page, 10) != 0) ++failures;
        if (ReadSectors(ctx, h, 0, b * 16 * 4, 4, back, 5) != 0 || back != page) ++failures;
        FirmwareScanArgs a;
        a.firstPage = b * 16;
        a.pages = 16;
        a.pass = 2;
        if (FirmwareScan(ctx, h, a, bm) != 0 || bm[0] != 0x01) ++failures;  // page 0 was programmed
      }
      if (i % 8 == 0) sim.unplug(i);  // hot-plug from workers while others run
      sim.close(h);
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(notices.load(), 8);
  sim.hotplug().stop();
}

}  // namespace
}  // namespace kvx::sim::test
