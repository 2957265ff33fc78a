#pragma once
// The controller's command set: one builder per command. Each fills a 16-byte
// command block (unnamed bytes zero), picks direction, data length and
// timeout, and sends it through the port's transport. Builders interpret
// nothing of the answer except the flash-ID lanes.
//
// Refusals: when the handle was never opened (0), the context has no
// transport, or a buffer the command needs is absent or shorter than the data
// length, nothing is sent and the builder returns -1 (LogicalPatternCheck
// returns 0, its callers ignore its result).

#include <array>
#include <cstdint>
#include <span>

#include "device/transport.h"

namespace kvx {

// Per-port command state: the transport the port talks through and the reply
// area of ReadControllerInfo.
struct CommandContext {
  Transport* transport = nullptr;
  std::array<std::uint8_t, 1024> reply{};
};

inline constexpr ScsiResult kCommandRefused = -1;
inline constexpr std::uint32_t kSectorBytes = 512;
inline constexpr std::uint32_t kRawSectorBytes = 528;  // 512 data + 16 spare bytes

// Opcodes.
namespace op {
inline constexpr std::uint8_t kRead10 = 0x28;
inline constexpr std::uint8_t kWrite10 = 0x2A;
inline constexpr std::uint8_t kReadPagesWithSpare = 0xD0;
inline constexpr std::uint8_t kWritePagesWithSpare = 0xD1;
inline constexpr std::uint8_t kEraseBlocks = 0xD2;
inline constexpr std::uint8_t kReadControllerInfo = 0xD3;
inline constexpr std::uint8_t kReadSectors = 0xD4;
inline constexpr std::uint8_t kWriteSectors = 0xD5;
inline constexpr std::uint8_t kReadFlashId = 0xD6;
inline constexpr std::uint8_t kDownloadCode = 0xD7;
inline constexpr std::uint8_t kFirmwareScan = 0xDA;
inline constexpr std::uint8_t kLogicalPatternCheck = 0xF8;
inline constexpr std::uint8_t kLogicalPatternFill = 0xF9;
}  // namespace op

// WriteSectors destinations (CDB byte 7).
inline constexpr std::uint8_t kDestFlash = 0x01;
inline constexpr std::uint8_t kDestConfigTable = 0x10;

// The sector count byte of READ(10), WRITE(10), 0xF8 and 0xF9:
// ((n + 511) / 512) mod 256, and 1 where that gives 0.
std::uint8_t SectorCountByte(std::uint32_t byteCount);

// Bitmap bytes a FirmwareScan of `pages` pages returns: one bit per page,
// rounded up to whole bytes, at least 2 (the firmware never answers 1 byte).
std::uint32_t FirmwareScanReplyLength(std::uint8_t pages);

// Highest ECC level the FirmwareScan byte 6 can carry (3 bits); larger levels
// are clamped so they never spill into the pass-number bits.
inline constexpr std::uint8_t kMaxEccLevel = 7;

ScsiResult DiskRead(CommandContext& ctx, DeviceHandle h, std::uint32_t lba, std::uint32_t bytes,
                    std::span<std::uint8_t> buffer, std::uint8_t lun, std::uint32_t timeout_s);
ScsiResult DiskWrite(CommandContext& ctx, DeviceHandle h, std::uint32_t lba, std::uint32_t bytes,
                     std::span<const std::uint8_t> buffer, std::uint8_t lun,
                     std::uint32_t timeout_s);

// Raw pages, each sector as 512 data bytes followed by its 16 spare bytes.
ScsiResult ReadPagesWithSpare(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                              std::uint32_t sectorAddress, std::uint32_t pages,
                              std::uint32_t sectorsPerPage, std::span<std::uint8_t> buffer,
                              std::uint32_t timeout_s);
ScsiResult WritePagesWithSpare(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                               std::uint32_t sectorAddress, std::uint32_t pages,
                               std::uint32_t sectorsPerPage, std::span<const std::uint8_t> buffer,
                               std::uint32_t timeout_s);

// Erases `count` consecutive blocks of one chip (count at most 512).
ScsiResult EraseBlocks(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                       std::uint32_t firstBlock, std::uint32_t count);

// 1024 bytes of controller information into ctx.reply.
ScsiResult ReadControllerInfo(CommandContext& ctx, DeviceHandle h);

ScsiResult ReadSectors(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                       std::uint32_t sectorAddress, std::uint8_t count,
                       std::span<std::uint8_t> buffer, std::uint32_t timeout_s,
                       std::uint8_t option = 0);

struct WriteExtra {
  std::uint8_t b8 = 0, b9 = 0, b10 = 0;
};
ScsiResult WriteSectors(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                        std::uint32_t sectorAddress, std::uint8_t count, std::uint8_t destHigh,
                        std::uint8_t destLow, std::span<const std::uint8_t> buffer,
                        std::uint32_t timeout_s, WriteExtra extra = {});

struct FlashIdReply {
  std::uint32_t id0 = 0;
  std::uint32_t id1 = 0;
};
// Issues `flashCommand` (0x90, Read ID) on one chip; `length` reply bytes
// (at most 32) decoded into the two byte lanes. Mode 2 is a plain reply,
// anything else the interleaved one. The IDs are decoded whatever the result.
ScsiResult ReadFlashId(CommandContext& ctx, DeviceHandle h, std::uint8_t chip,
                       std::uint8_t flashCommand, std::uint8_t length, std::uint8_t mode,
                       std::uint8_t byte5, std::uint8_t byte6, FlashIdReply& ids);
// The lane decoding alone, for a reply already read.
FlashIdReply DecodeFlashId(std::span<const std::uint8_t> reply, std::uint8_t length,
                           std::uint8_t mode);

// Code kind: 0 = scan code, 1 = final code.
ScsiResult DownloadCode(CommandContext& ctx, DeviceHandle h, std::uint8_t codeKind,
                        std::uint8_t sectors, std::span<const std::uint8_t> buffer);

struct FirmwareScanArgs {
  std::uint32_t firstPage = 0;  // page address within the chip
  std::uint8_t pages = 0;
  std::uint8_t chip = 0;
  std::uint8_t pass = 0;      // 3 bits
  std::uint8_t eccLevel = 0;  // clamped to kMaxEccLevel
  std::uint8_t invert = 0;    // 1 bit
  std::uint32_t seedA = 0;    // sent least significant byte first
  std::uint32_t seedB = 0;    // sent most significant byte first
};
// The bitmap answer lands in `bitmap` (FirmwareScanReplyLength bytes).
ScsiResult FirmwareScan(CommandContext& ctx, DeviceHandle h, const FirmwareScanArgs& args,
                        std::span<std::uint8_t> bitmap);

// 8-byte answers; the check's first four bytes are FF FF FF FF for a good run,
// otherwise the failing page, most significant byte first.
ScsiResult LogicalPatternCheck(CommandContext& ctx, DeviceHandle h, std::uint32_t lba,
                               std::uint32_t bytes, std::span<std::uint8_t> answer);
ScsiResult LogicalPatternFill(CommandContext& ctx, DeviceHandle h, std::uint32_t lba,
                              std::uint32_t bytes, std::span<std::uint8_t> answer);

// Builds the command blocks alone (used by the builders, the simulator's tests
// and anyone who needs to look at the bytes).
Cdb MakeRead10Cdb(std::uint8_t opcode, std::uint32_t lba, std::uint32_t bytes);
Cdb MakeFirmwareScanCdb(const FirmwareScanArgs& args);

}  // namespace kvx
