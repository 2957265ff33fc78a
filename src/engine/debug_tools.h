#pragma once
// Raw flash access for the debug page: read one page of a port's disk with
// its spare bytes, write one page back, erase one block. The page widget in
// src/ui is a thin front end over this; everything that decides whether a
// command may go out is here.
//
// An action refuses, with a sentence for the operator and without sending
// anything:
//   - a busy port (its worker owns the device while the job runs);
//   - a port without a present, identified disk (no flash type, no chips);
//   - a chip or block text that is not a decimal number, or an address
//     outside the disk's chips or the flash type's blocks;
//   - page bytes that are not hexadecimal or not exactly one raw page.
// Actions run on the window thread and hold the station's control lock while
// they look at the port and talk to it, so a port refresh cannot close or
// replace the handle under them. When a refresh holds the lock the action
// refuses instead of freezing the window.
//
// A page here is the flash type's whole raw page: SectorPerPage sectors of
// 528 bytes (512 data bytes and 16 spare bytes each), 2112 bytes for the
// common four-sector page.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/commands.h"
#include "device/scsi.h"

namespace kvx {

class Station;

// The one timeout of the page commands, seconds.
inline constexpr std::uint32_t kDebugCommandTimeoutS = 5;
// Largest page a flash type may have (the page buffers of the bookkeeping).
inline constexpr std::uint32_t kMaxSectorsPerPage = 8;

// Decimal text of an address field: digits only, blanks around allowed,
// at most 32 bits. Nothing for anything else (empty, sign, hex, overflow).
std::optional<std::uint32_t> ParseDecimalField(std::string_view text);

// The page view's text: 16 bytes per line, each line led by its offset,
// "0000: FF FF ...".
std::string FormatHexDump(std::span<const std::uint8_t> bytes);
// Reads a dump back. A line may start with its offset and a colon; the
// offset must then be the number of bytes read so far (a byte added or
// removed higher up is caught where it shifts the lines). Every other token
// is one byte of one or two hexadecimal digits. Blank lines are ignored.
// Exactly `size` bytes are expected. On failure `error` says where and why.
std::optional<std::vector<std::uint8_t>> ParseHexDump(std::string_view text, std::size_t size,
                                                      std::string& error);

struct DebugResult {
  bool ok = false;
  std::string text;  // what was done, or why nothing was sent
};

// The disk of one port as the debug actions see it.
struct DebugGeometry {
  std::uint32_t chips = 0;
  std::uint32_t blocksPerChip = 0;
  std::uint32_t pagesPerBlock = 0;
  std::uint32_t sectorsPerPage = 0;
  std::uint32_t rawPageBytes() const { return sectorsPerPage * kRawSectorBytes; }
};

class DebugTools {
 public:
  explicit DebugTools(Station& station, int port = 0) : station_(station), port_(port) {}

  // The first page of the block into `page` (resized to one raw page). On
  // failure `page` is left as it was.
  DebugResult ReadPage(std::string_view chipText, std::string_view blockText,
                       std::vector<std::uint8_t>& page);
  // The page view's hex dump to the first page of the block.
  DebugResult WritePage(std::string_view chipText, std::string_view blockText,
                        std::string_view hexDump);
  DebugResult EraseBlock(std::string_view chipText, std::string_view blockText);

 private:
  struct Target {
    DeviceHandle handle = kInvalidHandle;
    DebugGeometry geo;
    std::uint8_t chip = 0;
    std::uint32_t block = 0;
    std::uint32_t sectorAddress() const { return block * geo.pagesPerBlock * geo.sectorsPerPage; }
  };
  // Port, address and handle checks; call with the control lock held.
  std::optional<Target> prepare(std::string_view chipText, std::string_view blockText,
                                std::string& why);
  std::optional<DebugGeometry> geometryLocked(std::string& why);
  std::string portName() const;

  Station& station_;
  int port_;
};

}  // namespace kvx
