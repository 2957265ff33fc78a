#include "device/commands.h"

#include <algorithm>
#include <cstring>

namespace kvx {
namespace {

constexpr std::uint32_t kEraseTimeout = 60;
constexpr std::uint32_t kInfoTimeout = 10;
constexpr std::uint32_t kFlashIdTimeout = 10;
constexpr std::uint32_t kDownloadTimeout = 5;
constexpr std::uint32_t kScanTimeout = 60;
constexpr std::uint32_t kPatternTimeout = 10;
constexpr std::uint32_t kMaxEraseCount = 512;  // the answer buffer holds 512 bytes
constexpr std::uint8_t kMaxFlashIdLength = 32;
constexpr std::uint32_t kPatternAnswerBytes = 8;

void PutBe32(Cdb& c, int at, std::uint32_t v) {
  c[at] = std::uint8_t(v >> 24);
  c[at + 1] = std::uint8_t(v >> 16);
  c[at + 2] = std::uint8_t(v >> 8);
  c[at + 3] = std::uint8_t(v);
}

void PutLe32(Cdb& c, int at, std::uint32_t v) {
  c[at] = std::uint8_t(v);
  c[at + 1] = std::uint8_t(v >> 8);
  c[at + 2] = std::uint8_t(v >> 16);
  c[at + 3] = std::uint8_t(v >> 24);
}

// True when the command may go out: an opened handle, a transport, and a
// buffer that holds the whole data phase.
bool CanSend(const CommandContext& ctx, DeviceHandle h, std::size_t bufferSize,
             std::uint64_t length) {
  return h != kNeverOpened && ctx.transport != nullptr && bufferSize >= length;
}

ScsiResult Send(CommandContext& ctx, DataDirection dir, DeviceHandle h, const Cdb& cdb,
                const void* buffer, std::uint32_t length, std::uint8_t lun,
                std::uint32_t timeout) {
  // The transport takes a mutable pointer for both directions; data-out
  // buffers are only read.
  return ctx.transport->send(dir, h, cdb, const_cast<void*>(buffer), length, lun, timeout);
}

}  // namespace

std::uint8_t SectorCountByte(std::uint32_t byteCount) {
  const std::uint32_t sectors = (std::uint64_t(byteCount) + 511) / 512;
  const auto b = std::uint8_t(sectors % 256);
  return b == 0 ? 1 : b;
}

std::uint32_t FirmwareScanReplyLength(std::uint8_t pages) {
  return std::max<std::uint32_t>(2, (std::uint32_t(pages) + 7) / 8);
}

Cdb MakeRead10Cdb(std::uint8_t opcode, std::uint32_t lba, std::uint32_t bytes) {
  Cdb c{};
  c[0] = opcode;
  PutBe32(c, 2, lba);
  c[8] = SectorCountByte(bytes);
  return c;
}

ScsiResult DiskRead(CommandContext& ctx, DeviceHandle h, std::uint32_t lba, std::uint32_t bytes,
                    std::span<std::uint8_t> buffer, std::uint8_t lun, std::uint32_t timeout_s) {
  if (!CanSend(ctx, h, buffer.size(), bytes)) return kCommandRefused;
  return Send(ctx, DataDirection::In, h, MakeRead10Cdb(op::kRead10, lba, bytes), buffer.data(),
              bytes, lun, timeout_s);
}

ScsiResult DiskWrite(CommandContext& ctx, DeviceHandle h, std::uint32_t lba, std::uint32_t bytes,
                     std::span<const std::uint8_t> buffer, std::uint8_t lun,
                     std::uint32_t timeout_s) {
  if (!CanSend(ctx, h, buffer.size(), bytes)) return kCommandRefused;
  return Send(ctx, DataDirection::Out, h, MakeRead10Cdb(op::kWrite10, lba, bytes), buffer.data(),
              bytes, lun, timeout_s);
}

namespace {
Cdb RawPageCdb(std::uint8_t opcode, std::uint8_t chip, std::uint32_t sectorAddress) {
  Cdb c{};
  c[0] = opcode;
  PutBe32(c, 1, sectorAddress);
  c[5] = chip;
  return c;
}
}  // namespace

ScsiResult ReadPagesWithSpare(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                              std::uint32_t sectorAddress, std::uint32_t pages,
                              std::uint32_t sectorsPerPage, std::span<std::uint8_t> buffer,
                              std::uint32_t timeout_s) {
  const std::uint64_t length = std::uint64_t(pages) * sectorsPerPage * kRawSectorBytes;
  if (length > UINT32_MAX || !CanSend(ctx, h, buffer.size(), length)) return kCommandRefused;
  return Send(ctx, DataDirection::In, h, RawPageCdb(op::kReadPagesWithSpare, chip, sectorAddress),
              buffer.data(), std::uint32_t(length), 0, timeout_s);
}

ScsiResult WritePagesWithSpare(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                               std::uint32_t sectorAddress, std::uint32_t pages,
                               std::uint32_t sectorsPerPage, std::span<const std::uint8_t> buffer,
                               std::uint32_t timeout_s) {
  const std::uint64_t length = std::uint64_t(pages) * sectorsPerPage * kRawSectorBytes;
  if (length > UINT32_MAX || !CanSend(ctx, h, buffer.size(), length)) return kCommandRefused;
  return Send(ctx, DataDirection::Out, h,
              RawPageCdb(op::kWritePagesWithSpare, chip, sectorAddress), buffer.data(),
              std::uint32_t(length), 0, timeout_s);
}

ScsiResult EraseBlocks(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                       std::uint32_t firstBlock, std::uint32_t count) {
  std::array<std::uint8_t, kMaxEraseCount> answer{};
  if (count > kMaxEraseCount || !CanSend(ctx, h, answer.size(), 0)) return kCommandRefused;
  Cdb c{};
  c[0] = op::kEraseBlocks;
  PutBe32(c, 1, firstBlock);
  PutBe32(c, 5, count);
  c[9] = chip;
  const std::uint32_t length = count <= 1 ? 2 : count;
  return Send(ctx, DataDirection::In, h, c, answer.data(), length, 0, kEraseTimeout);
}

ScsiResult ReadControllerInfo(CommandContext& ctx, DeviceHandle h) {
  if (!CanSend(ctx, h, ctx.reply.size(), ctx.reply.size())) return kCommandRefused;
  Cdb c{};
  c[0] = op::kReadControllerInfo;
  return Send(ctx, DataDirection::In, h, c, ctx.reply.data(), std::uint32_t(ctx.reply.size()), 0,
              kInfoTimeout);
}

ScsiResult ReadSectors(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                       std::uint32_t sectorAddress, std::uint8_t count,
                       std::span<std::uint8_t> buffer, std::uint32_t timeout_s,
                       std::uint8_t option) {
  const std::uint32_t length = std::uint32_t(count) * kSectorBytes;
  if (!CanSend(ctx, h, buffer.size(), length)) return kCommandRefused;
  Cdb c{};
  c[0] = op::kReadSectors;
  PutBe32(c, 1, sectorAddress);
  c[5] = count;
  c[6] = chip;
  c[7] = option;
  return Send(ctx, DataDirection::In, h, c, buffer.data(), length, 0, timeout_s);
}

ScsiResult WriteSectors(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                        std::uint32_t sectorAddress, std::uint8_t count, std::uint8_t destHigh,
                        std::uint8_t destLow, std::span<const std::uint8_t> buffer,
                        std::uint32_t timeout_s, WriteExtra extra) {
  const std::uint32_t length = std::uint32_t(count) * kSectorBytes;
  if (!CanSend(ctx, h, buffer.size(), length)) return kCommandRefused;
  Cdb c{};
  c[0] = op::kWriteSectors;
  PutBe32(c, 1, sectorAddress);
  c[5] = count;
  c[6] = chip;
  c[7] = std::uint8_t((destHigh << 4) + destLow);
  c[8] = extra.b8;
  c[9] = extra.b9;
  c[10] = extra.b10;
  return Send(ctx, DataDirection::Out, h, c, buffer.data(), length, 0, timeout_s);
}

FlashIdReply DecodeFlashId(std::span<const std::uint8_t> reply, std::uint8_t length,
                           std::uint8_t mode) {
  auto r = [&](std::size_t i) -> std::uint32_t { return i < reply.size() ? reply[i] : 0; };
  FlashIdReply ids;
  if (mode == 2) {
    ids.id0 = (r(0) << 24) | (r(1) << 16) | (r(2) << 8) | r(3);
  } else if (!(r(0) == r(2) && r(2) == r(4) && r(4) == r(6))) {
    if (length > 0) ids.id0 |= r(6), ids.id1 |= r(7);
    if (length > 2) ids.id0 |= r(4) << 8, ids.id1 |= r(5) << 8;
    if (length > 4) ids.id0 |= r(2) << 16, ids.id1 |= r(3) << 16;
    if (length > 6) ids.id0 |= r(0) << 24, ids.id1 |= r(1) << 24;
  }
  if (r(1) == r(3) && r(3) == r(5) && r(5) == r(7)) ids.id1 = 0;
  return ids;
}

ScsiResult ReadFlashId(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                       std::uint8_t flashCommand, std::uint8_t length, std::uint8_t mode,
                       std::uint8_t byte5, std::uint8_t byte6, FlashIdReply& ids) {
  std::array<std::uint8_t, kMaxFlashIdLength> reply{};
  ids = {};
  if (length > kMaxFlashIdLength || !CanSend(ctx, h, reply.size(), length)) return kCommandRefused;
  Cdb c{};
  c[0] = op::kReadFlashId;
  c[1] = chip;
  c[2] = flashCommand;
  c[3] = length;
  c[4] = mode;
  c[5] = byte5;
  c[6] = byte6;
  const ScsiResult result =
      Send(ctx, DataDirection::In, h, c, reply.data(), length, 0, kFlashIdTimeout);
  ids = DecodeFlashId(reply, length, mode);
  return result;
}

ScsiResult DownloadCode(CommandContext& ctx, DeviceHandle h, std::uint8_t codeKind,
                        std::uint8_t sectors, std::span<const std::uint8_t> buffer) {
  const std::uint32_t length = std::uint32_t(sectors) * kSectorBytes;
  if (!CanSend(ctx, h, buffer.size(), length)) return kCommandRefused;
  Cdb c{};
  c[0] = op::kDownloadCode;
  c[1] = codeKind;
  c[3] = 1;
  return Send(ctx, DataDirection::Out, h, c, buffer.data(), length, 0, kDownloadTimeout);
}

Cdb MakeFirmwareScanCdb(const FirmwareScanArgs& a) {
  Cdb c{};
  c[0] = op::kFirmwareScan;
  PutBe32(c, 1, a.firstPage);
  c[5] = a.pages;
  const std::uint8_t ecc = std::min(a.eccLevel, kMaxEccLevel);
  c[6] = std::uint8_t(((a.pass & 0x07) << 5) | (ecc << 2) | (a.invert & 0x01));
  c[7] = a.chip;
  PutLe32(c, 8, a.seedA);
  PutBe32(c, 12, a.seedB);
  return c;
}

ScsiResult FirmwareScan(CommandContext& ctx, DeviceHandle h, const FirmwareScanArgs& args,
                        std::span<std::uint8_t> bitmap) {
  const std::uint32_t length = FirmwareScanReplyLength(args.pages);
  if (!CanSend(ctx, h, bitmap.size(), length)) return kCommandRefused;
  return Send(ctx, DataDirection::In, h, MakeFirmwareScanCdb(args), bitmap.data(), length, 0,
              kScanTimeout);
}

namespace {
Cdb PatternCdb(std::uint8_t opcode, std::uint32_t lba, std::uint32_t bytes) {
  Cdb c = MakeRead10Cdb(opcode, lba, bytes);
  c[15] = 4;
  return c;
}
}  // namespace

ScsiResult LogicalPatternCheck(CommandContext& ctx, DeviceHandle h, std::uint32_t lba,
                               std::uint32_t bytes, std::span<std::uint8_t> answer) {
  if (!CanSend(ctx, h, answer.size(), kPatternAnswerBytes)) return 0;
  return Send(ctx, DataDirection::In, h, PatternCdb(op::kLogicalPatternCheck, lba, bytes),
              answer.data(), kPatternAnswerBytes, 0, kPatternTimeout);
}

ScsiResult LogicalPatternFill(CommandContext& ctx, DeviceHandle h, std::uint32_t lba,
                              std::uint32_t bytes, std::span<std::uint8_t> answer) {
  if (!CanSend(ctx, h, answer.size(), kPatternAnswerBytes)) return kCommandRefused;
  return Send(ctx, DataDirection::In, h, PatternCdb(op::kLogicalPatternFill, lba, bytes),
              answer.data(), kPatternAnswerBytes, 0, kPatternTimeout);
}

}  // namespace kvx
