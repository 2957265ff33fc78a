#pragma once
// Settings that running jobs read live (not from their snapshot): the choices
// the operator can change on the settings pages while ports work. Each is an
// atomic, so a read on a worker never races with an edit on the window.

#include <atomic>

namespace kvx {

struct LiveOptions {
  // The selected entry of the scan-level list and the list's length (4..80).
  // Entry levelCount-2 is "High Format", the last one "Mpcs_High_Format".
  std::atomic<int> scanLevelIndex{0};
  std::atomic<int> levelCount{4};
  std::atomic<bool> highChipCheck{false};  // soldering check of the multi-chip high format
  std::atomic<bool> logicScan{false};      // logical scan after the high format

  bool highFormatSelected() const {
    return scanLevelIndex.load() == levelCount.load() - 2;
  }
  bool mpcsHighFormatSelected() const {
    return scanLevelIndex.load() == levelCount.load() - 1;
  }
};

}  // namespace kvx
