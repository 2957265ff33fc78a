#pragma once
// Settings that running jobs read live (not from their snapshot): the choices
// the operator can change on the settings pages while ports work. Each is an
// atomic, so a read on a worker never races with an edit on the window.
// The settings pages publish them (config/settings_form.h).

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>

namespace kvx {

struct LiveOptions {
  // The selected entry of the scan-level list and the list's length (4..80).
  // Entry levelCount-2 is "High Format", the last one "Mpcs_High_Format".
  std::atomic<int> scanLevelIndex{0};
  std::atomic<int> levelCount{4};
  std::atomic<bool> highChipCheck{false};  // soldering check of the multi-chip high format
  std::atomic<bool> logicScan{false};      // logical scan after the high format

  std::atomic<bool> onlyScan{false};  // scan for bad blocks only
  std::atomic<bool> blockMode{false};
  std::atomic<bool> noVerify{false};
  std::atomic<bool> preTest{false};
  std::atomic<bool> oddPageAllBad{false}, evenPageAllBad{false};
  std::atomic<bool> randomData{false};
  std::atomic<bool> noFat{false};
  std::atomic<bool> autorSecure{true};  // scramble the private-zone record
  std::atomic<bool> listWhileFormating{false};
  std::atomic<bool> zone0WriteProtect{false};
  // What the forced block range marks: true = good blocks, false = bad.
  std::atomic<bool> markGoodBlocks{false};
  // The forced block range FromBlock..ToBlock; kNotANumber when the text is
  // not a whole decimal number (a job must then fail, not guess).
  static constexpr std::int64_t kNotANumber = std::numeric_limits<std::int64_t>::min();
  std::atomic<std::int64_t> fromBlock{0}, toBlock{0};
  // ECC level of the scan: the chosen EccOpen entry, 0..7.
  std::atomic<int> eccOpen{0};
  // Upper limit of the ECC level (a byte) and the scan passes (1..20).
  std::atomic<int> eccOpenBytes{0};
  std::atomic<int> scanCount{1};
  // Capacity bins 1..15 in megabytes: lower bound, middle value, upper bound.
  std::array<std::atomic<float>, 15> fromBin{}, mBin{}, toBin{};

  bool highFormatSelected() const { return scanLevelIndex.load() == levelCount.load() - 2; }
  bool mpcsHighFormatSelected() const { return scanLevelIndex.load() == levelCount.load() - 1; }
};

}  // namespace kvx
