#pragma once
// The simulated firmware's logical view: it reads the structures the high
// format left on the flash and maps logical sectors (READ(10), WRITE(10), the
// pattern fill and check) to physical pages. Written independently of the
// station's own format code, so that the two readings of one format check
// each other.
//
// Finding the system information
//   Candidate pages on chip 0, in this order, each probed at page p and then
//   p + 1: p = 0, 32, 64, ... (512 positions, step 32); then 16384 + 64 k,
//   49152 + 128 k, 114688 + 256 k, 245760 + 512 k (k < 512 each). Page
//   numbers are page addresses within chip 0 (block x P + page); a probe
//   reads the page, whose first 512 bytes are the candidate sector. The first
//   sector with both signatures (5C C5 5C C5, 5C 5C 5C 5C) and a valid
//   checksum (word 2 = XOR of the other 127 little-endian words) is taken.
//   Positions past the end of chip 0 are not probed.
//
// Fields used (offsets in the sector; BE = big-endian): 339 BE16 blocks per
//   chip (must equal the flash's, low 16 bits), 341 BE16 pages per block P
//   (must equal the flash's), 345 sectors per page as addressed, E (must equal
//   the flash's page), 346 sectors per page S (1..E), 394 BE16 system block
//   (on chip 0), 397 zone-info page, 398 table-bitmap page, 412 zone count - 1,
//   413 ten BE16 table blocks (the list ends at the first 0 after the first
//   entry, or at 0xFFFF), 482 LE16 bad-page information mark.
//
// Addressing of every block named on the flash: a port-wide block number d
//   (zone-table entries, table blocks, the system block) lives on chip
//   d / blocksPerChip at block d mod blocksPerChip; its page q is page address
//   (d mod blocksPerChip) x P + q of that chip, sector address that x E. Table
//   blocks on chips other than 0 are read the same way (never as chip 0 with
//   a port-wide page address).
//
// Zone information: page 397 of the system block: bytes 0..n-1 the data
//   blocks counted per zone (count[z]), bytes n..2n-1 the zone classes (good
//   pages per block G[z] = class + 1), n = zone count.
// Table bitmap: page 398 of the system block: P/8 bytes per table block, in
//   table-block order, bit i of byte j = page 8j + i, 1 = bad.
// Table blocks: their good pages, block by block and in page order, hold
//   first the zone-table pages, then the bad-page information pages.
//   Zone-table pages: ceil(n / E) of them; page m holds E slots of 512 bytes,
//   slot s (offset 512 s) is the table of zone m x E + s: 256 BE16 port-wide
//   block numbers, 0xFFFF = unused.
//   Bad-page information, when 482 does not hold 0x0728: one record of P/8
//   bytes per used table entry (every non-0xFFFF entry of every slot, zone 0
//   first, in table order); a page holds floor(E x 512 / (P/8)) records and a
//   record never crosses a page. When 482 holds 0x0728: a raw copy of the
//   port's bad-page bitmap, page k = bitmap bytes k x E x 512 onward,
//   floor(totalBlocks x P / 8 / 512 / E) pages; blocks beyond the stored pages
//   count as all good.
//
// The mapping
//   Logical sectors run zone after zone. Zone z holds count[z] data blocks:
//   the first count[z] entries of its table, in table order. Each data block
//   contributes its first G[z] good pages (by its bad-page record) in page
//   order, and each such page carries S logical sectors in its first S
//   sectors. So logical sector L of zone z (zone offset o) is sector o mod S
//   of good page (o / S) mod G[z] of entry o / (S x G[z]). The total is
//   sum count[z] x G[z] x S sectors, the capacity the station computes.
//
// Rejected (the disk stays not ready): geometry fields that differ from the
// flash, pages or blocks out of range, a zone table whose counted entries
// are 0xFFFF, out of range, repeated, or name the system block or a table
// block, a counted block with fewer than G good pages, information pages
// missing from the table blocks.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_nand.h"

namespace kvx::sim {

inline constexpr std::uint16_t kRawBitmapMark = 0x0728;

// The first 512 bytes of a page that carry a valid system information.
struct FoundSysInfo {
  std::uint32_t pageAddress = 0;  // on chip 0
  std::vector<std::uint8_t> sector;
};
std::optional<FoundSysInfo> FindSystemInformation(const SimNand& nand);

// Checksum word (bytes 8..11, little-endian) of a system-information sector.
std::uint32_t SysInfoChecksum(const std::uint8_t* sector);
bool HasSysInfoSignature(const std::uint8_t* sector);

// A physical place of one logical sector.
struct PhysicalSector {
  std::uint32_t chip = 0;
  std::uint32_t pageAddress = 0;  // within the chip
  std::uint32_t sector = 0;       // within the page
  std::uint32_t portPage = 0;     // port-wide page index (block x P + page)
};

class LogicalMap {
 public:
  // Reads the structures; nullopt (with the reason in `why`) when they do not
  // make a usable disk.
  static std::optional<LogicalMap> Read(const SimNand& nand, std::string* why = nullptr);

  std::uint64_t sectors() const { return total_; }
  std::uint32_t sectorsPerPage() const { return s_; }
  const std::vector<std::uint8_t>& sysInfo() const { return sysInfo_; }
  // Place of logical sector `lba` (< sectors()).
  PhysicalSector locate(std::uint64_t lba) const;

 private:
  struct Zone {
    std::uint64_t first = 0;  // first logical sector
    std::uint32_t good = 0;   // G: good pages used per block
    std::vector<std::uint32_t> blocks;
    std::vector<std::uint8_t> records;  // P/8 bytes per block: bit set = bad page
  };
  std::vector<Zone> zones_;
  std::vector<std::uint8_t> sysInfo_;
  std::uint64_t total_ = 0;
  std::uint32_t s_ = 0, p_ = 0, bpc_ = 0;
};

}  // namespace kvx::sim
