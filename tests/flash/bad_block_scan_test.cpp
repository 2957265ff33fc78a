#include "flash/bad_block_scan.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "engine/station.h"

namespace kvx {
namespace {

// A controller running the scan firmware: answers erases and block scans
// from a defect table, and records what it was asked.
class ScanFirmware : public DeviceAccess {
 public:
  struct Scan {
    std::uint8_t chip;
    std::uint32_t firstPage;
    std::uint8_t pages, pass, ecc, invert;
    std::uint32_t seedA, seedB;
  };
  std::uint32_t blockPerChip = 16, pagePerBlock = 64;
  // (chip, block) -> pages always bad; pages bad only with invert 1.
  std::map<std::pair<int, std::uint32_t>, std::set<int>> bad, badWhenInverted;
  std::vector<Scan> scans;
  std::map<std::pair<int, std::uint32_t>, int> erases;  // per block
  ScsiResult failScansFrom = -1;                        // scan number that fails
  std::function<void()> onScan;

  DeviceHandle open(const std::string&) override { return 1; }
  void close(DeviceHandle) override {}
  ScsiResult send(DataDirection, DeviceHandle, const Cdb& c, void* buffer, std::uint32_t length,
                  std::uint8_t, std::uint32_t) override {
    auto* out = static_cast<std::uint8_t*>(buffer);
    if (c[0] == op::kEraseBlocks) {
      const std::uint32_t first = be32(c, 1), count = be32(c, 5);
      for (std::uint32_t b = first; b < first + count; ++b) ++erases[{c[9], b}];
      std::fill(out, out + length, 0);
      return 0;
    }
    if (c[0] != op::kFirmwareScan) return PackSense(5, 0x20, 0);
    Scan s{c[7], be32(c, 1), c[5], std::uint8_t(c[6] >> 5), std::uint8_t((c[6] >> 2) & 7),
           std::uint8_t(c[6] & 1), std::uint32_t(c[8] | c[9] << 8 | c[10] << 16 | c[11] << 24),
           be32(c, 12)};
    scans.push_back(s);
    if (onScan) onScan();
    if (failScansFrom >= 0 && int(scans.size()) > failScansFrom) return PackSense(3, 0x11, 0);
    std::fill(out, out + length, 0);
    const std::pair<int, std::uint32_t> key{s.chip, s.firstPage / pagePerBlock};
    auto mark = [&](const std::set<int>& pages) {
      for (int p : pages) out[p / 8] |= std::uint8_t(1 << (p % 8));
    };
    if (auto it = bad.find(key); it != bad.end()) mark(it->second);
    if (auto it = badWhenInverted.find(key); it != badWhenInverted.end() && s.invert)
      mark(it->second);
    return 0;
  }

 private:
  static std::uint32_t be32(const Cdb& c, int at) {
    return std::uint32_t(c[at] << 24 | c[at + 1] << 16 | c[at + 2] << 8 | c[at + 3]);
  }
};

class NoSequence : public ProductionSequence {
  std::int32_t RunProduction(PortJob&) override { return 0; }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { prepare(1, 16, 64); }
  void prepare(std::uint32_t chips, std::uint32_t blocks, std::uint32_t pages) {
    g = {chips, blocks, pages, 4, 4};
    fw.blockPerChip = blocks;
    fw.pagePerBlock = pages;
    rec().hDevice = 1;
    rec().Running = 1;
    rec().BadPages = 0;
    rec().BadPageBitmap.assign(g.totalPages() / 8, 0);
    retired = BadBlockMap(g.totalBlocks());
    opts.orderSeed = 42;
  }
  FORMATINFO& rec() { return station.record(0); }
  std::int32_t scan() {
    PortJob job{0, rec(), station.display(0), station.commands(0), station.badPageTree(),
                station.messages(), station.options(), station.config()};
    rec().BadBlkNode = station.badPageTree().addRoot(0, "disk");
    return ScanBadBlocks(job, g, retired, bk, opts);
  }
  std::uint32_t firstScansOfSubPasses() const {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < fw.scans.size(); i += g.totalBlocks()) {
      EXPECT_EQ(fw.scans[i].seedB, 0x000011D7u) << i;
      EXPECT_EQ(fw.scans[i].seedA, 0xE26BC5FDu) << i;
      ++n;
    }
    return n;
  }

  ScanFirmware fw;
  NoSequence sequence;
  FixedAnswerOperator op{true};
  Station station{fw, sequence, op, Language::English};
  FlashGeometry g;
  BadBlockMap retired;
  FlashBookkeeping bk;
  ScanOptions opts;
};

TEST(PatternGenerator, FirstValues) {
  PatternGenerator p;
  EXPECT_EQ(p.next(), 0x000011D7u);
  EXPECT_EQ(p.next(), 0xE26BC5FDu);
  EXPECT_EQ(p.next(), 0xD8BA530Eu);
  EXPECT_EQ(p.next(), 0x8572D25Eu);
  p.reset();
  EXPECT_EQ(p.next(), 0x000011D7u);
}

TEST(VisitingOrder, IsAPermutationAndDependsOnTheSeed) {
  const auto a = VisitingOrder(32768, 1), b = VisitingOrder(32768, 2);
  std::vector<bool> seen(32768, false);
  for (auto x : a) {
    ASSERT_FALSE(seen[x]);
    seen[x] = true;
  }
  EXPECT_NE(a, b);
  EXPECT_EQ(a, VisitingOrder(32768, 1));
}

TEST_F(ScanTest, CleanFlashStopsAfterOnePassWhateverTheLevel) {
  opts.scanLevelIndex = 5;
  opts.scanCount = 1;
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(fw.scans.size(), 2u * 16) << "one pass of two sub-passes";
  EXPECT_EQ(firstScansOfSubPasses(), 2u);
  EXPECT_EQ(fw.scans[0].pass, 2);
  EXPECT_EQ(fw.scans[16].pass, 3);
  EXPECT_EQ(fw.scans[0].invert, 0) << "the first pass sends invert 0";
  EXPECT_EQ(bk.BlockLists[63].length(), 16u);
  EXPECT_EQ(rec().BadPages, 0u);
}

TEST_F(ScanTest, WeakPagesAreFoundInThePassesWhereTheyFail) {
  opts.scanLevelIndex = 3;  // up to 4 passes
  opts.scanCount = 2;
  opts.listWhileFormatting = true;
  fw.bad[{0, 3}] = {5};
  fw.badWhenInverted[{0, 9}] = {0, 63};  // fails only in odd passes
  EXPECT_EQ(scan(), 0);
  // Pass 1 (invert 0) finds page 5 of block 3; pass 2 (invert 1) finds the
  // weak pages of block 9. Both are found in the first sub-pass, which does
  // not reset the clean-pass count, so every block has two clean passes
  // after pass 2 and the scan stops there.
  EXPECT_EQ(rec().BadPages, 3u);
  EXPECT_EQ(fw.scans.size(), 2u * 2 * 16);
  EXPECT_EQ(firstScansOfSubPasses(), 4u);
  EXPECT_TRUE(PageBad(rec().BadPageBitmap, 3 * 64 + 5));
  EXPECT_TRUE(PageBad(rec().BadPageBitmap, 9 * 64 + 63));
  ASSERT_EQ(bk.BlockLists[62].length(), 1u);
  EXPECT_EQ(bk.BlockLists[61].length(), 1u);
  const auto nodes = station.badPageTree().snapshot();
  ASSERT_EQ(nodes.size(), 1u);
  ASSERT_EQ(nodes[0].lines.size(), 3u);
  EXPECT_EQ(nodes[0].lines[0].text, "Chip:0  Block:3  Page:5 Is Bad Page");
}

TEST_F(ScanTest, PassLimitAndScanCountZero) {
  fw.bad[{0, 1}] = {1};
  opts.scanCount = 9;
  opts.scanLevelIndex = 1;
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(fw.scans.size(), 2u * 2 * 16) << "the level allows two passes";
  fw.scans.clear();
  prepare(1, 16, 64);
  opts.scanCount = 0;
  opts.scanLevelIndex = 7;
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(fw.scans.size(), 2u * 16);
}

TEST_F(ScanTest, NearlyDeadBlockIsRetiredAndNotScannedAgain) {
  std::set<int> pages;
  for (int p = 0; p < 57; ++p) pages.insert(p);
  fw.bad[{0, 4}] = pages;
  opts.scanCount = 3;
  opts.scanLevelIndex = 9;
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(rec().BadPages, 57u) << "only the reported pages count";
  EXPECT_EQ(CountBadPages(rec().BadPageBitmap, 4, 64), 64u);
  EXPECT_TRUE(retired.test(4));
  int visitsOf4 = 0;
  for (const auto& s : fw.scans) visitsOf4 += s.firstPage == 4 * 64;
  EXPECT_EQ(visitsOf4, 1);
  // Pass 1: 16 scans, then 15 in its second sub-pass; passes 2 and 3 scan
  // the 15 others twice each; three clean passes, then it stops.
  EXPECT_EQ(fw.scans.size(), 16u + 15 + 2 * 2 * 15);
  for (const auto& list : bk.BlockLists)
    for (auto b : list) EXPECT_NE(b, 4);
}

TEST_F(ScanTest, OddPagesBlockModeAndForcedRange) {
  opts.oddPageAllBad = true;
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(rec().BadPages, 16u * 32);
  EXPECT_EQ(bk.BlockLists[31].length(), 16u);

  prepare(1, 32, 64);
  opts.oddPageAllBad = false;
  opts.fromBlock = "10";
  opts.toBlock = "19";
  fw.bad[{0, 2}] = {7};
  opts.blockMode = true;
  fw.scans.clear();
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(rec().BadPages, 10u * 64 + 1);
  EXPECT_EQ(bk.BlockLists[63].length(), 32u - 10 - 1) << "block mode drops block 2 too";
  for (const auto& s : fw.scans) EXPECT_FALSE(s.firstPage >= 10 * 64 && s.firstPage < 20 * 64);

  prepare(1, 32, 64);
  opts.toBlock = "0";
  opts.blockMode = false;
  fw.bad.clear();
  fw.scans.clear();
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(fw.scans.size(), 2u * 32) << "\"0\" switches the forced range off";
}

TEST_F(ScanTest, ForcedRangeThatIsNoNumberEndsRed) {
  opts.fromBlock = "1O0";
  opts.toBlock = "200";
  EXPECT_NE(scan(), 0);
  EXPECT_TRUE(fw.scans.empty());
  EXPECT_EQ(station.display(0).snapshot().colour, BarColour::Red);
}

TEST_F(ScanTest, EraseCoversEveryBlockOnceWhenChipsAreNotMultiplesOf64) {
  prepare(2, 100, 16);
  EXPECT_EQ(scan(), 0);
  ASSERT_EQ(fw.erases.size(), 200u);
  for (const auto& [block, count] : fw.erases) {
    EXPECT_LT(block.second, 100u);
    EXPECT_EQ(count, 1) << block.first << ":" << block.second;
  }
  // Blocks of chip 1 are scanned on chip 1 at their page address within it.
  bool sawChip1 = false;
  for (const auto& s : fw.scans) {
    if (s.chip != 1) continue;
    sawChip1 = true;
    EXPECT_LT(s.firstPage, 100u * 16);
  }
  EXPECT_TRUE(sawChip1);
}

TEST_F(ScanTest, FailedBlockScanAndStop) {
  fw.failScansFrom = 3;
  EXPECT_EQ(scan(), msg::kScanError);
  EXPECT_EQ(station.display(0).snapshot().text, "Error while scaning flash ");
  EXPECT_EQ(station.display(0).snapshot().colour, BarColour::Red);

  prepare(1, 16, 64);
  fw.failScansFrom = -1;
  fw.scans.clear();
  fw.onScan = [&] {
    if (fw.scans.size() == 5) rec().Running = 0;
  };
  EXPECT_EQ(scan(), msg::kCancel);
  EXPECT_EQ(fw.scans.size(), 5u);
  EXPECT_EQ(station.display(0).snapshot().text, "Cancel");
  EXPECT_EQ(station.display(0).snapshot().colour, BarColour::Purple);
}

TEST_F(ScanTest, EccLevelAndProgressText) {
  opts.eccLevel = 5;
  rec().ElapsedSeconds = 187;
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(fw.scans[0].ecc, 5);
  EXPECT_EQ(station.display(0).snapshot().text,
            " Scaning......Total: 16  BadPages: 0  ...Progress: $p%... 0:3:7");
}

}  // namespace
}  // namespace kvx
