#include "flash/logical_scan.h"

#include <random>

#include "engine/result_line.h"
#include "flash/bookkeeping.h"

namespace kvx {
namespace {

constexpr std::uint32_t kRunSectors = 4;        // sectors per fill/check command
constexpr std::uint32_t kBarEverySectors = 4000;
constexpr std::uint32_t kWriteTimeout = 5;
constexpr std::uint32_t kNoFailure = 0xFFFFFFFF;

}  // namespace

std::vector<std::uint8_t> LogicalTestPattern(std::uint8_t passCount, bool randomData,
                                             std::uint32_t seed) {
  std::vector<std::uint8_t> pattern(kRunSectors * 512);
  std::mt19937 rng(seed);
  for (std::size_t i = 0; i < pattern.size(); i += 2) {
    std::uint16_t word = randomData ? std::uint16_t(rng()) : 0x55AA;
    if (passCount % 2 == 1) word = std::uint16_t(~word);
    pattern[i] = std::uint8_t(word);
    pattern[i + 1] = std::uint8_t(word >> 8);
  }
  return pattern;
}

std::int32_t LogicalScan(PortJob& job, const FlashGeometry& g, const LogicalScanOptions& o) {
  FORMATINFO& rec = job.rec;
  const DeviceHandle h = rec.hDevice;
  const std::uint32_t N = o.sectors;
  std::array<std::uint8_t, 8> answer{};
  LogicalPatternCheck(job.commands, h, 0, kRunSectors * 512, answer);

  const auto pattern = LogicalTestPattern(
      rec.LogicPassCount, o.randomData,
      o.seed.value_or(std::uint32_t(std::random_device{}())));
  const std::string format = job.messages.str(msg::kLogicalScan);
  auto showProgress = [&](std::uint64_t percent) {
    rec.StatusText = FormatMessageText(format, {rec.LogicPassCount + 1, o.scanCount, rec.BadPages}) +
                     ElapsedText(rec.ElapsedSeconds.load());
    job.display.setBar(rec.StatusText, BarColour::Blue, int(percent));
  };
  auto cancelled = [&] {
    job.showCancelled();
    job.display.setPercent(0);
    return std::int32_t(msg::kCancel);
  };

  DiskWrite(job.commands, h, 0, kRunSectors * 512, pattern, 0, kWriteTimeout);

  for (std::uint32_t s = kRunSectors; s < N; s += kRunSectors) {
    if (job.stopRequested()) return cancelled();
    const std::uint32_t n = std::min(kRunSectors, N - s);
    LogicalPatternFill(job.commands, h, s, n * 512, answer);
    if (s % kBarEverySectors == 0) showProgress(std::uint64_t(s) * 50 / N);
  }

  std::int32_t result = 0;
  std::span<std::uint8_t> bitmap(rec.BadPageBitmap);
  const std::uint64_t pages = std::uint64_t(bitmap.size()) * 8;
  for (std::uint32_t s = 0; s < N; s += kRunSectors) {
    if (job.stopRequested()) return cancelled();
    const std::uint32_t n = std::min(kRunSectors, N - s);
    answer.fill(0xFF);
    LogicalPatternCheck(job.commands, h, s, n * 512, answer);
    const std::uint32_t failing = std::uint32_t(answer[0]) << 24 | std::uint32_t(answer[1]) << 16 |
                                  std::uint32_t(answer[2]) << 8 | answer[3];
    // A page index the flash does not have is a device fault, not a bad page:
    // it is never used to write outside the bitmap.
    if (failing != kNoFailure && failing < pages) {
      auto mark = [&](std::uint32_t page) {
        if (PageBad(bitmap, page)) return;
        SetPageBad(bitmap, page);
        ++rec.BadPages;
        result = -1;
      };
      if (rec.LogicPassCount > 1 || o.blockMode) {
        const std::uint32_t first = failing / g.pagePerBlock * g.pagePerBlock;
        for (std::uint32_t p = first; p < first + g.pagePerBlock && p < pages; ++p) mark(p);
      } else {
        mark(failing);
      }
    }
    if (s % kBarEverySectors == 0) showProgress(std::uint64_t(s) * 50 / N + 50);
  }
  return result;
}

}  // namespace kvx
