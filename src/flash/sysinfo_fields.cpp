#include "flash/sysinfo_fields.h"

namespace kvx::sysinfo {
namespace {
std::uint32_t Word(std::span<const std::uint8_t> s, std::size_t i) {
  return std::uint32_t(s[4 * i]) | std::uint32_t(s[4 * i + 1]) << 8 |
         std::uint32_t(s[4 * i + 2]) << 16 | std::uint32_t(s[4 * i + 3]) << 24;
}
}  // namespace

void StoreChecksum(std::span<std::uint8_t, kSize> sector) {
  std::uint32_t x = 0;
  for (std::size_t i = 0; i < 128; ++i)
    if (i != 2) x ^= Word(sector, i);
  for (int b = 0; b < 4; ++b) sector[kChecksum + std::size_t(b)] = std::uint8_t(x >> (8 * b));
}

bool ChecksumHolds(std::span<const std::uint8_t, kSize> sector) {
  std::uint32_t x = 0;
  for (std::size_t i = 0; i < 128; ++i) x ^= Word(sector, i);
  return x == 0;
}

}  // namespace kvx::sysinfo
