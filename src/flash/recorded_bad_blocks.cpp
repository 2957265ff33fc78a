#include "flash/recorded_bad_blocks.h"

#include <cstring>
#include <optional>

#include "flash/sysinfo_fields.h"

namespace kvx {
namespace {

constexpr std::uint32_t kProbeTimeout = 2;
constexpr std::uint32_t kTableTimeout = 5;

struct Recording {
  std::array<std::uint8_t, sysinfo::kSize> sector{};
  std::uint32_t pages = 0;        // Pr
  std::uint32_t sectorsPerPage = 0;  // Er
  std::uint32_t blocksPerChip = 0;   // Br
  std::uint32_t blocks = 0;          // Bp: doubled for a double-die package
  std::uint32_t sysBlock = 0;
  std::uint32_t tableBitmapPage = 0;
  std::uint32_t zoneCount = 0;
  std::vector<std::uint32_t> tableBlocks;
  bool raw = false;
};

// Reads one page (E sectors) of chip `chip` at page address `page`.
bool ReadPage(PortJob& job, std::uint8_t chip, std::uint32_t page, std::uint32_t sectorsPerPage,
              std::span<std::uint8_t> out, std::uint32_t timeout) {
  return ReadSectors(job.commands, job.rec.hDevice, chip, page * sectorsPerPage,
                     std::uint8_t(sectorsPerPage), out.first(sectorsPerPage * 512), timeout) == 0;
}

std::optional<Recording> Find(PortJob& job, std::uint8_t chip, std::uint32_t E) {
  std::vector<std::uint8_t> page(E * 512);
  Recording rec;
  const bool found = sysinfo::ForEachSystemPosition([&](std::uint32_t p) {
    if (job.stopRequested()) return true;
    if (!ReadPage(job, chip, p, E, page, kProbeTimeout)) return false;
    if (!sysinfo::HasSignature(page)) return false;
    std::memcpy(rec.sector.data(), page.data(), sysinfo::kSize);
    return true;
  });
  if (!found || !sysinfo::HasSignature(rec.sector)) return std::nullopt;
  return rec;
}

// The recording's numbers, checked against the job: nullopt when unusable.
std::optional<Recording> Validate(Recording r, const FlashGeometry& g) {
  const auto& s = r.sector;
  r.pages = sysinfo::Be16(s, sysinfo::kPagePerBlock);
  r.sectorsPerPage = s[sysinfo::kSectorsPerPage];
  r.blocksPerChip = sysinfo::Be16(s, sysinfo::kBlockPerChip);
  r.blocks = r.blocksPerChip * ((s[sysinfo::kDoubleDieFlags] & 1) ? 2 : 1);
  r.sysBlock = sysinfo::Be16(s, sysinfo::kSysBlock);
  r.tableBitmapPage = s[sysinfo::kTableBitmapPage];
  r.zoneCount = std::uint32_t(s[sysinfo::kZoneCountMinus1]) + 1;
  r.raw = sysinfo::Le16(s, sysinfo::kRawBitmapMark) == sysinfo::kRawBitmap;
  // The bitmap keeps P / 8 bytes per block: a recording of another page count
  // cannot be placed in it.
  if (r.pages != g.pagePerBlock || r.pages == 0 || r.pages % 8 != 0) return std::nullopt;
  if (r.sectorsPerPage < 1 || r.sectorsPerPage > kMaxSectorPerPage) return std::nullopt;
  if (r.blocksPerChip == 0 || r.blocks > g.totalBlocks()) return std::nullopt;
  if (r.sysBlock >= r.blocksPerChip || r.tableBitmapPage >= r.pages) return std::nullopt;
  for (std::size_t m = 0; m < 10; ++m) {
    const std::uint32_t t = sysinfo::Be16(s, sysinfo::kTableBlocks + 2 * m);
    if (m > 0 && t == 0) break;
    if (t >= r.blocksPerChip) return std::nullopt;
    r.tableBlocks.push_back(t);
  }
  return r;
}

// Reads the recorded bad-page information of package `i` into a scratch copy
// of the package's part of the bitmap; false when anything could not be read.
bool ReadPackage(PortJob& job, const Recording& r, std::uint8_t chip,
                 std::vector<std::uint8_t>& part) {
  const std::uint32_t R = r.pages / 8;
  const std::uint32_t Er = r.sectorsPerPage;
  const std::size_t pageBytes = std::size_t(Er) * 512;
  part.assign(std::size_t(r.blocks) * R, 0xFF);

  std::vector<std::uint8_t> sector(512);
  if (ReadSectors(job.commands, job.rec.hDevice, chip, (r.sysBlock * r.pages + r.tableBitmapPage) * Er,
                  1, sector, kTableTimeout) != 0)
    return false;

  const std::uint32_t zonePages = (r.zoneCount + Er - 1) / Er;
  const std::uint32_t bitmapPages =
      std::uint32_t((std::uint64_t(r.blocks) * R + pageBytes - 1) / pageBytes);
  std::vector<std::uint8_t> zoneTables(zonePages * pageBytes, 0xFF);
  std::vector<std::uint8_t> bitmapBuffer(bitmapPages * pageBytes, 0xFF);
  std::uint32_t zoneRead = 0, bitmapRead = 0;
  std::vector<std::uint8_t> page(pageBytes);

  for (std::size_t m = 0; m < r.tableBlocks.size() && m * R + R <= 512; ++m) {
    const std::uint32_t t = r.tableBlocks[m];
    const std::uint8_t* tableBitmap = sector.data() + m * R;
    if (!r.raw) std::memcpy(part.data() + std::size_t(t) * R, tableBitmap, R);
    for (std::uint32_t n = 0; n < r.pages; ++n) {
      if ((tableBitmap[n / 8] >> (n % 8)) & 1) continue;
      if (zoneRead == zonePages && bitmapRead == bitmapPages) break;
      if (!ReadPage(job, chip, t * r.pages + n, Er, page, kTableTimeout)) return false;
      if (zoneRead < zonePages) {
        std::memcpy(zoneTables.data() + zoneRead++ * pageBytes, page.data(), pageBytes);
      } else {
        std::memcpy(bitmapBuffer.data() + bitmapRead++ * pageBytes, page.data(), pageBytes);
      }
    }
  }
  if (zoneRead < zonePages || bitmapRead < bitmapPages) return false;

  if (r.raw) {
    std::memcpy(part.data(), bitmapBuffer.data(), part.size());
  } else {
    std::size_t record = 0;
    for (std::size_t e = 0; e + 1 < zoneTables.size(); e += 2) {
      const std::uint32_t block = std::uint32_t(zoneTables[e] << 8 | zoneTables[e + 1]);
      if (block == 0xFFFF) continue;
      if (block >= r.blocks || (record + 1) * R > bitmapBuffer.size()) return false;
      std::memcpy(part.data() + std::size_t(block) * R, bitmapBuffer.data() + record * R, R);
      ++record;
    }
  }
  if (sysinfo::Le16(r.sector, sysinfo::kBitmapValidMark) == sysinfo::kBitmapValid)
    std::memcpy(part.data() + std::size_t(r.sysBlock) * R, r.sector.data() + sysinfo::kSysBlockBitmap,
                R);
  return true;
}

}  // namespace

std::int32_t ReadRecordedBadBlocks(PortJob& job, const FlashGeometry& g, FlashBookkeeping& bk,
                                   bool highChipCheck) {
  FORMATINFO& rec = job.rec;
  std::span<std::uint8_t> bitmap(rec.BadPageBitmap);
  const std::uint32_t R = g.pagePerBlock / 8;
  const std::uint32_t E = g.sectorsPerPageX ? g.sectorsPerPageX : g.sectorPerPage;
  const int packages = g.chipCount == 1 ? 1 : 2;
  bool found[2] = {false, false};
  std::uint32_t stride[2] = {0, 0};
  std::size_t bytes[2] = {0, 0};

  for (int i = 0; i < packages; ++i) {
    auto recording = Find(job, std::uint8_t(i), E);
    if (job.stopRequested()) {
      job.showCancelled();
      return msg::kCancel;
    }
    if (!recording) continue;
    if (sysinfo::Le16(recording->sector, sysinfo::kCombinedMark) == sysinfo::kCombined)
      return kRecordedAlreadyCombined;
    auto r = Validate(*recording, g);
    if (!r) continue;
    const std::uint32_t T = i == 0 ? r->blocks : std::max(stride[0], r->blocks);
    stride[i] = T;
    const std::size_t at = std::size_t(i) * T * R;
    if (at + std::size_t(r->blocks) * R > bitmap.size()) continue;
    std::vector<std::uint8_t> part;
    if (!ReadPackage(job, *r, std::uint8_t(i), part)) continue;
    std::memcpy(bitmap.data() + at, part.data(), part.size());
    std::copy(r->sector.begin(), r->sector.end(), rec.SysInfo.begin());
    found[i] = true;
    bytes[i] = std::size_t(r->blocksPerChip) * R;
  }

  if (g.chipCount == 4 && found[0]) {
    // Two double-die packages: chips 0..3 become package 0 die 0, package 1
    // die 0, package 0 die 1, package 1 die 1.
    const std::size_t C = std::size_t(g.blockPerChip) * R;
    std::vector<std::uint8_t> reordered(bitmap.size(), 0xFF);
    auto place = [&](std::size_t from, std::size_t length, std::size_t to) {
      if (length == 0 || from + length > bitmap.size() || to + length > reordered.size()) return;
      std::memcpy(reordered.data() + to, bitmap.data() + from, length);
    };
    place(0, bytes[0], 0);
    place(2 * C, bytes[1], C);
    place(bytes[0], bytes[0], 2 * C);
    place(2 * C + bytes[1], bytes[1], 3 * C);
    std::copy(reordered.begin(), reordered.begin() + std::ptrdiff_t(std::min(4 * C, bitmap.size())),
              bitmap.begin());
  }

  if (!found[0]) return -1;
  if (highChipCheck) {
    for (int i = 0; i < packages; ++i)
      if (!found[i]) return -1;
    return kRecordedCheckPassed;
  }
  rec.BadPages += std::uint32_t(RebuildBlockLists(bk, bitmap, g));
  sysinfo::PutLe16(rec.SysInfo, sysinfo::kCombinedMark, sysinfo::kCombined);
  return 0;
}

}  // namespace kvx
