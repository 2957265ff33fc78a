#include "config/config_image.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kvx {

float GetLeFloat(std::span<const std::uint8_t> b, std::size_t off) {
  return std::bit_cast<float>(GetLe32(b, off));
}

void PutLeFloat(std::span<std::uint8_t> b, std::size_t off, float v) {
  PutLe32(b, off, std::bit_cast<std::uint32_t>(v));
}

std::string GetText(std::span<const std::uint8_t> b, std::size_t off, std::size_t width) {
  const auto field = b.subspan(off, width);
  const auto end = std::find(field.begin(), field.end(), std::uint8_t(0));
  return std::string(field.begin(), end);
}

std::string_view CutUtf8(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t n = maxBytes;
  // Step back over continuation bytes (10xxxxxx) to the start of the
  // character that does not fit.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

void PutText(std::span<std::uint8_t> b, std::size_t off, std::size_t width, std::string_view text,
             std::size_t maxChars) {
  if (maxChars >= width) maxChars = width - 1;
  const std::string_view cut = CutUtf8(text, maxChars);
  auto field = b.subspan(off, width);
  std::fill(field.begin(), field.end(), std::uint8_t(0));
  std::memcpy(field.data(), cut.data(), cut.size());
}

std::int32_t ParseHex(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  std::uint32_t v = 0;
  for (char c : text) {
    std::uint32_t d;
    if (c >= '0' && c <= '9')
      d = std::uint32_t(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = std::uint32_t(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = std::uint32_t(c - 'A' + 10);
    else
      return -1;
    v = v * 16 + d;  // unsigned: wraps instead of overflowing
  }
  return std::int32_t(v);
}

std::size_t ConfigImage::flashTypeCount() const {
  std::size_t n = 0;
  while (n < kFlashTypeCount && flashType(n)[0] != 0) ++n;
  return n;
}

std::size_t ConfigImage::codeTypeCount() const {
  std::size_t n = 0;
  while (n < kCodeTypeCount && codeType(n)[0] != 0) ++n;
  return n;
}

std::optional<std::size_t> ConfigImage::scanCodeOf(std::size_t ft) const {
  if (ft >= flashTypeCount()) return std::nullopt;
  const std::size_t c = flashTypeRecord(ft).ScanCode();
  if (c >= codeTypeCount()) return std::nullopt;
  return c;
}

std::optional<std::size_t> ConfigImage::productCodeOf(std::size_t ft) const {
  if (ft >= flashTypeCount()) return std::nullopt;
  const std::size_t c = flashTypeRecord(ft).CodeType();
  if (c >= codeTypeCount()) return std::nullopt;
  return c;
}

int ConfigImage::SelectedFlashType() const {
  const unsigned index = unsigned(u8(kSelectedFlashType)) | unsigned(u8(kSelectedFlashTypeHigh))
                                                                << 8;
  return index < flashTypeCount() ? int(index) : -1;
}

void ConfigImage::SetSelectedFlashType(int index) {
  if (index < 0 || index >= int(kFlashTypeCount)) {
    setU8(kSelectedFlashType, 0xFF);
    setU8(kSelectedFlashTypeHigh, 0xFF);
    return;
  }
  setU8(kSelectedFlashType, std::uint8_t(index));
  setU8(kSelectedFlashTypeHigh, std::uint8_t(index >> 8));
}

int ConfigImage::LevelCount() const {
  return std::clamp<int>(u8(kLevelCount), kMinLevelCount, kMaxLevelCount);
}

std::uint8_t ConfigImage::ZoneDiskType(int zone) const {
  static constexpr std::size_t off[3] = {kZone0DiskType, kZone1DiskType, kZone2DiskType};
  return u8(off[zone]);
}

std::string ConfigImage::VolumeLabel(int zone) const {
  static constexpr std::size_t off[3] = {kZone0Label, kZone1Label, kZone2Label};
  return text(off[zone], kLabelWidth);
}

bool ConfigImage::ZoneReadProtect(int zone) const {
  static constexpr std::size_t off[3] = {kZone0ReadProtect, kZone1ReadProtect, kZone2ReadProtect};
  return flag(off[zone]);
}

bool ConfigImage::ZoneWriteProtect(int zone) const {
  static constexpr std::size_t off[3] = {kZone0WriteProtect, kZone1WriteProtect,
                                         kZone2WriteProtect};
  return flag(off[zone]);
}

bool ConfigImage::ZoneHide(int zone) const {
  return zone == 1 ? flag(kZone1Hide) : zone == 2 ? flag(kZone2Hide) : false;
}

}  // namespace kvx
