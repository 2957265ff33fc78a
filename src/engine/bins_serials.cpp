#include "engine/bins_serials.h"

#include <cstdio>

namespace kvx {

BinResult ClassifyCapacity(std::uint32_t diskSectors, const std::array<BinRow, kBinRows>& rows) {
  BinResult r;
  r.fixedSectors = diskSectors;
  const float size = float(diskSectors / 2048);
  for (int n = 0; n < kBinRows; ++n) {
    const BinRow& row = rows[std::size_t(n)];
    if (!(size >= row.from && size < row.to)) continue;
    r.binNo = n + 1;
    if (row.declared > 0 && size > row.declared)
      r.fixedSectors = std::uint32_t(double(row.declared) * 2048.0);
    break;
  }
  return r;
}

SerialOutcome MakeSerial(SerialMode mode, const std::string& serialNumber,
                         const std::function<std::optional<std::int32_t>()>& advanceCounter,
                         const std::tm& t, int ms) {
  SerialOutcome out;
  switch (mode) {
    case SerialMode::Auto: {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d%02d", t.tm_year + 1900,
                    t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ms);
      out.text = buffer;
      return out;
    }
    case SerialMode::Fix:
      out.text = serialNumber.substr(0, 16);
      return out;
    case SerialMode::Inc: {
      const auto next = advanceCounter ? advanceCounter() : std::nullopt;
      if (!next) {
        out.ok = false;
        out.error = "The serial counter could not be saved";
        return out;
      }
      if (*next < 0 || *next > kLastSerialNumber) {
        out.ok = false;
        out.error = "Serial numbers are used up (counter " + std::to_string(*next) + ")";
        return out;
      }
      char digits[16];
      std::snprintf(digits, sizeof digits, "%06d", int(*next));
      out.text = serialNumber.substr(0, 10) + digits;
      return out;
    }
  }
  out.ok = false;
  out.error = "Unknown serial-number mode " + std::to_string(int(mode));
  return out;
}

}  // namespace kvx
