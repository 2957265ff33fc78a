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
#include "format_plan.h"

namespace kvx::sim::test {

inline std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t v) { return std::vector<std::uint8_t>(n, v); }

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

}  // namespace kvx::sim::test
