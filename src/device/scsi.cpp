#include "device/scsi.h"

namespace kvx {

ScsiResult ScsiResultFromSense(std::span<const std::uint8_t> sense) {
  auto at = [&](std::size_t i) -> std::uint8_t { return i < sense.size() ? sense[i] : 0; };
  const std::uint8_t response = at(0) & 0x7F;
  if (response == 0x72 || response == 0x73) return PackSense(at(1), at(2), at(3));
  return PackSense(at(2), at(12), at(13));
}

}  // namespace kvx
