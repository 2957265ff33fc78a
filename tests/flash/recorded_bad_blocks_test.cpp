#include "flash/recorded_bad_blocks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "engine/station.h"
#include "flash/sysinfo_fields.h"

namespace kvx {
namespace {

// Flash pages by (chip, sector address); unwritten sectors read erased.
class PageStore : public DeviceAccess {
 public:
  std::map<std::pair<int, std::uint32_t>, std::vector<std::uint8_t>> sectors;
  int reads = 0;
  std::set<std::uint32_t> failAt;  // sector addresses whose read fails

  void put(int chip, std::uint32_t sector, std::span<const std::uint8_t> data) {
    for (std::size_t off = 0; off < data.size(); off += 512)
      sectors[{chip, sector + std::uint32_t(off / 512)}].assign(data.begin() + off,
                                                               data.begin() + off + 512);
  }
  DeviceHandle open(const std::string&) override { return 1; }
  void close(DeviceHandle) override {}
  ScsiResult send(DataDirection, DeviceHandle, const Cdb& c, void* buffer, std::uint32_t length,
                  std::uint8_t, std::uint32_t) override {
    if (c[0] != op::kReadSectors) return PackSense(5, 0x20, 0);
    ++reads;
    const std::uint32_t sector = std::uint32_t(c[1] << 24 | c[2] << 16 | c[3] << 8 | c[4]);
    if (failAt.count(sector)) return PackSense(3, 0x11, 0);
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t k = 0; k < length / 512; ++k) {
      auto it = sectors.find({c[6], sector + k});
      if (it == sectors.end())
        std::memset(out + k * 512, 0xFF, 512);
      else
        std::memcpy(out + k * 512, it->second.data(), 512);
    }
    return 0;
  }
};

class NoSequence : public ProductionSequence {
  std::int32_t RunProduction(PortJob&) override { return 0; }
  std::int32_t RunHighFormatOnly(PortJob&) override { return 0; }
};

constexpr std::uint32_t P = 64, S = 4, B = 256;  // per chip

// A single-package recording: system information at page `sysPage` of block
// 0, table bitmap on page 2, one table block (block 1) holding one zone-table
// page and one bitmap page of per-entry records for blocks 5 and 9.
struct Recorder {
  PageStore& store;
  int chip;
  std::array<std::uint8_t, 512> sys{};
  void write(std::uint32_t sysPage, bool raw = false, std::uint16_t combined = 0) {
    std::copy(sysinfo::kSignature.begin(), sysinfo::kSignature.end(), sys.begin());
    sysinfo::PutBe16(sys, sysinfo::kBlockPerChip, B);
    sysinfo::PutBe16(sys, sysinfo::kPagePerBlock, P);
    sys[sysinfo::kSectorsPerPage] = S;
    sysinfo::PutBe16(sys, sysinfo::kSysBlock, 0);
    sys[sysinfo::kTableBitmapPage] = 2;
    sys[sysinfo::kZoneCountMinus1] = 0;
    sysinfo::PutBe16(sys, sysinfo::kTableBlocks, 1);
    if (raw) sysinfo::PutLe16(sys, sysinfo::kRawBitmapMark, sysinfo::kRawBitmap);
    if (combined) sysinfo::PutLe16(sys, sysinfo::kCombinedMark, combined);
    std::vector<std::uint8_t> page(S * 512, 0xFF);
    std::copy(sys.begin(), sys.end(), page.begin());
    store.put(chip, sysPage * S, page);
    // Table bitmap: table block 1 has every page good.
    std::vector<std::uint8_t> tb(512, 0xFF);
    std::fill(tb.begin(), tb.begin() + P / 8, 0);
    store.put(chip, 2 * S, tb);
    // Zone table page (table block 1, page 0): entries 5 and 9.
    std::vector<std::uint8_t> zt(S * 512, 0xFF);
    zt[0] = 0, zt[1] = 5, zt[2] = 0, zt[3] = 9;
    store.put(chip, (1 * P + 0) * S, zt);
    // Bitmap page (table block 1, page 1): record 0 marks page 3, record 1 page 60.
    std::vector<std::uint8_t> bm(S * 512, 0xFF);
    std::fill(bm.begin(), bm.begin() + 2 * P / 8, 0);
    bm[0] = 0x08;
    bm[P / 8 + 7] = 0x10;
    store.put(chip, (1 * P + 1) * S, bm);
  }
};

class RecordedTest : public ::testing::Test {
 protected:
  void prepare(std::uint32_t chips) {
    g = {chips, B, P, S, S};
    rec().hDevice = 1;
    rec().Running = 1;
    rec().BadPages = 0;
    rec().BadPageBitmap.assign(g.totalPages() / 8, 0xFF);
  }
  FORMATINFO& rec() { return station.record(0); }
  std::int32_t read(bool check = false) {
    PortJob job{0, rec(), station.display(0), station.commands(0), station.badPageTree(),
                station.messages(), station.options(), station.config()};
    return ReadRecordedBadBlocks(job, g, bk, check);
  }
  bool blockGood(std::uint32_t b) { return CountBadPages(rec().BadPageBitmap, b, P) == 0; }

  PageStore store;
  NoSequence sequence;
  FixedAnswerOperator op{true};
  Station station{store, sequence, op, Language::English};
  FlashGeometry g;
  FlashBookkeeping bk;
};

TEST_F(RecordedTest, PerEntryRecordsLandAtTheirBlocks) {
  prepare(1);
  Recorder{store, 0}.write(33);  // the page after position 32
  EXPECT_EQ(read(), 0);
  EXPECT_TRUE(PageBad(rec().BadPageBitmap, 5 * P + 3));
  EXPECT_FALSE(PageBad(rec().BadPageBitmap, 5 * P + 4));
  EXPECT_TRUE(PageBad(rec().BadPageBitmap, 9 * P + 60));
  EXPECT_TRUE(blockGood(1)) << "the table block's own bitmap";
  EXPECT_FALSE(blockGood(2)) << "unrecorded blocks stay bad";
  EXPECT_EQ(bk.BlockLists[62].length(), 2u);
  EXPECT_EQ(bk.BlockLists[63].length(), 1u);
  EXPECT_EQ(sysinfo::Le16(rec().SysInfo, sysinfo::kCombinedMark), sysinfo::kCombined);
  EXPECT_EQ(rec().BadPages, (B - 3) * P + 2);
}

TEST_F(RecordedTest, MarksAndMissingPackages) {
  prepare(2);
  Recorder{store, 0}.write(0);
  EXPECT_EQ(read(), 0) << "package 1 without a recording contributes nothing";
  for (std::uint32_t b = B; b < 2 * B; ++b) ASSERT_FALSE(blockGood(b));
  EXPECT_EQ(read(true), -1) << "the soldering check wants every package";
  Recorder{store, 1}.write(0);
  prepare(2);
  bk = FlashBookkeeping();
  EXPECT_EQ(read(true), kRecordedCheckPassed);
  for (const auto& l : bk.BlockLists) EXPECT_TRUE(l.empty()) << "the check rebuilds no list";

  prepare(1);
  Recorder{store, 0}.write(0, false, sysinfo::kCombined);
  const int before = store.reads;
  EXPECT_EQ(read(), kRecordedAlreadyCombined);
  EXPECT_EQ(store.reads - before, 1) << "no table is read";
}

TEST_F(RecordedTest, UnusableRecordingsCountAsNone) {
  struct {
    const char* name;
    std::function<void(Recorder&)> spoil;
  } cases[] = {
      {"another page count", [](Recorder& r) { sysinfo::PutBe16(r.sys, sysinfo::kPagePerBlock, 128); }},
      {"sectors per page 0", [](Recorder& r) { r.sys[sysinfo::kSectorsPerPage] = 0; }},
      {"system block outside the chip", [](Recorder& r) { sysinfo::PutBe16(r.sys, sysinfo::kSysBlock, 9999); }},
      {"table block outside the chip", [](Recorder& r) { sysinfo::PutBe16(r.sys, sysinfo::kTableBlocks, 4000); }},
      {"table bitmap page beyond the block", [](Recorder& r) { r.sys[sysinfo::kTableBitmapPage] = 200; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store.sectors.clear();
    prepare(1);
    Recorder r{store, 0};
    r.write(0);
    c.spoil(r);
    std::vector<std::uint8_t> page(S * 512, 0xFF);
    std::copy(r.sys.begin(), r.sys.end(), page.begin());
    store.put(0, 0, page);
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(CountBadPages(rec().BadPageBitmap, 5, P), P);
  }
  {
    SCOPED_TRACE("a zone-table entry outside the package");
    store.sectors.clear();
    prepare(1);
    Recorder{store, 0}.write(0);
    std::vector<std::uint8_t> zt(S * 512, 0xFF);
    zt[0] = 0x7F, zt[1] = 0xFF;
    store.put(0, (1 * P + 0) * S, zt);
    EXPECT_EQ(read(), -1);
  }
  {
    SCOPED_TRACE("a table read that fails");
    store.sectors.clear();
    prepare(1);
    Recorder{store, 0}.write(0);
    store.failAt.insert((1 * P + 1) * S);
    EXPECT_EQ(read(), -1);
    EXPECT_FALSE(blockGood(1)) << "nothing half-read is used";
    store.failAt.clear();
  }
}

}  // namespace
}  // namespace kvx
