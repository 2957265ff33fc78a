// The rig's gadget side on the host: the bulk-only decisions and the RAM-disk
// backend, without a kernel.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "device/commands.h"
#include "platform/linux/gadget/bulk_only.h"
#include "platform/linux/gadget/ffs_mass_storage.h"
#include "platform/linux/gadget/ram_disk.h"

namespace kvx::gadget {
namespace {

std::vector<std::uint8_t> CbwBytes(std::uint32_t tag, std::uint32_t length, std::uint8_t flags,
                                   std::uint8_t lun, std::uint8_t cdbLength,
                                   std::vector<std::uint8_t> cdb) {
  std::vector<std::uint8_t> b(kCbwBytes, 0);
  const std::uint32_t sig = kCbwSignature;
  for (int i = 0; i < 4; ++i) {
    b[i] = std::uint8_t(sig >> (8 * i));
    b[4 + i] = std::uint8_t(tag >> (8 * i));
    b[8 + i] = std::uint8_t(length >> (8 * i));
  }
  b[12] = flags, b[13] = lun, b[14] = cdbLength;
  for (std::size_t i = 0; i < cdb.size() && i < 16; ++i) b[15 + i] = cdb[i];
  return b;
}

TEST(BulkOnly, ParsesMeaningfulCbwsOnly) {
  // A 6-byte command with stray bytes after it: only the first 6 count.
  auto good = CbwBytes(0xA1B2C3D4, 36, 0x80, 0, 6, {0x12, 0, 0, 0, 36, 0, 0xEE, 0xEE});
  const auto cbw = ParseCbw(good, 0);
  ASSERT_TRUE(cbw.has_value());
  EXPECT_EQ(cbw->tag, 0xA1B2C3D4u);
  EXPECT_EQ(cbw->dataLength, 36u);
  EXPECT_TRUE(cbw->dataIn);
  EXPECT_EQ(cbw->cdbLength, 6);
  EXPECT_EQ(cbw->direction(), HostDirection::In);
  EXPECT_EQ(cbw->cdb[4], 36);
  EXPECT_EQ(cbw->cdb[6], 0) << "bytes beyond bCBWCBLength must not leak into the command";

  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
  } bad[] = {
      {"30 bytes", std::vector<std::uint8_t>(good.begin(), good.end() - 1)},
      {"32 bytes", [&] { auto b = good; b.push_back(0); return b; }()},
      {"wrong signature", [&] { auto b = good; b[0] = 0x56; return b; }()},
      {"reserved flag bit", CbwBytes(1, 36, 0x81, 0, 6, {0x12})},
      {"LUN beyond the last", CbwBytes(1, 36, 0x80, 1, 6, {0x12})},
      {"reserved LUN bits", CbwBytes(1, 36, 0x80, 0x10, 6, {0x12})},
      {"command length 0", CbwBytes(1, 0, 0, 0, 0, {})},
      {"command length 17", CbwBytes(1, 0, 0, 0, 17, {0})},
  };
  for (auto& c : bad) EXPECT_FALSE(ParseCbw(c.bytes, 0).has_value()) << c.name;
}

TEST(BulkOnly, CswIsLittleEndianWithItsSignature) {
  const auto csw = MakeCsw(0x01020304, 0x200, CswStatus::PhaseError);
  const std::array<std::uint8_t, 13> expected = {0x55, 0x53, 0x42, 0x53, 0x04, 0x03, 0x02,
                                                 0x01, 0x00, 0x02, 0x00, 0x00, 0x02};
  EXPECT_EQ(csw, expected);
}

// The thirteen cases of host expectation against device intent.
TEST(BulkOnly, PlansEveryCase) {
  const Cdb tur{};
  const Cdb read1 = MakeRead10Cdb(op::kRead10, 0, 512);
  const Cdb read2 = MakeRead10Cdb(op::kRead10, 0, 1024);
  const Cdb write1 = MakeRead10Cdb(op::kWrite10, 0, 512);
  const Cdb write2 = MakeRead10Cdb(op::kWrite10, 0, 1024);
  Cdb inquiry{};
  inquiry[0] = 0x12, inquiry[4] = 36;
  Cdb flashId{};
  flashId[0] = op::kReadFlashId;
  Cdb writeSectors{};
  writeSectors[0] = op::kWriteSectors;
  Cdb unknown{};
  unknown[0] = 0xC0;
  enum Dir { N, I, O };
  struct Case {
    const char* name;
    Cdb cdb;
    Dir dir;
    std::uint32_t length;
    bool phase;
    std::uint32_t device;
    bool stallIn, stallOut;
    std::uint32_t residue;
  } cases[] = {
      {"1 Hn=Dn", tur, N, 0, false, 0, false, false, 0},
      {"2 Hn<Di", read1, N, 0, true, 0, false, false, 0},
      {"3 Hn<Do", write1, N, 0, true, 0, false, false, 0},
      {"4 Hi>Dn", tur, I, 512, false, 0, true, false, 512},
      {"5 Hi>Di on a packet boundary", read1, I, 1024, false, 512, true, false, 512},
      {"5 Hi>Di short packet", inquiry, I, 96, false, 36, false, false, 60},
      {"6 Hi=Di", read2, I, 1024, false, 1024, false, false, 0},
      {"7 Hi<Di", read2, I, 512, true, 0, true, false, 512},
      {"8 Hi<>Do", write1, I, 512, true, 0, true, false, 512},
      {"9 Ho>Dn", tur, O, 512, false, 0, false, true, 512},
      {"10 Ho<>Di", read1, O, 512, true, 0, false, true, 512},
      {"11 Ho>Do", write1, O, 1024, false, 512, false, false, 512},
      {"12 Ho=Do", write2, O, 1024, false, 1024, false, false, 0},
      {"13 Ho<Do", write2, O, 512, true, 0, false, true, 512},
      {"vendor data-in takes the host's length", flashId, I, 8, false, 8, false, false, 0},
      {"vendor data-out takes the host's length", writeSectors, O, 512, false, 512, false, false, 0},
      {"vendor data-in sent as data-out", flashId, O, 8, true, 0, false, true, 8},
      {"unknown opcode follows the host", unknown, I, 100, false, 100, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Cbw cbw;
    cbw.cdb = c.cdb;
    cbw.dataLength = c.length;
    cbw.dataIn = c.dir == I;
    const Plan p = PlanCommand(cbw, 512);
    EXPECT_EQ(p.phaseError, c.phase);
    EXPECT_EQ(p.deviceLength, c.device);
    EXPECT_EQ(p.stallIn, c.stallIn);
    EXPECT_EQ(p.stallOut, c.stallOut);
    EXPECT_EQ(p.residue, c.residue);
    if (!c.phase && c.device > 0) {
      EXPECT_EQ(p.dataIn, c.dir == I);
    }
  }
}

TEST(BulkOnly, FixedSenseCarriesThePackedValue) {
  const auto s = FixedSense(PackSense(0x05, 0x24, 0x01));
  EXPECT_EQ(s[0], 0x70);
  EXPECT_EQ(s[2], 0x05);
  EXPECT_EQ(s[7], 10);
  EXPECT_EQ(s[12], 0x24);
  EXPECT_EQ(s[13], 0x01);
  EXPECT_EQ(ScsiResultFromSense(s), PackSense(0x05, 0x24, 0x01)) << "the station reads back what it packed";
  EXPECT_TRUE(IsPackedSense(0x52000));
  EXPECT_FALSE(IsPackedSense(ETIMEDOUT));
  EXPECT_FALSE(IsPackedSense(0));
  EXPECT_FALSE(IsPackedSense(-1));
}

TEST(FunctionFs, DescriptorBlockIsSelfConsistent) {
  const auto d = MassStorageDescriptors();
  auto le32 = [&](std::size_t at) {
    return std::uint32_t(d[at]) | d[at + 1] << 8 | d[at + 2] << 16 | std::uint32_t(d[at + 3]) << 24;
  };
  ASSERT_EQ(d.size(), 20u + 2 * (9 + 7 + 7));
  EXPECT_EQ(le32(4), d.size());
  EXPECT_EQ(le32(12), 3u);  // full-speed descriptors
  EXPECT_EQ(le32(16), 3u);  // high-speed descriptors
  for (std::size_t speed = 0; speed < 2; ++speed) {
    const std::size_t at = 20 + speed * 23;
    EXPECT_EQ(d[at + 5], 0x08);  // mass storage
    EXPECT_EQ(d[at + 6], 0x06);  // SCSI transparent
    EXPECT_EQ(d[at + 7], 0x50);  // bulk-only
    const unsigned mps = speed == 0 ? 64 : 512;
    EXPECT_EQ(d[at + 9 + 2], 0x81);
    EXPECT_EQ(d[at + 9 + 4] | d[at + 9 + 5] << 8, int(mps));
    EXPECT_EQ(d[at + 16 + 2], 0x02);
    EXPECT_EQ(d[at + 16 + 4] | d[at + 16 + 5] << 8, int(mps));
  }
  const auto s = MassStorageStrings();
  EXPECT_EQ(std::uint32_t(s[4] | s[5] << 8), s.size());
  EXPECT_EQ(s.back(), 0) << "every string ends with its NUL";
}

TEST(RamDisk, OpensOnlyItsOwnPaths) {
  RamDiskAccess ram(3, 64, {});
  EXPECT_EQ(ram.open("ram:0"), 1);
  EXPECT_EQ(ram.open("ram:2"), 3);
  for (const char* bad : {"ram:3", "ram:", "ram:1x", "ram:-1", "sim:0", "/dev/sg0"})
    EXPECT_EQ(ram.open(bad), kInvalidHandle) << bad;
}

TEST(RamDisk, AnswersTheDiskDriverAndTheVendorCommands) {
  RamDiskRules rules;
  rules.senseOpcode = op::kReadFlashId;
  rules.hangOpcode = op::kReadSectors;
  rules.unplugOpcode = 0xD8;
  RamDiskAccess ram(1, 64, {rules});
  const DeviceHandle h = ram.open("ram:0");
  std::vector<std::uint8_t> buf(1024, 0xEE);
  auto send = [&](std::vector<std::uint8_t> bytes, DataDirection d, std::uint32_t length) {
    Cdb c{};
    std::copy(bytes.begin(), bytes.end(), c.begin());
    return ram.send(d, h, c, buf.data(), length, 0, 5);
  };
  const auto In = DataDirection::In, Out = DataDirection::Out;

  EXPECT_EQ(send({0x12, 0, 0, 0, 36}, In, 36), 0);
  EXPECT_EQ(std::string(buf.begin() + 8, buf.begin() + 16), "KVX     ");
  EXPECT_EQ(buf[1] & 0x80, 0x80) << "removable medium";
  EXPECT_EQ(send({0x12, 1, 0x80, 0, 36}, In, 36), PackSense(5, 0x24, 0)) << "no VPD pages";
  EXPECT_EQ(send({0x25}, In, 8), 0);
  EXPECT_EQ((buf[0] << 24 | buf[1] << 16 | buf[2] << 8 | buf[3]), 63) << "last LBA";
  EXPECT_EQ((buf[4] << 24 | buf[5] << 16 | buf[6] << 8 | buf[7]), 512) << "block length";
  EXPECT_EQ(send({0x1A, 0, 0x3F, 0, 192}, In, 192), 0);
  EXPECT_EQ(buf[0], 3);
  EXPECT_EQ(buf[2] & 0x80, 0) << "not write-protected";
  for (std::uint8_t op : {0x00, 0x1B, 0x1E, 0x35}) EXPECT_EQ(send({op}, Out, 0), 0) << int(op);

  std::fill(buf.begin(), buf.end(), 0x5A);
  EXPECT_EQ(send({0x2A, 0, 0, 0, 0, 62, 0, 0, 2}, Out, 1024), 0);
  std::fill(buf.begin(), buf.end(), 0);
  EXPECT_EQ(send({0x28, 0, 0, 0, 0, 62, 0, 0, 2}, In, 1024), 0);
  EXPECT_EQ(buf[0], 0x5A);
  EXPECT_EQ(buf[1023], 0x5A);
  EXPECT_EQ(send({0x28, 0, 0, 0, 0, 63, 0, 0, 2}, In, 1024), PackSense(5, 0x21, 0)) << "past the end";
  EXPECT_EQ(send({0x28, 0, 0, 0, 0, 0, 0, 0, 2}, In, 512), PackSense(5, 0x24, 0)) << "buffer too short";

  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(send({op::kFirmwareScan}, In, 8), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[7], 0);
  EXPECT_EQ(buf[8], 0xEE) << "nothing written past the data length";
  EXPECT_EQ(send({op::kWriteSectors}, Out, 512), 0);
  EXPECT_EQ(send({op::kReadFlashId}, In, 8), PackSense(5, 0x20, 0));
  EXPECT_EQ(send({op::kReadSectors}, In, 512), ETIMEDOUT);
  EXPECT_EQ(send({0xD8}, In, 8), ENODEV);
  EXPECT_EQ(send({0xC0}, In, 8), PackSense(5, 0x20, 0)) << "unknown opcode";
  EXPECT_EQ(ram.send(In, 2, Cdb{}, buf.data(), 0, 0, 5), EBADF);
}

}  // namespace
}  // namespace kvx::gadget
