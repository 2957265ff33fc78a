#include <gtest/gtest.h>

#include "device/device_router.h"
#include "engine/station.h"
#include "flash/bad_block_scan.h"
#include "sim/sim_profile.h"
#include "sim/simulator.h"

namespace kvx {
namespace {

class NoSequence : public ProductionSequence {
  std::int32_t RunProduction(PortJob&) override { return 0; }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

// The scan against the simulated controller: its firmware scan writes and
// checks the pattern itself, so the bad pages found are the disk's defects.
struct ScanOnSim {
  explicit ScanOnSim(sim::DiskSpec d) {
    sim::Profile p;
    p.disks = {d};
    p.buses = sim::DefaultTree(1);
    simulator = std::make_unique<sim::Simulator>(p);
    router.addBackend(sim::Simulator::kPathPrefix, simulator.get());
    g = {d.geometry.chips, d.geometry.blocksPerChip, d.geometry.pagesPerBlock,
         d.geometry.sectorsPerPage, d.geometry.sectorsPerPage};
    FORMATINFO& rec = station.record(0);
    rec.hDevice = router.open("sim:0");
    std::vector<std::uint8_t> code(512, 0);  // one sector of zeros: its checksum word is 0
    EXPECT_EQ(DownloadCode(station.commands(0), rec.hDevice, 0, 1, code), 0);
  }
  std::int32_t scan(ScanOptions o) {
    FORMATINFO& rec = station.record(0);
    rec.Running = 1;
    rec.BadPages = 0;
    rec.BadPageBitmap.assign(g.totalPages() / 8, 0);
    retired = BadBlockMap(g.totalBlocks());
    PortJob job{0, rec, station.display(0), station.commands(0), station.badPageTree(),
                station.messages(), station.options(), station.config()};
    return ScanBadBlocks(job, g, retired, bk, o);
  }
  bool bad(std::uint32_t block, std::uint32_t page) {
    return PageBad(station.record(0).BadPageBitmap, block * g.pagePerBlock + page);
  }
  std::unique_ptr<sim::Simulator> simulator;
  DeviceRouter router;
  NoSequence sequence;
  FixedAnswerOperator op{true};
  Station station{router, sequence, op, Language::English};
  FlashGeometry g;
  BadBlockMap retired;
  FlashBookkeeping bk;
};

TEST(ScanOnSimulator, FindsExactlyTheKnownDefects) {
  sim::DiskSpec d;
  d.geometry = {2, 100, 32, 4};  // 100 blocks per chip: erase runs end inside a chip
  d.ids[0] = {0xECD35195, 0};
  d.defects.factoryBadBlocks = {7, 150};
  d.defects.weakPages = {
      {20, 5, 0xFF, -1, 0},  // fails every scan
      {30, 9, 0xFF, 1, 0},   // fails only with invert 1: the second pass
      {40, 3, 0x08, -1, 0},  // fails only in the checking sub-pass (pass selector 3)
  };
  ScanOnSim s(d);
  ScanOptions o;
  o.scanLevelIndex = 0;  // one pass: invert 0 only
  o.scanCount = 1;
  o.orderSeed = 5;
  ASSERT_EQ(s.scan(o), 0);
  for (std::uint32_t p = 0; p < 32; ++p) {
    EXPECT_TRUE(s.bad(7, p));
    EXPECT_TRUE(s.bad(150, p));
  }
  EXPECT_TRUE(s.bad(20, 5));
  EXPECT_FALSE(s.bad(30, 9)) << "a page weak only with invert 1 passes the first pass";
  EXPECT_TRUE(s.bad(40, 3));
  EXPECT_EQ(s.station.record(0).BadPages, 2u * 32 + 2);
  for (std::uint32_t b = 0; b < 200; ++b) EXPECT_EQ(s.simulator->eraseCount(0, b), b == 7 || b == 150 ? 0u : 1u) << b;

  o.scanLevelIndex = 3;
  o.scanCount = 2;
  ASSERT_EQ(s.scan(o), 0);
  EXPECT_TRUE(s.bad(30, 9)) << "found in the second pass";
  EXPECT_EQ(s.station.record(0).BadPages, 2u * 32 + 3);
  EXPECT_FALSE(s.bad(30, 8));
}

}  // namespace
}  // namespace kvx
