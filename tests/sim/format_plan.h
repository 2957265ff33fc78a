#pragma once
// A small writer of the on-flash format (system block, zone information,
// table bitmap, code pages, zone tables and bad-page information), made from
// the format description and not from the simulator's reader, so that the
// two check each other. Shared by the simulator tests and benchmarks.

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "sim/simulator.h"

namespace kvx::sim::test {

// A code image of `sectors` sectors whose last word is the XOR of the others.
inline std::vector<std::uint8_t> CodeImage(std::uint32_t sectors, std::uint32_t seed = 7) {
  std::vector<std::uint8_t> code(sectors * 512);
  std::uint32_t x = 0, v = seed;
  const std::uint32_t words = sectors * 128;
  for (std::uint32_t i = 0; i + 1 < words; ++i) {
    v = v * 1664525u + 1013904223u;
    for (int b = 0; b < 4; ++b) code[4 * i + b] = std::uint8_t(v >> (8 * b));
    x ^= v;
  }
  for (int b = 0; b < 4; ++b) code[4 * (words - 1) + b] = std::uint8_t(x >> (8 * b));
  return code;
}

// The on-flash format, written through the builders.
struct FormatPlan {
  std::uint32_t P = 16, E = 4, S = 4, blocksPerChip = 64;
  std::uint32_t sysBlock = 0;
  std::vector<std::uint32_t> tableBlocks = {1};
  struct Zone {
    std::uint32_t good = 16;              // G
    std::vector<std::uint32_t> entries;   // the zone table
    std::uint32_t counted = 0;            // data blocks counted
  };
  std::vector<Zone> zones;
  std::map<std::uint32_t, std::vector<std::uint8_t>> badPages;  // block -> P/8 bytes
  bool rawBitmap = false;   // the 0x0728 mark and a raw bitmap instead of records
  std::uint32_t totalBlocks = 64;
  std::uint32_t codeSectors = 4;
  std::uint32_t zone0Sectors = 0;  // offset 297; 0 = leave 0
  bool breakChecksum = false;

  std::vector<std::uint8_t> record(std::uint32_t b) const {
    auto it = badPages.find(b);
    return it != badPages.end() ? it->second : std::vector<std::uint8_t>(P / 8, 0);
  }
  std::uint64_t sectors() const {
    std::uint64_t n = 0;
    for (const auto& z : zones) n += std::uint64_t(z.counted) * z.good * S;
    return n;
  }
};

inline void PutBe16(std::uint8_t* p, std::uint32_t v) { p[0] = std::uint8_t(v >> 8), p[1] = std::uint8_t(v); }
inline void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v >> 24), p[1] = std::uint8_t(v >> 16), p[2] = std::uint8_t(v >> 8), p[3] = std::uint8_t(v);
}

inline std::vector<std::uint8_t> BuildSysInfo(const FormatPlan& f) {
  std::vector<std::uint8_t> s(512, 0);
  const std::uint8_t sig[8] = {0x5C, 0xC5, 0x5C, 0xC5, 0x5C, 0x5C, 0x5C, 0x5C};
  std::copy(sig, sig + 8, s.begin());
  const char inq[] = "\x00\x80\x02\x02\x1f\x00\x00\x00" "TESTVENDTest Product 16ch2.80";
  std::copy(inq, inq + 36, s.begin() + 228);
  PutBe32(&s[297], f.zone0Sectors);
  PutBe16(&s[339], f.blocksPerChip);
  PutBe16(&s[341], f.P);
  PutBe16(&s[343], f.P * f.S);
  s[345] = std::uint8_t(f.E);
  s[346] = std::uint8_t(f.S);
  PutBe16(&s[394], f.sysBlock);
  s[396] = 0, s[397] = 1, s[398] = 2;
  const std::uint32_t codePages = (f.codeSectors + f.E - 1) / f.E;
  for (std::uint32_t k = 0; k < codePages; ++k) s[399 + k] = std::uint8_t(3 + k);
  s[409] = std::uint8_t(codePages);
  s[410] = std::uint8_t(f.codeSectors);
  s[412] = std::uint8_t(f.zones.size() - 1);
  for (std::size_t i = 0; i < f.tableBlocks.size(); ++i) PutBe16(&s[413 + 2 * i], f.tableBlocks[i]);
  s[480] = 0x88, s[481] = 0x88;
  if (f.rawBitmap) s[482] = 0x28, s[483] = 0x07;
  std::uint32_t x = 0;
  for (int i = 0; i < 128; ++i)
    if (i != 2) x ^= std::uint32_t(s[4 * i]) | std::uint32_t(s[4 * i + 1]) << 8 |
                     std::uint32_t(s[4 * i + 2]) << 16 | std::uint32_t(s[4 * i + 3]) << 24;
  if (f.breakChecksum) x ^= 1;
  for (int b = 0; b < 4; ++b) s[8 + b] = std::uint8_t(x >> (8 * b));
  return s;
}

// Pages the table blocks carry: zone-table pages (E slots each), then the
// bad-page information.
inline std::vector<std::vector<std::uint8_t>> TablePages(const FormatPlan& f) {
  const std::uint32_t pageBytes = f.E * 512, R = f.P / 8;
  std::vector<std::vector<std::uint8_t>> pages;
  for (std::size_t z = 0; z < f.zones.size(); ++z) {
    if (z % f.E == 0) pages.emplace_back(pageBytes, 0xFF);
    auto& page = pages.back();
    for (std::size_t e = 0; e < f.zones[z].entries.size(); ++e)
      PutBe16(&page[(z % f.E) * 512 + 2 * e], f.zones[z].entries[e]);
  }
  if (f.rawBitmap) {
    std::vector<std::uint8_t> bitmap(std::size_t(f.totalBlocks) * R, 0);
    for (const auto& [b, rec] : f.badPages) std::copy(rec.begin(), rec.end(), bitmap.begin() + b * R);
    for (std::size_t at = 0; at + pageBytes <= bitmap.size(); at += pageBytes)
      pages.emplace_back(bitmap.begin() + at, bitmap.begin() + at + pageBytes);
  } else {
    std::uint32_t fill = pageBytes;
    for (const auto& z : f.zones)
      for (auto b : z.entries) {
        if (fill + R > pageBytes) pages.emplace_back(pageBytes, 0xFF), fill = 0;
        const auto rec = f.record(b);
        std::copy(rec.begin(), rec.end(), pages.back().begin() + fill);
        fill += R;
      }
  }
  return pages;
}

// A plan for one chip: system block 0, table block 1, data blocks from 2.
inline FormatPlan SimplePlan(const Geometry& g, std::uint32_t zones = 1, std::uint32_t perZone = 8) {
  FormatPlan f;
  f.P = g.pagesPerBlock, f.E = g.sectorsPerPage, f.S = g.sectorsPerPage;
  f.blocksPerChip = g.blocksPerChip;
  f.totalBlocks = g.totalBlocks();
  std::uint32_t b = 2;
  for (std::uint32_t z = 0; z < zones; ++z) {
    FormatPlan::Zone zone;
    zone.good = g.pagesPerBlock;
    for (std::uint32_t e = 0; e < perZone; ++e) zone.entries.push_back(b++);
    zone.counted = perZone > 2 ? perZone - 2 : perZone;
    f.zones.push_back(zone);
  }
  return f;
}

}  // namespace kvx::sim::test
