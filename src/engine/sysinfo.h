#pragma once
// The controller's 512-byte system information, built per job: flash
// organisation, where the system area and tables lie, up to three zones with
// their types and protections, and the identity the disk shows on USB and to
// INQUIRY. The temporary form goes to the controller's RAM before scanning;
// the final form is written to the flash by the high format.
//
// Offsets are within the sector; BE fields are big-endian, LE little-endian.

#include <array>
#include <cstdint>

#include "engine/port_record.h"

namespace kvx {

// What the build reads beside the job's snapshots: the live LED choices and
// the zone shares of the current settings, the logical-scan box.
struct SysInfoInputs {
  std::uint8_t ledStatus = 0;  // 0 OFF, 1 ON
  std::uint8_t workLed = 0;    // 0..5: 2, 4, 6, 8, 10, 12 Hz
  std::array<float, 3> shares{1.0f, 0.0f, 0.0f};
  bool logicScan = false;
};

struct SysInfoForm {
  bool temporary = false;    // the form sent to the controller's RAM
  bool noProtect = false;    // every zone writable (logical scan)
  bool logicLayout = false;  // zone 0 shown as a removable disk (logical scan)
};

// Fills rec.SysInfo and the job's zone fields from the snapshots and the
// bookkeeping. Does not compute the checksum.
void BuildSysInfo(FORMATINFO& rec, int port, const SysInfoInputs& in, SysInfoForm form);

// LED and blink codes of the LED choices (bytes 388 and 389).
std::uint8_t LedCode(std::uint8_t ledStatus);
std::uint8_t BlinkCode(std::uint8_t workLed);

// The character the serial string carries for `port` in the Auto serial
// mode: '0'+k up to 9, then 'A'+(k-10) (ports past 35 run on past 'Z').
char PortCharacter(int port);

}  // namespace kvx
