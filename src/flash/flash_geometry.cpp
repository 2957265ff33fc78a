#include "flash/flash_geometry.h"

namespace kvx {

std::string GeometryProblem(const FlashGeometry& g, bool forScan) {
  if (g.chipCount == 0) return "no flash chip";
  if (g.blockPerChip == 0) return "zero blocks per chip";
  if (std::uint64_t(g.chipCount) * g.blockPerChip > kMaxTotalBlocks)
    return "more than " + std::to_string(kMaxTotalBlocks) + " blocks";
  if (g.pagePerBlock == 0 || g.pagePerBlock % 8 != 0)
    return "pages per block must be a non-zero multiple of 8";
  if (g.pagePerBlock > (forScan ? kScanMaxPagePerBlock : kMaxPagePerBlock))
    return "too many pages per block (" + std::to_string(g.pagePerBlock) + ")";
  if (g.sectorPerPage < 1 || g.sectorPerPage > kMaxSectorPerPage)
    return "sectors per page must be 1..8";
  if (g.sectorsPerPageX != 0 &&
      (g.sectorsPerPageX > kMaxSectorPerPage || g.sectorsPerPageX < g.sectorPerPage))
    return "effective sectors per page must be S..8";
  return {};
}

}  // namespace kvx
