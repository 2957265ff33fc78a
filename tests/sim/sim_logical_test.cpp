// The firmware's logical view: READ(10)/WRITE(10) and the pattern commands
// through the zone tables found on the flash, and what happens when the
// structures are missing or broken.
#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace kvx::sim::test {
namespace {

const ScsiResult kNoMedium = PackSense(sense::kNotReady, 0x3A, 0);
const ScsiResult kCorrupt = PackSense(sense::kNotReady, 0x31, 0);

ScsiResult Tur(Rig& rig) {
  Cdb c{};
  return rig.sim->send(DataDirection::In, rig.h, c, nullptr, 0, 0, 5);
}

std::uint32_t ReadCapacity(Rig& rig) {
  Cdb c{};
  c[0] = 0x25;
  std::uint8_t d[8] = {};
  EXPECT_EQ(rig.sim->send(DataDirection::In, rig.h, c, d, 8, 0, 5), 0);
  return (std::uint32_t(d[0]) << 24 | d[1] << 16 | d[2] << 8 | d[3]) + 1;
}

std::vector<std::uint8_t> SectorOf(std::uint32_t tag) {
  std::vector<std::uint8_t> s(512);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = std::uint8_t(tag * 31 + i);
  return s;
}

// Where the plan puts logical sector `lba`: (port-wide block, page, sector),
// counted out of the plan by walking every sector.
struct Place {
  std::uint32_t block, page, sector;
};
Place Expected(const FormatPlan& f, std::uint64_t lba) {
  for (const auto& z : f.zones)
    for (std::uint32_t e = 0; e < z.counted; ++e) {
      const auto rec = f.record(z.entries[e]);
      std::uint32_t used = 0;
      for (std::uint32_t p = 0; p < f.P && used < z.good; ++p) {
        if (rec[p / 8] >> (p % 8) & 1) continue;
        ++used;
        if (lba < f.S) return {z.entries[e], p, std::uint32_t(lba)};
        lba -= f.S;
      }
    }
  ADD_FAILURE() << "lba beyond the plan";
  return {};
}

struct LogicalCase {
  const char* name;
  std::uint32_t chips, blocks;
  bool rawBitmap;
  bool tableOnChip1;
};

class SimLogicalMapping : public ::testing::TestWithParam<LogicalCase> {};

TEST_P(SimLogicalMapping, SectorsLandOnTheGoodPagesOfTheCountedBlocks) {
  const LogicalCase& lc = GetParam();
  Rig rig(SmallDisk(lc.chips, lc.blocks, 16, 4));
  FormatPlan f = SimplePlan(rig.geo, 2, 8);
  f.rawBitmap = lc.rawBitmap;
  // Zone 1 uses 12 good pages per block; its third block has pages 0 and 5 bad.
  f.zones[1].good = 12;
  f.badPages[f.zones[1].entries[2]] = {0x21, 0x00};
  if (lc.tableOnChip1) {
    f.tableBlocks = {lc.blocks + 1};
    f.zones[1].entries[5] = lc.blocks + 3;  // a data block on chip 1 as well
  }

  EXPECT_EQ(Tur(rig), kNoMedium);
  std::vector<std::uint8_t> buf(512);
  EXPECT_EQ(DiskRead(rig.ctx, rig.h, 0, 512, buf, 0, 5), kNoMedium) << "not before the firmware";
  WriteFormat(rig, f);
  EXPECT_EQ(DiskRead(rig.ctx, rig.h, 0, 512, buf, 0, 5), kNoMedium) << "the format alone is not enough";
  ASSERT_EQ(rig.loadCode(1), 0);
  ASSERT_EQ(Tur(rig), 0);
  EXPECT_EQ(ReadCapacity(rig), f.sectors());

  const std::uint64_t zone1 = std::uint64_t(f.zones[0].counted) * 16 * 4;
  const std::uint64_t lbas[] = {0, 1, 63, 64, zone1 - 1, zone1, zone1 + 2 * 48, zone1 + 2 * 48 + 4 * 4 + 3,
                                zone1 + 5 * 48 + 7, f.sectors() - 1};
  for (std::size_t i = 0; i < std::size(lbas); ++i) {
    ASSERT_EQ(DiskWrite(rig.ctx, rig.h, std::uint32_t(lbas[i]), 512, SectorOf(std::uint32_t(i)), 0, 5), 0);
  }
  for (std::size_t i = 0; i < std::size(lbas); ++i) {
    const Place p = Expected(f, lbas[i]);
    const auto page = rig.readPage(p.block / lc.blocks, (p.block % lc.blocks) * 16 + p.page, 4);
    EXPECT_TRUE(std::equal(page.begin() + p.sector * 512, page.begin() + p.sector * 512 + 512,
                           SectorOf(std::uint32_t(i)).begin()))
        << lc.name << ": lba " << lbas[i] << " expected at block " << p.block << " page " << p.page;
    ASSERT_EQ(DiskRead(rig.ctx, rig.h, std::uint32_t(lbas[i]), 512, buf, 0, 5), 0);
    EXPECT_EQ(buf, SectorOf(std::uint32_t(i)));
  }
  std::vector<std::uint8_t> two(1024);
  EXPECT_EQ(DiskRead(rig.ctx, rig.h, std::uint32_t(f.sectors() - 1), 1024, two, 0, 5), PackSense(5, 0x21, 0))
      << "a read past the end is out of range";
}

INSTANTIATE_TEST_SUITE_P(SimLayouts, SimLogicalMapping,
                         ::testing::Values(LogicalCase{"records", 1, 64, false, false},
                                           LogicalCase{"raw bitmap", 1, 1024, true, false},
                                           LogicalCase{"table block on chip 1", 2, 64, false, true}),
                         [](const auto& info) { return std::string(info.param.rawBitmap ? "Raw" : "Records") +
                                                       (info.param.tableOnChip1 ? "Chip1" : ""); });

TEST(SimLogical, LongTransfersCrossPagesAndBlocks) {
  Rig rig(SmallDisk());
  FormatPlan f = SimplePlan(rig.geo, 1, 10);
  f.badPages[f.zones[0].entries[1]] = {0x00, 0x80};  // page 15 of the second block
  f.zones[0].good = 15;
  WriteFormat(rig, f);
  ASSERT_EQ(rig.loadCode(1), 0);
  std::vector<std::uint8_t> data(128 * 512), back(128 * 512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 5 + i / 512);
  const std::uint32_t lba = 15 * 4 * 1 - 7;  // ends inside the third block
  ASSERT_EQ(DiskWrite(rig.ctx, rig.h, lba, std::uint32_t(data.size()), data, 0, 5), 0);
  ASSERT_EQ(DiskRead(rig.ctx, rig.h, lba, std::uint32_t(back.size()), back, 0, 5), 0);
  EXPECT_EQ(back, data);
  // Rewriting a sector replaces it (the firmware relocates; no AND).
  std::vector<std::uint8_t> ones(512, 0xFF), got(512);
  ASSERT_EQ(DiskWrite(rig.ctx, rig.h, lba, 512, ones, 0, 5), 0);
  ASSERT_EQ(DiskRead(rig.ctx, rig.h, lba, 512, got, 0, 5), 0);
  EXPECT_EQ(got, ones);
  // The transfer length must match the data phase.
  EXPECT_EQ(DiskRead(rig.ctx, rig.h, 0, 100, got, 0, 5), PackSense(5, 0x24, 0));
}

TEST(SimLogical, PatternFillAndCheckFindTheFailingPage) {
  DiskSpec d = SmallDisk();
  d.defects.programFailPages = {{5, 3}};  // in a data block whose record says good
  Rig rig(d);
  FormatPlan f = SimplePlan(rig.geo, 1, 8);
  WriteFormat(rig, f);
  ASSERT_EQ(rig.loadCode(1), 0);
  std::vector<std::uint8_t> answer(8), pattern(2048);
  for (std::size_t i = 0; i < pattern.size(); i += 2) pattern[i] = 0x55, pattern[i + 1] = 0xAA;
  ASSERT_EQ(DiskWrite(rig.ctx, rig.h, 0, 2048, pattern, 0, 5), 0);
  const auto n = std::uint32_t(f.sectors());
  for (std::uint32_t s = 4; s < n; s += 4)
    ASSERT_EQ(LogicalPatternFill(rig.ctx, rig.h, s, std::min(4u, n - s) * 512, answer), 0);
  std::vector<std::uint32_t> failing;
  for (std::uint32_t s = 0; s < n; s += 4) {
    ASSERT_EQ(LogicalPatternCheck(rig.ctx, rig.h, s, 2048, answer), 0);
    const std::uint32_t g = std::uint32_t(answer[0]) << 24 | answer[1] << 16 | answer[2] << 8 | answer[3];
    if (g != 0xFFFFFFFF) failing.push_back(g);
  }
  EXPECT_EQ(failing, std::vector<std::uint32_t>{5 * 16 + 3});
  // The pattern landed everywhere else: a sector far in reads the pattern.
  std::vector<std::uint8_t> got(512);
  ASSERT_EQ(DiskRead(rig.ctx, rig.h, 4 * 16 * 4 + 6, 512, got, 0, 5), 0);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), pattern.begin() + 2 * 512));
  // Byte 15 must be 4; the answer is 8 bytes.
  Cdb c = MakeRead10Cdb(op::kLogicalPatternCheck, 0, 2048);
  EXPECT_EQ(rig.sim->send(DataDirection::In, rig.h, c, answer.data(), 8, 0, 10), PackSense(5, 0x24, 0));
}

TEST(SimLogical, BrokenStructuresLeaveTheDiskNotReady) {
  struct Case {
    const char* name;
    void (*breakIt)(FormatPlan&);
  } cases[] = {
      {"checksum", [](FormatPlan& f) { f.breakChecksum = true; }},
      {"block used twice", [](FormatPlan& f) { f.zones[0].entries[3] = f.zones[0].entries[2]; }},
      {"entry out of range", [](FormatPlan& f) { f.zones[0].entries[1] = 0x7FFF; }},
      {"entry is the table block", [](FormatPlan& f) { f.zones[0].entries[0] = 1; }},
      {"count beyond the table", [](FormatPlan& f) { f.zones[0].counted = 9; }},
      {"block with too few good pages", [](FormatPlan& f) { f.badPages[f.zones[0].entries[0]] = {0x01, 0}; }},
      {"table block is the system block", [](FormatPlan& f) { f.tableBlocks = {0}; }},
  };
  for (const auto& c : cases) {
    Rig rig(SmallDisk());
    FormatPlan f = SimplePlan(rig.geo, 1, 8);
    c.breakIt(f);
    if (f.tableBlocks[0] == 0) {
      // Both on one block: write the system area only, the reader must refuse.
      f.tableBlocks = {1};
      WriteFormat(rig, f);
      f.tableBlocks = {0};
      const auto si = BuildSysInfo(f);
      ASSERT_EQ(rig.erase(0, 0), 0);
      std::vector<std::uint8_t> page(2048, 0xFF);
      std::copy(si.begin(), si.end(), page.begin());
      ASSERT_EQ(rig.writePage(0, 0, 4, page), 0);
    } else {
      WriteFormat(rig, f);
    }
    ASSERT_EQ(rig.loadCode(1), 0) << c.name;
    EXPECT_EQ(Tur(rig), kCorrupt) << c.name;
    std::vector<std::uint8_t> buf(512);
    EXPECT_EQ(DiskRead(rig.ctx, rig.h, 0, 512, buf, 0, 5), kCorrupt) << c.name;
  }
}

TEST(SimLogical, PowerCycleBootsTheFirmwareFromTheFlash) {
  Rig rig(SmallDisk());
  FormatPlan f = SimplePlan(rig.geo, 1, 8);
  f.zone0Sectors = 100;
  WriteFormat(rig, f);
  ASSERT_EQ(rig.sim->unplug(0), true);
  ASSERT_EQ(rig.sim->plug(0), true);
  rig.h = rig.sim->open(Simulator::DevicePath(0));
  ASSERT_GT(rig.h, 0);
  EXPECT_EQ(Tur(rig), 0) << "system information and code on the flash: the disk comes up by itself";
  EXPECT_EQ(ReadCapacity(rig), 100u) << "zone 0 as the recorded system information sizes it";
  std::vector<std::uint8_t> inq(36);
  Cdb c{};
  c[0] = 0x12;
  c[4] = 36;
  ASSERT_EQ(rig.sim->send(DataDirection::In, rig.h, c, inq.data(), 36, 0, 5), 0);
  EXPECT_EQ(std::string(inq.begin() + 8, inq.begin() + 16), "TESTVEND");

  // Loading the scan code takes the logical view away.
  ASSERT_EQ(rig.loadCode(0), 0);
  EXPECT_EQ(Tur(rig), kNoMedium);

  // A broken code copy on the flash: the disk stays in its ROM after power-on.
  std::vector<std::uint8_t> clearOne(2048, 0xFF);
  clearOne[0] = 0x00;  // the first code byte is not 0: clearing it breaks the checksum
  ASSERT_EQ(rig.writePage(0, 3, 4, clearOne), 0);
  rig.sim->unplug(0);
  rig.sim->plug(0);
  rig.h = rig.sim->open(Simulator::DevicePath(0));
  EXPECT_EQ(Tur(rig), kNoMedium);
}

}  // namespace
}  // namespace kvx::sim::test
