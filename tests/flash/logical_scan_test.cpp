#include "flash/logical_scan.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/station.h"
#include "flash/bookkeeping.h"

namespace kvx {
namespace {

// Firmware in its logical mode: fill and check runs of sectors; a check of
// a run listed in `failing` reports that page.
class LogicalFirmware : public DeviceAccess {
 public:
  struct Run {
    std::uint8_t opcode;
    std::uint32_t lba, sectors;
  };
  std::vector<Run> runs;
  std::vector<std::uint8_t> written;
  std::map<std::uint32_t, std::uint32_t> failing;  // lba -> page index reported
  std::function<void()> onCommand;

  DeviceHandle open(const std::string&) override { return 1; }
  void close(DeviceHandle) override {}
  ScsiResult send(DataDirection, DeviceHandle, const Cdb& c, void* buffer, std::uint32_t length,
                  std::uint8_t, std::uint32_t) override {
    if (onCommand) onCommand();
    const std::uint32_t lba = std::uint32_t(c[2] << 24 | c[3] << 16 | c[4] << 8 | c[5]);
    auto* data = static_cast<std::uint8_t*>(buffer);
    runs.push_back({c[0], lba, c[8]});
    if (c[0] == op::kWrite10) written.assign(data, data + length);
    if (c[0] == op::kLogicalPatternCheck) {
      std::uint32_t page = 0xFFFFFFFF;
      if (auto it = failing.find(lba); it != failing.end()) page = it->second;
      data[0] = std::uint8_t(page >> 24), data[1] = std::uint8_t(page >> 16);
      data[2] = std::uint8_t(page >> 8), data[3] = std::uint8_t(page);
    }
    return 0;
  }
  std::vector<Run> of(std::uint8_t opcode) const {
    std::vector<Run> r;
    for (const auto& x : runs)
      if (x.opcode == opcode) r.push_back(x);
    return r;
  }
};

class NoSequence : public ProductionSequence {
  std::int32_t RunProduction(PortJob&) override { return 0; }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

class LogicalScanTest : public ::testing::Test {
 protected:
  LogicalScanTest() {
    rec().hDevice = 1;
    rec().Running = 1;
    rec().BadPageBitmap.assign(g.totalPages() / 8, 0);
  }
  FORMATINFO& rec() { return station.record(0); }
  std::int32_t pass(std::uint32_t sectors, std::uint8_t passCount = 0, bool blockMode = false) {
    rec().LogicPassCount = passCount;
    PortJob job{0, rec(), station.display(0), station.commands(0), station.badPageTree(),
                station.messages(), station.options(), station.config()};
    LogicalScanOptions o;
    o.sectors = sectors;
    o.scanCount = 3;
    o.blockMode = blockMode;
    o.seed = 1;
    return LogicalScan(job, g, o);
  }
  LogicalFirmware fw;
  NoSequence sequence;
  FixedAnswerOperator op{true};
  Station station{fw, sequence, op, Language::English};
  FlashGeometry g{1, 64, 64, 4, 4};
};

TEST_F(LogicalScanTest, RunsCoverTheZoneExactly) {
  EXPECT_EQ(pass(0), 0);
  EXPECT_TRUE(fw.of(op::kLogicalPatternFill).empty());
  ASSERT_EQ(fw.of(op::kLogicalPatternCheck).size(), 1u) << "only the opening check";
  ASSERT_EQ(fw.of(op::kWrite10).size(), 1u);

  fw.runs.clear();
  EXPECT_EQ(pass(4002), 0);
  const auto fills = fw.of(op::kLogicalPatternFill);
  ASSERT_EQ(fills.size(), 1000u);
  EXPECT_EQ(fills.front().lba, 4u);
  EXPECT_EQ(fills.back().lba, 4000u);
  EXPECT_EQ(fills.back().sectors, 2u);
  const auto checks = fw.of(op::kLogicalPatternCheck);
  ASSERT_EQ(checks.size(), 1u + 1001);
  EXPECT_EQ(checks.back().lba, 4000u);
  EXPECT_EQ(checks.back().sectors, 2u);
}

TEST_F(LogicalScanTest, MarksPagesThenWholeBlocksFromTheThirdPass) {
  fw.failing = {{8, 64 * 3 + 5}, {12, 64 * 3 + 5}};
  EXPECT_EQ(pass(100, 0), -1);
  EXPECT_EQ(rec().BadPages, 1u);
  EXPECT_EQ(CountBadPages(rec().BadPageBitmap, 3, 64), 1u);
  EXPECT_EQ(pass(100, 1), 0) << "a page already bad changes nothing";
  EXPECT_EQ(pass(100, 2), -1);
  EXPECT_EQ(CountBadPages(rec().BadPageBitmap, 3, 64), 64u);
  EXPECT_EQ(rec().BadPages, 64u);
  fw.failing = {{20, 64 * 7}};
  EXPECT_EQ(pass(100, 0, /*blockMode=*/true), -1);
  EXPECT_EQ(CountBadPages(rec().BadPageBitmap, 7, 64), 64u);
}

TEST_F(LogicalScanTest, APageIndexBeyondTheFlashIsIgnored) {
  fw.failing = {{0, 64 * 64}, {4, 0x7FFFFFFF}};
  EXPECT_EQ(pass(100), 0);
  EXPECT_EQ(rec().BadPages, 0u);
}

TEST_F(LogicalScanTest, PatternAndStop) {
  pass(8, 1);
  ASSERT_EQ(fw.written.size(), 2048u);
  EXPECT_EQ(fw.written[0], 0x55);
  EXPECT_EQ(fw.written[1], 0xAA) << "second pass: 0xAA55 words";
  EXPECT_EQ(LogicalTestPattern(0, false, 0)[0], 0xAA);

  int commands = 0;
  fw.onCommand = [&] {
    if (++commands == 50) rec().Running = 0;
  };
  EXPECT_EQ(pass(100000), msg::kCancel);
  EXPECT_EQ(station.display(0).snapshot().colour, BarColour::Purple);
}

}  // namespace
}  // namespace kvx
