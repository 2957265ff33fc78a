// Packages produced one by one on single-package disks, moved onto one
// two-package disk and combined there by the multi-chip high format.

#include <gtest/gtest.h>

#include "e2e/e2e_station.h"
#include "e2e/fat_check.h"
#include "e2e/rework.h"
#include "flash/sysinfo_fields.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;
using sim::DiskSpec;

constexpr std::uint32_t kBlocksPerChip = Rework::kBlocksPerChip;

TEST(MultiChipE2E, CombinedDiskCarriesTheUnionOfBothRecordings) {
  Rework w;
  const FORMATINFO& a = w.s.station.record(Rework::kA);
  const FORMATINFO& b = w.s.station.record(Rework::kB);
  ASSERT_EQ(a.LastResult, 0) << w.s.station.display(Rework::kA).snapshot().text;
  ASSERT_EQ(b.LastResult, 0) << w.s.station.display(Rework::kB).snapshot().text;
  // Every factory bad block is 32 bad pages; A also found its weak page.
  EXPECT_EQ(a.BadPages, 2u * 32 + 1);
  EXPECT_EQ(b.BadPages, 3u * 32);
  const std::uint32_t aSectors = a.DiskSectors, bSectors = b.DiskSectors;

  w.moveThePackages();
  const std::uint32_t dataBlockOfB = kBlocksPerChip + 150;
  const std::uint32_t erasesBefore = w.s.sim->eraseCount(Rework::kC, dataBlockOfB);
  w.combine();
  const FORMATINFO& c = w.s.station.record(Rework::kC);
  ASSERT_EQ(c.LastResult, 0) << w.s.station.display(Rework::kC).snapshot().text;
  EXPECT_EQ(w.s.station.display(Rework::kC).snapshot().colour, BarColour::Blue);
  // What the recordings say, nothing rescanned: the five factory bad blocks,
  // and A's block 120 whole. That block lost one page, and its class (31 good
  // pages) had too few blocks to make a zone, so A's zone tables do not list
  // it; a block the recording does not list stays bad.
  EXPECT_EQ(c.BadPages, 6u * 32);
  EXPECT_GT(c.DiskSectors, std::max(aSectors, bSectors)) << "both packages hold data";
  EXPECT_EQ(sysinfo::Le16(c.SysInfo, sysinfo::kCombinedMark), sysinfo::kCombined);
  EXPECT_EQ(w.s.sim->eraseCount(Rework::kC, dataBlockOfB), erasesBefore + 2)
      << "erased with the whole disk, then again as a data block";
  for (std::uint32_t blk : {17u, 90u, kBlocksPerChip + 33, kBlocksPerChip + 200})
    EXPECT_EQ(w.s.sim->eraseCount(Rework::kC, blk), 0u) << "recorded bad block " << blk << " is left alone";

  const fs::path image = w.s.home / "combined.img";
  ASSERT_TRUE(w.s.sim->exportLogicalImage(Rework::kC, image.string()));
  EXPECT_NE(CheckFatVolume(image, w.s.home).find("KVXDISK"), std::string::npos);
}

TEST(MultiChipE2E, ASecondCombinationIsHandedToTheReformat) {
  Rework w;
  w.moveThePackages();
  w.combine();
  const FORMATINFO& c = w.s.station.record(Rework::kC);
  ASSERT_EQ(c.LastResult, 0) << w.s.station.display(Rework::kC).snapshot().text;
  const std::uint32_t sectors = c.Zone0Sectors;
  const std::uint32_t dataBlock = 150;
  const std::uint32_t erasesBefore = w.s.sim->eraseCount(Rework::kC, dataBlock);

  w.s.station.config().setText(ConfigImage::kProductInfo, ConfigImage::kProductInfoWidth,
                               "Second pass     ");
  w.combine();
  ASSERT_EQ(c.LastResult, 0) << w.s.station.display(Rework::kC).snapshot().text;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&c.SysInfo[244]), 11), "Second pass")
      << "the re-format wrote the new settings";
  EXPECT_EQ(c.Zone0Sectors, sectors);
  EXPECT_EQ(w.s.sim->eraseCount(Rework::kC, dataBlock), erasesBefore)
      << "the re-format does not lay the data blocks out again";
  const fs::path image = w.s.home / "again.img";
  ASSERT_TRUE(w.s.sim->exportLogicalImage(Rework::kC, image.string()));
  CheckFatVolume(image, w.s.home);
}

TEST(MultiChipE2E, SolderingCheckNamesAMissingPackage) {
  struct Case {
    const char* name;
    bool secondPackageRecorded;
    BarColour colour;
  };
  for (const Case& k : {Case{"both packages recorded", true, BarColour::Blue},
                        Case{"package 1 blank", false, BarColour::Red}}) {
    SCOPED_TRACE(k.name);
    Rework w;
    w.s.sim->unplug(Rework::kA);
    w.s.sim->unplug(Rework::kB);
    ASSERT_TRUE(w.s.sim->transplantChip(Rework::kA, 0, Rework::kC, 0));
    if (k.secondPackageRecorded) {
      ASSERT_TRUE(w.s.sim->transplantChip(Rework::kB, 0, Rework::kC, 1));
    }
    w.s.sim->plug(Rework::kC);
    w.s.discovery.RefreshPorts();
    w.s.station.options().highChipCheck = true;
    w.combine();
    EXPECT_EQ(w.s.station.record(Rework::kC).LastResult, k.secondPackageRecorded ? 0 : -1);
    EXPECT_EQ(w.s.station.display(Rework::kC).snapshot().colour, k.colour);
    EXPECT_EQ(w.s.station.record(Rework::kC).FailureText.empty(), k.secondPackageRecorded)
        << "a suspect verdict is the job's failure reason";
    EXPECT_EQ(w.s.sim->eraseCount(Rework::kC, 150), 0u) << "the check writes nothing";
  }
}

}  // namespace
}  // namespace kvx::e2e
