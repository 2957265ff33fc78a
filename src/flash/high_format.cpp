#include "flash/high_format.h"

#include <chrono>
#include <cstring>
#include <random>

#include "engine/result_line.h"

namespace kvx {
namespace {

constexpr std::uint32_t kEraseRun = 64;
constexpr std::uint32_t kSysWriteTimeout = 10, kSysReadTimeout = 2;
constexpr std::uint32_t kTableWriteTimeout = 10, kTableReadTimeout = 20;
constexpr std::uint32_t kDataTimeout = 20;

struct Verify {
  enum Kind { Ok, WriteFailed, ReadFailed, Mismatch } kind = Ok;
};

class Formatter {
 public:
  Formatter(PortJob& job, HighFormatOptions& o, HighFormatHooks& hooks)
      : job_(job),
        rec_(job.rec),
        bk_(job.rec.Flash),
        o_(o),
        g_(o.layout.geometry),
        hooks_(hooks),
        E_(g_.sectorsPerPageX ? g_.sectorsPerPageX : g_.sectorPerPage),
        pageBytes_(std::size_t(E_) * 512),
        page_(pageBytes_),
        back_(pageBytes_),
        rng_(o.seed.value_or(std::uint32_t(
            std::chrono::steady_clock::now().time_since_epoch().count()))) {}

  std::int32_t run();

 private:
  std::span<std::uint8_t> bitmap() { return rec_.BadPageBitmap; }
  std::int32_t errorExit(MessageId id) {
    job_.show(id, BarColour::Red);
    job_.display.setPercent(0);
    ClearZones(bk_);
    return std::int32_t(id);
  }
  std::int32_t cancelled() {
    job_.showCancelled();
    job_.display.setPercent(0);
    ClearZones(bk_);
    return msg::kCancel;
  }
  void mismatch(std::uint32_t block) {
    job_.show(msg::kSysInfoVerifyError, BarColour::Red);
    for (std::uint32_t p = 0; p < g_.pagePerBlock; ++p)
      SetPageBad(bitmap(), block * g_.pagePerBlock + p);
  }
  void showWriting(int percent) {
    rec_.StatusText = job_.messages.str(msg::kWritingConfig) + ElapsedText(rec_.ElapsedSeconds.load());
    job_.display.setBar(rec_.StatusText, BarColour::Blue, percent);
  }
  // Writes one page of port-wide block `block` and reads it back; compares
  // `compare` bytes.
  Verify writePage(std::uint32_t block, std::uint32_t page, std::span<const std::uint8_t> data,
                   std::size_t compare, std::uint32_t writeTimeout, std::uint32_t readTimeout,
                   WriteExtra extra = {}, bool verify = true);
  std::int32_t erasePhase();
  std::int32_t writeSystemArea(std::int32_t& stage);
  std::int32_t writeTableBlocks(std::int32_t& stage);
  std::int32_t initialiseDataBlocks(std::int32_t& stage);
  std::span<const std::uint8_t> infoPage(std::uint32_t k);  // bad-page information page k
  std::uint32_t infoPages() const;

  PortJob& job_;
  FORMATINFO& rec_;
  FlashBookkeeping& bk_;
  HighFormatOptions& o_;
  const FlashGeometry g_;
  HighFormatHooks& hooks_;
  const std::uint32_t E_;
  const std::size_t pageBytes_;
  std::vector<std::uint8_t> page_, back_;
  std::mt19937 rng_;
  LayoutPlan plan_;
};

Verify Formatter::writePage(std::uint32_t block, std::uint32_t page,
                            std::span<const std::uint8_t> data, std::size_t compare,
                            std::uint32_t writeTimeout, std::uint32_t readTimeout,
                            WriteExtra extra, bool verify) {
  const std::uint8_t chip = g_.chipOf(block);
  const std::uint32_t sector = g_.pageAddress(block, page) * E_;
  std::fill(page_.begin(), page_.end(), 0xFF);
  std::memcpy(page_.data(), data.data(), std::min(data.size(), pageBytes_));
  if (WriteSectors(job_.commands, rec_.hDevice, chip, sector, std::uint8_t(E_), 0, kDestFlash,
                   page_, writeTimeout, extra) != 0)
    return {Verify::WriteFailed};
  if (!verify) return {};
  if (ReadSectors(job_.commands, rec_.hDevice, chip, sector, std::uint8_t(E_), back_, readTimeout) != 0)
    return {Verify::ReadFailed};
  if (std::memcmp(page_.data(), back_.data(), compare) != 0) return {Verify::Mismatch};
  return {};
}

std::int32_t Formatter::erasePhase() {
  const std::uint64_t all = std::uint64_t(g_.chipCount) * g_.blockPerChip;
  for (std::uint32_t k = 0; k < g_.chipCount; ++k) {
    for (std::uint32_t b = 0; b < g_.blockPerChip; b += kEraseRun) {
      if (job_.stopRequested()) return cancelled();
      showWriting(int((std::uint64_t(k) * g_.blockPerChip + b) * 20 / all));
      // Every block of every chip exactly once, also when the chip's block
      // count is not a multiple of 64.
      if (EraseBlocks(job_.commands, rec_.hDevice, std::uint8_t(k), b,
                      std::min(kEraseRun, g_.blockPerChip - b)) != 0)
        return errorExit(msg::kEraseError);
    }
  }
  return 0;
}

std::int32_t Formatter::writeSystemArea(std::int32_t& stage) {
  const std::uint32_t sys = bk_.SysBlock;
  EraseBlocks(job_.commands, rec_.hDevice, 0, sys, 1);
  struct Item {
    std::uint32_t page;
    std::span<const std::uint8_t> data;
    std::size_t compare;
    std::uint32_t readTimeout;
  };
  std::vector<Item> items = {
      {bk_.SysInfoPage, rec_.SysInfo, 512, kSysReadTimeout},
      {bk_.ZoneInfoPage, bk_.ZoneInfo, 512, kSysReadTimeout},
      {bk_.TableBitmapPage, bk_.TableBitmap, 512, kSysReadTimeout},
  };
  const std::uint32_t codePages = plan_.codePageCount * o_.layout.codeCount;
  for (std::uint32_t k = 0; k < codePages; ++k) {
    const std::size_t from = std::size_t(k) * pageBytes_;
    const auto image = o_.codeImage;
    items.push_back({bk_.CodePages[k],
                     from < image.size() ? image.subspan(from, std::min(pageBytes_, image.size() - from))
                                         : std::span<const std::uint8_t>(),
                     pageBytes_, kTableReadTimeout});
  }
  for (const Item& it : items) {
    const Verify v = writePage(sys, it.page, it.data, it.compare, kSysWriteTimeout, it.readTimeout);
    if (v.kind == Verify::WriteFailed) return errorExit(msg::kSysInfoWriteError);
    if (v.kind == Verify::ReadFailed) return errorExit(msg::kSysInfoReadError);
    if (v.kind == Verify::Mismatch) {
      mismatch(sys);
      stage = msg::kSysInfoVerifyError;
    }
  }
  return 0;
}

std::uint32_t Formatter::infoPages() const {
  return o_.layout.multiChipMode ? RawBitmapPages(g_) : std::uint32_t(bk_.BlockBitmapPages.length());
}

std::span<const std::uint8_t> Formatter::infoPage(std::uint32_t k) {
  if (!o_.layout.multiChipMode) return bk_.BlockBitmapPages[k];
  const std::size_t from = std::size_t(k) * pageBytes_;
  const auto all = std::span<const std::uint8_t>(rec_.BadPageBitmap);
  return all.subspan(from, std::min(pageBytes_, all.size() - from));
}

std::int32_t Formatter::writeTableBlocks(std::int32_t& stage) {
  const std::uint32_t zonePages = std::uint32_t(bk_.ZoneTables.length());
  const std::uint32_t total = zonePages + infoPages();
  const std::uint32_t V = std::min<std::uint32_t>(TableBlocksToWrite(bk_, o_.layout),
                                                  plan_.tableBlocksReserved);
  const std::size_t R = g_.pagePerBlock / 8;
  std::uint32_t next = 0;
  for (std::uint32_t i = 0; i < V && next < total; ++i) {
    const std::uint32_t t = bk_.TableBlocks[i];
    EraseBlocks(job_.commands, rec_.hDevice, g_.chipOf(t), g_.blockInChip(t), 1);
    const std::uint8_t* good = bk_.TableBitmap.data() + i * R;
    for (std::uint32_t q = 0; q < g_.pagePerBlock && next < total; ++q) {
      if ((good[q / 8] >> (q % 8)) & 1) continue;
      const auto data = next < zonePages ? std::span<const std::uint8_t>(bk_.ZoneTables[next])
                                         : infoPage(next - zonePages);
      const Verify v = writePage(t, q, data, pageBytes_, kTableWriteTimeout, kTableReadTimeout);
      if (v.kind == Verify::WriteFailed) return errorExit(msg::kSysInfoWriteError);
      if (v.kind == Verify::ReadFailed) return errorExit(msg::kSysInfoReadError);
      if (v.kind == Verify::Mismatch) {
        mismatch(t);
        stage = msg::kSysInfoVerifyError;
        break;
      }
      ++next;
    }
  }
  return 0;
}

std::int32_t Formatter::initialiseDataBlocks(std::int32_t& stage) {
  const int p0 = job_.display.snapshot().percent;
  const std::size_t zones = bk_.ZoneBlockCounts.length();
  std::vector<std::uint8_t> data(pageBytes_);
  std::uint64_t blocksDone = 0;
  for (std::size_t z = 0; z < zones; ++z) {
    const std::uint32_t G = bk_.ZoneClasses[z] + 1u;
    const auto& table = bk_.ZoneTables[z / E_];
    const std::size_t slot = 512 * (z % E_);
    for (std::uint32_t e = 0; e < bk_.ZoneBlockCounts[z]; ++e) {
      if (job_.stopRequested()) return cancelled();
      if (blocksDone++ % 4 == 0) showWriting(int((z + 1) * 60 / zones + std::size_t(p0)));
      const std::uint32_t d = std::uint32_t(table[slot + 2 * e] << 8 | table[slot + 2 * e + 1]);
      if (d >= g_.totalBlocks()) return errorExit(msg::kSysInfoWriteError);
      for (std::size_t i = 0; i < data.size(); i += 2) {
        const std::uint16_t w = std::uint16_t(rng_() + d);
        data[i] = std::uint8_t(w);
        data[i + 1] = std::uint8_t(w >> 8);
      }
      EraseBlocks(job_.commands, rec_.hDevice, g_.chipOf(d), g_.blockInChip(d), 1);
      std::uint32_t goodSeen = 0;
      for (std::uint32_t p = 0; p < g_.pagePerBlock; ++p) {
        if (PageBad(bitmap(), d * g_.pagePerBlock + p)) continue;
        ++goodSeen;
        const bool first = goodSeen == 1;
        if (!first && goodSeen != G) continue;
        const std::uint16_t code = DataPageCode(G, E_, first);
        const WriteExtra extra{std::uint8_t(e), std::uint8_t(code >> 8), std::uint8_t(code)};
        const Verify v = writePage(d, p, data, pageBytes_, kDataTimeout, kDataTimeout, extra,
                                   !o_.noVerify);
        // The data write's own status is not examined; its read-back is.
        if (v.kind == Verify::ReadFailed) return errorExit(msg::kSysInfoReadError);
        if (v.kind == Verify::Mismatch) {
          mismatch(d);
          stage = msg::kSysInfoVerifyError;
          break;
        }
        if (goodSeen == G) break;
      }
    }
  }
  return 0;
}

std::int32_t Formatter::run() {
  for (;;) {  // a new attempt from the erase phase (also after a logical pass)
    int attempts = 0;
    bool restartAfterLogical = false;
    for (;;) {  // attempts
      if (const std::int32_t r = erasePhase(); r != 0) return r;
      bool attemptOver = false;
      for (int rewrites = 0; !attemptOver;) {
        std::int32_t stage = 0;
        plan_ = PlanLayout(bk_, bitmap(), o_.layout);
        if (plan_.status == LayoutStatus::NoSystemBlock) return -1;
        if (plan_.status != LayoutStatus::Planned) {
          rec_.StatusText = LayoutProblemText(plan_.status);
          job_.display.setBar(rec_.StatusText, BarColour::Red, 0);
          ClearZones(bk_);
          return -1;
        }
        rec_.ZoneCount = plan_.zones.zoneCount;
        rec_.DiskSectors = plan_.zones.diskSectors;
        rec_.FixedSectors = plan_.bin.fixedSectors;
        if (plan_.bin.binNo) rec_.BinNo = std::uint8_t(plan_.bin.binNo);
        rec_.LogicScanDone = 1;
        hooks_.buildFinalSysInfo(plan_);

        if (const std::int32_t r = writeSystemArea(stage); r != 0) return r;
        if (const std::int32_t r = writeTableBlocks(stage); r != 0) return r;
        if (stage == msg::kSysInfoVerifyError) {
          RebuildBlockLists(bk_, bitmap(), g_);
          if (++attempts >= kHighFormatAttempts) {
            ClearZones(bk_);
            return msg::kSysInfoVerifyError;
          }
          attemptOver = true;  // erase everything again
          continue;
        }
        if (const std::int32_t r = initialiseDataBlocks(stage); r != 0) return r;
        if (stage == msg::kSysInfoVerifyError) {
          RebuildBlockLists(bk_, bitmap(), g_);
          if (++rewrites >= kHighFormatRewrites) {
            ClearZones(bk_);
            return msg::kSysInfoVerifyError;
          }
          job_.display.setPercent(0);
          continue;  // plan again without a new erase
        }
        // Finish.
        ClearZones(bk_);
        rec_.LogicScanDone = (o_.logicScan && rec_.LogicPassCount < o_.scanCount &&
                              rec_.LogicCleanPasses < 2)
                                 ? 0
                                 : 1;
        if (const std::int32_t r = hooks_.sendSysInfo(true, true); r != 0) return r;
        if (const std::int32_t r = hooks_.sendCode(false); r != 0) return r;
        std::int32_t last = 0;
        if (o_.logicScan && rec_.LogicPassCount < o_.scanCount && rec_.LogicCleanPasses < 1) {
          LogicalScanOptions lo;
          lo.sectors = rec_.Zone0CapSectors;
          lo.scanCount = o_.scanCount;
          lo.randomData = o_.randomData;
          lo.blockMode = o_.blockMode;
          lo.seed = o_.seed;
          last = LogicalScan(job_, g_, lo);
          rec_.LogicCleanPasses = last == 0 ? std::uint8_t(rec_.LogicCleanPasses + 1) : 0;
          rec_.LogicScanDone = 1;
          ++rec_.LogicPassCount;
          if (last != msg::kCancel) {
            RebuildBlockLists(bk_, bitmap(), g_);
            hooks_.sendSysInfo(false, false);
            if (const std::int32_t r = hooks_.sendCode(true); r != 0) return r;
            restartAfterLogical = true;
          }
        }
        if (restartAfterLogical) break;
        std::int32_t result = last == msg::kCancel ? last : 0;
        if (!o_.noFat) result = hooks_.writeFileSystems();
        ClearBlockLists(bk_);
        job_.display.setColour(BarColour::Blue);
        return result;
      }
      if (restartAfterLogical) break;
    }
    // A new attempt with both counters back to 0.
  }
}

}  // namespace

std::uint16_t DataPageCode(std::uint32_t good, std::uint32_t sectorsPerPage, bool firstPage) {
  if (firstPage) return std::uint16_t(sectorsPerPage);
  return std::uint16_t(((good * sectorsPerPage - sectorsPerPage - 1) * 64 + sectorsPerPage) % 65536);
}

std::int32_t HighFormat(PortJob& job, HighFormatOptions& options, HighFormatHooks& hooks) {
  Formatter f(job, options, hooks);
  return f.run();
}

}  // namespace kvx
