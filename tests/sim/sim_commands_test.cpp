// Refused commands, the host disk driver's standard commands, and the
// generic-disk mode.
#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace kvx::sim::test {
namespace {

const ScsiResult kInvalidOpcode = PackSense(sense::kIllegalRequest, 0x20, 0);
const ScsiResult kInvalidField = PackSense(sense::kIllegalRequest, 0x24, 0);

ScsiResult Raw(Rig& rig, DataDirection dir, Cdb c, std::uint32_t length,
               std::vector<std::uint8_t>* data = nullptr) {
  std::vector<std::uint8_t> local(length);
  auto& buf = data ? *data : local;
  buf.resize(std::max<std::size_t>(buf.size(), length));
  return rig.sim->send(dir, rig.h, c, buf.data(), length, 0, 5);
}

Cdb Make(std::initializer_list<std::uint8_t> bytes) {
  Cdb c{};
  std::copy(bytes.begin(), bytes.end(), c.begin());
  return c;
}

TEST(SimRefusals, BadArgumentsAnswerIllegalRequest) {
  Rig rig(SmallDisk(1, 64, 16, 4));
  const auto In = DataDirection::In, Out = DataDirection::Out;
  struct Case {
    const char* what;
    DataDirection dir;
    Cdb cdb;
    std::uint32_t length;
    ScsiResult expect;
  } cases[] = {
      {"unknown opcode", In, Make({0xDB}), 0, kInvalidOpcode},
      {"another unknown opcode", In, Make({0xC0}), 0, kInvalidOpcode},
      {"erase on a chip that is not there", In, Make({0xD2, 0, 0, 0, 0, 0, 0, 0, 1, 1}), 2, kInvalidField},
      {"erase starting past the chip", In, Make({0xD2, 0, 0, 0, 64, 0, 0, 0, 1}), 2, kInvalidField},
      {"erase answer of the wrong length", In, Make({0xD2, 0, 0, 0, 0, 0, 0, 0, 4}), 2, kInvalidField},
      {"erase of more than 512 blocks", In, Make({0xD2, 0, 0, 0, 0, 0, 0, 2, 1}), 513, kInvalidField},
      {"read sectors past the chip", In, Make({0xD4, 0, 0, 0x10, 0, 1}), 512, kInvalidField},
      {"read sectors with a short data phase", In, Make({0xD4, 0, 0, 0, 0, 2}), 512, kInvalidField},
      {"read sectors with no sector", In, Make({0xD4, 0, 0, 0, 0, 0}), 0, kInvalidField},
      {"write to an unknown destination", Out, Make({0xD5, 0, 0, 0, 0, 1, 0, 0x02}), 512, kInvalidField},
      {"raw pages not page-aligned", In, Make({0xD0, 0, 0, 0, 1}), 4 * 528, kInvalidField},
      {"raw pages of a partial page", In, Make({0xD0}), 528, kInvalidField},
      {"raw page write sent as data-in", In, Make({0xD1}), 4 * 528, kInvalidField},
      {"controller info of the wrong size", In, Make({0xD3}), 512, kInvalidField},
      {"flash ID longer than 32", In, Make({0xD6, 0, 0x90, 40}), 40, kInvalidField},
      {"flash ID of chip select 4", In, Make({0xD6, 4, 0x90, 8}), 8, kInvalidField},
      {"code download without byte 3", Out, Make({0xD7, 0, 0, 0}), 512, kInvalidField},
      {"code download of a partial sector", Out, Make({0xD7, 0, 0, 1}), 100, kInvalidField},
      {"INQUIRY for vital product data", In, Make({0x12, 1, 0, 0, 36}), 36, kInvalidField},
  };
  for (const auto& c : cases) EXPECT_EQ(Raw(rig, c.dir, c.cdb, c.length), c.expect) << c.what;
  // Nothing of the above changed the flash.
  EXPECT_EQ(rig.readPage(0, 0, 4), Bytes(2048, 0xFF));
}

TEST(SimStandardCommands, AnswerTheHostDiskDriverBeforeAndAfterTheFormat) {
  Rig rig(SmallDisk());
  std::vector<std::uint8_t> d;
  // Before the format: identification works, the medium is absent.
  ASSERT_EQ(Raw(rig, DataDirection::In, Make({0x12, 0, 0, 0, 36}), 36, &d), 0);
  EXPECT_EQ(d[0], 0x00);
  EXPECT_EQ(d[1], 0x80) << "removable";
  EXPECT_EQ(d[4], 31);
  EXPECT_EQ(Raw(rig, DataDirection::In, Make({0x00}), 0), PackSense(2, 0x3A, 0));
  EXPECT_EQ(Raw(rig, DataDirection::In, Make({0x25}), 8), PackSense(2, 0x3A, 0));
  ASSERT_EQ(Raw(rig, DataDirection::In, Make({0x03, 0, 0, 0, 18}), 18, &d), 0);
  EXPECT_EQ(ScsiResultFromSense(d), PackSense(2, 0x3A, 0)) << "REQUEST SENSE reports the last refusal";
  EXPECT_EQ(Raw(rig, DataDirection::In, Make({0x1E, 0, 0, 0, 1}), 0), 0);
  ASSERT_EQ(Raw(rig, DataDirection::In, Make({0x1A, 0, 0x3F, 0, 192}), 192, &d), 0);
  EXPECT_EQ(d[0], 3) << "mode data length of a bare header";

  FormatPlan f = SimplePlan(SmallDisk().geometry, 1, 8);
  WriteFormat(rig, f);
  ASSERT_EQ(rig.loadCode(1), 0);
  EXPECT_EQ(Raw(rig, DataDirection::In, Make({0x00}), 0), 0);
  ASSERT_EQ(Raw(rig, DataDirection::In, Make({0x25}), 8, &d), 0);
  EXPECT_EQ((d[0] << 24 | d[1] << 16 | d[2] << 8 | d[3]) + 1u, f.sectors());
  EXPECT_EQ(d[6], 0x02) << "512-byte blocks";
  EXPECT_EQ(Raw(rig, DataDirection::In, Make({0x35}), 0), 0);
  ASSERT_EQ(Raw(rig, DataDirection::In, Make({0x12, 0, 0, 0, 36}), 36, &d), 0);
  EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 16), "TESTVEND") << "identity from the system information";

  // A configuration table sent after the format sizes zone 0 for the host.
  std::vector<std::uint8_t> table = BuildSysInfo(f);
  PutBe32(&table[297], 40);
  ASSERT_EQ(WriteSectors(rig.ctx, rig.h, 0, 0, 1, 1, 0, table, 10), 0);
  ASSERT_EQ(Raw(rig, DataDirection::In, Make({0x25}), 8, &d), 0);
  EXPECT_EQ(d[3], 39);
}

// REQUEST SENSE as the host's disk driver uses it: right after a failed
// command it tells why; after any other command it tells the standing
// condition (no medium before the format, nothing after), never an old failure.
TEST(SimStandardCommands, RequestSenseTellsTheLastCommandOrTheStandingCondition) {
  Rig rig(SmallDisk());
  const ScsiResult kNoMedium = PackSense(sense::kNotReady, 0x3A, 0);
  auto requestSense = [&] {
    std::vector<std::uint8_t> d;
    EXPECT_EQ(Raw(rig, DataDirection::In, Make({0x03, 0, 0, 0, 18}), 18, &d), 0);
    return ScsiResultFromSense(d);
  };
  struct Step {
    const char* what;
    Cdb cdb;
    std::uint32_t length;
    ScsiResult answer;   // of the command
    ScsiResult sense;    // of the REQUEST SENSE right after it
  };
  const Step blank[] = {
      {"TEST UNIT READY without medium", Make({0x00}), 0, kNoMedium, kNoMedium},
      {"INQUIRY for vital product data", Make({0x12, 1, 0, 0, 36}), 36, kInvalidField, kInvalidField},
      {"INQUIRY after a refused one", Make({0x12, 0, 0, 0, 36}), 36, 0, kNoMedium},
      {"unknown opcode", Make({0xDB}), 0, kInvalidOpcode, kInvalidOpcode},
      {"PREVENT ALLOW after a refusal", Make({0x1E, 0, 0, 0, 1}), 0, 0, kNoMedium},
  };
  for (const auto& s : blank) {
    EXPECT_EQ(Raw(rig, DataDirection::In, s.cdb, s.length), s.answer) << s.what;
    EXPECT_EQ(requestSense(), s.sense) << s.what;
  }
  EXPECT_EQ(requestSense(), kNoMedium) << "the standing condition stays";

  WriteFormat(rig, SimplePlan(SmallDisk().geometry, 1, 8));
  ASSERT_EQ(rig.loadCode(1), 0);
  EXPECT_EQ(Raw(rig, DataDirection::In, Make({0xDB}), 0), kInvalidOpcode);
  EXPECT_EQ(Raw(rig, DataDirection::In, Make({0x00}), 0), 0);
  EXPECT_EQ(requestSense(), 0) << "a formatted disk after a command that passed has nothing to say";
}

TEST(SimGenericDisk, ServesBlocksAndRejectsEveryVendorOpcode) {
  DiskSpec d;
  d.kind = DiskKind::Generic;
  d.genericSectors = 2048;
  Rig rig(d);
  std::vector<std::uint8_t> data(4096), back(4096);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i ^ 0x5A);
  ASSERT_EQ(DiskWrite(rig.ctx, rig.h, 2044, 2048, data, 0, 5), 0);
  ASSERT_EQ(DiskRead(rig.ctx, rig.h, 2044, 2048, back, 0, 5), 0);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 2048, data.begin()));
  EXPECT_EQ(DiskRead(rig.ctx, rig.h, 2046, 2048, back, 0, 5), PackSense(5, 0x21, 0));
  std::vector<std::uint8_t> cap;
  ASSERT_EQ(Raw(rig, DataDirection::In, Make({0x25}), 8, &cap), 0);
  EXPECT_EQ(cap[2] << 8 | cap[3], 2047);

  for (std::uint8_t opcode : {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xDA, 0xF8, 0xF9}) {
    std::vector<std::uint8_t> buf(8192, 0);
    Cdb c{};
    c[0] = opcode;
    EXPECT_EQ(rig.sim->send(DataDirection::Out, rig.h, c, buf.data(), 512, 0, 5), kInvalidOpcode)
        << std::hex << int(opcode);
  }
  // The builders see the same refusals; the disk content is untouched.
  EXPECT_EQ(rig.erase(0, 0, 64), kInvalidOpcode);
  EXPECT_EQ(rig.loadCode(0), kInvalidOpcode);
  ASSERT_EQ(DiskRead(rig.ctx, rig.h, 2044, 2048, back, 0, 5), 0);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 2048, data.begin()));
}

}  // namespace
}  // namespace kvx::sim::test
