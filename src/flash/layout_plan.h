#pragma once
// Layout planning of one high-format attempt: zones from the current bad-page
// information, the system block and its pages, the table blocks that carry
// the zone tables and the bad-page information, the capacity and its class.
// Sends nothing to the device.

#include <cstdint>
#include <span>
#include <string>

#include "engine/bins_serials.h"
#include "flash/bookkeeping.h"
#include "flash/flash_geometry.h"

namespace kvx {

inline constexpr std::size_t kMaxTableBlocks = 10;
inline constexpr std::uint32_t kMaxCodePages = 9;

struct LayoutInputs {
  FlashGeometry geometry;
  std::uint8_t codeLength = 0;  // sectors of one code copy
  std::uint8_t codeCount = 0;   // copies of the code in the system block
  bool multiChipMode = false;   // bad-page information stored as a raw bitmap copy
  std::array<BinRow, kBinRows> bins{};
};

enum class LayoutStatus {
  Planned,
  NoSystemBlock,      // no block on chip 0 can hold the system area
  CodeTooLarge,       // more code pages than the system area holds
  TooManyTableBlocks, // the table pages need more than 10 blocks
  NoTableBlocks,      // no list holds enough blocks for the table pages
};

struct LayoutPlan {
  LayoutStatus status = LayoutStatus::NoSystemBlock;
  std::uint32_t codePageCount = 0;  // pages per code copy: ceil(codeLength / S)
  std::uint32_t tablePages = 0;     // pages to store in the table blocks
  std::uint32_t tableBlocksReserved = 0;
  ZoneSummary zones;                // of the second zone build
  BinResult bin;
};

// A message for the operator; empty for Planned.
std::string LayoutProblemText(LayoutStatus status);

// Raw bitmap pages of the multi-chip mode: TotalBlocks x P / 8 / 512 / E.
std::uint32_t RawBitmapPages(const FlashGeometry& g);

// Plans the layout into `bk` (system block, pages, code pages, table blocks,
// table bitmap, zones). On any failure the zone arrays are emptied.
LayoutPlan PlanLayout(FlashBookkeeping& bk, std::span<const std::uint8_t> bitmap,
                      const LayoutInputs& in);

// The number of table blocks the writer uses: ceil(T' / (class + 1)).
std::uint32_t TableBlocksToWrite(const FlashBookkeeping& bk, const LayoutInputs& in);

}  // namespace kvx
