#pragma once
// FORMATINFO: everything the station keeps for one port and its current job.
// (The record is known as __FORMATINFO on the line; identifiers with a leading
// double underscore are reserved in C++, hence the shorter name.)
//
// Ownership: the window thread writes the job-start fields while the port is
// not busy; from then on only the port's worker writes the record, apart from
// `Running` (the operator's stop request) and `ElapsedSeconds` (the timer).
// Port discovery writes the device fields of ports that are not busy.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "config/config_image.h"
#include "device/scsi.h"
#include "flash/bookkeeping.h"

namespace kvx {

inline constexpr int kPortCount = 64;
inline constexpr std::size_t kSysInfoSize = 512;

struct FORMATINFO {
  // Open handle of the port's disk: 0 until discovery first opens it, -1 when
  // the last open failed or the device left.
  DeviceHandle hDevice = kNeverOpened;
  // Root folder of the produced disk's volume (a mount point on Linux; the
  // drive letter's role). Empty when unknown. Destination of the file copies.
  std::string DriveLetter;
  // 1 while the job may go on. Set at job start, cleared by the worker at its
  // end and by the operator's stop; every long loop of a job polls it. Whether
  // a worker is still inside its job is told by `Busy`, not by this flag.
  std::atomic<std::uint8_t> Running{0};
  // Set when a job starts, cleared as the worker's very last act. A busy port
  // is never started again and no refresh touches its handle or snapshots.
  std::atomic<bool> Busy{false};
  std::atomic<std::uint32_t> ElapsedSeconds{0};
  std::uint64_t BadBlkNode = 0;  // the job's root node in the bad-page tree
  std::uint32_t TotalBlocks = 0;
  std::uint32_t BadPages = 0;
  std::uint8_t ChipCount = 0;
  std::uint8_t LargePage = 0;
  std::uint8_t MultiChip = 0;
  std::int32_t FlashTypeIndex = -1;  // -1: no flash type matched
  std::string StatusText;            // at most 128 characters in practice
  std::string SerialText;
  std::uint32_t Zone0Sectors = 0, Zone1Sectors = 0, Zone2Sectors = 0, ReservedSectors = 0;
  std::uint32_t Zone0CapSectors = 0, Zone1CapSectors = 0;
  std::uint8_t SectorsPerPageX = 0, LogSectStartInPage = 0, LogSectPerPage = 0;
  std::array<std::uint8_t, ConfigImage::kHeaderSize> Settings{};
  std::array<std::uint8_t, kSysInfoSize> SysInfo{};
  std::uint32_t FixedSectors = 0;
  std::uint32_t DiskSectors = 0;
  std::array<std::uint8_t, ConfigImage::kCodeTypeSize> Code{};
  std::array<std::uint8_t, ConfigImage::kFlashTypeSize> FlashType{};
  std::string DevicePath;
  // A device is attached to this slot's port. Written by discovery, read by
  // the port's worker when its job ends (a disk pulled mid-job).
  std::atomic<std::uint8_t> Present{0};
  std::uint8_t ZoneOverflow = 0;
  std::uint16_t ZoneCount = 0;
  std::vector<std::uint8_t> BadPageBitmap;  // TotalBlocks x PagePerBlock bits; set = bad
  // Block lists, zones, page images and the high-format layout of the job.
  FlashBookkeeping Flash;
  std::uint8_t BinNo = 0;                   // 1-based capacity bin, 0 = none
  std::uint8_t LogicPassCount = 0, LogicScanDone = 0, LogicCleanPasses = 0;
  std::uint16_t BlockCountOverride = 0;
  // Not part of the original record: the result code of the last job (0 =
  // success) and the port key of the socket the slot belongs to, for reports.
  std::int32_t LastResult = 0;
  // Why the last job failed: the failing step's own message, which the result
  // line replaces on the bar. Empty after a job that succeeded.
  std::string FailureText;
  std::string PortKey;
};

}  // namespace kvx
