#pragma once
// Raw NAND export of one simulated disk, sparse: only pages that do not read
// all 0xFF are stored.
//
// Format (all numbers 32-bit little-endian):
//   "KVXNAND1"                         8 bytes
//   chips, blocksPerChip, pagesPerBlock, sectorsPerPage
//   bad block count, then that many port-wide block numbers
//   page count, then per page: chip, page address within the chip, and the
//   page in raw form (per sector 512 data bytes then 16 spare bytes)
// Pages come in chip, then page-address order. Every page not listed reads
// 0xFF.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_types.h"

namespace kvx::sim {

struct RawNandImage {
  Geometry geometry;
  std::vector<std::uint32_t> badBlocks;
  struct Page {
    std::uint32_t chip = 0, pageAddress = 0;
    std::vector<std::uint8_t> raw;
  };
  std::vector<Page> pages;
};

// Reads an export back (nullopt on a malformed or truncated file).
std::optional<RawNandImage> ReadRawNandExport(const std::string& path);

}  // namespace kvx::sim
