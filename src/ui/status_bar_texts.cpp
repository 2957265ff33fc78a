#include "ui/status_bar_texts.h"

#include <cstdint>

namespace kvx::ui {
namespace {

// Settings header fields (offsets into the image).
constexpr std::size_t kSelectedFlashType = 0, kEccOption = 3, kFlashCount = 5, kScanLevel = 7;
constexpr std::size_t kVendorInfo = 23, kVendorInfoWidth = 8;
constexpr std::size_t kProductInfo = 32, kProductInfoWidth = 16;
constexpr std::size_t kZone0Width = 103, kZone1Width = 105, kZone2Width = 107;
constexpr std::size_t kDiskType0 = 115, kDiskType1 = 399, kDiskType2 = 683;
// Tail fields.
constexpr std::size_t kScanCount = 347606, kEccOpenBytes = 347607;
// Flash-type record: the name, NUL-terminated inside its 32 bytes.
constexpr std::size_t kFlashNameWidth = 32;

std::string FieldText(const std::uint8_t* p, std::size_t width) {
  std::size_t n = 0;
  while (n < width && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

std::uint16_t Le16(const ConfigImage& image, std::size_t at) {
  const auto b = image.bytes();
  return std::uint16_t(b[at] | b[at + 1] << 8);
}

// The entries of the flash-type list: records up to the first unnamed one.
int FlashTypeCount(const ConfigImage& image) {
  int n = 0;
  while (n < int(ConfigImage::kFlashTypeCount) && image.flashType(std::size_t(n))[0] != 0) ++n;
  return n;
}

// The item text of a disk-type list for a stored code; a code the list does
// not know leaves the list without a selection.
std::string DiskTypeText(std::uint8_t code) {
  switch (code) {
    case 0x80:
      return "Removable";
    case 0x00:
      return "Local";
    case 0x85:
      return "CDROM";
    default:
      return {};
  }
}

}  // namespace

StatusBarTexts InitialStatusBarTexts() {
  return {"", "Orvel", "Flash Disk", "1", "", "移动盘", "0"};
}

int StoredZoneCount(const ConfigImage& image) {
  const int w0 = Le16(image, kZone0Width), w1 = Le16(image, kZone1Width),
            w2 = Le16(image, kZone2Width);
  if (w0 == 0 && w2 == 0) return 1;
  if (w1 < 2 && (w0 == 0 || w2 == 0)) return 1;
  if (w0 >= 1 && w1 >= 2 && w2 >= 1) return 3;
  return 2;
}

StatusBarTexts ComputeStatusBarTexts(const ConfigImage& image, int activeZoneCount) {
  const auto b = image.bytes();
  StatusBarTexts t;
  const int selected = b[kSelectedFlashType];
  if (selected < FlashTypeCount(image))
    t[0] = Trimmed(FieldText(image.flashType(std::size_t(selected)).data(), kFlashNameWidth));
  t[1] = Trimmed(FieldText(&b[kVendorInfo], kVendorInfoWidth));
  t[2] = Trimmed(FieldText(&b[kProductInfo], kProductInfoWidth));
  t[3] = std::to_string(b[kFlashCount]);
  t[4] = std::to_string(b[kScanLevel]) + "+" + std::to_string(b[kEccOption]) + "+" +
         std::to_string(b[kScanCount]);
  const int zones = activeZoneCount >= 1 && activeZoneCount <= 3 ? activeZoneCount : 1;
  t[5] = DiskTypeText(b[kDiskType0]);
  if (zones >= 2) t[5] += "+" + DiskTypeText(b[kDiskType1]);
  if (zones >= 3) t[5] += "+" + DiskTypeText(b[kDiskType2]);
  t[6] = std::to_string(b[kEccOpenBytes]);
  return t;
}

}  // namespace kvx::ui
