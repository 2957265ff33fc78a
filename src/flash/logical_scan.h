#pragma once
// One pass of the logical scan: the firmware fills the first zone's logical
// sectors with a test pattern and checks them again through its own
// logical-to-physical mapping; every physical page it reports as failing is
// marked bad. The high format runs passes and formats again after each.

#include <cstdint>
#include <optional>

#include "engine/port_job.h"
#include "flash/flash_geometry.h"

namespace kvx {

struct LogicalScanOptions {
  std::uint32_t sectors = 0;      // logical sectors tested (zone 0's capacity)
  std::uint8_t scanCount = 1;     // passes in all, for the bar text
  bool randomData = false;        // random words instead of 0x55AA
  bool blockMode = false;         // a failing page retires its whole block
  std::optional<std::uint32_t> seed;  // for the random words
};

// The four-sector test pattern of pass `passCount` (0-based): 1024 words of
// 0x55AA (or random), every word inverted on odd passes. Little-endian words.
std::vector<std::uint8_t> LogicalTestPattern(std::uint8_t passCount, bool randomData,
                                             std::uint32_t seed);

// 0: nothing new found; -1: at least one page marked bad; 33025: stopped.
std::int32_t LogicalScan(PortJob& job, const FlashGeometry& g, const LogicalScanOptions& o);

}  // namespace kvx
