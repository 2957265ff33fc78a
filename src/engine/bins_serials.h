#pragma once
// Capacity classes ("BIN-") and serial numbers of produced disks.

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace kvx {

// One row of the bin table, in MiB (stored as 32-bit floats).
struct BinRow {
  float from = 0;  // lowest capacity of the class, inclusive
  float to = 0;    // capacity limit, exclusive
  float declared = 0;  // a larger disk offers only this much; 0 = no cap
};
inline constexpr int kBinRows = 15;

struct BinResult {
  int binNo = 0;                  // 1-based row, 0 = no row matched
  std::uint32_t fixedSectors = 0;  // what the zones may use
};

// Sorts a disk into the first matching row. All 15 rows take part: the
// settings page shows and stores 15 rows, and a row the operator filled in
// but the station silently ignored would be a surprise. A matching row whose
// declared size is 0 caps nothing (it would make the disk a 0 MB product).
BinResult ClassifyCapacity(std::uint32_t diskSectors, const std::array<BinRow, kBinRows>& rows);

enum class SerialMode : std::uint8_t { Auto = 0, Fix = 1, Inc = 2 };

struct SerialOutcome {
  bool ok = true;
  std::string text;
  std::string error;  // why no serial number could be given
};

// The serial-number text of a job.
// - Auto: local time as yyyymmddhhmmss + milliseconds ("%04d%02d%02d%02d%02d%02d%02d").
// - Fix: the first 16 characters of the serial-number setting.
// - Inc: the first 10 characters of the setting followed by the advanced
//   counter as six digits. `advanceCounter` must advance and persist the
//   counter before it returns the new value (so a crash never hands a number
//   out twice); nullopt when it could not be persisted. Numbers above 999999
//   would not fit the 16 characters of the USB serial string: the job is
//   refused instead of repeating a serial.
SerialOutcome MakeSerial(SerialMode mode, const std::string& serialNumber,
                         const std::function<std::optional<std::int32_t>()>& advanceCounter,
                         const std::tm& localTime, int milliseconds);

inline constexpr std::int32_t kLastSerialNumber = 999999;

}  // namespace kvx
