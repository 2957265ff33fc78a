#pragma once
// The flash geometry of one job: from the matched flash type and from
// identification. Block, page and sector numbering:
//   port-wide block b = chip x BlockPerChip + block in chip (0..TotalBlocks-1)
//   port-wide page index = b x PagePerBlock + page (the bit of BadPageBitmap)
//   page address within a chip = (b mod BlockPerChip) x PagePerBlock + page
//   sector address = page address x SectorsPerPageX

#include <cstdint>
#include <string>

namespace kvx {

// Limits the engine's structures are sized for.
inline constexpr std::uint32_t kMaxTotalBlocks = 32768;  // scan work arrays are per block
inline constexpr std::uint32_t kMaxPagePerBlock = 256;   // 256 block lists by good pages
inline constexpr std::uint32_t kScanMaxPagePerBlock = 255;  // the scan command's page count is a byte
inline constexpr std::uint32_t kMaxSectorPerPage = 8;    // page buffers hold 4096 bytes

struct FlashGeometry {
  std::uint32_t chipCount = 0;
  std::uint32_t blockPerChip = 0;
  std::uint32_t pagePerBlock = 0;
  std::uint32_t sectorPerPage = 0;    // S: 512-byte sectors per flash page
  std::uint32_t sectorsPerPageX = 0;  // E: the port's effective sectors per page (S or 2 x S)

  std::uint32_t totalBlocks() const { return chipCount * blockPerChip; }
  std::uint32_t totalPages() const { return totalBlocks() * pagePerBlock; }
  // Bitmap bytes per block.
  std::uint32_t bitmapBytesPerBlock() const { return pagePerBlock / 8; }

  std::uint8_t chipOf(std::uint32_t block) const { return std::uint8_t(block / blockPerChip); }
  std::uint32_t blockInChip(std::uint32_t block) const { return block % blockPerChip; }
  std::uint32_t pageAddress(std::uint32_t block, std::uint32_t page) const {
    return blockInChip(block) * pagePerBlock + page;
  }
  std::uint32_t sectorAddress(std::uint32_t block, std::uint32_t page) const {
    return pageAddress(block, page) * sectorsPerPageX;
  }
};

// Empty when the engine can work with the geometry, otherwise the reason.
// `forScan` adds the scan command's limits (page count in one byte).
std::string GeometryProblem(const FlashGeometry& g, bool forScan);

}  // namespace kvx
