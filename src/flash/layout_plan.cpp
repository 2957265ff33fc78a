#include "flash/layout_plan.h"

#include <cstring>

namespace kvx {
namespace {

// Allowed first-page addresses of the system block and the probe step that
// goes with them; the re-format and the recorded-information reader search
// exactly these positions.
struct Alignment {
  bool ok;
  std::uint32_t step;
};
constexpr std::uint32_t kLastSystemPage = 0x7BFFF;

Alignment SystemBlockAlignment(std::uint32_t r) {
  struct Range {
    std::uint32_t from, to, step;
  };
  static constexpr Range kRanges[] = {{0x0, 0x4000, 32},
                                      {0x4000, 0xC000, 64},
                                      {0xC000, 0x1C000, 128},
                                      {0x1C000, 0x3C000, 256},
                                      {0x3C000, 0x7C000, 512}};
  for (const auto& range : kRanges)
    if (r >= range.from && r < range.to) return {(r - range.from) % range.step == 0, range.step};
  return {false, 0};
}

bool Good(std::span<const std::uint8_t> bitmap, std::uint32_t block, std::uint32_t P,
          std::uint32_t page) {
  return !PageBad(bitmap, block * P + page);
}

}  // namespace

std::string LayoutProblemText(LayoutStatus s) {
  switch (s) {
    case LayoutStatus::Planned:
      return {};
    case LayoutStatus::NoSystemBlock:
      return "No block can hold the system area";
    case LayoutStatus::CodeTooLarge:
      return "The firmware needs more than 9 pages in the system block";
    case LayoutStatus::TooManyTableBlocks:
      return "The zone tables need more than 10 table blocks";
    case LayoutStatus::NoTableBlocks:
      return "Not enough good blocks for the zone tables";
  }
  return {};
}

std::uint32_t RawBitmapPages(const FlashGeometry& g) {
  const std::uint32_t E = g.sectorsPerPageX ? g.sectorsPerPageX : g.sectorPerPage;
  return std::uint32_t(std::uint64_t(g.totalBlocks()) * g.pagePerBlock / 8 / 512 / E);
}

LayoutPlan PlanLayout(FlashBookkeeping& bk, std::span<const std::uint8_t> bitmap,
                      const LayoutInputs& in) {
  const FlashGeometry& g = in.geometry;
  const std::uint32_t P = g.pagePerBlock;
  const std::uint32_t S = g.sectorPerPage;
  LayoutPlan plan;
  auto fail = [&](LayoutStatus s) {
    ClearZones(bk);
    plan.status = s;
    return plan;
  };

  BuildZones(bk, bitmap, g);
  plan.codePageCount = (std::uint32_t(in.codeLength) + S - 1) / S;
  const std::uint32_t codePages = plan.codePageCount * in.codeCount;
  if (codePages > kMaxCodePages) return fail(LayoutStatus::CodeTooLarge);
  const std::uint32_t needed = codePages + 3;
  bk.SysBlock = 0;
  bk.SysInfoPage = bk.ZoneInfoPage = bk.TableBitmapPage = 0;
  bk.CodePages.fill(0);
  bk.CodePageCount = std::uint8_t(plan.codePageCount);

  // System block: on chip 0, at an allowed position, with a usable page pair
  // and enough good pages from there on.
  bool found = false;
  for (int j = int(P) - 1; j >= int(needed) && !found; --j) {
    auto& list = bk.BlockLists[std::size_t(j)];
    for (std::size_t i = 0; i < list.length() && !found; ++i) {
      const std::uint32_t b = list[i];
      if (b >= g.blockPerChip) continue;
      const std::uint32_t r = b * P;
      if (r > kLastSystemPage) break;
      const Alignment al = SystemBlockAlignment(r);
      if (!al.ok) continue;
      for (std::uint32_t a = 0; a + 1 < P; a += al.step) {
        if (!Good(bitmap, b, P, a) && !Good(bitmap, b, P, a + 1)) continue;
        std::uint32_t goodFromA = 0;
        for (std::uint32_t p = a; p < P; ++p) goodFromA += Good(bitmap, b, P, p);
        if (goodFromA < needed) continue;
        std::uint32_t p = Good(bitmap, b, P, a) ? a : a + 1;
        auto nextGood = [&](std::uint32_t from) {
          for (std::uint32_t q = from; q < P; ++q)
            if (Good(bitmap, b, P, q)) return q;
          return P;
        };
        bk.SysInfoPage = std::uint8_t(p);
        p = nextGood(p + 1);
        bk.ZoneInfoPage = std::uint8_t(p);
        p = nextGood(p + 1);
        bk.TableBitmapPage = std::uint8_t(p);
        std::uint32_t recorded = 0;
        for (p = nextGood(p + 1); p < P && recorded < kMaxCodePages && recorded <= codePages;
             p = nextGood(p + 1))
          bk.CodePages[recorded++] = std::uint8_t(p);
        bk.SysBlock = std::uint16_t(b);
        list.removeAt(i);
        found = true;
        break;
      }
    }
  }
  if (!found) return fail(LayoutStatus::NoSystemBlock);

  // Table blocks: the fewest blocks of the best list that can hold every page.
  plan.tablePages = std::uint32_t(bk.ZoneTables.length()) +
                    (in.multiChipMode ? RawBitmapPages(g) : std::uint32_t(bk.BlockBitmapPages.length()));
  bool reserved = false;
  for (int o = int(P) - 1; o >= 0 && !reserved; --o) {
    auto& list = bk.BlockLists[std::size_t(o)];
    const std::uint32_t u = (plan.tablePages + std::uint32_t(o)) / std::uint32_t(o + 1);
    if (list.length() < u) continue;
    if (u > kMaxTableBlocks) return fail(LayoutStatus::TooManyTableBlocks);
    bk.TableBlockClass = std::uint8_t(o);
    bk.TableBlocks.fill(0);
    bk.TableBitmap.fill(0xFF);
    const std::size_t R = P / 8;
    for (std::uint32_t e = 0; e < u; ++e) {
      bk.TableBlocks[e] = list[0];
      std::memcpy(bk.TableBitmap.data() + e * R, bitmap.data() + std::size_t(list[0]) * R, R);
      list.removeAt(0);
    }
    plan.tableBlocksReserved = u;
    reserved = true;
  }
  if (!reserved) return fail(LayoutStatus::NoTableBlocks);

  plan.zones = BuildZones(bk, bitmap, g);
  plan.bin = ClassifyCapacity(plan.zones.diskSectors, in.bins);
  plan.status = LayoutStatus::Planned;
  return plan;
}

std::uint32_t TableBlocksToWrite(const FlashBookkeeping& bk, const LayoutInputs& in) {
  const std::uint32_t pages =
      std::uint32_t(bk.ZoneTables.length()) +
      (in.multiChipMode ? RawBitmapPages(in.geometry) : std::uint32_t(bk.BlockBitmapPages.length()));
  return (pages + bk.TableBlockClass) / (bk.TableBlockClass + 1u);
}

}  // namespace kvx
