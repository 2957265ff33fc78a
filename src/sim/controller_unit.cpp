// The simulated controller: the vendor command set over SimNand, the
// firmware states (ROM, scan code, final code) and the logical view.
#include <algorithm>
#include <cstring>

#include "device/commands.h"
#include "sim/sim_unit.h"

namespace kvx::sim {
namespace {

std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

constexpr std::uint32_t kMaxEraseCount = 512;
constexpr std::uint32_t kMaxFlashIdLength = 32;
constexpr std::uint8_t kReadIdCommand = 0x90;
constexpr std::uint32_t kControllerInfoBytes = 1024;
constexpr std::uint32_t kPatternAnswerBytes = 8;
constexpr std::uint32_t kPatternSectors = 4;
constexpr std::uint32_t kMaxCodeSectors = 64;  // controller RAM for code: 32 KiB

ScsiResult InvalidField() { return IllegalRequest(asc::kInvalidField); }

}  // namespace

bool CodeChecksumValid(const std::uint8_t* code, std::uint32_t sectors) {
  const std::uint32_t words = sectors * 128;
  if (words <= 1) return true;
  std::uint32_t x = 0;
  for (std::uint32_t i = 0; i + 1 < words; ++i) x ^= Le32(code + 4 * i);
  return x == Le32(code + 4 * (words - 1));
}

ControllerUnit::ControllerUnit(const DiskSpec& desc)
    : geo_(desc.geometry), nand_(desc.geometry, desc.defects), ids_(desc.ids),
      page_(desc.geometry.rawPageBytes()) {
  powerOn();
}

void ControllerUnit::powerOn() {
  firmware_ = Firmware::Rom;
  configTable_.reset();
  map_.reset();
  pattern_.reset();
  mountProblem_.clear();
  if (flashHoldsFinalCode()) {
    firmware_ = Firmware::Final;
    mount();
  }
}

bool ControllerUnit::flashHoldsFinalCode() const {
  auto found = FindSystemInformation(nand_);
  if (!found) return false;
  const std::uint8_t* si = found->sector.data();
  const std::uint32_t P = geo_.pagesPerBlock;
  const std::uint32_t sysBlock = std::uint32_t(si[394]) << 8 | si[395];
  const std::uint32_t pages = si[409], sectors = si[410];
  if (sysBlock >= geo_.blocksPerChip || pages == 0 || pages > 10 || sectors == 0 ||
      sectors > pages * geo_.sectorsPerPage)
    return false;
  std::vector<std::uint8_t> code;
  std::vector<std::uint8_t> raw(geo_.rawPageBytes());
  for (std::uint32_t k = 0; k < pages; ++k) {
    if (si[399 + k] >= P) return false;
    nand_.readPage(0, sysBlock * P + si[399 + k], raw);
    for (std::uint32_t s = 0; s < geo_.sectorsPerPage; ++s)
      code.insert(code.end(), raw.begin() + s * kRawBytes, raw.begin() + s * kRawBytes + kDataBytes);
  }
  return CodeChecksumValid(code.data(), sectors);
}

void ControllerUnit::mount() {
  map_.reset();
  pattern_.reset();
  mountProblem_.clear();
  map_ = LogicalMap::Read(nand_, &mountProblem_);
}

ScsiResult ControllerUnit::readiness() const {
  if (map_) return 0;
  if (firmware_ == Firmware::Final)
    return PackSense(sense::kNotReady, asc::kFormatCorrupted, 0);
  return PackSense(sense::kNotReady, asc::kMediumNotPresent, 0);
}

const std::uint8_t* ControllerUnit::configInEffect() const {
  if (configTable_ && HasSysInfoSignature(configTable_->data())) return configTable_->data();
  if (map_) return map_->sysInfo().data();
  return nullptr;
}

std::uint64_t ControllerUnit::capacity() const {
  // The host sees zone 0 as the configuration in effect sizes it (offset
  // 297), never more than the flash maps.
  if (!map_) return 0;
  const std::uint8_t* cfg = configInEffect();
  const std::uint64_t zone0 = cfg ? Be32(cfg + 297) : 0;
  return zone0 == 0 ? map_->sectors() : std::min<std::uint64_t>(zone0, map_->sectors());
}

std::array<std::uint8_t, 36> ControllerUnit::inquiry() const {
  std::array<std::uint8_t, 36> d{};
  if (const std::uint8_t* cfg = configInEffect()) {
    std::memcpy(d.data(), cfg + 228, 36);
    return d;
  }
  static constexpr char kText[] = "KVX-SIM Flash Disk      0.00";
  d[0] = 0x00, d[1] = 0x80, d[2] = 0x02, d[3] = 0x02, d[4] = 31;
  std::memcpy(&d[8], kText, 28);
  return d;
}

void ControllerUnit::readLogical(std::uint64_t lba, std::uint32_t count, std::uint8_t* out,
                                 Work& w) {
  std::uint32_t lastPage = UINT32_MAX, lastChip = UINT32_MAX;
  for (std::uint32_t i = 0; i < count; ++i) {
    const PhysicalSector ps = map_->locate(lba + i);
    if (ps.pageAddress != lastPage || ps.chip != lastChip) {
      nand_.readPage(ps.chip, ps.pageAddress, page_);
      lastPage = ps.pageAddress, lastChip = ps.chip;
      ++w.reads;
    }
    std::memcpy(out + std::size_t(i) * kDataBytes, &page_[ps.sector * kRawBytes], kDataBytes);
  }
}

void ControllerUnit::writeLogical(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in,
                                  Work& w) {
  // Sectors of one page go together: read the page, patch the sectors, and
  // store the patched run (the spare bytes stay as they were).
  std::uint32_t i = 0;
  while (i < count) {
    const PhysicalSector first = map_->locate(lba + i);
    nand_.readPage(first.chip, first.pageAddress, page_);
    std::uint32_t lo = first.sector, hi = first.sector;
    std::uint32_t j = i;
    for (; j < count; ++j) {
      const PhysicalSector ps = map_->locate(lba + j);
      if (ps.chip != first.chip || ps.pageAddress != first.pageAddress) break;
      std::memcpy(&page_[ps.sector * kRawBytes], in + std::size_t(j) * kDataBytes, kDataBytes);
      lo = std::min(lo, ps.sector), hi = std::max(hi, ps.sector);
    }
    nand_.overwrite(first.chip, first.pageAddress, lo,
                    std::span<const std::uint8_t>(&page_[lo * kRawBytes], (hi - lo + 1) * kRawBytes));
    ++w.reads, ++w.programs;
    i = j;
  }
  if (lba < kPatternSectors) pattern_.reset();
}

ScsiResult ControllerUnit::execute(Request& r) {
  switch (r.cdb[0]) {
    case op::kReadPagesWithSpare: return rawPages(r, false);
    case op::kWritePagesWithSpare: return rawPages(r, true);
    case op::kEraseBlocks: return erase(r);
    case op::kReadControllerInfo: return controllerInfo(r);
    case op::kReadSectors: return readSectors(r);
    case op::kWriteSectors: return writeSectors(r);
    case op::kReadFlashId: return flashId(r);
    case op::kDownloadCode: return downloadCode(r);
    case op::kFirmwareScan: return firmwareScan(r);
    case op::kLogicalPatternCheck: return pattern(r, false);
    case op::kLogicalPatternFill: return pattern(r, true);
    default:
      if (auto s = standard(r)) return *s;
      return IllegalRequest(asc::kInvalidOpcode);
  }
}

ScsiResult ControllerUnit::rawPages(Request& r, bool write) {
  const std::uint32_t addr = Be32(&r.cdb[1]);
  const std::uint32_t chip = r.cdb[5];
  const std::uint32_t pageBytes = geo_.rawPageBytes();
  if (chip >= geo_.chips || r.length == 0 || r.length % pageBytes != 0 ||
      addr % geo_.sectorsPerPage != 0 ||
      (r.direction == DataDirection::Out) != write)
    return InvalidField();
  const std::uint32_t first = addr / geo_.sectorsPerPage, pages = r.length / pageBytes;
  if (std::uint64_t(first) + pages > geo_.pagesPerChip()) return InvalidField();
  for (std::uint32_t k = 0; k < pages; ++k) {
    std::span<std::uint8_t> buf(r.data + std::size_t(k) * pageBytes, pageBytes);
    if (write) {
      nand_.program(chip, first + k, 0, buf);
      ++r.work.programs;
    } else {
      nand_.readPage(chip, first + k, buf);
      ++r.work.reads;
    }
  }
  r.work.bytes += r.length;
  return 0;
}

ScsiResult ControllerUnit::erase(Request& r) {
  const std::uint32_t first = Be32(&r.cdb[1]), count = Be32(&r.cdb[5]);
  const std::uint32_t chip = r.cdb[9];
  const std::uint32_t answer = count <= 1 ? 2 : count;
  if (chip >= geo_.chips || first >= geo_.blocksPerChip || count > kMaxEraseCount ||
      r.direction != DataDirection::In || r.length != answer)
    return InvalidField();
  // One status byte per block: 0 erased, 1 erase failed (bad block), 2 past
  // the end of the chip (nothing done). The command itself succeeds; a
  // range that runs past the chip erases what lies inside it.
  std::memset(r.data, 0, r.length);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t b = std::uint64_t(first) + i;
    if (b >= geo_.blocksPerChip) {
      r.data[i] = 2;
      continue;
    }
    r.data[i] = nand_.erase(chip, std::uint32_t(b)) ? 0 : 1;
    ++r.work.erases;
  }
  return 0;
}

ScsiResult ControllerUnit::controllerInfo(Request& r) {
  if (r.direction != DataDirection::In || r.length != kControllerInfoBytes) return InvalidField();
  std::memset(r.data, 0, r.length);
  static constexpr char kName[] = "KVX-SIM";
  std::memcpy(r.data, kName, sizeof kName);
  r.data[16] = std::uint8_t(geo_.chips);
  r.data[17] = std::uint8_t(firmware_);
  r.data[18] = map_ ? 1 : 0;
  r.work.bytes += r.length;
  return 0;
}

ScsiResult ControllerUnit::readSectors(Request& r) {
  const std::uint32_t addr = Be32(&r.cdb[1]), count = r.cdb[5], chip = r.cdb[6];
  const std::uint32_t E = geo_.sectorsPerPage;
  if (chip >= geo_.chips || count == 0 || r.length != count * kDataBytes ||
      r.direction != DataDirection::In ||
      std::uint64_t(addr) + count > std::uint64_t(geo_.pagesPerChip()) * E)
    return InvalidField();
  std::uint32_t lastPage = UINT32_MAX;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t page = (addr + i) / E, sec = (addr + i) % E;
    if (page != lastPage) {
      nand_.readPage(chip, page, page_);
      lastPage = page;
      ++r.work.reads;
    }
    std::memcpy(r.data + std::size_t(i) * kDataBytes, &page_[sec * kRawBytes], kDataBytes);
  }
  r.work.bytes += r.length;
  return 0;
}

ScsiResult ControllerUnit::writeSectors(Request& r) {
  const std::uint32_t addr = Be32(&r.cdb[1]), count = r.cdb[5], chip = r.cdb[6];
  const std::uint8_t dest = r.cdb[7];
  if (r.direction != DataDirection::Out || count == 0 || r.length != count * kDataBytes)
    return InvalidField();
  if (dest == kDestConfigTable) {
    if (chip != 0 || addr != 0 || count != 1) return InvalidField();
    configTable_.emplace();
    std::memcpy(configTable_->data(), r.data, kDataBytes);
    r.work.bytes += r.length;
    return 0;
  }
  const std::uint32_t E = geo_.sectorsPerPage;
  if (dest != kDestFlash || chip >= geo_.chips ||
      std::uint64_t(addr) + count > std::uint64_t(geo_.pagesPerChip()) * E)
    return InvalidField();
  // The firmware fills each sector's spare area: the block mark stays 0xFF,
  // then the three extra bytes of the command.
  std::vector<std::uint8_t> raw;
  std::uint32_t i = 0;
  while (i < count) {
    const std::uint32_t page = (addr + i) / E, sec = (addr + i) % E;
    const std::uint32_t run = std::min(count - i, E - sec);
    raw.assign(std::size_t(run) * kRawBytes, 0xFF);
    for (std::uint32_t k = 0; k < run; ++k) {
      std::uint8_t* s = &raw[std::size_t(k) * kRawBytes];
      std::memcpy(s, r.data + std::size_t(i + k) * kDataBytes, kDataBytes);
      s[kDataBytes + 1] = r.cdb[8], s[kDataBytes + 2] = r.cdb[9], s[kDataBytes + 3] = r.cdb[10];
    }
    nand_.program(chip, page, sec, raw);
    ++r.work.programs;
    i += run;
  }
  r.work.bytes += r.length;
  return 0;
}

ScsiResult ControllerUnit::flashId(Request& r) {
  const std::uint32_t cs = r.cdb[1], length = r.cdb[3];
  if (cs >= kChipSelects || r.cdb[2] != kReadIdCommand || length > kMaxFlashIdLength ||
      r.length != length || r.direction != DataDirection::In)
    return InvalidField();
  // A lane where no chip answers reads the bus pull-ups: FF.
  std::uint8_t reply[kMaxFlashIdLength];
  std::memset(reply, 0xFF, sizeof reply);
  auto byteOf = [](std::uint32_t id, int i) -> std::uint8_t {
    return id == 0 ? 0xFF : std::uint8_t(id >> (24 - 8 * i));
  };
  const ChipSelectId& id = ids_[cs];
  for (int i = 0; i < 4; ++i) {
    if (r.cdb[4] == 2) {
      reply[i] = byteOf(id.lane0, i);
    } else {
      reply[2 * i] = byteOf(id.lane0, i);
      reply[2 * i + 1] = byteOf(id.lane1, i);
    }
  }
  if (length > 0) std::memcpy(r.data, reply, length);
  r.work.bytes += r.length;
  return 0;
}

ScsiResult ControllerUnit::downloadCode(Request& r) {
  const std::uint8_t kind = r.cdb[1];
  if ((kind != 0 && kind != 1) || r.cdb[3] != 1 || r.direction != DataDirection::Out ||
      r.length == 0 || r.length % kDataBytes != 0 || r.length / kDataBytes > kMaxCodeSectors)
    return InvalidField();
  if (!CodeChecksumValid(r.data, r.length / kDataBytes))
    return IllegalRequest(asc::kInvalidParameter);
  r.work.bytes += r.length;
  if (kind == 0) {
    firmware_ = Firmware::Scan;
    map_.reset();
    pattern_.reset();
  } else {
    firmware_ = Firmware::Final;
    mount();
  }
  return 0;
}

ScsiResult ControllerUnit::firmwareScan(Request& r) {
  if (firmware_ != Firmware::Scan) return PackSense(sense::kNotReady, asc::kNotReadyCause, 0);
  const Cdb& c = r.cdb;
  const std::uint32_t first = Be32(&c[1]), pages = c[5], chip = c[7];
  const std::uint8_t pass = c[6] >> 5, invert = c[6] & 1;
  const std::uint32_t P = geo_.pagesPerBlock;
  const std::uint32_t answer = std::max<std::uint32_t>(2, (pages + 7) / 8);
  if (chip >= geo_.chips || pages == 0 || r.direction != DataDirection::In ||
      r.length != answer || first >= geo_.pagesPerChip() || first % P + pages > P)
    return InvalidField();  // one run stays inside one block
  ScanPattern pattern;
  pattern.seedA = Le32(&c[8]);
  pattern.seedB = Be32(&c[12]);
  pattern.invert = invert;
  const std::uint32_t block = chip * geo_.blocksPerChip + first / P;
  const std::uint32_t visit = nand_.nextScanVisit(block);
  // Pass 3 reads back what the pass-2 visit wrote with the same seeds; every
  // other pass selector programs the pattern first and then checks it.
  if (pass != 3) {
    nand_.scanProgram(block, pattern);
    r.work.programs += pages;
  }
  r.work.reads += pages;
  std::memset(r.data, 0, r.length);
  for (std::uint32_t i = 0; i < pages; ++i) {
    const std::uint32_t page = first % P + i;
    const bool bad = !nand_.scanHolds(block, page, pattern) ||
                     nand_.weakFails(block, page, pass, invert, visit);
    if (bad) r.data[i / 8] |= std::uint8_t(1u << (i % 8));
  }
  r.work.bytes += r.length;
  return 0;
}

void ControllerUnit::latchPattern(Work& w) {
  pattern_.emplace(kPatternSectors * kDataBytes);
  const auto n = std::uint32_t(std::min<std::uint64_t>(kPatternSectors, map_->sectors()));
  readLogical(0, n, pattern_->data(), w);
}

ScsiResult ControllerUnit::pattern(Request& r, bool fill) {
  if (ScsiResult ready = readiness()) return ready;
  const Cdb& c = r.cdb;
  const std::uint32_t lba = Be32(&c[2]);
  const std::uint32_t count = std::uint32_t(c[7]) << 8 | c[8];
  if (c[15] != 4 || r.direction != DataDirection::In || r.length != kPatternAnswerBytes ||
      count == 0)
    return InvalidField();
  if (std::uint64_t(lba) + count > map_->sectors()) return IllegalRequest(asc::kLbaOutOfRange);
  if (!pattern_) latchPattern(r.work);
  std::memset(r.data, 0, kPatternAnswerBytes);
  std::memset(r.data, 0xFF, 4);
  if (fill) {
    std::vector<std::uint8_t> data(std::size_t(count) * kDataBytes);
    for (std::uint32_t i = 0; i < count; ++i)
      std::memcpy(&data[std::size_t(i) * kDataBytes],
                  pattern_->data() + ((lba + i) % kPatternSectors) * kDataBytes, kDataBytes);
    auto keep = std::move(pattern_);  // the fill writes the pattern, not new content
    writeLogical(lba, count, data.data(), r.work);
    pattern_ = std::move(keep);
    return 0;
  }
  std::vector<std::uint8_t> sector(kDataBytes);
  for (std::uint32_t i = 0; i < count; ++i) {
    readLogical(lba + i, 1, sector.data(), r.work);
    if (std::memcmp(sector.data(), pattern_->data() + ((lba + i) % kPatternSectors) * kDataBytes,
                    kDataBytes) != 0) {
      const std::uint32_t g = map_->locate(lba + i).portPage;
      r.data[0] = std::uint8_t(g >> 24), r.data[1] = std::uint8_t(g >> 16);
      r.data[2] = std::uint8_t(g >> 8), r.data[3] = std::uint8_t(g);
      break;
    }
  }
  return 0;
}

}  // namespace kvx::sim
