#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "e2e/e2e_station.h"
#include "e2e/fat_check.h"
#include "engine/fat/file_writer.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;

TEST(ProductionE2E, BlankDisksBecomeFinishedDisks) {
  SimStation s(Simulator::FromShortForm(4, 7));
  s.sim->setLatency({});
  auto& cfg = s.station.config();
  cfg.setText(ConfigImage::kVendorInfo, ConfigImage::kVendorInfoWidth, "KVXTEST ");
  cfg.setText(ConfigImage::kProductInfo, ConfigImage::kProductInfoWidth, "Station Disk    ");
  cfg.setText(ConfigImage::kPrivateZonePassword, ConfigImage::kPasswordWidth, "secret");
  auto& o = s.station.options();
  o.fromBin[0] = 1, o.toBin[0] = 100000, o.mBin[0] = 8;  // every disk is an 8 MB product
  s.produce();
  for (int slot = 0; slot < 4; ++slot) {
    SCOPED_TRACE(slot);
    const auto& rec = s.station.record(slot);
    const PortView v = s.station.display(slot).snapshot();
    EXPECT_EQ(rec.LastResult, 0) << v.text;
    EXPECT_EQ(v.colour, BarColour::Blue) << v.text;
    EXPECT_EQ(v.text.rfind("Finished. Bad Pages ", 0), 0u) << v.text;
    EXPECT_GT(rec.BadPages, 0u) << "the short-form disks have factory bad blocks";
    EXPECT_GT(rec.DiskSectors, 0u);
    EXPECT_EQ(rec.BinNo, 1);
    // The declared 8 MB, less the FAT metadata written into it.
    EXPECT_LE(rec.FixedSectors, 8u * 2048);
    EXPECT_GT(rec.FixedSectors, 7u * 2048);
    EXPECT_NE(v.text.find("BIN-1"), std::string::npos) << v.text;
  }

  // What the host reads of the produced disk: INQUIRY strings from the
  // settings, the USB serial string in the system information, and the
  // private-zone record right after the last zone.
  const FORMATINFO& rec = s.station.record(0);
  const DeviceHandle h = s.sim->open(Simulator::DevicePath(0));
  ASSERT_TRUE(IsOpen(h));
  std::array<std::uint8_t, 36> inquiry{};
  ASSERT_EQ(s.sim->send(DataDirection::In, h, Cdb{0x12, 0, 0, 0, 36, 0}, inquiry.data(), 36, 0, 5), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&inquiry[8]), 24), "KVXTEST Station Disk    ");
  const auto sysInfo = ReadSystemInformation(*s.sim, 0, 0);
  ASSERT_EQ(sysInfo.size(), 512u);
  ASSERT_FALSE(rec.SerialText.empty());
  std::string usbSerial;
  for (std::size_t i = 0; i + 2 < sysInfo[192]; i += 2) usbSerial += char(sysInfo[194 + i]);
  EXPECT_EQ(usbSerial, rec.SerialText);
  EXPECT_EQ(usbSerial, "KVX0000000000001");
  std::array<std::uint8_t, 1024> priv{};
  const std::uint32_t after = rec.Zone0Sectors;
  const Cdb read10{0x28, 0, std::uint8_t(after >> 24), std::uint8_t(after >> 16), std::uint8_t(after >> 8),
                   std::uint8_t(after), 0, 0, 2, 0};
  ASSERT_EQ(s.sim->send(DataDirection::In, h, read10, priv.data(), 1024, 0, 5), 0);
  FileSystemInputs in;
  in.privatePassword = "secret";
  in.scramblePrivateRecord = true;
  for (int i = 0; i < 4; ++i) in.privateRecordBytes[std::size_t(i)] = cfg.PrivateRecordByte(i);
  EXPECT_EQ(priv, PrivateZoneRecord(in, rec.SerialText));
  s.sim->close(h);
  const fs::path image = s.home / "disk0.img";
  std::string error;
  ASSERT_TRUE(s.sim->exportLogicalImage(0, image.string(), &error)) << error;
  const std::string listing = CheckFatVolume(image, s.home);
  if (std::getenv("KVX_E2E_VERBOSE")) {
    for (int slot = 0; slot < 4; ++slot) std::printf("%s\n", s.station.display(slot).snapshot().text.c_str());
    std::printf("%s\n", listing.c_str());
  }
  EXPECT_NE(listing.find("KVXDISK"), std::string::npos) << listing;
}

}  // namespace
}  // namespace kvx::e2e
