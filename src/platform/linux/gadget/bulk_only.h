#pragma once
// The USB mass-storage bulk-only transport as the device side sees it: the
// 31-byte command block wrapper (CBW), the 13-byte command status wrapper
// (CSW), and the decision of what to do with one command when the host's
// expectation (direction and length in the CBW) and the device's intent
// (what the command block itself asks for) disagree. Pure functions: no I/O.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "device/scsi.h"

namespace kvx::gadget {

inline constexpr std::size_t kCbwBytes = 31;
inline constexpr std::size_t kCswBytes = 13;
inline constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC", little-endian
inline constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS", little-endian

// Class requests on endpoint 0.
inline constexpr std::uint8_t kRequestGetMaxLun = 0xFE;
inline constexpr std::uint8_t kRequestReset = 0xFF;

enum class CswStatus : std::uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

// What the host announced in the CBW.
enum class HostDirection : std::uint8_t { None, In, Out };

struct Cbw {
  std::uint32_t tag = 0;
  std::uint32_t dataLength = 0;  // dCBWDataTransferLength
  bool dataIn = false;           // bmCBWFlags bit 7
  std::uint8_t lun = 0;
  std::uint8_t cdbLength = 0;  // bCBWCBLength, 1..16
  Cdb cdb{};                   // bytes beyond cdbLength are zero

  HostDirection direction() const {
    return dataLength == 0 ? HostDirection::None : dataIn ? HostDirection::In : HostDirection::Out;
  }
};

// A CBW is valid when it is exactly 31 bytes with the signature, and
// meaningful when its reserved bits are zero, its LUN exists and its command
// block length is 1..16. Anything else gets no CSW: the device stalls both
// bulk endpoints until the host's reset recovery.
std::optional<Cbw> ParseCbw(std::span<const std::uint8_t> bytes, std::uint8_t maxLun);

std::array<std::uint8_t, kCswBytes> MakeCsw(std::uint32_t tag, std::uint32_t residue,
                                            CswStatus status);

// The device's own idea of a command's data phase.
enum class IntentDirection : std::uint8_t {
  None,
  In,
  Out,
  Unknown,  // a command the table does not know: follow the host
};
struct Intent {
  IntentDirection direction = IntentDirection::Unknown;
  std::optional<std::uint32_t> length;  // empty: as long as the host's
};

// Standard commands the host's disk driver sends, and the controller's
// vendor commands. READ(10)/WRITE(10) lengths count 512-byte sectors.
Intent DeviceIntent(const Cdb& cdb);

// What to do with one meaningful CBW.
struct Plan {
  bool phaseError = false;     // answer with CSW status 2 after the stall below
  std::uint32_t deviceLength = 0;  // bytes the command moves (Di or Do)
  bool dataIn = false;         // direction handed to the backend
  // After the data phase: stall bulk-in (host still expects data that will not
  // come) or bulk-out (host still wants to send data the device will not take).
  bool stallIn = false;
  bool stallOut = false;
  std::uint32_t residue = 0;  // dCSWDataResidue when the command passes
};

// The thirteen cases of the bulk-only transport. `maxPacket` is the bulk
// endpoints' wMaxPacketSize: a short reply that ends on a packet boundary
// needs a stall to end the host's transfer.
Plan PlanCommand(const Cbw& cbw, std::uint32_t maxPacket);

// Fixed-format sense data (18 bytes) for a packed sense value.
std::array<std::uint8_t, 18> FixedSense(ScsiResult packed);

// True when a backend result is a packed sense value (sense key 1..15).
inline bool IsPackedSense(ScsiResult r) { return r >= 0x10000 && r < 0x100000; }

}  // namespace kvx::gadget
