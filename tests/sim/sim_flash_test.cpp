// The simulated flash through the raw vendor commands: erase, program and
// read semantics, defects, the firmware scan, flash IDs and code download.
#include <gtest/gtest.h>

#include "sim_test_util.h"

namespace kvx::sim::test {
namespace {

constexpr std::uint32_t E = 4;

std::vector<std::uint8_t> Pattern(std::uint8_t seed) {
  std::vector<std::uint8_t> v(E * 512);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::uint8_t(seed + i * 7);
  return v;
}

std::vector<std::uint8_t> And(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) a[i] &= b[i];
  return a;
}

TEST(SimFlash, EraseProgramReadFollowNandRules) {
  Rig rig(SmallDisk());
  ASSERT_GT(rig.h, 0);
  const std::uint32_t page = 5 * 16 + 3;  // block 5, page 3
  EXPECT_EQ(rig.readPage(0, page, E), Bytes(E * 512, 0xFF)) << "a fresh page reads erased";

  const auto a = Pattern(1), b = Pattern(90);
  ASSERT_EQ(rig.writePage(0, page, E, a), 0);
  EXPECT_EQ(rig.readPage(0, page, E), a);
  ASSERT_EQ(rig.writePage(0, page, E, b), 0);
  EXPECT_EQ(rig.readPage(0, page, E), And(a, b)) << "programming twice without an erase ANDs";
  EXPECT_EQ(rig.readPage(0, page + 1, E), Bytes(E * 512, 0xFF)) << "the neighbour stays erased";

  ASSERT_EQ(rig.erase(0, 5), 0);
  EXPECT_EQ(rig.readPage(0, page, E), Bytes(E * 512, 0xFF));
  ASSERT_EQ(rig.writePage(0, page, E, b), 0);
  EXPECT_EQ(rig.readPage(0, page, E), b) << "after the erase the page takes new data";
}

TEST(SimFlash, PartialSectorsAndSpareBytes) {
  Rig rig(SmallDisk());
  // One sector into the middle of page 2 of block 0, with the extra bytes.
  const auto one = Pattern(3);
  ASSERT_EQ(WriteSectors(rig.ctx, rig.h, 0, 2 * E + 2, 1, 0, kDestFlash, one, 10, {0x11, 0x22, 0x33}), 0);
  std::vector<std::uint8_t> raw(E * 528);
  ASSERT_EQ(ReadPagesWithSpare(rig.ctx, rig.h, 0, 2 * E, 1, E, raw, 5), 0);
  for (std::uint32_t s = 0; s < E; ++s) {
    const std::uint8_t* sec = &raw[s * 528];
    if (s == 2) {
      EXPECT_TRUE(std::equal(sec, sec + 512, one.begin()));
      EXPECT_EQ(sec[512], 0xFF) << "block mark untouched";
      EXPECT_EQ(sec[513], 0x11);
      EXPECT_EQ(sec[514], 0x22);
      EXPECT_EQ(sec[515], 0x33);
    } else {
      EXPECT_TRUE(std::all_of(sec, sec + 528, [](std::uint8_t v) { return v == 0xFF; })) << s;
    }
  }
  // Raw pages with spare go back and forth unchanged (two pages at once).
  std::vector<std::uint8_t> two(2 * E * 528);
  for (std::size_t i = 0; i < two.size(); ++i) two[i] = std::uint8_t(i * 13);
  ASSERT_EQ(WritePagesWithSpare(rig.ctx, rig.h, 0, 10 * E, 2, E, two, 5), 0);
  std::vector<std::uint8_t> back(two.size());
  ASSERT_EQ(ReadPagesWithSpare(rig.ctx, rig.h, 0, 10 * E, 2, E, back, 5), 0);
  EXPECT_EQ(back, two);
}

TEST(SimFlash, DefectsBehaveAsDescribed) {
  DiskSpec d = SmallDisk();
  d.defects.factoryBadBlocks = {7};
  d.defects.programFailPages = {{9, 4}};
  d.defects.wearOutBlocks = {{11, 2}};
  Rig rig(d);
  std::vector<std::uint8_t> status(2);

  // Factory bad block: the erase fails (status byte 1, command good), the
  // pages read the maker's zero mark, and data does not stick.
  ASSERT_EQ(rig.erase(0, 7), 0);
  EXPECT_EQ(rig.readPage(0, 7 * 16, E), Bytes(E * 512, 0x00));
  ASSERT_EQ(rig.writePage(0, 7 * 16, E, Pattern(5)), 0);
  EXPECT_EQ(rig.readPage(0, 7 * 16, E), Bytes(E * 512, 0x00));

  // A program-fail page answers good but reads back something else.
  ASSERT_EQ(rig.erase(0, 9), 0);
  ASSERT_EQ(rig.writePage(0, 9 * 16 + 4, E, Pattern(6)), 0);
  EXPECT_NE(rig.readPage(0, 9 * 16 + 4, E), Pattern(6));
  ASSERT_EQ(rig.writePage(0, 9 * 16 + 5, E, Pattern(6)), 0);
  EXPECT_EQ(rig.readPage(0, 9 * 16 + 5, E), Pattern(6));

  // Block 11 takes two erases; the third fails and the block is bad for good.
  auto eraseStatus = [&](std::uint32_t block) {
    std::vector<std::uint8_t> ans(4);
    // Through the builder the answer is hidden; read it with a 4-block erase
    // status instead: blocks 11..14.
    Cdb c{};
    c[0] = op::kEraseBlocks;
    c[4] = std::uint8_t(block);
    c[8] = 4;
    EXPECT_EQ(rig.sim->send(DataDirection::In, rig.h, c, ans.data(), 4, 0, 60), 0);
    return ans[0];
  };
  EXPECT_EQ(eraseStatus(11), 0);
  EXPECT_EQ(eraseStatus(11), 0);
  ASSERT_EQ(rig.writePage(0, 11 * 16, E, Pattern(8)), 0);
  EXPECT_EQ(eraseStatus(11), 1);
  EXPECT_EQ(rig.readPage(0, 11 * 16, E), Pattern(8)) << "a failed erase leaves the data";
  EXPECT_EQ(eraseStatus(7), 1) << "factory bad";
}

TEST(SimFlash, EraseRangePastTheChipEndErasesWhatIsInside) {
  Rig rig(SmallDisk(1, 40, 16));
  ASSERT_EQ(rig.writePage(0, 39 * 16, E, Pattern(1)), 0);
  std::vector<std::uint8_t> ans(64);
  Cdb c{};
  c[0] = op::kEraseBlocks;
  c[4] = 32;  // blocks 32..95 of a 40-block chip
  c[8] = 64;
  ASSERT_EQ(rig.sim->send(DataDirection::In, rig.h, c, ans.data(), 64, 0, 60), 0);
  EXPECT_EQ(ans[7], 0);  // block 39
  EXPECT_EQ(ans[8], 2);  // block 40 does not exist
  EXPECT_EQ(rig.sim->eraseCount(0, 39), 1u);
  EXPECT_EQ(rig.sim->eraseCount(0, 31), 0u) << "blocks before the range untouched";
  EXPECT_EQ(rig.readPage(0, 39 * 16, E), Bytes(E * 512, 0xFF));
}

// --- the firmware scan ---

struct ScanRig : Rig {
  explicit ScanRig(const DiskSpec& d) : Rig(d) { EXPECT_EQ(loadCode(0), 0); }
  std::uint32_t scan(std::uint32_t block, std::uint8_t pass, std::uint8_t invert,
                     std::uint32_t seedA = 0xE26BC5FD, std::uint32_t seedB = 0x11D7,
                     ScsiResult* result = nullptr) {
    FirmwareScanArgs a;
    a.firstPage = block * 16;
    a.pages = 16;
    a.pass = pass;
    a.invert = invert;
    a.seedA = seedA;
    a.seedB = seedB;
    std::vector<std::uint8_t> bm(2);
    const ScsiResult r = FirmwareScan(ctx, h, a, bm);
    if (result) *result = r;
    else EXPECT_EQ(r, 0);
    return bm[0] | std::uint32_t(bm[1]) << 8;
  }
};

TEST(SimFirmwareScan, HealthyBlockWritesThenReadsBackTheSeededPattern) {
  ScanRig rig(SmallDisk());
  ASSERT_EQ(rig.erase(0, 3), 0);
  EXPECT_EQ(rig.scan(3, 2, 0), 0u);
  EXPECT_EQ(rig.scan(3, 3, 0), 0u) << "same seeds in the read-back pass";
  EXPECT_EQ(rig.scan(3, 3, 0, 1, 2), 0xFFFFu) << "other seeds do not match what pass 2 wrote";
  EXPECT_EQ(rig.scan(3, 3, 1), 0xFFFFu) << "the invert bit is part of the pattern";
  // The pattern is really on the flash: a page read shows it, not 0xFF.
  EXPECT_NE(rig.readPage(0, 3 * 16, E), Bytes(E * 512, 0xFF));
  // Pass 2 again without an erase cannot program: every page fails.
  EXPECT_EQ(rig.scan(3, 2, 0), 0xFFFFu);
  ASSERT_EQ(rig.erase(0, 3), 0);
  EXPECT_EQ(rig.scan(3, 2, 1), 0u);
}

TEST(SimFirmwareScan, ReportsEachDefectKind) {
  DiskSpec d = SmallDisk();
  d.defects.factoryBadBlocks = {4};
  d.defects.programFailPages = {{5, 9}};
  WeakPage w1;  // fails in the read-back pass with invert 1 only
  w1.block = 6, w1.page = 2, w1.passMask = 1 << 3, w1.invert = 1;
  WeakPage w2;  // fails on the block's second scan only
  w2.block = 6, w2.page = 12, w2.visitMask = 1 << 1;
  d.defects.weakPages = {w1, w2};
  ScanRig rig(d);
  for (std::uint32_t b : {4u, 5u, 6u, 8u}) ASSERT_EQ(rig.erase(0, b), 0);
  ASSERT_EQ(rig.writePage(0, 8 * 16 + 6, E, Pattern(1)), 0);  // programmed before the scan

  struct Case {
    std::uint32_t block;
    std::uint8_t pass, invert;
    std::uint32_t bitmap;
  } cases[] = {
      {4, 2, 0, 0xFFFF},      // factory bad: every page
      {5, 2, 0, 1u << 9},     // the program-fail page
      {5, 3, 0, 1u << 9},     // and again in the read-back
      {6, 2, 1, 0},           // weak page 2: pass 2 never sees it; visit 0
      {6, 3, 1, (1u << 2) | (1u << 12)},  // pass 3 invert 1 and the visit-1 page
      {8, 2, 0, 1u << 6},     // a page that was not erased cannot take the pattern
  };
  for (const auto& c : cases)
    EXPECT_EQ(rig.scan(c.block, c.pass, c.invert), c.bitmap) << "block " << c.block << " pass " << int(c.pass);
  // Weak page 2 with invert 0 passes the read-back.
  ASSERT_EQ(rig.erase(0, 6), 0);
  EXPECT_EQ(rig.scan(6, 2, 0), 0u);
  EXPECT_EQ(rig.scan(6, 3, 0), 0u);
}

TEST(SimFirmwareScan, NeedsTheScanCodeAndAWholeRunInOneBlock) {
  Rig rig(SmallDisk());
  FirmwareScanArgs a;
  a.pages = 16;
  a.pass = 2;
  std::vector<std::uint8_t> bm(2);
  EXPECT_EQ(FirmwareScan(rig.ctx, rig.h, a, bm), PackSense(sense::kNotReady, 0x04, 0));
  ASSERT_EQ(rig.loadCode(0), 0);
  EXPECT_EQ(FirmwareScan(rig.ctx, rig.h, a, bm), 0);
  a.firstPage = 8;  // 16 pages from page 8 cross into the next block
  EXPECT_EQ(FirmwareScan(rig.ctx, rig.h, a, bm), PackSense(sense::kIllegalRequest, 0x24, 0));
  a.firstPage = 0;
  a.pages = 8;  // 8 pages answer 2 bytes, not 1
  EXPECT_EQ(FirmwareScan(rig.ctx, rig.h, a, bm), 0);
}

// --- flash identification ---

TEST(SimFlashId, AnswersOnTheConfiguredLanes) {
  const std::uint32_t X = 0xECD35195, Y = 0xADDA1095;
  struct Case {
    const char* what;
    ChipSelectId id;
    FlashIdReply expect;
  } cases[] = {
      {"lane 0 only", {X, 0}, {X, 0}},
      {"both lanes", {X, X}, {X, X}},
      {"empty chip select", {0, 0}, {0, 0}},
      {"a chip of another type", {Y, 0}, {Y, 0}},
      {"another type on lane 1", {X, Y}, {X, Y}},
  };
  for (const auto& c : cases) {
    DiskSpec d = SmallDisk();
    d.ids[1] = c.id;  // chip select 1, behind a chip 0 that answers X
    Rig rig(d);
    FlashIdReply ids;
    ASSERT_EQ(ReadFlashId(rig.ctx, rig.h, 1, 0x90, 8, 0, 0, 1, ids), 0) << c.what;
    EXPECT_EQ(ids.id0, c.expect.id0) << c.what;
    EXPECT_EQ(ids.id1, c.expect.id1) << c.what;
  }
  Rig rig(SmallDisk());
  FlashIdReply plain;
  ASSERT_EQ(ReadFlashId(rig.ctx, rig.h, 0, 0x90, 8, 2, 0, 1, plain), 0);
  EXPECT_EQ(plain.id0, X);
  FlashIdReply none;
  EXPECT_EQ(ReadFlashId(rig.ctx, rig.h, 0, 0x70, 8, 0, 0, 1, none), PackSense(5, 0x24, 0))
      << "only Read ID is supported";
}

// --- code download ---

TEST(SimDownloadCode, ChecksumIsCheckedAndAWrongOneRefused) {
  Rig rig(SmallDisk());
  auto code = CodeImage(8);
  EXPECT_EQ(DownloadCode(rig.ctx, rig.h, 0, 8, code), 0);
  code[100] ^= 0x40;
  const ScsiResult refused = DownloadCode(rig.ctx, rig.h, 0, 8, code);
  EXPECT_EQ(refused, PackSense(sense::kIllegalRequest, 0x26, 0));
  // REQUEST SENSE tells the same, then the sense is cleared and what is
  // left is the blank controller's standing condition.
  std::vector<std::uint8_t> s(18);
  Cdb rs{};
  rs[0] = 0x03;
  rs[4] = 18;
  ASSERT_EQ(rig.sim->send(DataDirection::In, rig.h, rs, s.data(), 18, 0, 5), 0);
  EXPECT_EQ(ScsiResultFromSense(s), refused);
  ASSERT_EQ(rig.sim->send(DataDirection::In, rig.h, rs, s.data(), 18, 0, 5), 0);
  EXPECT_EQ(ScsiResultFromSense(s), PackSense(sense::kNotReady, 0x3A, 0));
  // One sector of 128 words: the last word covers the other 127.
  EXPECT_EQ(DownloadCode(rig.ctx, rig.h, 1, 1, CodeImage(1)), 0);
  EXPECT_EQ(DownloadCode(rig.ctx, rig.h, 2, 1, CodeImage(1)), PackSense(5, 0x24, 0)) << "kind 0 or 1";
}

TEST(SimDownloadCode, ConfigurationTableIsKeptAndShowsInInquiry) {
  Rig rig(SmallDisk());
  std::vector<std::uint8_t> table(512, 0);
  const std::uint8_t sig[8] = {0x5C, 0xC5, 0x5C, 0xC5, 0x5C, 0x5C, 0x5C, 0x5C};
  std::copy(sig, sig + 8, table.begin());
  const char inq[] = "\x00\x80\x02\x02\x1f\x00\x00\x00" "ACME    Produced Disk   2.80";
  std::copy(inq, inq + 36, table.begin() + 228);
  ASSERT_EQ(WriteSectors(rig.ctx, rig.h, 0, 0, 1, 1, 0, table, 10), 0);  // destination 0x10
  std::vector<std::uint8_t> reply(36);
  Cdb c{};
  c[0] = 0x12;
  c[4] = 36;
  ASSERT_EQ(rig.sim->send(DataDirection::In, rig.h, c, reply.data(), 36, 0, 5), 0);
  EXPECT_EQ(std::string(reply.begin() + 8, reply.begin() + 32), "ACME    Produced Disk   ");
  // The table only loads as one sector at chip 0, address 0.
  EXPECT_EQ(WriteSectors(rig.ctx, rig.h, 0, 1, 1, 1, 0, table, 10), PackSense(5, 0x24, 0));
}

}  // namespace
}  // namespace kvx::sim::test
