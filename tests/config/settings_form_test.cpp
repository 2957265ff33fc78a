#include "config/settings_form.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "config_test_support.h"

namespace kvx {
namespace {

using I = ConfigImage;
using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

class ConfigSettingsForm : public ::testing::Test {
 protected:
  TempDir dir;
  ConfigImage image;
  LiveOptions live;
  test::RecordingOperator op;
  MessageCatalogue messages{Language::English};
  SettingsPages pages{image, live, op, messages, dir.path()};
  SettingsForm& f = pages.form();

  std::string Saved() {
    SettingsStore store(dir / "config.dat");
    EXPECT_TRUE(pages.SaveSettings(store));
    return ReadBytes(dir / "config.dat");
  }
};

TEST_F(ConfigSettingsForm, AFreshImageSavedAtOnce) {
  pages.Start({});
  const std::string file = Saved();
  ASSERT_EQ(file.size(), I::kSize);
  EXPECT_EQ(file[I::kActiveZoneCount], 1);
  EXPECT_EQ(file.substr(I::kVendorInfo, 9), std::string(8, ' ') + '\0');
  EXPECT_EQ(file.substr(I::kProductInfo, 17), std::string(16, ' ') + '\0');
  EXPECT_EQ(file[I::kCodeTypeOffset], 0);
  EXPECT_EQ(file[I::kFlashTypeOffset], 0);
  EXPECT_EQ(f.diskTypeItems, (std::array<int, 3>{1, 1, 1})) << "all Local";
  EXPECT_EQ(f.levelCount, 4);
  EXPECT_EQ(f.zoneBarTexts[1], "100%");
  EXPECT_FALSE(f.zone1GroupEnabled);
  EXPECT_TRUE(op.notices.empty());
}

// Every setting the form collects lands at its offset, and comes back.
TEST_F(ConfigSettingsForm, FieldsLandAtTheirOffsetsAndRoundTrip) {
  for (const char* n : {"ft0", "ft1"}) image.flashTypeRecord(n[2] - '0').setFlashName(n);
  pages.Start({"e0", "e1", "e2"});
  f.flashTypeSelection = 1;
  f.flashCount = 4;
  f.autoSelect = false;
  f.onlyScan = true;
  f.scanLevelIndex = 2;
  f.vendorCode = "0x1234";
  f.productCode = "0xABCD";
  f.vendorInfo = "Kvx";
  f.productInfo = "Stick";
  f.ledStatus = 1;
  f.workLed = 5;
  f.serialMode = 2;
  f.serialNumber = "SN0001";
  f.pZoneFixSize = "512";
  f.pZonePassword = "secret";
  f.zone0FixSize = "8";
  pages.DiskTypeChanged(0, 0);
  f.volumeLabels = {"ZONE0", "ZONE1", "ZONE2"};
  f.bootType = 3;
  f.zone0ReadProtect = true;
  f.zone1FixSize = "3";
  pages.DiskTypeChanged(1, 1);
  pages.DiskTypeChanged(2, 0);
  f.zone1WriteProtect = f.zone1Hide = f.zone2WriteProtect = f.zone2Hide = true;
  f.zone0FilePath = "/srv/zone0";
  f.zone1FilePath = "/srv/zone1";
  f.blockRange = {"1", "20", "300", "4000", "50000", "6"};
  pages.ZoneBarsMoved(177, 212, 161);
  pages.EccOpenChanged(2);
  pages.BlockModeChanged(true);
  pages.NoVerifyChanged(true);
  pages.HighChipCheckChanged(true);
  pages.ScanCountChanged("7");
  pages.EccOpenBytesChanged("1A");
  pages.LevelCountChanged(12);
  pages.BinChanged(BinColumn::Middle, 14, "3.75");
  const std::string file = Saved();

  const struct {
    std::size_t offset;
    std::string bytes;
  } expect[] = {
      {I::kSelectedFlashType, {1}},
      {I::kAutoSelect, {0}},
      {I::kOnlyScan, {1}},
      {I::kEccOpen, {2}},
      {I::kSelectedFlashTypeHigh, {0}},
      {I::kFlashCount, {4}},
      {I::kScanLevelIndex, {2}},
      {I::kVendorCode, {"0x1234\0", 7}},
      {I::kProductCode, {"0xABCD\0", 7}},
      {I::kVendorInfo, {"Kvx     \0", 9}},
      {I::kProductInfo, {"Stick           \0", 17}},
      {I::kLedStatus, {1, 5, 2}},
      {I::kSerialNumber, {"SN0001\0", 7}},
      {I::kActiveZoneCount, {3}},
      {I::kPrivateZoneSectors, {0, 4, 0, 0}},
      {I::kPrivateZonePassword, {"secret\0", 7}},
      {I::kZone0BarWidth, {char(177), 0, char(212), 0, char(161), 0}},
      {I::kZone0FixSectors, {0, 0x40, 0, 0}},
      {I::kZone0DiskType, {char(0x80)}},
      {I::kZone0Label, {"ZONE0\0", 6}},
      {I::kBootType, {3, 1, 0}},
      {I::kZone0ContentSectors, {0, 0, 0, 0}},
      {I::kZone1FixSectors, {0, 0x18, 0, 0}},
      {I::kZone1DiskType, {0}},
      {I::kZone1Label, {"ZONE1\0", 6}},
      {I::kZone1WriteProtect, {1, 1}},
      {I::kZone2DiskType, {char(0x80)}},
      {I::kZone2Label, {"ZONE2\0", 6}},
      {I::kZone2WriteProtect, {1, 1}},
      {I::kZone0FilePath, {"/srv/zone0\0", 11}},
      {I::kZone1FilePath, {"/srv/zone1\0", 11}},
      {I::kBlockRangeTexts,
       {"1\0\0\0\0\0"
        "20\0\0\0\0"
        "300\0\0\0"
        "4000\0\0"
        "50000\0"
        "6\0\0\0\0\0",
        36}},
      {I::kLevelCount, {12, 1}},
      {I::kMBin + 56, {0, 0, 0x70, 0x40}},  // 3.75f
      {I::kScanCount, {7, 26, 1, 1}},
  };
  for (const auto& e : expect)
    EXPECT_EQ(file.substr(e.offset, e.bytes.size()), e.bytes) << "offset " << e.offset;

  // Load into a fresh station: the form shows the same, and saving again
  // changes no byte.
  ConfigImage image2;
  LiveOptions live2;
  SettingsPages pages2(image2, live2, op, messages, dir.path());
  SettingsStore store(dir / "config.dat");
  ASSERT_EQ(store.Load(image2).status, LoadStatus::Loaded);
  pages2.Start({"e0", "e1", "e2"});
  const SettingsForm& g = pages2.form();
  EXPECT_EQ(g.flashTypeSelection, 1);
  EXPECT_EQ(g.vendorInfo, "Kvx");
  EXPECT_EQ(g.productInfo, "Stick");
  EXPECT_EQ(g.zone0FixSize, "8");
  EXPECT_EQ(g.pZoneFixSize, "512");
  EXPECT_EQ(g.diskTypeItems, (std::array<int, 3>{0, 1, 0}));
  EXPECT_EQ(g.split.activeZoneCount, 3);
  EXPECT_EQ(g.mBin[14], "3.75");
  EXPECT_EQ(g.eccOpenBytes, "1A");
  EXPECT_EQ(g.eccOpenIndex, 2);
  EXPECT_EQ(g.scanLevelItems.size(), 12u);
  EXPECT_EQ(g.blockRange[4], "50000");
  EXPECT_EQ(g.serialStartValue, "0");
  ASSERT_TRUE(pages2.SaveSettings(store));
  EXPECT_EQ(ReadBytes(dir / "config.dat"), file);
}

// A file from another station with something in every byte: showing it and
// saving it again writes only the fields the form collects.
TEST_F(ConfigSettingsForm, SavingWritesOnlyTheCollectedFields) {
  auto b = image.bytes();
  for (std::size_t i = 0; i < b.size(); ++i)
    b[i] = std::uint8_t(0x41 + (i * 7) % 26);  // letters, no NUL
  const std::vector<std::uint8_t> before(b.begin(), b.end());
  pages.Start({});
  pages.ApplyForm();

  // [offset, width) of every field the form collects or normalises.
  const std::pair<std::size_t, std::size_t> written[] = {
      {I::kSelectedFlashType, 3},
      {I::kSelectedFlashTypeHigh, 1},
      {I::kFlashCount, 1},
      {I::kScanLevelIndex, 1},
      {I::kVendorCode, 7},
      {I::kProductCode, 7},
      {I::kVendorInfo, 9},
      {I::kProductInfo, 17},
      {I::kLedStatus, 3},
      {I::kSerialNumber, 25},
      {I::kActiveZoneCount, 1},
      {I::kPrivateZoneSectors, 4},
      {I::kPrivateZonePassword, 17},
      {I::kZone0BarWidth, 6},
      {I::kZone0FixSectors, 4},
      {I::kZone0DiskType, 1},
      {I::kZone0Label, 12},
      {I::kBootType, 3},
      {I::kZone0ContentSectors, 4},
      {I::kZone1FixSectors, 4},
      {I::kZone1DiskType, 1},
      {I::kZone1Label, 12},
      {I::kZone1WriteProtect, 2},
      {I::kZone2DiskType, 1},
      {I::kZone2Label, 12},
      {I::kZone2WriteProtect, 2},
      {I::kZone0FilePath, 260},
      {I::kZone1FilePath, 260},
      {I::kBlockRangeTexts, 36},
      {I::kLevelCount, 1},
  };
  std::vector<bool> allowed(I::kSize, false);
  for (auto [off, width] : written)
    for (std::size_t i = off; i < off + width; ++i) allowed[i] = true;
  std::size_t changed = 0;
  for (std::size_t i = 0; i < I::kSize; ++i) {
    if (b[i] == before[i]) continue;
    ++changed;
    EXPECT_TRUE(allowed[i]) << "byte " << i << " changed";
  }
  EXPECT_GT(changed, 0u);
  // Texts without a NUL in their field were cut to the field.
  EXPECT_EQ(image.VendorInfo().size(), 8u);
  EXPECT_EQ(image.u8(I::kZone1ReadProtect), before[I::kZone1ReadProtect]) << "no control sets it";
  EXPECT_EQ(image.PrivateRecordByte(2), before[I::kPrivateRecordByte2]);
  EXPECT_EQ(image.SerialStartValue(), std::int32_t(GetLe32(before, I::kSerialStartValue)));
}

TEST_F(ConfigSettingsForm, ProductTextsAndCodes) {
  pages.Start({});
  f.vendorInfo = "ABC";
  f.vendorCode = "0x1d6b";
  Saved();
  EXPECT_EQ(image.VendorInfo(), "ABC     ");
  f.vendorCode = "0x";  // cleared back: the stored code stays
  f.vendorInfo = "ABCDEFGHIJK";
  Saved();
  EXPECT_EQ(image.VendorCode(), "0x1d6b");
  EXPECT_EQ(image.VendorInfo(), "ABCDEFGH");
  pages.ShowSettings();
  EXPECT_EQ(f.vendorInfo, "ABCDEFGH");
  EXPECT_EQ(f.vendorCode, "0x1d6b");
}

TEST_F(ConfigSettingsForm, FixedSizes) {
  pages.Start({});
  const struct {
    const char* text;
    std::uint32_t sectors;
    bool rejected;
  } cases[] = {{"8", 16384, false},      {"0", 0, false},       {"", 0, false},
               {"100", 204800, false},   {"abc", 204800, true}, {"-5", 204800, true},
               {"9999999", 204800, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    op.notices.clear();
    f.zone0FixSize = c.text;
    Saved();
    EXPECT_EQ(image.Zone0FixSectors(), c.sectors);
    EXPECT_EQ(op.notices.size(), c.rejected ? 1u : 0u);
  }
}

TEST_F(ConfigSettingsForm, ZoneZeroContentSize) {
  pages.Start({});
  const struct {
    const char* name;
    std::uint8_t diskType;
    bool writeProtect;
    const char* fixMb;
    std::int64_t isoBytes;  // -1: no image file
    std::uint32_t sectors;
    bool warned;
  } cases[] = {
      {"cd, 1 sector", kDiskCdrom, false, "0", 512, 4097, false},
      {"cd, 1000 sectors in 100 MB", kDiskCdrom, false, "100", 1000 * 512, 204800, false},
      {"cd, empty image", kDiskCdrom, false, "0", 0, 0, false},
      {"cd, missing image", kDiskCdrom, false, "0", -1, 0, true},
      {"write-protected, no login folder", kDiskRemovable, true, "0", -1, 2048, false},
      {"neither", kDiskRemovable, false, "0", -1, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    op.notices.clear();
    std::filesystem::remove(dir / "disk.iso");
    if (c.isoBytes >= 0) WriteBytes(dir / "disk.iso", std::string(std::size_t(c.isoBytes), 'i'));
    f.isoFile = "disk.iso";  // relative to the station folder
    f.zoneDiskTypes[0] = c.diskType;
    f.zone0WriteProtect = c.writeProtect;
    f.zone0FixSize = c.fixMb;
    Saved();
    EXPECT_EQ(image.Zone0ContentSectors(), c.sectors);
    ASSERT_EQ(op.notices.size(), c.warned ? 1u : 0u);
    if (c.warned) {
      EXPECT_EQ(op.notices[0].text, "Autoplay file not exists");
      EXPECT_EQ(op.notices[0].title, "Warning");
    }
  }
  EXPECT_EQ(image.IsoFile(), "disk.iso");

  // The login folder with 3 MB in two levels: 6144 sectors + 4 + 30.
  std::filesystem::create_directories(dir / "LoginFiles/sub");
  WriteBytes(dir / "LoginFiles/a.bin", std::string(2 << 20, 'a'));
  WriteBytes(dir / "LoginFiles/sub/b.bin", std::string(1 << 20, 'b'));
  std::filesystem::create_directory_symlink(dir.path(), dir / "LoginFiles/loop");
  f.zoneDiskTypes[0] = kDiskRemovable;
  f.zone0WriteProtect = true;
  Saved();
  EXPECT_EQ(image.Zone0ContentSectors(), 6144u + 6144u * 9 / 12712 + 30);
  EXPECT_EQ(FolderContentSectors(std::uint64_t(1) << 42), 0xFFFFFFFFu) << "saturates, never wraps";
}

TEST(ConfigZoneSplit, SevenCases) {
  const struct {
    int w0, w1, w2, count;
    std::array<float, 3> shares;
    std::array<int, 3> bars;
  } cases[] = {
      {0, 300, 0, 1, {1, 0, 0}, {1, -1, -1}},
      {0, 1, 40, 1, {1, 0, 0}, {2, -1, -1}},
      {40, 0, 0, 1, {1, 0, 0}, {0, -1, -1}},
      {100, 201, 0, 2, {100 / 300.f, 200 / 300.f, 0}, {0, 1, -1}},
      {30, 1, 10, 2, {30 / 40.f, 10 / 40.f, 0}, {0, 2, -1}},
      {0, 31, 10, 2, {30 / 40.f, 10 / 40.f, 0}, {1, 2, -1}},
      {177, 212, 161, 3, {177 / 549.f, 211 / 549.f, 161 / 549.f}, {0, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.w0) + "/" + std::to_string(c.w1) + "/" + std::to_string(c.w2));
    const ZoneSplit z = ZoneSplitLayout(c.w0, c.w1, c.w2);
    EXPECT_EQ(z.activeZoneCount, c.count);
    for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(z.shares[i], c.shares[i]);
    EXPECT_EQ(z.barOfZone, c.bars);
  }
}

TEST_F(ConfigSettingsForm, ZoneBarsShowTheShares) {
  pages.Start({});
  pages.ZoneBarsMoved(177, 212, 161);
  EXPECT_EQ(f.zoneBarTexts, (std::array<std::string, 3>{"32.2%", "38.4%", "29.3%"}));
  EXPECT_TRUE(f.zone1GroupEnabled && f.zone2GroupEnabled);
  pages.ZoneBarsMoved(0, 2, 1);
  EXPECT_EQ(f.zoneBarTexts, (std::array<std::string, 3>{"32.2%", "50%", "50%"}))
      << "Zone0Bar keeps its text";
  EXPECT_TRUE(f.zone1GroupEnabled);
  EXPECT_FALSE(f.zone2GroupEnabled);
  pages.ZoneBarsMoved(3, 0, 3);
  EXPECT_EQ(f.split.activeZoneCount, 2);
  EXPECT_EQ(f.zoneBarTexts[0], "50%");
}

TEST_F(ConfigSettingsForm, ScanLevelsAndTheirCount) {
  image.setU8(I::kLevelCount, 200);  // beyond the spin edit: shown and stored as 80
  pages.Start({});
  EXPECT_EQ(f.levelCount, 80);
  EXPECT_EQ(image.LevelCountRaw(), 80);
  pages.LevelCountChanged(4);
  EXPECT_EQ(f.scanLevelItems, (std::vector<std::string>{"Low Level0", "Low Level1", "High Format",
                                                        "Mpcs_High_Format"}));
  pages.LevelCountChanged(10);
  pages.ScanLevelChanged(7);
  pages.LevelCountChanged(5);
  EXPECT_EQ(f.scanLevelIndex, 0);
  EXPECT_EQ(live.scanLevelIndex.load(), 0);
  pages.ScanLevelChanged(3);
  pages.LevelCountChanged(6);
  EXPECT_EQ(f.scanLevelIndex, 3) << "still inside the list";
  EXPECT_EQ(live.levelCount.load(), 6);
  EXPECT_EQ(ScanLevelItems(4, MessageCatalogue(Language::SimplifiedChinese))[0], "低格级别0");
}

TEST_F(ConfigSettingsForm, ChangeHandlersConvertTheirTexts) {
  pages.Start({"a", "b"});
  const struct {
    const char* text;
    std::uint8_t stored;
    const char* replacement;
  } scanCounts[] = {{"0", 1, "1"}, {"", 1, "1"}, {"25", 20, "20"}, {"-3", 1, "1"}, {"12", 12, ""}};
  for (const auto& c : scanCounts) {
    const EditResult r = pages.ScanCountChanged(c.text);
    EXPECT_EQ(image.ScanCount(), c.stored) << c.text;
    EXPECT_EQ(r.replacementText, c.replacement) << c.text;
    EXPECT_EQ(live.scanCount.load(), c.stored);
  }
  EXPECT_EQ(pages.ScanCountChanged("1x").outcome, EditResult::Rejected);
  EXPECT_EQ(image.ScanCount(), 12);

  pages.EccOpenBytesChanged("1A");
  EXPECT_EQ(image.EccOpenBytes(), 26);
  pages.EccOpenBytesChanged("");
  EXPECT_EQ(image.EccOpenBytes(), 0);
  pages.EccOpenChanged(5);  // only two options: ignored
  EXPECT_EQ(image.EccOpen(), 0);

  EXPECT_EQ(pages.BinChanged(BinColumn::To, 0, "1024.5").outcome, EditResult::Stored);
  EXPECT_FLOAT_EQ(image.ToBin(0), 1024.5f);
  EXPECT_FLOAT_EQ(live.toBin[0].load(), 1024.5f);
  EXPECT_EQ(pages.BinChanged(BinColumn::To, 0, "").outcome, EditResult::Unchanged);
  EXPECT_EQ(pages.BinChanged(BinColumn::To, 0, "1,5").outcome, EditResult::Rejected);
  EXPECT_FLOAT_EQ(image.ToBin(0), 1024.5f);

  pages.DiskTypeChanged(2, 2);  // zone 3 has no CDROM item
  EXPECT_EQ(f.zoneDiskTypes[2], kDiskLocal);
  pages.DiskTypeChanged(0, 2);
  EXPECT_EQ(f.zoneDiskTypes[0], kDiskCdrom);
}

TEST_F(ConfigSettingsForm, BlockRangeIsPublishedAsNumbers) {
  pages.Start({});
  f.blockRange[0] = "100";
  f.blockRange[1] = "1O0";
  pages.PublishLive();
  EXPECT_EQ(live.fromBlock.load(), 100);
  EXPECT_EQ(live.toBlock.load(), LiveOptions::kNotANumber);
}

// Workers read the live options while the window changes them.
TEST_F(ConfigSettingsForm, LiveOptionsAreReadWhileTheyChange) {
  pages.Start({"a", "b", "c"});
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::thread worker([&] {
    while (!stop.load()) {
      (void)live.scanLevelIndex.load();
      (void)live.levelCount.load();
      (void)live.onlyScan.load();
      (void)live.toBin[3].load();
      (void)live.eccOpen.load();
      ++reads;
    }
  });
  // Until the worker has read a good number of times while edits go on.
  int i = 0;
  for (; i < 2000 || reads.load() < 100; ++i) {
    pages.LevelCountChanged(4 + i % 10);
    pages.ScanLevelChanged(i % 4);
    pages.BlockModeChanged(i & 1);
    pages.BinChanged(BinColumn::To, 3, std::to_string(i));
    pages.EccOpenChanged(i % 3);
    f.onlyScan = i & 2;
    pages.PublishLive();
  }
  stop.store(true);
  worker.join();
  --i;
  EXPECT_FLOAT_EQ(live.toBin[3].load(), float(i));
  EXPECT_EQ(live.levelCount.load(), 4 + i % 10);
  EXPECT_EQ(live.blockMode.load(), bool(i & 1));
}

}  // namespace
}  // namespace kvx
