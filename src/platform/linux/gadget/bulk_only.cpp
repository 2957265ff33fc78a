#include "platform/linux/gadget/bulk_only.h"

namespace kvx::gadget {
namespace {

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t(b[at]) | (std::uint32_t(b[at + 1]) << 8) |
         (std::uint32_t(b[at + 2]) << 16) | (std::uint32_t(b[at + 3]) << 24);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
  p[2] = std::uint8_t(v >> 16);
  p[3] = std::uint8_t(v >> 24);
}

std::uint32_t Be16(const Cdb& c, int at) { return (std::uint32_t(c[at]) << 8) | c[at + 1]; }

constexpr std::uint32_t kBlockBytes = 512;

}  // namespace

std::optional<Cbw> ParseCbw(std::span<const std::uint8_t> bytes, std::uint8_t maxLun) {
  if (bytes.size() != kCbwBytes || Le32(bytes, 0) != kCbwSignature) return std::nullopt;
  const std::uint8_t flags = bytes[12];
  const std::uint8_t lunByte = bytes[13];
  const std::uint8_t lengthByte = bytes[14];
  // Reserved bits: flags 6..0, the LUN byte's high nibble, the length byte's
  // top three bits.
  if ((flags & 0x7F) != 0 || (lunByte & 0xF0) != 0 || (lengthByte & 0xE0) != 0) return std::nullopt;
  if (lunByte > maxLun || lengthByte < 1 || lengthByte > 16) return std::nullopt;
  Cbw cbw;
  cbw.tag = Le32(bytes, 4);
  cbw.dataLength = Le32(bytes, 8);
  cbw.dataIn = (flags & 0x80) != 0;
  cbw.lun = lunByte;
  cbw.cdbLength = lengthByte;
  for (std::size_t i = 0; i < lengthByte; ++i) cbw.cdb[i] = bytes[15 + i];
  return cbw;
}

std::array<std::uint8_t, kCswBytes> MakeCsw(std::uint32_t tag, std::uint32_t residue,
                                            CswStatus status) {
  std::array<std::uint8_t, kCswBytes> csw{};
  PutLe32(&csw[0], kCswSignature);
  PutLe32(&csw[4], tag);
  PutLe32(&csw[8], residue);
  csw[12] = std::uint8_t(status);
  return csw;
}

Intent DeviceIntent(const Cdb& c) {
  using D = IntentDirection;
  switch (c[0]) {
    case 0x00:  // TEST UNIT READY
    case 0x1B:  // START STOP UNIT
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
    case 0x35:  // SYNCHRONIZE CACHE(10)
      return {D::None, 0};
    case 0x03:  // REQUEST SENSE: allocation length byte 4
    case 0x1A:  // MODE SENSE(6): allocation length byte 4
      return {D::In, c[4]};
    case 0x12:  // INQUIRY: allocation length bytes 3..4
      return {D::In, Be16(c, 3)};
    case 0x25:  // READ CAPACITY(10): last LBA and block length
      return {D::In, 8};
    case 0x5A:  // MODE SENSE(10)
      return {D::In, Be16(c, 7)};
    case 0x28:  // READ(10): transfer length in blocks, bytes 7..8
      return {D::In, Be16(c, 7) * kBlockBytes};
    case 0x2A:  // WRITE(10)
      return {D::Out, Be16(c, 7) * kBlockBytes};
    // The controller's vendor commands: the direction is fixed, the length
    // is the host's (several of them take the amount from the data length).
    case 0xD0: case 0xD2: case 0xD3: case 0xD4: case 0xD6: case 0xDA: case 0xF8: case 0xF9:
      return {D::In, std::nullopt};
    case 0xD1: case 0xD5: case 0xD7:
      return {D::Out, std::nullopt};
    default:
      return {D::Unknown, std::nullopt};
  }
}

Plan PlanCommand(const Cbw& cbw, std::uint32_t maxPacket) {
  const std::uint32_t h = cbw.dataLength;
  const HostDirection host = cbw.direction();
  const Intent intent = DeviceIntent(cbw.cdb);
  Plan p;
  auto phaseError = [&] {
    p.phaseError = true;
    p.deviceLength = 0;
    p.stallIn = host == HostDirection::In;
    p.stallOut = host == HostDirection::Out;
    p.residue = h;
    return p;
  };
  switch (intent.direction) {
    case IntentDirection::Unknown:
      p.deviceLength = h;
      p.dataIn = host == HostDirection::In;
      return p;
    case IntentDirection::None:
      // Cases 1, 4 and 9: nothing moves; a host that expected data is
      // stopped by a stall and told through the residue.
      p.stallIn = host == HostDirection::In;
      p.stallOut = host == HostDirection::Out;
      p.residue = h;
      return p;
    case IntentDirection::In: {
      if (host != HostDirection::In) return phaseError();  // cases 2 and 10
      const std::uint32_t d = intent.length.value_or(h);
      if (d > h) return phaseError();  // case 7
      p.dataIn = true;
      p.deviceLength = d;
      p.residue = h - d;
      // Case 5 (Hi > Di): a reply that ends on a packet boundary leaves the
      // host waiting for more; the stall ends its transfer.
      p.stallIn = d < h && (maxPacket == 0 || d % maxPacket == 0);
      return p;
    }
    case IntentDirection::Out: {
      if (host != HostDirection::Out) return phaseError();  // cases 3 and 8
      const std::uint32_t d = intent.length.value_or(h);
      if (d > h) return phaseError();  // case 13
      // Case 11 (Ho > Do): the device takes all the host's data and uses
      // the first Do bytes.
      p.deviceLength = d;
      p.residue = h - d;
      return p;
    }
  }
  return p;
}

std::array<std::uint8_t, 18> FixedSense(ScsiResult packed) {
  std::array<std::uint8_t, 18> s{};
  s[0] = 0x70;  // current error, fixed format
  s[2] = std::uint8_t((packed >> 16) & 0x0F);
  s[7] = 10;  // additional sense length
  s[12] = std::uint8_t(packed >> 8);
  s[13] = std::uint8_t(packed);
  return s;
}

}  // namespace kvx::gadget
