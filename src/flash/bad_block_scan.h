#pragma once
// The bad-block scan: erase the flash, then have the scan firmware test every
// block's pages with a seeded pattern, block by block in a random order, in
// passes, until every block stayed clean for enough passes or the scan
// level's pass limit is reached. Fills the bad-page bitmap, the retired-block
// map, the job's bad-page count and the block lists.
//
// Retired blocks (a visit found fewer than 8 good pages) are not scanned
// again and take no part in the stop rule, so one dead block does not keep
// the scan running to the pass limit; blocks of the forced range are never
// scanned and likewise left out of the stop rule.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "engine/port_job.h"
#include "flash/bookkeeping.h"
#include "flash/flash_geometry.h"

namespace kvx {

struct ScanOptions {
  int scanLevelIndex = 0;      // passes at most = index + 1
  std::uint8_t scanCount = 1;  // clean passes a block needs
  std::uint8_t eccLevel = 0;   // already limited by the ECC ceiling
  bool preTest = false;        // only check for aliased chip selects
  std::string fromBlock, toBlock;  // forced range (decimal texts), off when toBlock is "" or "0"
  bool forcedBad = true;           // forced range marked bad (else left alone as good)
  bool oddPageAllBad = false, evenPageAllBad = false;
  bool blockMode = false;              // a block with any bad page counts as wholly bad
  bool listWhileFormatting = false;    // log new bad pages in the bad-page tree
  std::optional<std::uint64_t> orderSeed;  // visiting order; from the clock when unset
  std::function<void()> turnOnOnlyScan;    // the pre-test stops the job after it
};

// 32-bit pattern register: returns the current value, then advances 32 steps
// (each step: f = bit 0 ^ bit 28; shift right keeping bit 31; invert bit 31 if f).
class PatternGenerator {
 public:
  static constexpr std::uint32_t kSeed = 0x11D7;
  void reset() { s_ = kSeed; }
  std::uint32_t next();

 private:
  std::uint32_t s_ = kSeed;
};

// A uniform random permutation of 0..n-1 (Fisher-Yates).
std::vector<std::uint16_t> VisitingOrder(std::uint32_t n, std::uint64_t seed);

// 0 on completion; 33025 when stopped; 33295 when a block scan failed;
// 33287/33288/33289 from the pre-test; -1 for a forced range that is not a
// number. The caller has cleared the bitmaps and loaded the scan firmware.
std::int32_t ScanBadBlocks(PortJob& job, const FlashGeometry& g, BadBlockMap& retired,
                           FlashBookkeeping& bk, const ScanOptions& options);

}  // namespace kvx
