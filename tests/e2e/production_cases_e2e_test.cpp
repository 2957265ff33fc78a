#include <gtest/gtest.h>

#include <fstream>

#include "e2e/e2e_station.h"
#include "e2e/fat_check.h"
#include "engine/fat/fat_test_support_link.h"
#include "flash/sysinfo_fields.h"
#include "sim/sim_profile.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;
using sim::DiskSpec;

TEST(ProductionCasesE2E, OnlyScanReportsTheScanAndFixedZero) {
  SimStation s(SimOf({ControllerDisk()}));
  s.station.options().onlyScan = true;
  s.produce();
  const PortView v = s.station.display(0).snapshot();
  EXPECT_EQ(s.station.record(0).LastResult, 0);
  EXPECT_NE(v.text.find("(Fixed: 0)MB"), std::string::npos) << v.text;
  const auto nodes = s.station.badPageTree().snapshot();
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_NE(nodes[0].text.find(": DiskSize: "), std::string::npos);
}

TEST(ProductionCasesE2E, ThreeZonesLieWhereTheSystemInformationSays) {
  SimStation s(SimOf({ControllerDisk()}));
  auto& cfg = s.station.config();
  cfg.setU8(ConfigImage::kActiveZoneCount, 3);
  cfg.setU16(ConfigImage::kZone0BarWidth, 100);
  cfg.setU16(ConfigImage::kZone1BarWidth, 101);
  cfg.setU16(ConfigImage::kZone2BarWidth, 100);
  cfg.setU8(ConfigImage::kZone1DiskType, kDiskRemovable);
  cfg.setU8(ConfigImage::kZone2DiskType, kDiskRemovable);
  cfg.setU8(ConfigImage::kZone1WriteProtect, 1);
  cfg.setU8(ConfigImage::kZone2Hide, 1);
  cfg.setText(ConfigImage::kZone1Label, ConfigImage::kLabelWidth, "ZONEONE");
  s.produce();
  const auto& rec = s.station.record(0);
  ASSERT_EQ(rec.LastResult, 0) << s.station.display(0).snapshot().text;
  // The final form on the flash carries the same layout as the job.
  EXPECT_GT(rec.Zone1Sectors, 0u);
  EXPECT_GT(rec.Zone2Sectors, 0u);
  const fs::path image = s.home / "disk.img";
  ASSERT_TRUE(s.sim->exportLogicalImage(0, image.string()));
  const auto bytes = ReadFile(image);
  // Each zone starts with its own MBR (0x55AA) and a FAT volume that
  // fsck.fat passes, with the zone's label.
  const std::uint32_t starts[] = {0u, rec.Zone0Sectors, rec.Zone0Sectors + rec.Zone1Sectors};
  const char* labels[] = {"KVXDISK", "ZONEONE", nullptr};
  for (int z = 0; z < 3; ++z) {
    SCOPED_TRACE(z);
    const std::uint32_t first = starts[z];
    ASSERT_LT(std::size_t(first) * 512 + 512, bytes.size() + 1);
    EXPECT_EQ(bytes[std::size_t(first) * 512 + 510], 0x55) << first;
    EXPECT_EQ(bytes[std::size_t(first) * 512 + 511], 0xAA) << first;
    const std::string listing = CheckFatVolume(image, s.home, first);
    if (labels[z]) {
      EXPECT_NE(listing.find(labels[z]), std::string::npos) << listing;
    }
  }
}

TEST(ProductionCasesE2E, CdromZoneCarriesTheIsoUnchanged) {
  const std::string xorriso = fat::fattest::FindTool("xorriso");
  ASSERT_FALSE(xorriso.empty()) << "xorriso missing: run scripts/install-deps.sh";
  SimStation s(SimOf({ControllerDisk()}));
  const fs::path src = s.home / "iso-src";
  fs::create_directories(src);
  std::ofstream(src / "README.TXT") << "autorun fixture";
  const fs::path iso = s.home / "fixture.iso";
  const auto r = fat::fattest::RunCommand(xorriso + " -as mkisofs -quiet -V KVXCD -o " + iso.string() +
                                          " " + src.string());
  ASSERT_EQ(r.exitCode, 0) << r.output;
  auto& cfg = s.station.config();
  cfg.setU8(ConfigImage::kZone0DiskType, kDiskCdrom);
  cfg.setText(ConfigImage::kIsoFile, ConfigImage::kPathWidth, iso.string());
  const auto isoBytes = ReadFile(iso);
  cfg.setU32(ConfigImage::kZone0ContentSectors, std::uint32_t(isoBytes.size() / 512 + 4096));
  s.produce();
  ASSERT_EQ(s.station.record(0).LastResult, 0) << s.station.display(0).snapshot().text;
  const fs::path image = s.home / "disk.img";
  ASSERT_TRUE(s.sim->exportLogicalImage(0, image.string()));
  const auto disk = ReadFile(image);
  ASSERT_GE(disk.size(), isoBytes.size());
  EXPECT_TRUE(std::equal(isoBytes.begin(), isoBytes.end(), disk.begin()));
}

TEST(ProductionCasesE2E, VerifyMismatchesRetireBlocks) {
  DiskSpec sysFail = ControllerDisk();
  sysFail.defects.programFailPages = {{0, 0}};  // the first system-area page of block 0
  DiskSpec dataFail = ControllerDisk();
  dataFail.defects.programFailPages = {{100, 0}};
  SimStation s(SimOf({sysFail, dataFail, ControllerDisk()}));
  s.produce();
  for (int slot = 0; slot < 3; ++slot)
    ASSERT_EQ(s.station.record(slot).LastResult, 0) << s.station.display(slot).snapshot().text;
  EXPECT_NE(s.station.record(0).Flash.SysBlock, 0) << "the system area moved";
  EXPECT_LT(s.station.record(1).DiskSectors, s.station.record(2).DiskSectors)
      << "the data block that failed its read-back is retired";
  for (int slot : {0, 1}) {
    const fs::path image = s.home / ("disk" + std::to_string(slot) + ".img");
    EXPECT_TRUE(s.sim->exportLogicalImage(slot, image.string())) << "the firmware reads the disk";
  }
}

TEST(ProductionCasesE2E, NoPlaceForTheSystemAreaEndsRed) {
  DiskSpec d = ControllerDisk();
  for (std::uint32_t b = 0; b < 256; ++b)
    for (std::uint32_t p : {0u, 1u}) d.defects.weakPages.push_back({b, p, 0xFF, -1, 0});
  SimStation s(SimOf({d}));
  s.produce();
  EXPECT_EQ(s.station.record(0).LastResult, -1);
  EXPECT_EQ(s.station.display(0).snapshot().colour, BarColour::Red);
}

TEST(ProductionCasesE2E, ReformatRewritesWithNewSettingsAndKeepsTheSize) {
  SimStation s(SimOf({ControllerDisk(), ControllerDisk()}));
  s.sim->unplug(1);
  s.produce();
  ASSERT_EQ(s.station.record(0).LastResult, 0) << s.station.display(0).snapshot().text;
  s.station.config().setText(ConfigImage::kProductInfo, ConfigImage::kProductInfoWidth,
                             "Reformatted     ");
  s.station.options().scanLevelIndex = 2;  // "High Format" of 4 levels
  std::uint32_t size = 0;
  for (int round = 0; round < 2; ++round) {
    s.station.StartAll();
    s.station.WaitForIdle();
    const auto& rec = s.station.record(0);
    ASSERT_EQ(rec.LastResult, 0) << s.station.display(0).snapshot().text;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&rec.SysInfo[244]), 11), "Reformatted");
    if (round == 0) size = rec.Zone0Sectors;
    EXPECT_EQ(rec.Zone0Sectors, size) << "a repeated re-format does not shrink zone 0";
  }
  // A blank disk has no system information to find.
  s.sim->plug(1);
  s.discovery.RefreshPorts();
  s.station.StartAll();
  s.station.WaitForIdle();
  EXPECT_EQ(s.station.record(1).LastResult, -1);
  EXPECT_EQ(s.station.display(1).snapshot().colour, BarColour::Red);
}

TEST(ProductionCasesE2E, UnpluggedMidJobEndsRedOthersFinish) {
  DiskSpec vanishing = ControllerDisk();
  vanishing.faults.unplugAfter = 400;
  SimStation s(SimOf({ControllerDisk(), vanishing, ControllerDisk()}));
  s.produce();
  EXPECT_EQ(s.station.record(0).LastResult, 0);
  EXPECT_NE(s.station.record(1).LastResult, 0);
  EXPECT_EQ(s.station.display(1).snapshot().colour, BarColour::Red);
  EXPECT_EQ(s.station.record(2).LastResult, 0);
}

// The disk on slot 1 vanishes when the nth command of an opcode that only
// one stage sends arrives; its job ends red, slots 0 and 2 finish. The
// commands of one production of the demo flash, in order: 0xD5 (configuration
// table), 0xD7 (scan firmware), 4 x 0xD2 (scan erase phase), 0xDA (firmware
// scan), 5 x 0xD2 (high-format erase), 0xD5/0xD4 pairs (system area and table
// blocks with read-back), 0xD2 + 0xD5/0xD4 per data block, 0xD5 (system
// information), 0xD7 (final firmware), 0x2A/0x28 (file systems with read-back),
// 0xF9/0xF8 (logical scan, when chosen).
TEST(ProductionCasesE2E, UnpluggedInEveryStageEndsRedOthersFinish) {
  struct Case {
    const char* stage;
    std::uint8_t opcode;
    std::uint32_t nth;
    bool logicScan = false;
    bool reformat = false;  // a re-format of a produced disk
  };
  const Case cases[] = {
      {"configuration table download", 0xD5, 1},
      {"scan firmware download", 0xD7, 1},
      {"scan erase phase", 0xD2, 2},
      {"firmware scan", 0xDA, 100},
      {"high-format erase", 0xD2, 7},
      {"system area write", 0xD5, 2},
      {"system area read-back", 0xD4, 1},
      {"data block initialisation", 0xD5, 200},
      {"final firmware download", 0xD7, 2},
      {"file system write", 0x2A, 1},
      {"file system read-back", 0x28, 3},
      {"logical scan", 0xF9, 1, true},
      {"re-format probe", 0xD4, 1, false, true},
      {"re-format rewrite", 0xD5, 2, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stage);
    DiskSpec vanishing = ControllerDisk();
    if (!c.reformat) vanishing.faults.unplugOn = {{c.opcode, c.nth}};
    SimStation s(SimOf({ControllerDisk(), vanishing, ControllerDisk()}));
    s.station.options().logicScan = c.logicScan;
    s.produce();
    if (c.reformat) {
      ASSERT_EQ(s.station.record(1).LastResult, 0);
      sim::Faults f;
      f.unplugOn = {{c.opcode, c.nth}};
      s.sim->injectFaults(1, f);
      s.station.options().scanLevelIndex = 2;  // "High Format" of 4 levels
      s.station.StartAll();
      s.station.WaitForIdle();
    }
    EXPECT_FALSE(s.sim->plugged(1)) << "the fault was reached";
    EXPECT_NE(s.station.record(1).LastResult, 0);
    EXPECT_EQ(s.station.display(1).snapshot().colour, BarColour::Red)
        << s.station.display(1).snapshot().text;
    for (int other : {0, 2}) {
      EXPECT_EQ(s.station.record(other).LastResult, 0) << s.station.display(other).snapshot().text;
      EXPECT_EQ(s.station.display(other).snapshot().colour, BarColour::Blue);
    }
  }
}

// The folders of the home directory land in the produced disk's volume; a disk
// whose volume is not mounted ends red with the copy error.
TEST(ProductionCasesE2E, FolderCopiesLandInTheVolume) {
  struct Case {
    const char* name;
    const char* folder;  // under the home directory
    std::uint8_t zone0WriteProtect, bootType;
    bool zone0Folder, mounted;
    bool copied;
  };
  const Case cases[] = {
      {"login files of a protected zone 0", "LoginFiles", 1, 0, false, true, true},
      {"boot files", "BootFiles", 0, 1, false, true, true},
      {"the zone-0 folder", "zone0", 0, 0, true, true, true},
      {"boot files without boot type stay home", "BootFiles", 0, 0, false, true, false},
      {"volume not mounted", "BootFiles", 0, 1, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimStation s(SimOf({ControllerDisk()}));
    const fs::path src = s.home / c.folder;
    fs::create_directories(src / "sub");
    std::ofstream(src / "readme.txt") << "hello";
    std::ofstream(src / "sub" / "data.bin") << std::string(100000, 'x');
    auto& cfg = s.station.config();
    cfg.setU8(ConfigImage::kZone0WriteProtect, c.zone0WriteProtect);
    s.station.options().zone0WriteProtect = c.zone0WriteProtect != 0;
    cfg.setU8(ConfigImage::kBootType, c.bootType);
    if (c.zone0Folder) cfg.setText(ConfigImage::kZone0FilePath, ConfigImage::kPathWidth, src.string());
    s.volumesMounted = c.mounted;
    s.produce();
    const FORMATINFO& rec = s.station.record(0);
    const PortView v = s.station.display(0).snapshot();
    const fs::path volume = s.volume(0);
    if (!c.mounted) {
      EXPECT_EQ(rec.LastResult, msg::kCopyError);
      EXPECT_EQ(v.colour, BarColour::Red);
      // The result line takes the bar; the reason stays with the job.
      EXPECT_EQ(v.text.rfind("Finished.", 0), 0u) << v.text;
      EXPECT_NE(rec.FailureText.find("not mounted"), std::string::npos) << rec.FailureText;
      const auto nodes = s.station.badPageTree().snapshot();
      ASSERT_EQ(nodes.size(), 1u);
      ASSERT_FALSE(nodes[0].lines.empty());
      EXPECT_EQ(nodes[0].lines.back().text, rec.FailureText);
      continue;
    }
    EXPECT_EQ(rec.LastResult, 0) << v.text;
    EXPECT_EQ(v.colour, BarColour::Blue);
    EXPECT_EQ(fs::exists(volume / "sub" / "data.bin"), c.copied);
    if (c.copied) {
      EXPECT_EQ(fs::file_size(volume / "sub" / "data.bin"), 100000u);
      EXPECT_EQ(ReadFile(volume / "readme.txt").size(), 5u);
    }
  }
}

// The volume is given back once the copies are done, and only then is a
// copied file on the disk: a failed flush is a failed job, and a stop while
// the volume is being attached ends the job as cancelled.
TEST(ProductionCasesE2E, TheVolumeIsGivenBackAfterTheCopies) {
  enum class Attach { Flushed, FlushFails, StoppedMeanwhile };
  struct Case {
    const char* name;
    Attach attach;
    std::int32_t result;
    BarColour colour;
  };
  const Case cases[] = {
      {"flushed", Attach::Flushed, 0, BarColour::Blue},
      {"the flush fails", Attach::FlushFails, msg::kCopyError, BarColour::Red},
      // The result line takes the bar in red; the job's reason says it was cancelled.
      {"stopped while attaching", Attach::StoppedMeanwhile, msg::kCancel, BarColour::Red},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimStation s(SimOf({ControllerDisk()}));
    const fs::path src = s.home / "zone0";
    fs::create_directories(src);
    std::ofstream(src / "readme.txt") << "hello";
    s.station.config().setText(ConfigImage::kZone0FilePath, ConfigImage::kPathWidth, src.string());
    int finishes = 0;
    bool copiedBeforeFinish = false;
    s.openVolume = [&](int port, const std::function<bool()>& stop) {
      if (c.attach == Attach::StoppedMeanwhile) {
        s.station.record(port).Running.store(0);
        EXPECT_TRUE(stop());
        return ProducedVolume::Missing("stopped");
      }
      const fs::path dir = s.volume(port);
      fs::create_directories(dir);
      return ProducedVolume(dir, [&, dir] {
        ++finishes;
        copiedBeforeFinish = fs::exists(dir / "readme.txt");
        return c.attach == Attach::FlushFails ? std::string("writing the copied files failed: EIO")
                                              : std::string();
      });
    };
    s.produce();
    const FORMATINFO& rec = s.station.record(0);
    EXPECT_EQ(rec.LastResult, c.result) << s.station.display(0).snapshot().text;
    EXPECT_EQ(s.station.display(0).snapshot().colour, c.colour);
    if (c.attach == Attach::StoppedMeanwhile) {
      EXPECT_EQ(rec.FailureText, "Cancel");
      EXPECT_FALSE(fs::exists(s.volume(0) / "readme.txt"));
      continue;
    }
    EXPECT_EQ(finishes, 1);
    EXPECT_TRUE(copiedBeforeFinish);
    if (c.attach == Attach::FlushFails) {
      EXPECT_NE(rec.FailureText.find("writing the copied files failed: EIO"), std::string::npos)
          << rec.FailureText;
    }
  }
}

TEST(ProductionCasesE2E, AGenericDiskKeepsEveryByte) {
  DiskSpec generic;
  generic.kind = sim::DiskKind::Generic;
  generic.genericSectors = 20000;
  SimStation s(SimOf({generic, ControllerDisk()}));
  const fs::path before = s.home / "before.img", after = s.home / "after.img";
  ASSERT_TRUE(s.sim->exportLogicalImage(0, before.string()));
  s.produce();
  EXPECT_FALSE(s.station.busy(0));
  EXPECT_EQ(s.station.record(0).FlashTypeIndex, -1) << "no flash answers: never started";
  EXPECT_EQ(s.station.record(1).LastResult, 0);
  ASSERT_TRUE(s.sim->exportLogicalImage(0, after.string()));
  EXPECT_EQ(ReadFile(before), ReadFile(after));
}

TEST(ProductionCasesE2E, ImpossibleGeometryIsRefusedBeforeAnyCommand) {
  SimStation s(SimOf({ControllerDisk()}));
  s.station.config().flashTypeRecord(0).setPagePerBlock(0);
  s.produce();
  EXPECT_EQ(s.station.record(0).LastResult, -1);
  EXPECT_EQ(s.station.display(0).snapshot().colour, BarColour::Red);
  const auto nodes = s.station.badPageTree().snapshot();
  ASSERT_EQ(nodes.size(), 1u);
  ASSERT_EQ(nodes[0].lines.size(), 1u);
  EXPECT_EQ(nodes[0].lines[0].text.rfind("Flash type not supported", 0), 0u);
  EXPECT_EQ(s.sim->eraseCount(0, 0), 0u) << "nothing was sent to the flash";
}

}  // namespace
}  // namespace kvx::e2e
