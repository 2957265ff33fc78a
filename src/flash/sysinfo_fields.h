#pragma once
// Offsets and marks of the 512-byte system-information sector that more than
// one stage reads. Multi-byte numbers are big-endian unless marked LE.

#include <array>
#include <cstdint>
#include <span>

namespace kvx::sysinfo {

inline constexpr std::size_t kSize = 512;
inline constexpr std::array<std::uint8_t, 8> kSignature = {0x5C, 0xC5, 0x5C, 0xC5,
                                                           0x5C, 0x5C, 0x5C, 0x5C};
inline constexpr std::size_t kChecksum = 8;          // LE word
inline constexpr std::size_t kDoubleDieFlags = 337;  // bit 0
inline constexpr std::size_t kBlockPerChip = 339;    // 16-bit
inline constexpr std::size_t kPagePerBlock = 341;    // 16-bit
inline constexpr std::size_t kSectorsPerPage = 345;  // 8-bit, the effective E
inline constexpr std::size_t kSysBlock = 394;        // 16-bit
inline constexpr std::size_t kSysInfoPage = 396;
inline constexpr std::size_t kZoneInfoPage = 397;
inline constexpr std::size_t kTableBitmapPage = 398;
inline constexpr std::size_t kCodePages = 399;       // 10 bytes
inline constexpr std::size_t kCodePageCount = 409;
inline constexpr std::size_t kCodeSectors = 410;
inline constexpr std::size_t kTableBlockClass = 411;
inline constexpr std::size_t kZoneCountMinus1 = 412;
inline constexpr std::size_t kTableBlocks = 413;     // 10 x 16-bit
inline constexpr std::size_t kSysBlockBitmap = 464;  // P / 8 bytes
inline constexpr std::size_t kBitmapValidMark = 480; // LE 0x8888
inline constexpr std::size_t kRawBitmapMark = 482;   // LE 0x0728
inline constexpr std::size_t kCombinedMark = 484;    // LE 0x1688
inline constexpr std::uint16_t kBitmapValid = 0x8888;
inline constexpr std::uint16_t kRawBitmap = 0x0728;
inline constexpr std::uint16_t kCombined = 0x1688;

inline bool HasSignature(std::span<const std::uint8_t> s) {
  if (s.size() < kSignature.size()) return false;
  for (std::size_t i = 0; i < kSignature.size(); ++i)
    if (s[i] != kSignature[i]) return false;
  return true;
}
inline std::uint16_t Be16(std::span<const std::uint8_t> s, std::size_t at) {
  return std::uint16_t(s[at] << 8 | s[at + 1]);
}
inline std::uint32_t Be32(std::span<const std::uint8_t> s, std::size_t at) {
  return std::uint32_t(s[at]) << 24 | std::uint32_t(s[at + 1]) << 16 |
         std::uint32_t(s[at + 2]) << 8 | s[at + 3];
}
inline std::uint16_t Le16(std::span<const std::uint8_t> s, std::size_t at) {
  return std::uint16_t(s[at] | s[at + 1] << 8);
}
inline void PutBe16(std::span<std::uint8_t> s, std::size_t at, std::uint16_t v) {
  s[at] = std::uint8_t(v >> 8);
  s[at + 1] = std::uint8_t(v);
}
inline void PutBe32(std::span<std::uint8_t> s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + std::size_t(i)] = std::uint8_t(v >> (24 - 8 * i));
}
inline void PutLe16(std::span<std::uint8_t> s, std::size_t at, std::uint16_t v) {
  s[at] = std::uint8_t(v);
  s[at + 1] = std::uint8_t(v >> 8);
}

// Stores in word 2 the XOR of the other 127 little-endian words, so that
// all 128 words XOR to zero.
void StoreChecksum(std::span<std::uint8_t, kSize> sector);
bool ChecksumHolds(std::span<const std::uint8_t, kSize> sector);

// The positions where the system information may sit: sweep r = 0..4 takes
// 512 positions with step 32 << r, continuing from where the last sweep
// stopped; each position p also allows p + 1.
template <typename F>
bool ForEachSystemPosition(F&& probe) {
  std::uint32_t page = 0;
  for (int r = 0; r < 5; ++r)
    for (int i = 0; i < 512; ++i, page += 32u << r)
      if (probe(page) || probe(page + 1)) return true;
  return false;
}

}  // namespace kvx::sysinfo
