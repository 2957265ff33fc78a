#include "flash/layout_plan.h"

#include <gtest/gtest.h>

namespace kvx {
namespace {

struct Disk {
  FlashGeometry g;
  std::vector<std::uint8_t> bitmap;
  FlashBookkeeping bk;
  explicit Disk(FlashGeometry geometry)
      : g(geometry), bitmap(geometry.totalPages() / 8, 0) {}
  void bad(std::uint32_t block, std::initializer_list<std::uint32_t> pages) {
    for (auto p : pages) SetPageBad(bitmap, block * g.pagePerBlock + p);
  }
  void allBad(std::uint32_t block) {
    for (std::uint32_t p = 0; p < g.pagePerBlock; ++p) SetPageBad(bitmap, block * g.pagePerBlock + p);
  }
  LayoutPlan plan(std::uint8_t codeLength = 8, std::uint8_t codeCount = 3, bool mpcs = false) {
    RebuildBlockLists(bk, bitmap, g);
    LayoutInputs in;
    in.geometry = g;
    in.codeLength = codeLength;
    in.codeCount = codeCount;
    in.multiChipMode = mpcs;
    return PlanLayout(bk, bitmap, in);
  }
};

TEST(PlanLayout, AllGoodBlockZero) {
  Disk d({1, 4096, 64, 4, 4});
  const LayoutPlan p = d.plan();
  ASSERT_EQ(p.status, LayoutStatus::Planned);
  EXPECT_EQ(p.codePageCount, 2u);
  EXPECT_EQ(d.bk.SysBlock, 0);
  EXPECT_EQ(d.bk.SysInfoPage, 0);
  EXPECT_EQ(d.bk.ZoneInfoPage, 1);
  EXPECT_EQ(d.bk.TableBitmapPage, 2);
  const std::array<std::uint8_t, 10> code{3, 4, 5, 6, 7, 8, 9, 0, 0, 0};
  EXPECT_EQ(d.bk.CodePages, code) << "seven entries recorded, six used";
  // 4 zone-table pages and 16 bitmap pages fit one table block of 64 pages.
  EXPECT_EQ(p.tableBlocksReserved, 1u);
  EXPECT_EQ(d.bk.TableBlocks[0], 1);
  EXPECT_EQ(d.bk.TableBlockClass, 63);
  // Neither the system block nor the table block is in a zone.
  EXPECT_EQ(p.zones.diskSectors, 1031680u - 2u * 256);
  for (std::size_t page = 0; page < d.bk.ZoneTables.length(); ++page)
    for (std::size_t i = 0; i + 1 < 2048; i += 2) {
      const int entry = d.bk.ZoneTables[page][i] << 8 | d.bk.ZoneTables[page][i + 1];
      ASSERT_NE(entry, 0);
      ASSERT_NE(entry, 1);
    }
}

TEST(PlanLayout, SystemBlockPositions) {
  {
    SCOPED_TRACE("pages 0 and 1 bad: offset 32 is tried next");
    Disk d({1, 256, 64, 4, 4});
    for (std::uint32_t b = 0; b < 256; ++b) d.bad(b, {0, 1});
    ASSERT_EQ(d.plan().status, LayoutStatus::Planned);
    EXPECT_EQ(d.bk.SysBlock, 0);
    EXPECT_EQ(d.bk.SysInfoPage, 32);
    EXPECT_EQ(d.bk.ZoneInfoPage, 33);
  }
  {
    SCOPED_TRACE("page 0 bad, page 1 good: the pair is usable");
    Disk d({1, 256, 64, 4, 4});
    for (std::uint32_t b = 0; b < 256; ++b) d.bad(b, {0, 2});
    ASSERT_EQ(d.plan().status, LayoutStatus::Planned);
    EXPECT_EQ(d.bk.SysInfoPage, 1);
    EXPECT_EQ(d.bk.ZoneInfoPage, 3);
  }
  {
    SCOPED_TRACE("a block at page address 0x4020 is never the system block");
    // 32-page blocks: block 513 starts at 0x4020. Only it has all its pages.
    Disk d({1, 1024, 32, 4, 4});
    for (std::uint32_t b = 0; b < 1024; ++b)
      if (b != 513) d.bad(b, {0, 1, 8, 9, 16, 17, 24, 25});
    EXPECT_EQ(d.plan(4, 1).status, LayoutStatus::NoSystemBlock);
    EXPECT_EQ(d.bk.ZoneBlockCounts.length(), 0u) << "zone arrays emptied";
  }
  {
    SCOPED_TRACE("only chip 1 has good blocks");
    Disk d({2, 64, 64, 4, 4});
    for (std::uint32_t b = 0; b < 64; ++b) d.allBad(b);
    EXPECT_EQ(d.plan().status, LayoutStatus::NoSystemBlock);
  }
}

TEST(PlanLayout, LimitsTheSystemCannotStore) {
  Disk code({1, 256, 64, 4, 4});
  EXPECT_EQ(code.plan(16, 3).status, LayoutStatus::CodeTooLarge) << "4 x 3 = 12 code pages";
  // 32768 blocks of 8 pages with S = 1: 128 zones, one table page each, and
  // 64 bitmap pages: 192 pages need 24 blocks of 8 good pages.
  Disk tables({1, 32768, 8, 1, 1});
  const LayoutPlan p = tables.plan(1, 1);
  EXPECT_EQ(p.status, LayoutStatus::TooManyTableBlocks);
  EXPECT_EQ(tables.bk.ZoneTables.length(), 0u);
}

TEST(PlanLayout, MultiChipModeStoresTheRawBitmap) {
  Disk d({2, 2048, 64, 4, 4});
  const LayoutPlan p = d.plan(8, 3, /*mpcs=*/true);
  ASSERT_EQ(p.status, LayoutStatus::Planned);
  EXPECT_EQ(RawBitmapPages(d.g), 4096u * 64 / 8 / 512 / 4);
  EXPECT_EQ(p.tablePages, 4u + 16u);
  EXPECT_EQ(TableBlocksToWrite(d.bk, {d.g, 8, 3, true, {}}), 1u);
}

}  // namespace
}  // namespace kvx
