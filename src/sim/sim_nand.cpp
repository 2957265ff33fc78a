#include "sim/sim_nand.h"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace kvx::sim {
namespace {

std::uint64_t Mix(std::uint64_t x) {  // splitmix64 finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

template <typename T>
bool ByBlockPage(const T& a, const T& b) {
  return std::tie(a.block, a.page) < std::tie(b.block, b.page);
}

}  // namespace

SimNand::SimNand(const Geometry& geometry, const Defects& defects)
    : geo_(geometry), blocks_(geometry.totalBlocks()), wearLimit_(geometry.totalBlocks(), UINT32_MAX) {
  for (auto b : defects.factoryBadBlocks)
    if (b < blocks_.size()) blocks_[b].flags |= kFactoryBad;
  for (const auto& w : defects.wearOutBlocks)
    if (w.block < blocks_.size()) wearLimit_[w.block] = w.erases;
  weak_ = defects.weakPages;
  std::sort(weak_.begin(), weak_.end(), ByBlockPage<WeakPage>);
  programFail_ = defects.programFailPages;
  std::sort(programFail_.begin(), programFail_.end(), ByBlockPage<ProgramFailPage>);
}

bool SimNand::isBad(std::uint32_t b) const { return blocks_[b].flags & (kFactoryBad | kWorn); }

bool SimNand::erase(std::uint32_t chip, std::uint32_t block) {
  const std::uint32_t b = chip * geo_.blocksPerChip + block;
  Block& blk = blocks_[b];
  if (blk.flags & (kFactoryBad | kWorn)) return false;
  if (blk.eraseCount >= wearLimit_[b]) {
    blk.flags |= kWorn;  // the cells no longer erase; what they held stays
    return false;
  }
  ++blk.eraseCount;
  blk.pages.clear();
  blk.pages.shrink_to_fit();
  blk.flags &= std::uint8_t(~kPatterned);
  return true;
}

const SimNand::PageEntry* SimNand::find(const Block& b, std::uint32_t page) const {
  auto it = std::lower_bound(b.pages.begin(), b.pages.end(), page,
                             [](const PageEntry& e, std::uint32_t p) { return e.page < p; });
  return it != b.pages.end() && it->page == page ? &*it : nullptr;
}

void SimNand::FillPattern(const ScanPattern& p, std::uint32_t portBlock, std::uint32_t page,
                          std::span<std::uint8_t> raw) {
  std::uint64_t state = Mix((std::uint64_t(p.seedA) << 32 | p.seedB) ^ Mix(portBlock) ^ page);
  std::size_t i = 0;
  for (; i + 8 <= raw.size(); i += 8) {
    state = Mix(state);
    std::uint64_t v = p.invert ? ~state : state;
    std::memcpy(&raw[i], &v, 8);
  }
  for (; i < raw.size(); ++i) raw[i] = std::uint8_t(p.invert ? ~i : i);
}

void SimNand::readPage(std::uint32_t chip, std::uint32_t pageAddress,
                       std::span<std::uint8_t> raw) const {
  const std::uint32_t b = portBlock(chip, pageAddress);
  const std::uint32_t page = pageAddress % geo_.pagesPerBlock;
  const Block& blk = blocks_[b];
  if (blk.flags & kFactoryBad) {
    // A factory bad block carries the maker's mark: zeros, spare included.
    std::fill(raw.begin(), raw.end(), 0x00);
  } else if (const PageEntry* e = find(blk, page)) {
    std::memcpy(raw.data(), e->raw.get(), raw.size());
  } else if (blk.flags & kPatterned) {
    FillPattern(blk.pattern, b, page, raw);
  } else {
    std::fill(raw.begin(), raw.end(), 0xFF);
  }
}

bool SimNand::isErased(std::uint32_t chip, std::uint32_t pageAddress) const {
  const Block& blk = blocks_[portBlock(chip, pageAddress)];
  if (blk.flags & (kFactoryBad | kPatterned)) return false;
  return find(blk, pageAddress % geo_.pagesPerBlock) == nullptr;
}

SimNand::PageEntry& SimNand::materialise(std::uint32_t b, std::uint32_t page) {
  Block& blk = blocks_[b];
  auto it = std::lower_bound(blk.pages.begin(), blk.pages.end(), page,
                             [](const PageEntry& e, std::uint32_t p) { return e.page < p; });
  if (it != blk.pages.end() && it->page == page) return *it;
  PageEntry e{std::uint16_t(page), std::make_unique<std::uint8_t[]>(geo_.rawPageBytes())};
  const std::span<std::uint8_t> raw(e.raw.get(), geo_.rawPageBytes());
  if (blk.flags & kPatterned)
    FillPattern(blk.pattern, b, page, raw);
  else
    std::fill(raw.begin(), raw.end(), 0xFF);
  // Pages are programmed in ascending order almost always: appending keeps
  // the index exact-sized without a reallocation per page most of the time.
  return *blk.pages.insert(it, std::move(e));
}

bool SimNand::programFails(std::uint32_t b, std::uint32_t page) const {
  ProgramFailPage key{b, page};
  return std::binary_search(programFail_.begin(), programFail_.end(), key,
                            ByBlockPage<ProgramFailPage>);
}

void SimNand::corrupt(std::span<std::uint8_t> raw) const {
  // A program that failed leaves cells uncharged: the first data byte of
  // every written sector keeps a bit set that should have been cleared (or
  // flips it, when the data wanted it set), so the read-back always differs.
  for (std::size_t s = 0; s < raw.size(); s += kRawBytes) raw[s] ^= 0x01;
}

void SimNand::program(std::uint32_t chip, std::uint32_t pageAddress, std::uint32_t firstSector,
                      std::span<const std::uint8_t> raw) {
  const std::uint32_t b = portBlock(chip, pageAddress);
  if (blocks_[b].flags & (kFactoryBad | kWorn)) return;
  const std::uint32_t page = pageAddress % geo_.pagesPerBlock;
  PageEntry& e = materialise(b, page);
  std::uint8_t* dst = e.raw.get() + firstSector * kRawBytes;
  for (std::size_t i = 0; i < raw.size(); ++i) dst[i] &= raw[i];
  if (programFails(b, page)) corrupt({dst, raw.size()});
}

void SimNand::overwrite(std::uint32_t chip, std::uint32_t pageAddress, std::uint32_t firstSector,
                        std::span<const std::uint8_t> raw) {
  const std::uint32_t b = portBlock(chip, pageAddress);
  if (blocks_[b].flags & (kFactoryBad | kWorn)) return;
  const std::uint32_t page = pageAddress % geo_.pagesPerBlock;
  PageEntry& e = materialise(b, page);
  std::uint8_t* dst = e.raw.get() + firstSector * kRawBytes;
  std::memcpy(dst, raw.data(), raw.size());
  if (programFails(b, page)) corrupt({dst, raw.size()});
}

void SimNand::scanProgram(std::uint32_t b, const ScanPattern& pattern) {
  Block& blk = blocks_[b];
  if (blk.flags & (kFactoryBad | kWorn)) return;
  // Pages that were programmed before (without an erase) keep their own
  // content; only erased pages take the pattern, so the verify sees them fail.
  if (blk.flags & kPatterned) {
    // A second pattern on top of a first: every page was programmed already.
    for (std::uint32_t p = 0; p < geo_.pagesPerBlock; ++p) materialise(b, p);
    return;
  }
  blk.flags |= kPatterned;
  blk.pattern = pattern;
}

bool SimNand::scanHolds(std::uint32_t b, std::uint32_t page, const ScanPattern& pattern) const {
  const Block& blk = blocks_[b];
  if (blk.flags & (kFactoryBad | kWorn)) return false;
  if (!(blk.flags & kPatterned) || !(blk.pattern == pattern)) return false;
  if (find(blk, page)) return false;  // programmed over, or held before the pattern came
  return !programFails(b, page);
}

std::uint32_t SimNand::nextScanVisit(std::uint32_t b) { return blocks_[b].scanVisits++; }

bool SimNand::weakFails(std::uint32_t b, std::uint32_t page, std::uint8_t pass,
                        std::uint8_t invert, std::uint32_t visit) const {
  WeakPage key;
  key.block = b;
  key.page = page;
  auto [lo, hi] = std::equal_range(weak_.begin(), weak_.end(), key, ByBlockPage<WeakPage>);
  for (auto it = lo; it != hi; ++it) {
    if (!(it->passMask & (1u << (pass & 7)))) continue;
    if (it->invert >= 0 && it->invert != invert) continue;
    if (it->visitMask != 0 && (visit >= 32 || !(it->visitMask & (1u << visit)))) continue;
    return true;
  }
  return false;
}

std::uint64_t SimNand::programmedPages() const {
  std::uint64_t n = 0;
  for (const auto& b : blocks_) n += b.pages.size();
  return n;
}

}  // namespace kvx::sim
