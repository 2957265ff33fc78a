#pragma once
// Basic vocabulary of the SCSI transport: handles, command blocks, result codes.

#include <array>
#include <cstdint>
#include <span>

namespace kvx {

// Result of one SCSI command: 0 = success; otherwise sense key, ASC and ASCQ
// packed as (key << 16) | (asc << 8) | ascq, or an errno value when the request
// was not carried out, or -1 when a command builder refused to send anything.
using ScsiResult = std::int32_t;

// A station-level device handle. 0: never opened; -1: not open (the last open
// failed or the device left). Positive values belong to a DeviceAccess backend.
using DeviceHandle = std::int64_t;
inline constexpr DeviceHandle kNeverOpened = 0;
inline constexpr DeviceHandle kInvalidHandle = -1;
inline bool IsOpen(DeviceHandle h) { return h > 0; }

enum class DataDirection : std::uint8_t { Out = 0, In = 1 };

// Every command travels as 16 bytes; shorter formats are zero-padded.
using Cdb = std::array<std::uint8_t, 16>;

// Sense bytes requested per command (fixed format needs 18; 24 leaves room).
inline constexpr std::size_t kSenseLength = 24;

constexpr ScsiResult PackSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  return static_cast<ScsiResult>(((key & 0x0Fu) << 16) | (unsigned(asc) << 8) | ascq);
}

// Folds sense data into a ScsiResult. Fixed format (response code 0x70/0x71):
// key from byte 2 (low nibble), ASC byte 12, ASCQ byte 13. Descriptor format
// (0x72/0x73), which Linux passes on when a device uses it: key byte 1, ASC
// byte 2, ASCQ byte 3. Missing bytes count as zero.
ScsiResult ScsiResultFromSense(std::span<const std::uint8_t> sense);

// Common sense codes, used by the simulator and the tests.
namespace sense {
inline constexpr std::uint8_t kNotReady = 0x02;
inline constexpr std::uint8_t kMediumError = 0x03;
inline constexpr std::uint8_t kHardwareError = 0x04;
inline constexpr std::uint8_t kIllegalRequest = 0x05;
inline constexpr std::uint8_t kUnitAttention = 0x06;
}  // namespace sense

}  // namespace kvx
