#pragma once
// SimNand: the flash chips of one simulated disk. Sparse: a page costs memory
// only once it is programmed; an erased page reads 0xFF and costs nothing.
// NAND rules: erase sets a whole block to 0xFF; programming can only clear
// bits, so a page programmed twice without an erase holds the AND of both.
//
// Pages are addressed per chip (page address = block x pagesPerBlock + page,
// as the vendor commands do). A page is held in its raw form: per sector 512
// data bytes followed by 16 spare bytes.
//
// Defects are fixed at construction (see sim_types.h). Not thread-safe: the
// owning disk serialises access with its own lock.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/sim_types.h"

namespace kvx::sim {

// One block pattern state: the firmware scan programs every page of a block
// with a pattern drawn from two seeds; it is kept as the seeds, not as bytes.
struct ScanPattern {
  std::uint32_t seedA = 0, seedB = 0;
  std::uint8_t invert = 0;
  bool operator==(const ScanPattern&) const = default;
};

class SimNand {
 public:
  SimNand(const Geometry& geometry, const Defects& defects);

  const Geometry& geometry() const { return geo_; }

  // Erases one block. False when the erase fails (a factory bad block, or a
  // worn-out block whose erase budget is spent: it turns bad for good).
  bool erase(std::uint32_t chip, std::uint32_t block);

  // Reads one page in raw form (rawPageBytes()).
  void readPage(std::uint32_t chip, std::uint32_t pageAddress, std::span<std::uint8_t> raw) const;

  // Programs sectors [first, first + raw.size() / 528) of a page from raw
  // sector data; the bits are ANDed into what the page holds. Programs on a
  // bad block do not stick; a program-fail page keeps a corrupted copy.
  void program(std::uint32_t chip, std::uint32_t pageAddress, std::uint32_t firstSector,
               std::span<const std::uint8_t> raw);

  // Replaces sectors of a page outright (the firmware's logical writes, which
  // stand for a relocation the simulator does not model). Defects still apply.
  void overwrite(std::uint32_t chip, std::uint32_t pageAddress, std::uint32_t firstSector,
                 std::span<const std::uint8_t> raw);

  // True when the page reads all 0xFF and was not programmed since the erase.
  bool isErased(std::uint32_t chip, std::uint32_t pageAddress) const;

  // --- the firmware scan's view ---
  // Programs every page of the block with the pattern (pages already
  // programmed cannot take it and are reported by the verify).
  void scanProgram(std::uint32_t portBlock, const ScanPattern& pattern);
  // True when the page holds the block's pattern `pattern` intact.
  bool scanHolds(std::uint32_t portBlock, std::uint32_t page, const ScanPattern& pattern) const;
  // Scans of the block since the disk was built (for weak pages that fail on
  // chosen visits); advanced once per FirmwareScan of the block.
  std::uint32_t nextScanVisit(std::uint32_t portBlock);
  // True when a weak page fails under these conditions.
  bool weakFails(std::uint32_t portBlock, std::uint32_t page, std::uint8_t pass,
                 std::uint8_t invert, std::uint32_t visit) const;

  bool isBad(std::uint32_t portBlock) const;
  std::uint32_t eraseCount(std::uint32_t portBlock) const { return blocks_[portBlock].eraseCount; }

  // Programmed pages held in memory, and the bytes they take (page buffers
  // and their index entries, not the fixed per-block record).
  std::uint64_t programmedPages() const;
  // Visits every programmed page (including pattern-programmed blocks,
  // expanded) in block and page order.
  template <typename F>
  void forEachProgrammed(F&& f) const;

  // The pattern byte stream of a scanned page (deterministic from the seeds).
  static void FillPattern(const ScanPattern& p, std::uint32_t portBlock, std::uint32_t page,
                          std::span<std::uint8_t> raw);

 private:
  struct PageEntry {
    std::uint16_t page;
    std::unique_ptr<std::uint8_t[]> raw;
  };
  enum : std::uint8_t { kFactoryBad = 1, kWorn = 2, kPatterned = 4 };
  struct Block {
    std::vector<PageEntry> pages;  // programmed pages, ascending page number
    std::uint32_t eraseCount = 0;
    std::uint32_t scanVisits = 0;
    ScanPattern pattern;
    std::uint8_t flags = 0;
  };

  std::uint32_t portBlock(std::uint32_t chip, std::uint32_t pageAddress) const {
    return chip * geo_.blocksPerChip + pageAddress / geo_.pagesPerBlock;
  }
  const PageEntry* find(const Block& b, std::uint32_t page) const;
  // The page's entry, created from its current content when missing.
  PageEntry& materialise(std::uint32_t portBlock, std::uint32_t page);
  bool programFails(std::uint32_t portBlock, std::uint32_t page) const;
  void corrupt(std::span<std::uint8_t> raw) const;

  Geometry geo_;
  std::vector<Block> blocks_;
  std::vector<WeakPage> weak_;                // sorted by (block, page)
  std::vector<ProgramFailPage> programFail_;  // sorted by (block, page)
  std::vector<std::uint32_t> wearLimit_;      // per block; UINT32_MAX = never wears out
};

template <typename F>
void SimNand::forEachProgrammed(F&& f) const {
  std::vector<std::uint8_t> scratch(geo_.rawPageBytes());
  for (std::uint32_t b = 0; b < blocks_.size(); ++b) {
    const Block& blk = blocks_[b];
    const std::uint32_t chip = b / geo_.blocksPerChip;
    const std::uint32_t first = (b % geo_.blocksPerChip) * geo_.pagesPerBlock;
    for (std::uint32_t p = 0; p < geo_.pagesPerBlock; ++p) {
      if (!(blk.flags & (kPatterned | kFactoryBad | kWorn)) && !find(blk, p)) continue;
      readPage(chip, first + p, scratch);
      f(chip, first + p, std::span<const std::uint8_t>(scratch));
    }
  }
}

}  // namespace kvx::sim
