#pragma once
// Helpers for the simulator tests: a disk opened through the simulator and
// driven only with the command builders, code images with a good checksum,
// and a small writer of the on-flash format (system block, table blocks),
// written from the format description, not from the simulator's reader.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/commands.h"
#include "sim/simulator.h"

namespace kvx::sim::test {

inline std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t v) { return std::vector<std::uint8_t>(n, v); }

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

inline DiskSpec SmallDisk(std::uint32_t chips = 1, std::uint32_t blocks = 64, std::uint32_t pages = 16,
                          std::uint32_t sectors = 4) {
  DiskSpec d;
  d.geometry = {chips, blocks, pages, sectors};
  for (std::uint32_t c = 0; c < chips; ++c) d.ids[c] = {0xECD35195, 0};
  return d;
}

inline Profile OneDisk(const DiskSpec& d) {
  Profile p;
  p.disks.push_back(d);
  return p;
}

// One simulator with its disks, the first opened.
struct Rig {
  explicit Rig(Profile p)
      : geo(p.disks.empty() ? Geometry{} : p.disks[0].geometry),
        sim(std::make_unique<Simulator>(std::move(p))) {
    ctx.transport = sim.get();
    h = sim->open(Simulator::DevicePath(0));
  }
  explicit Rig(const DiskSpec& d) : Rig(OneDisk(d)) {}

  ScsiResult erase(std::uint32_t chip, std::uint32_t block, std::uint32_t count = 1) {
    return EraseBlocks(ctx, h, std::uint8_t(chip), block, count);
  }
  ScsiResult writePage(std::uint32_t chip, std::uint32_t pageAddress, std::uint32_t E,
                       const std::vector<std::uint8_t>& data, WriteExtra extra = {}) {
    return WriteSectors(ctx, h, std::uint8_t(chip), pageAddress * E, std::uint8_t(E), 0, kDestFlash,
                        data, 10, extra);
  }
  std::vector<std::uint8_t> readPage(std::uint32_t chip, std::uint32_t pageAddress, std::uint32_t E,
                                     ScsiResult* result = nullptr) {
    std::vector<std::uint8_t> out(E * 512);
    const ScsiResult r = ReadSectors(ctx, h, std::uint8_t(chip), pageAddress * E, std::uint8_t(E), out, 5);
    if (result) *result = r;
    return out;
  }
  ScsiResult loadCode(std::uint8_t kind, std::uint32_t sectors = 4) {
    const auto code = CodeImage(sectors);
    return DownloadCode(ctx, h, kind, std::uint8_t(sectors), code);
  }

  Geometry geo;
  std::unique_ptr<Simulator> sim;
  CommandContext ctx;
  DeviceHandle h = kInvalidHandle;
};

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

// Erases the blocks it uses and writes the system block and table blocks.
inline void WriteFormat(Rig& rig, const FormatPlan& f) {
  const std::uint32_t P = f.P, E = f.E;
  auto split = [&](std::uint32_t b) { return std::pair{b / f.blocksPerChip, b % f.blocksPerChip}; };
  ASSERT_EQ(rig.erase(0, f.sysBlock), 0);
  for (auto t : f.tableBlocks) ASSERT_EQ(rig.erase(split(t).first, split(t).second), 0);
  for (const auto& z : f.zones)
    for (auto b : z.entries)
      if (b < f.totalBlocks) {
        ASSERT_EQ(rig.erase(split(b).first, split(b).second), 0);
      }
  auto page = [&](const std::vector<std::uint8_t>& head) {
    std::vector<std::uint8_t> p(E * 512, 0xFF);
    std::copy(head.begin(), head.begin() + std::min(head.size(), p.size()), p.begin());
    return p;
  };
  ASSERT_EQ(rig.writePage(0, f.sysBlock * P + 0, E, page(BuildSysInfo(f))), 0);
  std::vector<std::uint8_t> zoneInfo(f.zones.size() * 2);
  for (std::size_t z = 0; z < f.zones.size(); ++z) {
    zoneInfo[z] = std::uint8_t(f.zones[z].counted);
    zoneInfo[f.zones.size() + z] = std::uint8_t(f.zones[z].good - 1);
  }
  ASSERT_EQ(rig.writePage(0, f.sysBlock * P + 1, E, page(zoneInfo)), 0);
  std::vector<std::uint8_t> tableBitmap;
  for (auto t : f.tableBlocks) {
    const auto rec = f.record(t);
    tableBitmap.insert(tableBitmap.end(), rec.begin(), rec.end());
  }
  ASSERT_EQ(rig.writePage(0, f.sysBlock * P + 2, E, page(tableBitmap)), 0);
  const auto code = CodeImage(f.codeSectors);
  for (std::uint32_t k = 0; k * E < f.codeSectors; ++k) {
    std::vector<std::uint8_t> part(code.begin() + k * E * 512,
                                   code.begin() + std::min<std::size_t>(code.size(), (k + 1) * E * 512));
    ASSERT_EQ(rig.writePage(0, f.sysBlock * P + 3 + k, E, page(part)), 0);
  }
  auto pages = TablePages(f);
  std::size_t next = 0;
  for (std::size_t i = 0; i < f.tableBlocks.size() && next < pages.size(); ++i) {
    const auto [chip, blk] = split(f.tableBlocks[i]);
    const auto rec = f.record(f.tableBlocks[i]);
    for (std::uint32_t q = 0; q < P && next < pages.size(); ++q) {
      if (rec[q / 8] >> (q % 8) & 1) continue;
      ASSERT_EQ(rig.writePage(chip, blk * P + q, E, pages[next++]), 0);
    }
  }
  ASSERT_EQ(next, pages.size()) << "table blocks too small for the plan";
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
