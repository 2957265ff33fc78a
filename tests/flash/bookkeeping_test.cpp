#include "flash/bookkeeping.h"

#include <gtest/gtest.h>

#include <random>

namespace kvx {
namespace {

FlashGeometry Geometry(std::uint32_t blocks, std::uint32_t pages = 64, std::uint32_t s = 4) {
  return {1, blocks, pages, s, s};
}

std::vector<std::uint8_t> Bitmap(const FlashGeometry& g) {
  return std::vector<std::uint8_t>(g.totalPages() / 8, 0);
}

void MarkBlockPages(std::vector<std::uint8_t>& bitmap, const FlashGeometry& g, std::uint32_t b,
                    std::uint32_t badPages) {
  for (std::uint32_t p = 0; p < badPages; ++p) SetPageBad(bitmap, b * g.pagePerBlock + p);
}

std::uint16_t TableEntry(const FlashBookkeeping& bk, std::uint32_t zone, std::uint32_t entry,
                         std::uint32_t S) {
  const auto& page = bk.ZoneTables[zone / S];
  const std::size_t at = 512 * (zone % S) + 2 * entry;
  return std::uint16_t(page[at] << 8 | page[at + 1]);
}

TEST(BuildZones, FourThousandGoodBlocks) {
  const auto g = Geometry(4096);
  auto bitmap = Bitmap(g);
  FlashBookkeeping bk;
  RebuildBlockLists(bk, bitmap, g);
  EXPECT_EQ(bk.BlockLists[63].length(), 4096u);
  const ZoneSummary z = BuildZones(bk, bitmap, g);
  EXPECT_EQ(z.zoneCount, 16);
  EXPECT_EQ(bk.ZoneBlockCounts[0], 250);
  for (int i = 1; i < 16; ++i) EXPECT_EQ(bk.ZoneBlockCounts[i], 252) << i;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bk.ZoneClasses[i], 63);
  EXPECT_EQ(z.diskSectors, 1031680u);
  EXPECT_EQ(z.diskSectors >> 11, 503u);
  EXPECT_EQ(bk.ZoneTables.length(), 4u);
  EXPECT_EQ(TableEntry(bk, 0, 0, 4), 0);
  EXPECT_EQ(TableEntry(bk, 5, 17, 4), 5 * 256 + 17);
  EXPECT_EQ(TableEntry(bk, 15, 255, 4), 4095);
  EXPECT_EQ(bk.ZoneInfo[0], 250);
  EXPECT_EQ(bk.ZoneInfo[15], 252);
  EXPECT_EQ(bk.ZoneInfo[16], 63);
  // 4096 records of 8 bytes, 2048-byte pages: 16 pages of all-good records.
  EXPECT_EQ(bk.BlockBitmapPages.length(), 16u);
  EXPECT_EQ(bk.BlockBitmapPages[15][0], 0x00);
  EXPECT_EQ(bk.BlockBitmapPages[15][2047], 0x00);
  EXPECT_EQ(bk.BlockBitmapPages[15][2048], 0xFF) << "the unused tail of a page";
}

struct ListCase {
  const char* name;
  std::uint32_t full, oneBad;  // blocks with 64 and with 63 good pages
  std::vector<int> counts, classes;
  std::uint32_t tablePages;
};

TEST(BuildZones, ZonesAcrossLists) {
  const ListCase cases[] = {
      {"130 + 5: the five are dropped", 130, 5, {124}, {63}, 1},
      {"100 + 100: one zone carries over", 100, 100, {194}, {62}, 1},
      {"250 + 10: a closed zone, then a final zone of 10 counting 4 fewer", 250, 10, {244, 6},
       {63, 62}, 1},
      {"no good block", 0, 0, {}, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto g = Geometry(c.full + c.oneBad + 3);
    auto bitmap = Bitmap(g);
    for (std::uint32_t b = c.full; b < c.full + c.oneBad; ++b) MarkBlockPages(bitmap, g, b, 1);
    // Three blocks with every page bad: in no list, in no zone.
    for (std::uint32_t b = c.full + c.oneBad; b < g.totalBlocks(); ++b)
      MarkBlockPages(bitmap, g, b, 64);
    if (c.full + c.oneBad == 0) bitmap.assign(bitmap.size(), 0xFF);
    FlashBookkeeping bk;
    RebuildBlockLists(bk, bitmap, g);
    const ZoneSummary z = BuildZones(bk, bitmap, g);
    std::vector<int> counts(bk.ZoneBlockCounts.begin(), bk.ZoneBlockCounts.end());
    std::vector<int> classes(bk.ZoneClasses.begin(), bk.ZoneClasses.end());
    EXPECT_EQ(counts, c.counts);
    EXPECT_EQ(classes, c.classes);
    EXPECT_EQ(bk.ZoneTables.length(), c.tablePages);
    EXPECT_EQ(z.zoneCount, c.counts.size());
    std::uint32_t sectors = 0;
    for (std::size_t i = 0; i < c.counts.size(); ++i)
      sectors += std::uint32_t(c.counts[i]) * (c.classes[i] + 1) * 4;
    EXPECT_EQ(z.diskSectors, sectors);
  }
}

TEST(BuildZones, ADroppedZoneLeavesItsSlotErased) {
  // 256 + 5 good blocks: zone 0 closes full, the 5 others would open zone 1.
  const auto g = Geometry(261);
  auto bitmap = Bitmap(g);
  FlashBookkeeping bk;
  RebuildBlockLists(bk, bitmap, g);
  BuildZones(bk, bitmap, g);
  ASSERT_EQ(bk.ZoneTables.length(), 1u);
  EXPECT_EQ(TableEntry(bk, 0, 255, 4), 255);
  for (int i = 512; i < 1024; ++i) ASSERT_EQ(bk.ZoneTables[0][i], 0xFF) << i;
}

TEST(BuildZones, BitmapRecordsFollowTheTablesAndNeverCrossAPage) {
  // 128-page blocks, S = E = 1: 16-byte records, 32 per 512-byte page.
  const FlashGeometry g{1, 40, 128, 1, 1};
  std::vector<std::uint8_t> bitmap(g.totalPages() / 8, 0);
  SetPageBad(bitmap, 7 * 128 + 9);  // block 7, page 9: list 126, after the 39 full blocks
  FlashBookkeeping bk;
  RebuildBlockLists(bk, bitmap, g);
  BuildZones(bk, bitmap, g);
  ASSERT_EQ(bk.BlockBitmapPages.length(), 2u);
  // Records 0..31 on page 0, 32..39 on page 1; block 7 is entry 39.
  EXPECT_EQ(bk.BlockBitmapPages[1][7 * 16 + 1], 0x02) << "page 9 = byte 1, bit 1";
  EXPECT_EQ(bk.BlockBitmapPages[1][8 * 16], 0xFF);
}

TEST(BlockLists, RebuildMovesABlockWithANewBadPage) {
  const auto g = Geometry(8);
  auto bitmap = Bitmap(g);
  FlashBookkeeping bk;
  RebuildBlockLists(bk, bitmap, g);
  EXPECT_EQ(bk.BlockLists[63].length(), 8u);
  SetPageBad(bitmap, 5 * 64 + 63);
  EXPECT_EQ(RebuildBlockLists(bk, bitmap, g), 1u);
  EXPECT_EQ(bk.BlockLists[63].length(), 7u);
  ASSERT_EQ(bk.BlockLists[62].length(), 1u);
  EXPECT_EQ(bk.BlockLists[62][0], 5);
  RebuildBlockLists(bk, bitmap, g, /*blockMode=*/true);
  EXPECT_EQ(bk.BlockLists[62].length(), 0u) << "block mode: any bad page retires the block";
}

TEST(BlockLists, CountBadPagesMatchesABitLoop) {
  std::mt19937 rng(7);
  for (std::uint32_t pages : {8u, 16u, 64u, 128u, 256u}) {
    const FlashGeometry g{1, 16, pages, 4, 4};
    std::vector<std::uint8_t> bitmap(g.totalPages() / 8);
    for (auto& byte : bitmap) byte = std::uint8_t(rng());
    for (std::uint32_t b = 0; b < 16; ++b) {
      std::uint32_t slow = 0;
      for (std::uint32_t p = 0; p < pages; ++p) slow += PageBad(bitmap, b * pages + p);
      EXPECT_EQ(CountBadPages(bitmap, b, pages), slow) << pages << " " << b;
    }
  }
}

TEST(DynamicArray, RangeErrorsCarryIndexAndLength) {
  DynamicArray<std::uint16_t> a;
  a.append(3);
  a.append(4);
  a.removeAt(0);
  EXPECT_EQ(a[0], 4);
  try {
    a[5] = 1;
    FAIL() << "no range error";
  } catch (const DynArrayOutOfRange& e) {
    EXPECT_EQ(e.index(), 5u);
    EXPECT_EQ(e.length(), 1u);
  }
  a.setLength(0);
  EXPECT_THROW(a.removeAt(0), DynArrayOutOfRange);
  EXPECT_THROW(a.back(), DynArrayOutOfRange);
}

TEST(BadBlockMap, SizedInWholeWords) {
  EXPECT_EQ(BadBlockMap(1).wordCount(), 1u);
  EXPECT_EQ(BadBlockMap(33).wordCount(), 2u);
  EXPECT_EQ(BadBlockMap(4100).wordCount(), 129u);
  BadBlockMap m(4100);
  m.set(4099);
  m.set(0);
  EXPECT_TRUE(m.test(4099));
  EXPECT_FALSE(m.test(4098));
  EXPECT_EQ(m.count(), 2u);
}

TEST(FlashGeometry, ImpossibleGeometriesAreNamed) {
  struct {
    FlashGeometry g;
    bool scan;
    bool ok;
  } cases[] = {
      {{1, 4096, 64, 4, 4}, true, true},   {{2, 16384, 256, 8, 8}, false, true},
      {{2, 16384, 256, 8, 8}, true, false}, {{0, 4096, 64, 4, 4}, false, false},
      {{1, 0, 64, 4, 4}, false, false},     {{1, 4096, 0, 4, 4}, false, false},
      {{1, 4096, 60, 4, 4}, false, false},  {{4, 8193, 64, 4, 4}, false, false},
      {{1, 4096, 64, 0, 0}, false, false},  {{1, 4096, 64, 9, 9}, false, false},
      {{1, 4096, 64, 4, 16}, false, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GeometryProblem(c.g, c.scan).empty(), c.ok)
        << c.g.chipCount << "x" << c.g.blockPerChip << "x" << c.g.pagePerBlock << " "
        << GeometryProblem(c.g, c.scan);
}

}  // namespace
}  // namespace kvx
