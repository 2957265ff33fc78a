#include "config/config_image.h"

#include <gtest/gtest.h>

#include "config/settings_file.h"
#include "config_test_support.h"

namespace kvx {
namespace {

TEST(ConfigImage, ParseHex) {
  const struct {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"", 0},           {"0x", 0},        {"0X1f", 0x1F},    {"1A", 0x1A},
      {"0x0abc", 0xABC}, {"ffffffff", -1}, {"1ffffffff", -1}, {"123456789", 0x23456789},
      {"g", -1},         {"0x12z", -1},    {" 12", -1},       {"x12", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseHex(c.text), c.value) << c.text;
}

TEST(ConfigImage, TextsStayInsideTheirField) {
  ConfigImage image;
  // A damaged file: no NUL anywhere in the vendor code field.
  for (std::size_t i = 0; i < 7; ++i) image.setU8(ConfigImage::kVendorCode + i, 'A');
  image.setU8(ConfigImage::kProductCode, 'B');
  EXPECT_EQ(image.VendorCode(), "AAAAAAA");

  // Writing cuts at the limit without splitting a character, and zero-fills.
  image.setText(ConfigImage::kZone0Label, ConfigImage::kLabelWidth,
                "ABCDEFGHIJ\xE4\xB8\xAD");  // 10 + 3 bytes
  EXPECT_EQ(image.VolumeLabel(0), "ABCDEFGHIJ");
  EXPECT_EQ(image.u8(ConfigImage::kZone0Label + 10), 0);
  EXPECT_EQ(image.u8(ConfigImage::kZone0Label + 11), 0);
  EXPECT_EQ(image.u8(ConfigImage::kBootType), 0) << "the next field is untouched";
}

TEST(ConfigImage, FlashTypeFieldsAtTheirOffsets) {
  ConfigImage image;
  const std::size_t base = ConfigImage::kFlashTypeOffset + 5 * ConfigImage::kFlashTypeSize;
  FlashTypeRecord r = image.flashTypeRecord(5);
  r.setFlashName("K9G8G08");
  r.setBlockPerChip(70000);
  r.setPagePerBlock(128);
  r.setMainFlashID(0xECD35195);
  r.setByte(FlashTypeRecord::kSectorPerPage, 8);
  r.setBit(FlashTypeRecord::kFlagsB, 0, true);
  r.setBit(FlashTypeRecord::kJumpFlags3, 5, true);
  const auto b = image.bytes();
  EXPECT_EQ(GetText(b, base, 32), "K9G8G08");
  EXPECT_EQ(GetLe32(b, base + 40), 70000u);
  EXPECT_EQ(GetLe16(b, base + 47), 4464u) << "70000 & 0xFFFF";
  EXPECT_EQ(GetLe16(b, base + 49), 128u);
  EXPECT_EQ(b[base + 33], 0x95);
  EXPECT_EQ(b[base + 36], 0xEC);
  EXPECT_EQ(b[base + 53], 8);
  EXPECT_EQ(b[base + 45], 0x01);
  EXPECT_EQ(b[base + 100], 0x20);

  const ConfigImage& c = image;
  EXPECT_EQ(c.flashTypeRecord(5).BlockPerChip(), 70000u);
  EXPECT_EQ(c.flashTypeRecord(5).BlockPerChip16(), 4464u);
  EXPECT_EQ(c.flashTypeRecord(5).PagePerBlock(), 128u);
  EXPECT_EQ(c.flashTypeRecord(5).SectorPerPage(), 8u);
  EXPECT_TRUE(c.flashTypeRecord(5).DoubleDie());
  EXPECT_FALSE(c.flashTypeRecord(5).NandType());
}

TEST(ConfigImage, TableIndexesAreCheckedAgainstTheTablesInUse) {
  ConfigImage image;
  for (std::size_t i = 0; i < 300 && i < ConfigImage::kFlashTypeCount; ++i)
    image.flashTypeRecord(i).setFlashName("ft" + std::to_string(i));
  image.codeTypeRecord(0).setCodeName("scan");
  image.codeTypeRecord(1).setCodeName("product");
  EXPECT_EQ(image.flashTypeCount(), 288u);
  EXPECT_EQ(image.codeTypeCount(), 2u);

  image.flashTypeRecord(3).setByte(FlashTypeRecord::kScanCode, 1);
  image.flashTypeRecord(3).setByte(FlashTypeRecord::kCodeType, 2);  // no third code type
  EXPECT_EQ(image.scanCodeOf(3), 1u);
  EXPECT_EQ(image.productCodeOf(3), std::nullopt);
  EXPECT_EQ(image.scanCodeOf(288), std::nullopt);

  // The production choice: above 255 it survives a save and a load; -1 is none.
  test::TempDir dir;
  for (int index : {0, 255, 256, 287, -1}) {
    image.SetSelectedFlashType(index);
    ASSERT_TRUE(SaveSettingsFile(dir / "config.dat", image));
    ConfigImage loaded;
    LoadSettingsFile(dir / "config.dat", loaded);
    EXPECT_EQ(loaded.SelectedFlashType(), index);
  }
  // An index beyond the flash types in use reads as none.
  image.SetSelectedFlashType(200);
  image.flashTypeRecord(100).setFlashName("");
  EXPECT_EQ(image.flashTypeCount(), 100u);
  EXPECT_EQ(image.SelectedFlashType(), -1);
  // Files of older stations hold the index in byte 0 only (byte 4 zero).
  image.setU8(ConfigImage::kSelectedFlashType, 7);
  image.setU8(ConfigImage::kSelectedFlashTypeHigh, 0);
  EXPECT_EQ(image.SelectedFlashType(), 7);
}

}  // namespace
}  // namespace kvx
