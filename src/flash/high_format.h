#pragma once
// The high format: turns a scanned flash into a formatted disk. Each attempt
// erases the flash, plans the layout, writes and verifies the system area
// (system information, zone information, table bitmap, firmware code pages)
// and the table blocks (zone tables, bad-page information), and initialises
// every data block. A verify mismatch retires the block and plans again. At
// the end the final system information and firmware go to the controller,
// optional logical-scan passes run (each followed by a new format), and the
// file systems are written.
//
// Addressing: a port-wide block d is erased, written and read on chip
// d / BlockPerChip at block d mod BlockPerChip (page address within that
// chip, sector address = page address x E), for data blocks and table blocks
// alike; the firmware reads them the same way.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "engine/port_job.h"
#include "flash/layout_plan.h"
#include "flash/logical_scan.h"

namespace kvx {

inline constexpr int kHighFormatAttempts = 68;
inline constexpr int kHighFormatRewrites = 88;

// Work of other stages the high format calls.
struct HighFormatHooks {
  // After planning: fills the job's system information in its final form
  // (system-block bitmap, marks, layout, checksum) from the plan.
  std::function<void(const LayoutPlan&)> buildFinalSysInfo;
  std::function<std::int32_t(bool noProtect, bool logicLayout)> sendSysInfo;
  std::function<std::int32_t(bool scanning)> sendCode;
  std::function<std::int32_t()> writeFileSystems;
};

struct HighFormatOptions {
  LayoutInputs layout;                  // geometry, code shape, mode, bins
  std::span<const std::uint8_t> codeImage;  // the final firmware, written to the code pages
  bool noVerify = false;
  bool logicScan = false;
  bool noFat = false;
  std::uint8_t scanCount = 1;
  bool randomData = false;
  bool blockMode = false;
  std::optional<std::uint32_t> seed;  // random data words; from the clock when unset
};

// 0, -1 (no place for the system area), 33025, 33287, 33290, 33291, 33292,
// or the first failure of the hooks. The page code of a data block's G-th
// good page is ((G x E - E - 1) x 64 + E) mod 65536; the first page's is E.
std::int32_t HighFormat(PortJob& job, HighFormatOptions& options, HighFormatHooks& hooks);

std::uint16_t DataPageCode(std::uint32_t good, std::uint32_t sectorsPerPage, bool firstPage);

}  // namespace kvx
