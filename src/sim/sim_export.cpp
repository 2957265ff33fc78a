// Export of a simulated disk: its host-visible logical image and its raw NAND.
#include "sim/sim_export.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "sim/simulator.h"

namespace kvx::sim {
namespace {

constexpr char kMagic[8] = {'K', 'V', 'X', 'N', 'A', 'N', 'D', '1'};
constexpr std::uint32_t kExportChunkSectors = 128;  // 64 KiB per read

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

void PutLe32(std::ofstream& out, std::uint32_t v) {
  const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  out.write(b, 4);
}

bool GetLe32(std::ifstream& in, std::uint32_t* v) {
  unsigned char b[4];
  if (!in.read(reinterpret_cast<char*>(b), 4)) return false;
  *v = std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
       std::uint32_t(b[3]) << 24;
  return true;
}

}  // namespace

bool Simulator::exportLogicalImage(int index, const std::string& path, std::string* error) {
  if (index < 0 || index >= diskCount()) return Fail(error, "no such disk");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return Fail(error, "cannot write " + path);
  std::vector<std::uint8_t> chunk(kExportChunkSectors * kDataBytes);
  const bool ok = disks_[index]->withUnit([&](SimUnit& unit) {
    std::uint64_t sectors = 0;
    auto* ctrl = dynamic_cast<ControllerUnit*>(&unit);
    auto* generic = dynamic_cast<GenericUnit*>(&unit);
    if (ctrl) {
      if (!ctrl->logicalReady()) return false;
      sectors = ctrl->hostSectors();
    } else if (generic) {
      sectors = generic->sectorCount();
    }
    for (std::uint64_t s = 0; s < sectors; s += kExportChunkSectors) {
      const auto n = std::uint32_t(std::min<std::uint64_t>(kExportChunkSectors, sectors - s));
      if (ctrl)
        ctrl->readLogicalForExport(s, n, chunk.data());
      else
        generic->readLogicalForExport(s, n, chunk.data());
      out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(n) * kDataBytes);
    }
    return true;
  });
  if (!ok) return Fail(error, "the disk has no logical view (not formatted or firmware not in)");
  out.flush();
  if (!out) return Fail(error, "write error on " + path);
  return true;
}

bool Simulator::exportRawNand(int index, const std::string& path, std::string* error) {
  if (index < 0 || index >= diskCount()) return Fail(error, "no such disk");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return Fail(error, "cannot write " + path);
  const bool ok = disks_[index]->withUnit([&](SimUnit& unit) {
    auto* ctrl = dynamic_cast<ControllerUnit*>(&unit);
    if (!ctrl) return false;
    const SimNand& nand = ctrl->nand();
    const Geometry& g = nand.geometry();
    out.write(kMagic, sizeof kMagic);
    for (std::uint32_t v : {g.chips, g.blocksPerChip, g.pagesPerBlock, g.sectorsPerPage}) PutLe32(out, v);
    std::vector<std::uint32_t> bad;
    for (std::uint32_t b = 0; b < g.totalBlocks(); ++b)
      if (nand.isBad(b)) bad.push_back(b);
    PutLe32(out, std::uint32_t(bad.size()));
    for (auto b : bad) PutLe32(out, b);
    // The page count goes first; count, then write.
    std::uint32_t count = 0;
    auto notErased = [](std::span<const std::uint8_t> raw) {
      return std::any_of(raw.begin(), raw.end(), [](std::uint8_t v) { return v != 0xFF; });
    };
    nand.forEachProgrammed([&](std::uint32_t, std::uint32_t, std::span<const std::uint8_t> raw) {
      count += notErased(raw);
    });
    PutLe32(out, count);
    nand.forEachProgrammed([&](std::uint32_t chip, std::uint32_t page, std::span<const std::uint8_t> raw) {
      if (!notErased(raw)) return;
      PutLe32(out, chip);
      PutLe32(out, page);
      out.write(reinterpret_cast<const char*>(raw.data()), std::streamsize(raw.size()));
    });
    return true;
  });
  if (!ok) return Fail(error, "a generic disk has no NAND");
  out.flush();
  if (!out) return Fail(error, "write error on " + path);
  return true;
}

std::optional<RawNandImage> ReadRawNandExport(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char magic[8];
  if (!in.read(magic, 8) || std::memcmp(magic, kMagic, 8) != 0) return std::nullopt;
  RawNandImage img;
  Geometry& g = img.geometry;
  std::uint32_t nBad = 0, nPages = 0;
  if (!GetLe32(in, &g.chips) || !GetLe32(in, &g.blocksPerChip) || !GetLe32(in, &g.pagesPerBlock) ||
      !GetLe32(in, &g.sectorsPerPage) || !GetLe32(in, &nBad))
    return std::nullopt;
  if (g.chips > 4 || g.sectorsPerPage > 8 || g.pagesPerBlock > 256 || nBad > g.totalBlocks())
    return std::nullopt;
  img.badBlocks.resize(nBad);
  for (auto& b : img.badBlocks)
    if (!GetLe32(in, &b)) return std::nullopt;
  if (!GetLe32(in, &nPages)) return std::nullopt;
  for (std::uint32_t i = 0; i < nPages; ++i) {
    RawNandImage::Page p;
    if (!GetLe32(in, &p.chip) || !GetLe32(in, &p.pageAddress)) return std::nullopt;
    p.raw.resize(g.rawPageBytes());
    if (!in.read(reinterpret_cast<char*>(p.raw.data()), std::streamsize(p.raw.size())))
      return std::nullopt;
    img.pages.push_back(std::move(p));
  }
  return img;
}

}  // namespace kvx::sim
