#include "device/commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "support/fake_transport.h"

namespace kvx {
namespace {

using test::FakeTransport;

struct CdbCase {
  const char* name;
  std::function<ScsiResult(CommandContext&, DeviceHandle)> call;
  Cdb cdb;
  DataDirection direction;
  std::uint32_t length;
  std::uint32_t timeout;
};

std::vector<std::uint8_t> gBuffer(1 << 17);

std::vector<CdbCase> Cases() {
  std::span<std::uint8_t> buf(gBuffer);
  return {
      {"DiskRead 1024 bytes at 0x12345",
       [=](auto& c, auto h) { return DiskRead(c, h, 0x12345, 1024, buf, 0, 5); },
       {0x28, 0, 0x00, 0x01, 0x23, 0x45, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0},
       DataDirection::In, 1024, 5},
      {"DiskWrite 256 sectors -> count byte 1",
       [=](auto& c, auto h) { return DiskWrite(c, h, 7, 256 * 512, buf, 0, 5); },
       {0x2A, 0, 0, 0, 0, 7, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}, DataDirection::Out, 256 * 512, 5},
      {"ReadPagesWithSpare 2 pages of 4 sectors",
       [=](auto& c, auto h) { return ReadPagesWithSpare(c, h, 1, 0x01020304, 2, 4, buf, 5); },
       {0xD0, 1, 2, 3, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 2 * 4 * 528, 5},
      {"WritePagesWithSpare 1 page of 8 sectors",
       [=](auto& c, auto h) { return WritePagesWithSpare(c, h, 3, 0x80, 1, 8, buf, 7); },
       {0xD1, 0, 0, 0, 0x80, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::Out, 8 * 528, 7},
      {"EraseBlocks of 1 block answers 2 bytes",
       [=](auto& c, auto h) { return EraseBlocks(c, h, 2, 0x1234, 1); },
       {0xD2, 0, 0, 0x12, 0x34, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0}, DataDirection::In, 2, 60},
      {"EraseBlocks of 64 blocks answers 64 bytes",
       [=](auto& c, auto h) { return EraseBlocks(c, h, 0, 64, 64); },
       {0xD2, 0, 0, 0, 64, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 64, 60},
      {"ReadControllerInfo", [=](auto& c, auto h) { return ReadControllerInfo(c, h); },
       {0xD3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 1024, 10},
      {"ReadSectors",
       [=](auto& c, auto h) { return ReadSectors(c, h, 1, 0xA0B0C0D0, 4, buf, 2); },
       {0xD4, 0xA0, 0xB0, 0xC0, 0xD0, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 2048,
       2},
      {"WriteSectors to flash with extra bytes",
       [=](auto& c, auto h) {
         return WriteSectors(c, h, 0, 0x100, 8, 0, 1, buf, 20, WriteExtra{0x11, 0x22, 0x33});
       },
       {0xD5, 0, 0, 1, 0, 8, 0, 0x01, 0x11, 0x22, 0x33, 0, 0, 0, 0, 0}, DataDirection::Out, 4096,
       20},
      {"WriteSectors of the configuration table",
       [=](auto& c, auto h) { return WriteSectors(c, h, 0, 0, 1, 1, 0, buf, 10); },
       {0xD5, 0, 0, 0, 0, 1, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::Out, 512, 10},
      {"ReadFlashId",
       [=](auto& c, auto h) {
         FlashIdReply ids;
         return ReadFlashId(c, h, 3, 0x90, 8, 0, 0, 1, ids);
       },
       {0xD6, 3, 0x90, 8, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 8, 10},
      {"DownloadCode final, 60 sectors",
       [=](auto& c, auto h) { return DownloadCode(c, h, 1, 60, buf); },
       {0xD7, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::Out, 60 * 512, 5},
      {"FirmwareScan of 64 pages: 8 bitmap bytes, seeds in both orders",
       [=](auto& c, auto h) {
         FirmwareScanArgs a{0x00012340, 64, 1, 2, 5, 1, 0x000011D7, 0xE26BC5FD};
         return FirmwareScan(c, h, a, buf);
       },
       {0xDA, 0x00, 0x01, 0x23, 0x40, 64, (2 << 5) | (5 << 2) | 1, 1, 0xD7, 0x11, 0x00, 0x00,
        0xE2, 0x6B, 0xC5, 0xFD},
       DataDirection::In, 8, 60},
      {"FirmwareScan of 8 pages answers 2 bytes, not 1",
       [=](auto& c, auto h) {
         FirmwareScanArgs a{0, 8, 0, 3, 0, 0, 0, 0};
         return FirmwareScan(c, h, a, buf);
       },
       {0xDA, 0, 0, 0, 0, 8, 3 << 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 2, 60},
      {"FirmwareScan ECC level 9 is clamped to 7, never touching the pass bits",
       [=](auto& c, auto h) {
         FirmwareScanArgs a{0, 128, 0, 2, 9, 0, 0, 0};
         return FirmwareScan(c, h, a, buf);
       },
       {0xDA, 0, 0, 0, 0, 128, (2 << 5) | (7 << 2), 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In,
       16, 60},
      {"FirmwareScan of 20 pages keeps the bits of pages 16..19",
       [=](auto& c, auto h) {
         FirmwareScanArgs a{0, 20, 0, 2, 0, 0, 0, 0};
         return FirmwareScan(c, h, a, buf);
       },
       {0xDA, 0, 0, 0, 0, 20, 2 << 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 3, 60},
      {"LogicalPatternCheck of 4 sectors",
       [=](auto& c, auto h) { return LogicalPatternCheck(c, h, 0x10, 2048, buf); },
       {0xF8, 0, 0, 0, 0, 0x10, 0, 0, 4, 0, 0, 0, 0, 0, 0, 4}, DataDirection::In, 8, 10},
      {"LogicalPatternFill of 4 sectors",
       [=](auto& c, auto h) { return LogicalPatternFill(c, h, 0, 2048, buf); },
       {0xF9, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 4}, DataDirection::In, 8, 10},
  };
}

TEST(CommandBuilders, SendExactCommandBlocks) {
  for (const auto& c : Cases()) {
    SCOPED_TRACE(c.name);
    FakeTransport t;
    CommandContext ctx{&t, {}};
    t.replies.push_back({0x31100, {}});
    EXPECT_EQ(c.call(ctx, 42), 0x31100) << "the result is passed on unchanged";
    ASSERT_EQ(t.sent.size(), 1u);
    EXPECT_EQ(t.sent[0].cdb, c.cdb);
    EXPECT_EQ(t.sent[0].direction, c.direction);
    EXPECT_EQ(t.sent[0].length, c.length);
    EXPECT_EQ(t.sent[0].timeout, c.timeout);
    EXPECT_EQ(t.sent[0].handle, 42);
  }
}

TEST(CommandBuilders, RefuseWithoutHandleOrTransport) {
  for (const auto& c : Cases()) {
    SCOPED_TRACE(c.name);
    FakeTransport t;
    CommandContext ctx{&t, {}};
    const bool isCheck = c.cdb[0] == op::kLogicalPatternCheck;
    EXPECT_EQ(c.call(ctx, kNeverOpened), isCheck ? 0 : -1);
    CommandContext noTransport{};
    EXPECT_EQ(c.call(noTransport, 42), isCheck ? 0 : -1);
    EXPECT_TRUE(t.sent.empty());
  }
}

TEST(CommandBuilders, RefuseMissingOrShortBuffers) {
  FakeTransport t;
  CommandContext ctx{&t, {}};
  std::vector<std::uint8_t> small(511);
  EXPECT_EQ(DiskRead(ctx, 1, 0, 512, small, 0, 5), -1);
  EXPECT_EQ(DiskWrite(ctx, 1, 0, 512, {}, 0, 5), -1);
  EXPECT_EQ(ReadSectors(ctx, 1, 0, 0, 1, small, 5), -1);
  EXPECT_EQ(WriteSectors(ctx, 1, 0, 0, 1, 0, 1, small, 5), -1);
  EXPECT_EQ(ReadPagesWithSpare(ctx, 1, 0, 0, 1, 1, small, 5), -1);
  EXPECT_EQ(DownloadCode(ctx, 1, 0, 1, small), -1);
  EXPECT_EQ(FirmwareScan(ctx, 1, FirmwareScanArgs{0, 64, 0, 2, 0, 0, 0, 0},
                         std::span<std::uint8_t>(small.data(), 7)),
            -1);
  EXPECT_EQ(LogicalPatternFill(ctx, 1, 0, 512, std::span<std::uint8_t>(small.data(), 7)), -1);
  EXPECT_EQ(EraseBlocks(ctx, 1, 0, 0, 513), -1) << "the answer buffer holds 512 bytes";
  FlashIdReply ids;
  EXPECT_EQ(ReadFlashId(ctx, 1, 0, 0x90, 33, 0, 0, 1, ids), -1);
  EXPECT_TRUE(t.sent.empty());
}

TEST(CommandBuilders, InvalidHandleIsSentAndTheTransportAnswers) {
  // -1 is "not open": the builder sends, and the transport reports the OS error.
  FakeTransport t;
  CommandContext ctx{&t, {}};
  t.replies.push_back({9, {}});
  std::vector<std::uint8_t> buf(512);
  EXPECT_EQ(DiskRead(ctx, kInvalidHandle, 0, 512, buf, 0, 5), 9);
}

TEST(CommandBuilders, ReadControllerInfoLandsInTheContext) {
  FakeTransport t;
  CommandContext ctx{&t, {}};
  std::vector<std::uint8_t> info(1024);
  for (std::size_t i = 0; i < info.size(); ++i) info[i] = std::uint8_t(i * 7);
  t.replies.push_back({0, info});
  ASSERT_EQ(ReadControllerInfo(ctx, 5), 0);
  EXPECT_TRUE(std::equal(info.begin(), info.end(), ctx.reply.begin()));
}

TEST(SectorCountByte, RoundsUpAndNeverGivesZero) {
  struct {
    std::uint32_t bytes;
    std::uint8_t count;
  } cases[] = {{0, 1}, {1, 1}, {512, 1}, {513, 2}, {1024, 2}, {64 * 1024, 128},
               {255 * 512, 255}, {256 * 512, 1}, {257 * 512, 1}, {258 * 512, 2}};
  for (auto c : cases) EXPECT_EQ(SectorCountByte(c.bytes), c.count) << c.bytes;
}

struct FlashIdCase {
  std::vector<std::uint8_t> reply;
  std::uint8_t length, mode;
  std::uint32_t id0, id1;
};

TEST(FlashIdDecoding, LanesAndModes) {
  const FlashIdCase cases[] = {
      // Both lanes answer with the same chip.
      {{0xEC, 0xEC, 0xD3, 0xD3, 0x51, 0x51, 0x95, 0x95}, 8, 0, 0xECD35195, 0xECD35195},
      // Lane 1 silent.
      {{0xEC, 0xFF, 0xD3, 0xFF, 0x51, 0xFF, 0x95, 0xFF}, 8, 0, 0xECD35195, 0},
      // Nobody answers.
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 8, 0, 0, 0},
      // Lane 0 all alike: lane 1 is not looked at.
      {{0xFF, 0xEC, 0xFF, 0xD3, 0xFF, 0x51, 0xFF, 0x95}, 8, 0, 0, 0},
      // Two different chips on the lanes.
      {{0xEC, 0x98, 0xD3, 0xDC, 0x51, 0x90, 0x95, 0x26}, 8, 0, 0xECD35195, 0x98DC9026},
      // Plain reply (mode 2).
      {{0xAD, 0xDC, 0x10, 0x95, 0x54, 0, 0, 0}, 8, 2, 0xADDC1095, 0},
      // A 6-byte reply fills ID bytes 0..2 from r[6], r[4], r[2] (r[6] unread: 0).
      {{0xEC, 0x98, 0xD3, 0xDC, 0x51, 0x90, 0, 0}, 6, 0, 0x00D35100, 0x00DC9000},
  };
  for (const auto& c : cases) {
    const FlashIdReply ids = DecodeFlashId(c.reply, c.length, c.mode);
    EXPECT_EQ(ids.id0, c.id0) << std::hex << c.id0;
    EXPECT_EQ(ids.id1, c.id1) << std::hex << c.id1;
  }
}

TEST(FlashIdDecoding, BuilderDecodesWhateverTheResult) {
  FakeTransport t;
  CommandContext ctx{&t, {}};
  t.replies.push_back({0x52400, {0xEC, 0xFF, 0xD3, 0xFF, 0x51, 0xFF, 0x95, 0xFF}});
  FlashIdReply ids;
  EXPECT_EQ(ReadFlashId(ctx, 1, 0, 0x90, 8, 0, 0, 1, ids), 0x52400);
  EXPECT_EQ(ids.id0, 0xECD35195u);
  EXPECT_EQ(ids.id1, 0u);
}

}  // namespace
}  // namespace kvx
