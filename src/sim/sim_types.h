#pragma once
// Plain descriptions of one simulated disk: its flash geometry, its defects,
// its faults and its latency. A profile (sim_profile.h) is a list of these
// plus a USB tree; the simulator builds its disks from them.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvx::sim {

// Spare bytes that follow every 512-byte sector of a page.
inline constexpr std::uint32_t kSpareBytes = 16;
inline constexpr std::uint32_t kDataBytes = 512;
inline constexpr std::uint32_t kRawBytes = kDataBytes + kSpareBytes;  // 528
// Highest chip-select number the controller drives.
inline constexpr int kChipSelects = 4;

// The flash as the controller addresses it. `sectorsPerPage` is the page the
// vendor commands address (sector address = page address x sectorsPerPage +
// sector in page), that is the station's effective sectors per page: a
// two-lane flash that the station runs in page-pair mode is described with the
// doubled value.
struct Geometry {
  std::uint32_t chips = 1;           // 1..4
  std::uint32_t blocksPerChip = 1024;
  std::uint32_t pagesPerBlock = 64;  // multiple of 8, at most 256
  std::uint32_t sectorsPerPage = 4;  // 1..8

  std::uint32_t totalBlocks() const { return chips * blocksPerChip; }
  std::uint32_t rawPageBytes() const { return sectorsPerPage * kRawBytes; }
  std::uint32_t pagesPerChip() const { return blocksPerChip * pagesPerBlock; }
};

// What a chip select answers to Read ID: one 4-byte ID per byte lane, most
// significant byte first; 0 on a lane means nothing answers there (the lane
// reads FF).
struct ChipSelectId {
  std::uint32_t lane0 = 0;
  std::uint32_t lane1 = 0;
};

// A page that fails the firmware scan only under some conditions.
struct WeakPage {
  std::uint32_t block = 0;  // port-wide block number (chip x blocksPerChip + block)
  std::uint32_t page = 0;
  std::uint8_t passMask = 0xFF;      // bit n: fails in scan passes with pass selector n
  int invert = -1;                   // fails only with this invert bit; -1: with either
  std::uint32_t visitMask = 0;       // bit v: fails on the block's v-th scan (0-based); 0: always
};

struct ProgramFailPage {
  std::uint32_t block = 0;  // port-wide
  std::uint32_t page = 0;
};

struct WearOutBlock {
  std::uint32_t block = 0;   // port-wide
  std::uint32_t erases = 0;  // erases that succeed; the next one fails and the block is bad
};

// All defects of one disk, already expanded (random ones drawn from a seed by
// the profile reader).
struct Defects {
  std::vector<std::uint32_t> factoryBadBlocks;  // port-wide
  std::vector<WeakPage> weakPages;
  std::vector<ProgramFailPage> programFailPages;
  std::vector<WearOutBlock> wearOutBlocks;
};

// Faults of the transport path. Opcode matches are on CDB byte 0.
struct TimeoutFault {
  std::uint8_t opcode = 0;
  std::uint32_t nth = 1;    // 1-based occurrence of the opcode that times out first
  std::uint32_t count = 1;  // occurrences that time out from there; 0 = every later one
};
struct SenseFault {
  std::uint8_t opcode = 0;
  std::uint8_t key = 0, asc = 0, ascq = 0;
  std::uint32_t nth = 1;
  std::uint32_t count = 1;  // 0 = every later one
};
// The disk vanishes when the nth command with this opcode arrives (that
// command fails like every later one): an unplug in a chosen stage of a job.
struct UnplugFault {
  std::uint8_t opcode = 0;
  std::uint32_t nth = 1;  // 1-based
};
struct Faults {
  // The disk vanishes after this many commands (every later one answers like
  // an unplugged device); 0 = never.
  std::uint64_t unplugAfter = 0;
  std::vector<UnplugFault> unplugOn;
  std::vector<TimeoutFault> timeouts;
  std::vector<SenseFault> senses;
};

// Latency slept for real by the command's thread, in microseconds, each
// multiplied by `scale`; all zero (or scale 0) costs nothing. A timed-out
// command waits its timeout x `timeoutScale` seconds before it answers.
struct Latency {
  double scale = 0.0;
  double commandUs = 0;      // one USB 2.0 bulk-only round trip (CBW, data, CSW)
  double readPageUs = 0;     // array read of one page
  double programPageUs = 0;  // program of one page
  double eraseBlockUs = 0;   // erase of one block
  double perKiBUs = 0;       // data phase per KiB on the bus
  double timeoutScale = 0.0;
};

enum class DiskKind { Controller, Generic };

struct DiskSpec {
  DiskKind kind = DiskKind::Controller;
  Geometry geometry;
  // Read-ID answers per chip select (chip select i may be empty: both lanes 0).
  std::array<ChipSelectId, kChipSelects> ids{};
  Defects defects;
  Faults faults;
  std::optional<Latency> latency;    // empty: the profile's
  std::uint64_t genericSectors = 0;  // Generic: capacity in 512-byte sectors
  std::string genericVendor = "GENERIC";
  std::string genericProduct = "USB DISK";
  bool plugged = true;
};

}  // namespace kvx::sim
