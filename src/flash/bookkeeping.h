#pragma once
// Per-port flash bookkeeping shared by the scan, the recorded-information
// reader, the layout planning, the high format and the logical scan: the bad
// page bitmap, the retired-block map, the 256 block lists by good-page count
// and the zone builder with the page images it produces.
//
// On-flash page images (written by the high format):
//   zone table page m: slot s (s < E) at offset 512 x s is the table of zone
//     m x E + s (E slots per page, as the firmware and the data-block
//     initialisation read them; with E = S this is S per page): 256 big-endian 16-bit port-wide block numbers in the order
//     the builder took them; unfilled entries 0xFFFF, unfilled bytes 0xFF.
//   block bitmap page: consecutive records of R = P / 8 bytes, one per
//     zone-table entry, zone 0 first; bit i of byte j = page 8j + i, 1 = bad;
//     a record never crosses a page (E x 512 bytes); the tail is 0xFF.
//   zone info page: bytes 0..n-1 zone block counts, n..2n-1 zone classes.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "flash/dynamic_array.h"
#include "flash/flash_geometry.h"

namespace kvx {

inline constexpr std::size_t kPageImageSize = 4096;  // 8 sectors, the largest page
using PageImage = std::array<std::uint8_t, kPageImageSize>;  // __ZONE_BLOCK_PAGE_INFO
inline constexpr int kBlockListCount = 256;
inline constexpr std::size_t kZoneTableEntries = 256;

// --- bad-page bitmap: bit (i mod 8) of byte i / 8, 1 = bad ---
inline bool PageBad(std::span<const std::uint8_t> bitmap, std::uint32_t pageIndex) {
  return (bitmap[pageIndex >> 3] >> (pageIndex & 7)) & 1;
}
inline void SetPageBad(std::span<std::uint8_t> bitmap, std::uint32_t pageIndex) {
  bitmap[pageIndex >> 3] |= std::uint8_t(1u << (pageIndex & 7));
}
// Bad pages of block b (a word-wide popcount over its P / 8 bitmap bytes).
std::uint32_t CountBadPages(std::span<const std::uint8_t> bitmap, std::uint32_t block,
                            std::uint32_t pagePerBlock);

// --- retired blocks: TotalBlocks bits in whole 32-bit words ---
class BadBlockMap {
 public:
  explicit BadBlockMap(std::uint32_t totalBlocks = 0) : words_((totalBlocks + 31) / 32, 0) {}
  bool test(std::uint32_t b) const { return (words_.at(b / 32) >> (b % 32)) & 1u; }
  void set(std::uint32_t b) { words_.at(b / 32) |= 1u << (b % 32); }
  std::size_t wordCount() const { return words_.size(); }
  std::uint32_t count() const;

 private:
  std::vector<std::uint32_t> words_;
};

// Everything the zone builder and the layout planning produce for one job.
struct FlashBookkeeping {
  // List k holds the blocks with exactly k+1 good pages, in the order added.
  std::array<DynamicArray<std::uint16_t>, kBlockListCount> BlockLists;
  DynamicArray<std::uint8_t> ZoneBlockCounts;  // data blocks counted per zone
  DynamicArray<std::uint8_t> ZoneClasses;      // good pages per block - 1, per zone
  DynamicArray<PageImage> ZoneTables;
  DynamicArray<PageImage> BlockBitmapPages;
  PageImage ZoneInfo{};
  // Filled by the layout planning, copied into the system information.
  std::uint16_t SysBlock = 0;
  std::uint8_t SysInfoPage = 0, ZoneInfoPage = 0, TableBitmapPage = 0;
  std::array<std::uint8_t, 10> CodePages{};
  std::uint8_t CodePageCount = 0;
  std::array<std::uint16_t, 10> TableBlocks{};
  std::uint8_t TableBlockClass = 0;
  PageImage TableBitmap{};
};

void ClearBlockLists(FlashBookkeeping& bk);
void AppendBlock(FlashBookkeeping& bk, int list, std::uint16_t block);
void RemoveBlockAt(FlashBookkeeping& bk, int list, std::size_t index);

// Rebuilds the lists from the bitmap in ascending block order. With
// `blockMode`, a block with any bad page counts as wholly bad. Returns the
// number of bad pages counted (the recorded-information reader adds it to
// the job's bad pages).
std::uint64_t RebuildBlockLists(FlashBookkeeping& bk, std::span<const std::uint8_t> bitmap,
                                const FlashGeometry& g, bool blockMode = false);

struct ZoneSummary {
  std::uint16_t zoneCount = 0;
  std::uint32_t diskSectors = 0;
};

// Builds the zones, their table and bitmap page images and the zone info
// page from the lists and the bitmap; returns the zone count and the
// capacity in sectors.
ZoneSummary BuildZones(FlashBookkeeping& bk, std::span<const std::uint8_t> bitmap,
                       const FlashGeometry& g);

// Empties the zone results (the high format does this when it leaves).
void ClearZones(FlashBookkeeping& bk);

}  // namespace kvx
