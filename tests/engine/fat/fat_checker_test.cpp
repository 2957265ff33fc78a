// Every volume the builder makes must pass the outside checkers: fsck.fat
// finds no fault in the partition and mtools lists its label. A missing
// checker fails the test; it is never skipped.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "engine/fat/fat_test_support.h"
#include "engine/fat/fat_volume.h"

namespace kvx::fat {
namespace {

using fattest::ExtractSectors;
using fattest::FindTool;
using fattest::Le16;
using fattest::Le32;
using fattest::ReadBytes;
using fattest::RunCommand;
using fattest::ScratchDir;
using fattest::WriteZoneImage;

struct CheckedZone {
  std::uint32_t sectors;
  std::uint8_t bootType;
  const char* label;
  const char* listed;  // the label as mtools lists it; nullptr: no label
  FatKind kind;
};

// Sizes around every boundary of the kind choice and the cluster tables, odd
// sizes, each boot type that changes the layout, and labels that must be
// stored in a form readers accept.
const CheckedZone kZones[] = {
    {97, kNoBoot, "TINY", "TINY", FatKind::Fat12},             // V = 64: one FAT, one root sector
    {200, kNoBoot, "small", "SMALL", FatKind::Fat12},          // under 1023 clusters: heads 0 -> 1
    {4201, kUsbHdd, " a+b:c", "A_B_C", FatKind::Fat12},        // 2-sector FAT12 clusters
    {8399, kUsbZip32, "ZIP32", "ZIP32", FatKind::Fat12},       // largest FAT12 zone, media 0xF0
    {8400, kNoBoot, "EDGE", "EDGE", FatKind::Fat16},           // meets the table's 0 row
    {8433, kUsbHdd, "EDGE HDD", "EDGE HDD", FatKind::Fat16},   // V = 8400, the last 0-row size
    {8434, kNoBoot, "", nullptr, FatKind::Fat16},              // V = 8401
    {65568, kUsbZip63, "SIXTEEN", "SIXTEEN", FatKind::Fat16},  // V = 65535: 16-bit total
    {65569, kNoBoot, "THIRTY2", "THIRTY2", FatKind::Fat16},    // V = 65536: 32-bit total
    {1000001, kNoBoot, "ODD", "ODD", FatKind::Fat16},          // the formula's FAT is short
    {4194303, kNoBoot, "TOP16", "TOP16", FatKind::Fat16},      // cut back to 65524 clusters
    {4194303, kUsbHdd, "TOP16 HDD", "TOP16 HDD", FatKind::Fat16},
    {4194304, kNoBoot, "FAT32", "FAT32", FatKind::Fat32},
    {4194304, kUsbHdd, "FAT32 HDD", "FAT32 HDD", FatKind::Fat32},
    {20000003, kUsbZip32, "BIG32", "BIG32", FatKind::Fat32},  // 16-sector clusters
};

std::string Describe(const CheckedZone& z) {
  std::ostringstream o;
  o << z.sectors << " sectors, boot type " << int(z.bootType) << ", label '" << z.label << "'";
  return o.str();
}

TEST(FatChecker, EveryVolumePassesFsckAndListsItsLabel) {
  const std::string fsck = FindTool("fsck.fat");
  const std::string mdir = FindTool("mdir");
  ASSERT_FALSE(fsck.empty()) << "fsck.fat (dosfstools) is not installed";
  ASSERT_FALSE(mdir.empty()) << "mdir (mtools) is not installed";
  ScratchDir dir;
  const auto zonePath = dir / "zone.img";
  const auto partPath = dir / "partition.img";

  for (const CheckedZone& z : kZones) {
    SCOPED_TRACE(Describe(z));
    TFAT volume(FatVolumeSettings{z.sectors, z.bootType, z.label, std::nullopt});
    ASSERT_EQ(volume.Build(), FatError::kNone);
    EXPECT_EQ(volume.layout().kind, z.kind);
    WriteZoneImage(volume, z.sectors, zonePath);

    // Find the partition the way any reader does: from the MBR's first entry.
    const auto mbr = ReadBytes(zonePath, 0, 512);
    ASSERT_EQ(mbr[510], 0x55);
    ASSERT_EQ(mbr[511], 0xAA);
    EXPECT_EQ(mbr[446], 0x80) << "the partition is active";
    EXPECT_EQ(mbr[446 + 4], static_cast<std::uint8_t>(z.kind));
    const std::uint32_t start = Le32(mbr, 446 + 8);
    const std::uint32_t count = Le32(mbr, 446 + 12);
    EXPECT_EQ(start, 32u);
    EXPECT_EQ(count, z.sectors - 33) << "the partition ends one sector before the zone";
    ASSERT_LE(std::uint64_t{start} + count, z.sectors);

    const auto boot = ReadBytes(zonePath, off_t(start) * 512, 512);
    if (z.bootType == kUsbHdd) {
      EXPECT_EQ(Le16(boot, 14), 32u) << "reserved sectors";
      EXPECT_EQ(Le32(boot, 28), 63u) << "hidden sectors";
      EXPECT_EQ(Le16(boot, 24), 63u) << "sectors per track";
    }

    ExtractSectors(zonePath, start, count, partPath);
    const auto checked = RunCommand(fsck + " -n " + partPath.string());
    EXPECT_EQ(checked.exitCode, 0) << checked.output;
    // A clean run prints only the version line and the summary line.
    std::istringstream lines(checked.output);
    std::string line;
    int printed = 0;
    while (std::getline(lines, line))
      if (!line.empty()) ++printed;
    EXPECT_EQ(printed, 2) << checked.output;

    const auto listed = RunCommand(mdir + " -i " + zonePath.string() + "@@" +
                                   std::to_string(std::uint64_t{start} * 512) + " ::");
    EXPECT_EQ(listed.exitCode, 0) << listed.output;
    const std::string labelLine = z.listed == nullptr
                                      ? " Volume in drive : has no label"
                                      : " Volume in drive : is " + std::string(z.listed);
    EXPECT_NE(listed.output.find(labelLine), std::string::npos) << listed.output;
  }
}

}  // namespace
}  // namespace kvx::fat
