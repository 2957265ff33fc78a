#include "flash/bookkeeping.h"

#include <bit>
#include <cstring>

namespace kvx {

std::uint32_t CountBadPages(std::span<const std::uint8_t> bitmap, std::uint32_t block,
                            std::uint32_t pagePerBlock) {
  const std::size_t bytes = pagePerBlock / 8;
  const std::uint8_t* p = bitmap.subspan(std::size_t(block) * bytes, bytes).data();
  std::uint32_t bad = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    bad += std::uint32_t(std::popcount(word));
  }
  for (; i < bytes; ++i) bad += std::uint32_t(std::popcount(unsigned(p[i])));
  return bad;
}

std::uint32_t BadBlockMap::count() const {
  std::uint32_t n = 0;
  for (std::uint32_t w : words_) n += std::uint32_t(std::popcount(w));
  return n;
}

void ClearBlockLists(FlashBookkeeping& bk) {
  for (auto& list : bk.BlockLists) list.setLength(0);
}

void AppendBlock(FlashBookkeeping& bk, int list, std::uint16_t block) {
  bk.BlockLists.at(std::size_t(list)).append(block);
}

void RemoveBlockAt(FlashBookkeeping& bk, int list, std::size_t index) {
  bk.BlockLists.at(std::size_t(list)).removeAt(index);
}

std::uint64_t RebuildBlockLists(FlashBookkeeping& bk, std::span<const std::uint8_t> bitmap,
                                const FlashGeometry& g, bool blockMode) {
  ClearBlockLists(bk);
  const std::uint32_t P = g.pagePerBlock;
  std::uint64_t badTotal = 0;
  for (std::uint32_t b = 0; b < g.totalBlocks(); ++b) {
    std::uint32_t bad = CountBadPages(bitmap, b, P);
    badTotal += bad;
    if (blockMode && bad > 0) bad = P;
    if (bad < P) AppendBlock(bk, int(P - bad - 1), std::uint16_t(b));
  }
  return badTotal;
}

void ClearZones(FlashBookkeeping& bk) {
  bk.ZoneBlockCounts.setLength(0);
  bk.ZoneClasses.setLength(0);
  bk.ZoneTables.setLength(0);
  bk.BlockBitmapPages.setLength(0);
}

namespace {

PageImage ErasedPage() {
  PageImage p;
  p.fill(0xFF);
  return p;
}

}  // namespace

ZoneSummary BuildZones(FlashBookkeeping& bk, std::span<const std::uint8_t> bitmap,
                       const FlashGeometry& g) {
  const std::uint32_t P = g.pagePerBlock;
  const std::uint32_t S = g.sectorPerPage;
  const std::uint32_t E = g.sectorsPerPageX ? g.sectorsPerPageX : S;
  const std::size_t R = P / 8;
  const std::size_t pageBytes = std::size_t(E) * 512;
  // Zone tables per page image: E slots of 512 bytes, the layout the data-block
  // initialisation and the firmware read (with E = S it is also S per page).
  const std::uint32_t slots = E;

  ClearZones(bk);
  bk.ZoneTables.append(ErasedPage());
  bk.BlockBitmapPages.append(ErasedPage());

  std::uint32_t zone = 0, entries = 0, reserve = 6, lastClass = 0;
  std::size_t fill = 0;
  auto openSlot = [&]() -> std::uint8_t* {
    return bk.ZoneTables.back().data() + 512 * (zone % slots);
  };
  auto closeZone = [&](std::uint32_t cls) {
    bk.ZoneBlockCounts.append(std::uint8_t((entries - reserve) % 256));
    bk.ZoneClasses.append(std::uint8_t(cls));
    ++zone;
    entries = 0;
    if (zone % slots == 0) bk.ZoneTables.append(ErasedPage());
  };

  for (int k = int(P) - 1; k >= 0; --k) {
    const auto& list = bk.BlockLists[std::size_t(k)];
    if (list.empty()) continue;
    lastClass = std::uint32_t(k);
    for (std::size_t i = 0; i < list.length(); ++i) {
      const std::uint16_t b = list[i];
      if (zone > 0) reserve = 4;
      std::uint8_t* slot = openSlot();
      slot[2 * entries] = std::uint8_t(b >> 8);
      slot[2 * entries + 1] = std::uint8_t(b);
      ++entries;
      if (fill + R > pageBytes) {
        bk.BlockBitmapPages.append(ErasedPage());
        fill = 0;
      }
      const auto record = bitmap.subspan(std::size_t(b) * R, R);
      std::memcpy(bk.BlockBitmapPages.back().data() + fill, record.data(), R);
      fill += R;
      if (entries == kZoneTableEntries) closeZone(std::uint32_t(k));
    }
    if (entries >= 128) {
      if (zone > 0) reserve = 4;
      closeZone(std::uint32_t(k));
    }
  }
  if (entries >= 8) {
    if (zone > 0) reserve = 4;
    bk.ZoneBlockCounts.append(std::uint8_t(entries - reserve));
    bk.ZoneClasses.append(std::uint8_t(lastClass));
  } else {
    // Too few blocks for a zone: drop it.
    if (entries > 0) std::memset(openSlot(), 0xFF, 512);
    if (zone % slots == 0) bk.ZoneTables.setLength(bk.ZoneTables.length() - 1);
  }

  ZoneSummary out;
  const std::size_t n = bk.ZoneBlockCounts.length();
  out.zoneCount = std::uint16_t(n);
  bk.ZoneInfo.fill(0);
  std::uint64_t sectors = 0;
  for (std::size_t z = 0; z < n; ++z) {
    bk.ZoneInfo[z] = bk.ZoneBlockCounts[z];
    bk.ZoneInfo[n + z] = bk.ZoneClasses[z];
    sectors += std::uint64_t(bk.ZoneBlockCounts[z]) * (bk.ZoneClasses[z] + 1u) * S;
  }
  out.diskSectors = std::uint32_t(sectors);
  return out;
}

}  // namespace kvx
