#include "sim/logical_map.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace kvx::sim {
namespace {

std::uint32_t Be16(const std::uint8_t* p) { return std::uint32_t(p[0]) << 8 | p[1]; }
std::uint32_t Le16(const std::uint8_t* p) { return std::uint32_t(p[1]) << 8 | p[0]; }
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

// Sweeps of the search: first position, step.
struct Sweep {
  std::uint32_t first, step;
};
constexpr Sweep kSweeps[] = {{0, 32}, {16384, 64}, {49152, 128}, {114688, 256}, {245760, 512}};
constexpr std::uint32_t kPositionsPerSweep = 512;
constexpr std::uint32_t kZoneTableEntries = 256;
constexpr std::uint32_t kMaxTableBlocks = 10;

bool Fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

// Reads pages out of the flash, one data copy (without spare bytes).
class PageReader {
 public:
  explicit PageReader(const SimNand& nand) : nand_(nand), raw_(nand.geometry().rawPageBytes()) {}
  // Data bytes (E x 512) of page `page` of port-wide block `block`.
  std::vector<std::uint8_t> data(std::uint32_t block, std::uint32_t page) {
    const Geometry& g = nand_.geometry();
    nand_.readPage(block / g.blocksPerChip, (block % g.blocksPerChip) * g.pagesPerBlock + page,
                   raw_);
    std::vector<std::uint8_t> out(g.sectorsPerPage * kDataBytes);
    for (std::uint32_t s = 0; s < g.sectorsPerPage; ++s)
      std::memcpy(&out[s * kDataBytes], &raw_[s * kRawBytes], kDataBytes);
    return out;
  }

 private:
  const SimNand& nand_;
  std::vector<std::uint8_t> raw_;
};

bool BitSet(const std::uint8_t* bits, std::uint32_t i) { return bits[i / 8] >> (i % 8) & 1; }

}  // namespace

bool HasSysInfoSignature(const std::uint8_t* s) {
  static constexpr std::uint8_t kSig[8] = {0x5C, 0xC5, 0x5C, 0xC5, 0x5C, 0x5C, 0x5C, 0x5C};
  return std::memcmp(s, kSig, 8) == 0;
}

std::uint32_t SysInfoChecksum(const std::uint8_t* s) {
  std::uint32_t x = 0;
  for (int i = 0; i < 128; ++i)
    if (i != 2) x ^= Le32(s + 4 * i);
  return x;
}

std::optional<FoundSysInfo> FindSystemInformation(const SimNand& nand) {
  const Geometry& g = nand.geometry();
  std::vector<std::uint8_t> raw(g.rawPageBytes());
  const std::uint32_t chipPages = g.pagesPerChip();
  for (const Sweep& sw : kSweeps) {
    for (std::uint32_t k = 0; k < kPositionsPerSweep; ++k) {
      const std::uint64_t base = sw.first + std::uint64_t(k) * sw.step;
      if (base >= chipPages) return std::nullopt;  // later sweeps start further out
      for (std::uint64_t p = base; p < base + 2 && p < chipPages; ++p) {
        nand.readPage(0, std::uint32_t(p), raw);
        if (!HasSysInfoSignature(raw.data())) continue;
        if (Le32(raw.data() + 8) != SysInfoChecksum(raw.data())) continue;
        return FoundSysInfo{std::uint32_t(p), {raw.begin(), raw.begin() + kDataBytes}};
      }
    }
  }
  return std::nullopt;
}

std::optional<LogicalMap> LogicalMap::Read(const SimNand& nand, std::string* why) {
  const Geometry& g = nand.geometry();
  auto found = FindSystemInformation(nand);
  if (!found) return Fail(why, "no system information"), std::nullopt;
  const std::uint8_t* si = found->sector.data();
  const std::uint32_t P = g.pagesPerBlock, E = g.sectorsPerPage, R = P / 8;
  if (Be16(si + 341) != P || si[345] != E || Be16(si + 339) != (g.blocksPerChip & 0xFFFF))
    return Fail(why, "recorded geometry differs from the flash"), std::nullopt;
  const std::uint32_t S = si[346];
  if (S == 0 || S > E) return Fail(why, "sectors per page out of range"), std::nullopt;
  const std::uint32_t sysBlock = Be16(si + 394);
  const std::uint32_t zoneInfoPage = si[397], bitmapPage = si[398];
  if (sysBlock >= g.blocksPerChip || zoneInfoPage >= P || bitmapPage >= P)
    return Fail(why, "system block or its pages out of range"), std::nullopt;
  const std::uint32_t n = std::uint32_t(si[412]) + 1;
  if (2 * n > E * kDataBytes) return Fail(why, "zone count out of range"), std::nullopt;

  std::vector<std::uint32_t> tables;
  for (std::uint32_t i = 0; i < kMaxTableBlocks; ++i) {
    const std::uint32_t t = Be16(si + 413 + 2 * i);
    if ((t == 0 && i > 0) || t == 0xFFFF) break;
    if (t >= g.totalBlocks()) return Fail(why, "table block out of range"), std::nullopt;
    tables.push_back(t);
  }
  if (tables.empty()) return Fail(why, "no table block"), std::nullopt;

  PageReader reader(nand);
  const auto zoneInfo = reader.data(sysBlock, zoneInfoPage);
  const auto tableBitmap = reader.data(sysBlock, bitmapPage);
  if (tables.size() * R > tableBitmap.size())
    return Fail(why, "table bitmap too short"), std::nullopt;

  // Which information pages the table blocks must hold.
  const bool rawBitmap = Le16(si + 482) == kRawBitmapMark;
  const std::uint32_t tablePages = (n + E - 1) / E;

  // Gather pages from the good pages of the table blocks, in order.
  std::vector<std::vector<std::uint8_t>> info;
  std::uint32_t wantTotal = 0;  // known after the zone tables are read
  bool tablesRead = false;
  std::vector<std::uint32_t> entries;  // all used entries, table order
  std::vector<std::uint32_t> usedPerZone(n, 0);
  auto finishTables = [&]() {
    tablesRead = true;
    for (std::uint32_t z = 0; z < n; ++z) {
      const auto& page = info[z / E];
      const std::uint8_t* slot = page.data() + (z % E) * kDataBytes;
      for (std::uint32_t e = 0; e < kZoneTableEntries; ++e) {
        const std::uint32_t v = Be16(slot + 2 * e);
        if (v == 0xFFFF) continue;
        entries.push_back(v);
        ++usedPerZone[z];
      }
    }
    if (rawBitmap) {
      wantTotal = tablePages + std::uint32_t(std::uint64_t(g.totalBlocks()) * R / kDataBytes / E);
    } else {
      const std::uint32_t perPage = E * kDataBytes / R;
      wantTotal = tablePages + std::uint32_t((entries.size() + perPage - 1) / perPage);
    }
  };
  for (std::uint32_t i = 0; i < tables.size(); ++i) {
    for (std::uint32_t q = 0; q < P; ++q) {
      if (tablesRead && info.size() >= wantTotal) break;
      if (BitSet(&tableBitmap[i * R], q)) continue;
      info.push_back(reader.data(tables[i], q));
      if (!tablesRead && info.size() == tablePages) finishTables();
    }
  }
  if (!tablesRead || info.size() < wantTotal)
    return Fail(why, "table blocks hold too few pages"), std::nullopt;

  // Bad-page record of a block by its index among the used entries (record
  // mode) or by its number (raw mode).
  const std::uint32_t perPage = E * kDataBytes / R;
  std::vector<std::uint8_t> allGood(R, 0);
  auto recordOf = [&](std::uint32_t entryIndex, std::uint32_t block) -> const std::uint8_t* {
    if (rawBitmap) {
      const std::uint64_t at = std::uint64_t(block) * R;
      const std::uint64_t page = at / (E * kDataBytes);
      if (tablePages + page >= info.size()) return allGood.data();
      return info[tablePages + page].data() + at % (E * kDataBytes);
    }
    return info[tablePages + entryIndex / perPage].data() + (entryIndex % perPage) * R;
  };

  LogicalMap map;
  map.sysInfo_ = found->sector;
  map.s_ = S;
  map.p_ = P;
  map.bpc_ = g.blocksPerChip;
  std::unordered_set<std::uint32_t> used(tables.begin(), tables.end());
  used.insert(sysBlock);
  if (used.size() != tables.size() + 1)
    return Fail(why, "a table block is the system block or repeated"), std::nullopt;
  std::uint32_t entryBase = 0;
  for (std::uint32_t z = 0; z < n; ++z) {
    Zone zone;
    zone.first = map.total_;
    zone.good = std::uint32_t(zoneInfo[n + z]) + 1;
    const std::uint32_t count = zoneInfo[z];
    if (zone.good > P) return Fail(why, "zone class out of range"), std::nullopt;
    if (count > usedPerZone[z]) return Fail(why, "zone counts more blocks than its table"), std::nullopt;
    const std::uint8_t* slot = info[z / E].data() + (z % E) * kDataBytes;
    for (std::uint32_t e = 0; e < count; ++e) {
      const std::uint32_t d = Be16(slot + 2 * e);
      if (d >= g.totalBlocks()) return Fail(why, "zone entry out of range"), std::nullopt;
      if (!used.insert(d).second)
        return Fail(why, "a block is used twice"), std::nullopt;
      const std::uint8_t* rec = recordOf(entryBase + e, d);
      std::uint32_t goodPages = 0;
      for (std::uint32_t q = 0; q < P; ++q) goodPages += !BitSet(rec, q);
      if (goodPages < zone.good) return Fail(why, "a data block lacks good pages"), std::nullopt;
      zone.blocks.push_back(d);
      zone.records.insert(zone.records.end(), rec, rec + R);
    }
    entryBase += usedPerZone[z];
    map.total_ += std::uint64_t(count) * zone.good * S;
    map.zones_.push_back(std::move(zone));
  }
  return map;
}

PhysicalSector LogicalMap::locate(std::uint64_t lba) const {
  auto it = std::upper_bound(zones_.begin(), zones_.end(), lba,
                             [](std::uint64_t l, const Zone& z) { return l < z.first; });
  const Zone& z = *std::prev(it);
  const std::uint64_t off = lba - z.first;
  const std::uint64_t perBlock = std::uint64_t(z.good) * s_;
  const std::uint32_t e = std::uint32_t(off / perBlock);
  std::uint32_t k = std::uint32_t(off % perBlock / s_);
  const std::uint32_t R = p_ / 8;
  const std::uint8_t* rec = &z.records[std::size_t(e) * R];
  std::uint32_t page = 0;
  for (;; ++page) {
    if (BitSet(rec, page)) continue;
    if (k == 0) break;
    --k;
  }
  const std::uint32_t d = z.blocks[e];
  PhysicalSector ps;
  ps.chip = d / bpc_;
  ps.pageAddress = (d % bpc_) * p_ + page;
  ps.sector = std::uint32_t(off % s_);
  ps.portPage = d * p_ + page;
  return ps;
}

}  // namespace kvx::sim
