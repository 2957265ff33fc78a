#pragma once
// The settings image: 393216 bytes, stored byte for byte as "config.dat".
// Regions: the settings header, the code-type table, the flash-type table and
// the tail settings. Little-endian, byte-packed.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kvx {

class ConfigImage {
 public:
  static constexpr std::size_t kSize = 393216;
  static constexpr std::size_t kHeaderSize = 699;
  static constexpr std::size_t kCodeTypeOffset = 699;
  static constexpr std::size_t kCodeTypeSize = 32830;
  static constexpr std::size_t kCodeTypeCount = 8;
  static constexpr std::size_t kFlashTypeOffset = 263339;
  static constexpr std::size_t kFlashTypeSize = 289;
  static constexpr std::size_t kFlashTypeCount = 288;
  static constexpr std::size_t kTailOffset = 346571;
  static constexpr std::size_t kTailSize = 1039;

  ConfigImage() : bytes_(kSize, 0) {}

  std::span<std::uint8_t> bytes() { return bytes_; }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

  std::span<std::uint8_t, kHeaderSize> header() {
    return std::span<std::uint8_t, kHeaderSize>(bytes_.data(), kHeaderSize);
  }
  std::span<const std::uint8_t, kHeaderSize> header() const {
    return std::span<const std::uint8_t, kHeaderSize>(bytes_.data(), kHeaderSize);
  }

  // Record `index` of a table; the index must be below the table's count.
  std::span<std::uint8_t, kFlashTypeSize> flashType(std::size_t index) {
    return std::span<std::uint8_t, kFlashTypeSize>(
        bytes_.data() + kFlashTypeOffset + index * kFlashTypeSize, kFlashTypeSize);
  }
  std::span<const std::uint8_t, kFlashTypeSize> flashType(std::size_t index) const {
    return std::span<const std::uint8_t, kFlashTypeSize>(
        bytes_.data() + kFlashTypeOffset + index * kFlashTypeSize, kFlashTypeSize);
  }
  std::span<std::uint8_t, kCodeTypeSize> codeType(std::size_t index) {
    return std::span<std::uint8_t, kCodeTypeSize>(
        bytes_.data() + kCodeTypeOffset + index * kCodeTypeSize, kCodeTypeSize);
  }
  std::span<const std::uint8_t, kCodeTypeSize> codeType(std::size_t index) const {
    return std::span<const std::uint8_t, kCodeTypeSize>(
        bytes_.data() + kCodeTypeOffset + index * kCodeTypeSize, kCodeTypeSize);
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kvx
