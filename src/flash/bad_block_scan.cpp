#include "flash/bad_block_scan.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <random>

#include "engine/result_line.h"

namespace kvx {
namespace {

constexpr std::uint32_t kEraseRun = 64;    // blocks per erase command in the erase phase
constexpr std::uint32_t kMinGoodPages = 8;  // fewer good pages in a visit retire the block
constexpr std::uint32_t kPreTestWriteTimeout = 10;
constexpr std::uint32_t kPreTestReadTimeout = 2;

// Decimal text to a block number; nullopt when it is not one.
std::optional<std::uint32_t> ParseBlock(const std::string& text) {
  if (text.empty()) return 0u;
  std::uint32_t v = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return v;
}

class ScanProgress {
 public:
  ScanProgress(PortJob& job, std::uint32_t totalBlocks, int scanLevelIndex)
      : job_(job),
        total_(totalBlocks),
        share_(100.0 / ((scanLevelIndex + 1) * 3.0)) {}
  void show(std::uint32_t index) {
    last_ = base_ + double(index) * share_ / total_;
    const std::string text =
        FormatMessageText(job_.messages.str(msg::kScanning), {total_, job_.rec.BadPages}) +
        ElapsedText(job_.rec.ElapsedSeconds.load());
    job_.rec.StatusText = text;
    job_.display.setBar(text, BarColour::Blue, int(last_));
  }
  void nextPhase() { base_ = last_; }

 private:
  PortJob& job_;
  std::uint32_t total_;
  double share_;
  double base_ = 0, last_ = 0;
};

std::int32_t Fail(PortJob& job, MessageId id) {
  job.show(id, BarColour::Red);
  job.display.setPercent(0);
  return std::int32_t(id);
}

std::int32_t Cancelled(PortJob& job) {
  job.showCancelled();
  job.display.setPercent(0);
  return msg::kCancel;
}

std::int32_t PreTest(PortJob& job, const FlashGeometry& g, const ScanOptions& o) {
  if (o.turnOnOnlyScan) o.turnOnOnlyScan();
  std::vector<std::uint8_t> pattern(512), back(512);
  std::mt19937 rng(std::uint32_t(o.orderSeed.value_or(
      std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()))));
  for (auto& b : pattern) b = std::uint8_t(rng());
  const DeviceHandle h = job.rec.hDevice;
  for (std::uint32_t k = 0; k < g.chipCount; ++k) {
    for (std::uint32_t l = 0; l < g.chipCount; ++l)
      for (std::uint32_t block : {0u, g.blockPerChip / 2, g.blockPerChip / 4})
        if (EraseBlocks(job.commands, h, std::uint8_t(l), block, 1) != 0)
          return Fail(job, msg::kEraseError);
    if (WriteSectors(job.commands, h, std::uint8_t(k), 0, 1, 0, kDestFlash, pattern,
                     kPreTestWriteTimeout) != 0)
      return Fail(job, msg::kWriteError);
    for (std::uint32_t m = 0; m < g.chipCount; ++m) {
      if (m == k) continue;
      if (ReadSectors(job.commands, h, std::uint8_t(m), 0, 1, back, kPreTestReadTimeout) != 0)
        return Fail(job, msg::kReadError);
      if (back == pattern && o.listWhileFormatting)
        job.treeLine("Chip:" + std::to_string(m) + " and " + std::to_string(k) + " is the same");
    }
  }
  return 0;
}

}  // namespace

std::uint32_t PatternGenerator::next() {
  const std::uint32_t value = s_;
  for (int i = 0; i < 32; ++i) {
    const std::uint32_t f = (s_ ^ (s_ >> 28)) & 1u;
    s_ = (s_ >> 1) | (s_ & 0x80000000u);
    if (f) s_ ^= 0x80000000u;
  }
  return value;
}

std::vector<std::uint16_t> VisitingOrder(std::uint32_t n, std::uint64_t seed) {
  std::vector<std::uint16_t> order(n);
  for (std::uint32_t i = 0; i < n; ++i) order[i] = std::uint16_t(i);
  std::mt19937_64 rng(seed);
  for (std::uint32_t i = n; i > 1; --i) {
    std::uniform_int_distribution<std::uint32_t> pick(0, i - 1);
    std::swap(order[i - 1], order[pick(rng)]);
  }
  return order;
}

std::int32_t ScanBadBlocks(PortJob& job, const FlashGeometry& g, BadBlockMap& retired,
                           FlashBookkeeping& bk, const ScanOptions& o) {
  if (o.preTest) return PreTest(job, g, o);

  std::optional<std::uint32_t> from = 0, to = 0;
  const bool forced = !(o.toBlock.empty() || o.toBlock == "0");
  if (forced) {
    from = ParseBlock(o.fromBlock);
    to = ParseBlock(o.toBlock);
    if (!from || !to) {
      job.rec.StatusText = "Forced block range is not a number: \"" + o.fromBlock + "\" .. \"" +
                           o.toBlock + "\"";
      job.display.setBar(job.rec.StatusText, BarColour::Red, 0);
      return -1;
    }
  }

  FORMATINFO& rec = job.rec;
  std::span<std::uint8_t> bitmap(rec.BadPageBitmap);
  const std::uint32_t N = g.totalBlocks();
  const std::uint32_t P = g.pagePerBlock;
  const std::uint64_t limit = std::uint64_t(g.chipCount) * g.blockPerChip * P * 99 / 100;
  const std::uint64_t seedBase = o.orderSeed.value_or(
      std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
  const DeviceHandle h = rec.hDevice;

  std::vector<std::uint8_t> cleanPasses(N, 0), newBadInPass(N, 0);
  std::vector<std::uint16_t> visitsInPass(N, 0);
  std::vector<std::uint8_t> answer(std::max<std::uint32_t>(2, P / 8));
  ScanProgress progress(job, N, o.scanLevelIndex);
  PatternGenerator pattern;
  std::uint8_t invert = 1;
  ScsiResult last = 0;

  for (int pass = 0;; ) {
    // Erase phase: every block of every chip once, in runs of up to 64.
    for (std::uint32_t chip = 0; chip < g.chipCount; ++chip) {
      for (std::uint32_t first = 0; first < g.blockPerChip; first += kEraseRun) {
        if (job.stopRequested()) return Cancelled(job);
        progress.show(chip * g.blockPerChip + first);
        EraseBlocks(job.commands, h, std::uint8_t(chip), first,
                    std::min(kEraseRun, g.blockPerChip - first));
      }
    }
    invert = std::uint8_t((invert + 1) % 2);
    progress.nextPhase();
    const auto order = VisitingOrder(N, seedBase + std::uint64_t(pass));

    for (std::uint8_t sub = 0; sub < 2; ++sub) {
      std::fill(visitsInPass.begin(), visitsInPass.end(), 0);
      pattern.reset();
      for (std::uint32_t q = 0; q < N; ++q) {
        const std::uint32_t b = order[q];
        const std::uint32_t seedB = pattern.next();
        const std::uint32_t seedA = pattern.next();
        const bool firstVisit = visitsInPass[b] == 0;
        if (firstVisit) newBadInPass[b] = 0;
        ++visitsInPass[b];
        if (job.stopRequested()) return Cancelled(job);
        if (q % 10 == 0) progress.show(q);
        if (retired.test(b)) continue;

        if (forced && *from <= b && b <= *to) {
          if (o.forcedBad) {
            for (std::uint32_t i = 0; i < P; ++i) {
              const std::uint32_t page = b * P + i;
              if (!PageBad(bitmap, page)) {
                SetPageBad(bitmap, page);
                ++rec.BadPages;
              }
            }
          }
          continue;
        }

        FirmwareScanArgs args;
        args.firstPage = g.blockInChip(b) * P;
        args.pages = std::uint8_t(P);
        args.chip = g.chipOf(b);
        args.pass = std::uint8_t(2 + sub);
        args.eccLevel = o.eccLevel;
        args.invert = invert;
        args.seedA = seedA;
        args.seedB = seedB;
        std::fill(answer.begin(), answer.end(), 0);
        last = FirmwareScan(job.commands, h, args, answer);
        if (last != 0) return Fail(job, msg::kScanError);

        std::uint32_t badInVisit = 0;
        for (std::uint32_t i = 0; i < P; ++i) {
          const bool bad = ((answer[i / 8] >> (i % 8)) & 1) ||
                           (i % 2 == 1 && o.oddPageAllBad) || (i % 2 == 0 && o.evenPageAllBad);
          if (!bad) continue;
          ++badInVisit;
          const std::uint32_t page = b * P + i;
          if (PageBad(bitmap, page)) continue;
          SetPageBad(bitmap, page);
          ++rec.BadPages;
          newBadInPass[b] = 1;
          if (o.listWhileFormatting)
            job.treeLine("Chip:" + std::to_string(g.chipOf(b)) + "  Block:" +
                         std::to_string(g.blockInChip(b)) + "  Page:" + std::to_string(i) +
                         " Is Bad Page");
        }
        if (sub == 1 && firstVisit) cleanPasses[b] = newBadInPass[b] ? 0 : cleanPasses[b] + 1;
        if (badInVisit == P) retired.set(b);
        if (P - badInVisit < kMinGoodPages) {
          for (std::uint32_t i = 0; i < P; ++i) SetPageBad(bitmap, b * P + i);
          retired.set(b);
        }
      }
      progress.nextPhase();
    }
    ++pass;
    bool rescanNeeded = false;
    for (std::uint32_t b = 0; b < N && !rescanNeeded; ++b) {
      const bool inForcedRange = forced && *from <= b && b <= *to;
      rescanNeeded = !retired.test(b) && !inForcedRange && cleanPasses[b] < o.scanCount;
    }
    if (!(rec.BadPages < limit && rescanNeeded && pass < o.scanLevelIndex + 1)) break;
  }

  RebuildBlockLists(bk, bitmap, g, o.blockMode);
  return last;
}

}  // namespace kvx
