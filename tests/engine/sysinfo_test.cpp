#include "engine/sysinfo.h"

#include <gtest/gtest.h>

#include "config/config_image.h"
#include "flash/sysinfo_fields.h"

namespace kvx {
namespace {

using C = ConfigImage;
using sysinfo::Be16;
using sysinfo::Be32;

class SysInfoTest : public ::testing::Test {
 protected:
  SysInfoTest() {
    rec.FlashType[53] = 4;    // SectorPerPage
    rec.FlashType[49] = 64;   // PagePerBlock
    rec.FlashType[40] = 0x00, rec.FlashType[41] = 0x10;  // 4096 blocks
    rec.Settings[C::kActiveZoneCount] = 1;
    rec.ZoneCount = 1;
    text(C::kVendorCode, "0x1B");
    text(C::kProductCode, "0x1234");
    text(C::kVendorInfo, "KVX     ");
    text(C::kProductInfo, "Flash Disk      ");
  }
  void text(std::size_t at, const std::string& t) {
    std::fill(rec.Settings.begin() + std::ptrdiff_t(at), rec.Settings.begin() + std::ptrdiff_t(at) + 6, 0);
    std::copy(t.begin(), t.end(), rec.Settings.begin() + std::ptrdiff_t(at));
  }
  void u32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) rec.Settings[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
  }
  void build(SysInfoForm form = {}, int port = 0) { BuildSysInfo(rec, port, in, form); }
  FORMATINFO rec;
  SysInfoInputs in;
};

TEST_F(SysInfoTest, OneZoneOfOddSize) {
  rec.FixedSectors = 805;
  build();
  EXPECT_EQ(rec.ReservedSectors, 2u);
  EXPECT_EQ(rec.Zone0Sectors, 799u);
  EXPECT_EQ(Be32(rec.SysInfo, 297), 799u);
  EXPECT_EQ(rec.SysInfo[272], 0);
  EXPECT_EQ(Be32(rec.SysInfo, 309), 2u);
  EXPECT_TRUE(sysinfo::HasSignature(rec.SysInfo));
  sysinfo::StoreChecksum(rec.SysInfo);
  EXPECT_TRUE(sysinfo::ChecksumHolds(rec.SysInfo));
}

TEST_F(SysInfoTest, FixedZoneLargerThanTheDisk) {
  rec.FixedSectors = 100000;
  u32(C::kZone0FixSectors, 16384 * 8);
  build();
  EXPECT_EQ(Be32(rec.SysInfo, 297), 16384u * 8 - 1) << "the fixed size stays (made odd)";
  EXPECT_TRUE(rec.SysInfo[325] & 4);
  EXPECT_EQ(rec.ZoneOverflow, 1);
  EXPECT_EQ(Be32(rec.SysInfo, 301), 100000u - 2) << "the capacity share of zone 0";
}

TEST_F(SysInfoTest, TemporaryFormIsOneRemovableZone) {
  rec.FixedSectors = 5000;
  rec.Settings[C::kZone0WriteProtect] = 1;
  rec.Settings[C::kZone0ReadProtect] = 1;
  rec.Settings[C::kActiveZoneCount] = 3;
  rec.Settings[C::kZone0DiskType] = 0x85;
  build({.temporary = true});
  const auto& s = rec.SysInfo;
  EXPECT_EQ(Be32(s, 297), 5000u);
  EXPECT_EQ(Be32(s, 301), 5000u);
  EXPECT_EQ(Be32(s, 305), 5000u);
  EXPECT_EQ(s[325] & 3, 0) << "no protection";
  EXPECT_EQ(s[272], 0);
  EXPECT_EQ(s[275], 0xFF);
  EXPECT_EQ(s[281], 0x80);
}

TEST_F(SysInfoTest, IdentityStrings) {
  struct {
    const char* code;
    std::uint16_t id;
  } codes[] = {{"0x1B", 27}, {"0xG1", 0xFFFF}, {"0x", 0}, {"ABCD", 0xABCD}};
  for (auto c : codes) {
    text(C::kVendorCode, c.code);
    build();
    EXPECT_EQ(rec.SysInfo[12 + 8] | rec.SysInfo[12 + 9] << 8, c.id) << c.code;
    EXPECT_EQ(rec.SysInfo[48 + 8] | rec.SysInfo[48 + 9] << 8, c.id) << c.code;
  }
  EXPECT_EQ(rec.SysInfo[12 + 2], 0x00);
  EXPECT_EQ(rec.SysInfo[12 + 3], 0x02);
  EXPECT_EQ(rec.SysInfo[48 + 2], 0x10);
  EXPECT_EQ(rec.SysInfo[48 + 3], 0x01);
  EXPECT_EQ(rec.SysInfo[122], 'K');
  EXPECT_EQ(rec.SysInfo[123], 0);
  EXPECT_EQ(rec.SysInfo[156], 0x22);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&rec.SysInfo[236]), 8), "KVX     ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&rec.SysInfo[260])), "2.80");

  rec.SerialText = "2009030809050307";
  rec.Settings[C::kSerialMode] = 0;
  build({}, 12);
  EXPECT_EQ(rec.SysInfo[224], 'C') << "port 12 in Auto mode";
  EXPECT_EQ(rec.SysInfo[222], '0');
  EXPECT_EQ(PortCharacter(3), '3');
  EXPECT_EQ(PortCharacter(35), 'Z');
  rec.Settings[C::kSerialMode] = 1;
  build({}, 12);
  EXPECT_EQ(rec.SysInfo[224], '7') << "Fix mode keeps the text";
}

TEST_F(SysInfoTest, LargePageWithEightSectors) {
  rec.FlashType[53] = 8;
  rec.LargePage = 1;
  rec.FixedSectors = 100000;
  build();
  const auto& s = rec.SysInfo;
  EXPECT_EQ(s[357], 8);
  EXPECT_TRUE(s[337] & 2);
  EXPECT_FALSE(s[336] & 2);
  EXPECT_TRUE(s[336] & 0x40) << "final form";
  EXPECT_EQ(s[345], 8);
  build({.temporary = true});
  EXPECT_FALSE(rec.SysInfo[336] & 0x40);

  rec.FlashType[53] = 4;
  build();
  EXPECT_EQ(rec.SectorsPerPageX, 8) << "page pairs: E = 2 x S";
  EXPECT_EQ(rec.SysInfo[345], 8);
  EXPECT_EQ(Be16(rec.SysInfo, 343), 256u);
}

TEST_F(SysInfoTest, ThreeZonesByShare) {
  rec.FixedSectors = 100002;
  rec.Settings[C::kActiveZoneCount] = 3;
  rec.Settings[C::kZone1DiskType] = 0x80;
  rec.Settings[C::kZone2Hide] = 1;
  in.shares = {0.5f, 0.25f, 0.25f};
  build();
  EXPECT_EQ(rec.Zone0Sectors, 49999u) << "half of 100000, a multiple of 8, made odd";
  EXPECT_EQ(rec.Zone1Sectors % 2, 1u);
  EXPECT_EQ(Be32(rec.SysInfo, 285), rec.Zone0Sectors);
  EXPECT_EQ(Be32(rec.SysInfo, 289), rec.Zone0Sectors + rec.Zone1Sectors);
  EXPECT_EQ(Be32(rec.SysInfo, 293), rec.Zone0Sectors + rec.Zone1Sectors + rec.Zone2Sectors);
  EXPECT_LE(rec.Zone0Sectors + rec.Zone1Sectors + rec.Zone2Sectors + rec.ReservedSectors, 100002u);
  EXPECT_EQ(rec.SysInfo[272], 1) << "three zones, one hidden";
}

}  // namespace
}  // namespace kvx
