#pragma once
// The settings image: 393216 bytes, stored byte for byte as "config.dat".
// Regions: the settings header, the code-type table, the flash-type table and
// the tail settings. Little-endian, byte-packed.
//
// Every accessor reads within its field only: an image read from a damaged
// file can hold any bytes, so texts stop at their field's end even without a
// NUL, and table indexes are checked against the table's count before use.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kvx {

// --- little-endian fields and NUL-terminated texts inside a byte span ---

inline std::uint16_t GetLe16(std::span<const std::uint8_t> b, std::size_t off) {
  return std::uint16_t(b[off] | (b[off + 1] << 8));
}
inline std::uint32_t GetLe32(std::span<const std::uint8_t> b, std::size_t off) {
  return std::uint32_t(b[off]) | std::uint32_t(b[off + 1]) << 8 | std::uint32_t(b[off + 2]) << 16 |
         std::uint32_t(b[off + 3]) << 24;
}
inline void PutLe16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
  b[off] = std::uint8_t(v);
  b[off + 1] = std::uint8_t(v >> 8);
}
inline void PutLe32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = std::uint8_t(v >> (8 * i));
}
float GetLeFloat(std::span<const std::uint8_t> b, std::size_t off);
void PutLeFloat(std::span<std::uint8_t> b, std::size_t off, float v);

// The text of a field of `width` bytes: up to the first NUL or the field's end.
std::string GetText(std::span<const std::uint8_t> b, std::size_t off, std::size_t width);
// Writes at most `maxChars` bytes of `text` (cut back to a whole UTF-8
// character) at `off` and zero-fills the rest of the `width`-byte field, so the
// text always ends with a NUL inside the field. maxChars < width.
void PutText(std::span<std::uint8_t> b, std::size_t off, std::size_t width, std::string_view text,
             std::size_t maxChars);
// `text` cut to at most maxBytes bytes without splitting a UTF-8 character.
std::string_view CutUtf8(std::string_view text, std::size_t maxBytes);

// Hexadecimal text to a signed 32-bit value: an optional "0x"/"0X" prefix,
// then digits 0-9a-fA-F; any other character gives -1, no digits give 0.
// Digits beyond eight shift the high ones out (32-bit arithmetic).
std::int32_t ParseHex(std::string_view text);

// --- one flash type: 289 bytes ---
//
// A view over a record inside the image (or a job's copy). Setters exist only
// on views over writable bytes.
template <class Byte>
class BasicFlashTypeRecord {
 public:
  static constexpr std::size_t kSize = 289;
  static constexpr std::size_t kNameWidth = 32;
  static constexpr std::size_t kNameMax = 30;  // byte 30 is always NUL
  // Field offsets within the record.
  enum Offset : std::size_t {
    kName = 0,
    kCodeType = 32,
    kMainFlashId = 33,
    kExtFlashId = 37,
    kScanCode = 38,
    kBlkPerScanStep = 39,
    kBlockPerChip = 40,
    kFlagsA = 44,
    kFlagsB = 45,
    kBlockPerChip16 = 47,
    kPagePerBlock = 49,
    kSectorPerPage = 53,
    kLogSectPerPage = 54,
    kLogSectStartInPage = 55,
    kBankNumRd = 60,
    kBankNumWr = 61,
    kBankNumErs = 62,
    kBlkEraseTimes = 63,
    kBlkEraseIncAddr = 64,
    kColumCycle = 66,
    kRowCycle = 67,
    kReadSpeed = 68,
    kWriteSpeed = 69,
    kFcCyl2 = 70,
    kCacheStatus = 75,
    kProgStatus = 76,
    kEraseStatus = 77,
    kCache = 78,
    kBankProgCmd = 79,
    kIdVariant = 80,
    kOptionsC = 93,
    kJumpFlags1 = 98,
    kJumpFlags2 = 99,
    kJumpFlags3 = 100,
  };
  // The two controller blocks copied into the system information.
  static constexpr std::size_t kControllerBlockA = 44, kControllerBlockASize = 48;
  static constexpr std::size_t kControllerBlockB = 92, kControllerBlockBSize = 80;

  explicit BasicFlashTypeRecord(std::span<Byte, kSize> bytes) : b_(bytes) {}
  std::span<Byte, kSize> bytes() const { return b_; }

  std::string FlashName() const { return GetText(b_, kName, kNameWidth); }
  std::uint8_t CodeType() const { return b_[kCodeType]; }
  std::uint32_t MainFlashID() const { return GetLe32(b_, kMainFlashId); }
  std::uint8_t ExtFlashID() const { return b_[kExtFlashId]; }
  std::uint8_t ScanCode() const { return b_[kScanCode]; }
  std::uint8_t BlkPerScanStep() const { return b_[kBlkPerScanStep]; }
  std::uint32_t BlockPerChip() const { return GetLe32(b_, kBlockPerChip); }
  std::uint8_t FlashFlagsA() const { return b_[kFlagsA]; }
  std::uint8_t FlashFlagsB() const { return b_[kFlagsB]; }
  std::uint16_t BlockPerChip16() const { return GetLe16(b_, kBlockPerChip16); }
  std::uint16_t PagePerBlock() const { return GetLe16(b_, kPagePerBlock); }
  std::uint8_t SectorPerPage() const { return b_[kSectorPerPage]; }
  std::uint8_t LogSectPerPage() const { return b_[kLogSectPerPage]; }
  std::uint8_t LogSectStartInPage() const { return b_[kLogSectStartInPage]; }
  std::uint8_t ColumCycle() const { return b_[kColumCycle]; }
  std::uint8_t RowCycle() const { return b_[kRowCycle]; }
  std::uint8_t IdVariant() const { return b_[kIdVariant]; }
  std::uint8_t byteAt(std::size_t off) const { return b_[off]; }
  bool Flash16Bit() const { return b_[kFlagsA] & 0x01; }
  bool Copyback() const { return b_[kFlagsA] & 0x04; }
  bool IsMlcFlash() const { return b_[kFlagsA] & 0x80; }
  bool DoubleDie() const { return b_[kFlagsB] & 0x01; }
  bool NandType() const { return b_[kFlagsB] & 0x08; }
  bool Cyl00DlyEnab() const { return b_[kFlagsB] & 0x20; }
  bool RandEnable() const { return b_[kOptionsC] & 0x04; }
  bool bit(std::size_t off, int bit) const { return (b_[off] >> bit) & 1; }

  void setFlashName(std::string_view name) const requires(!std::is_const_v<Byte>) {
    PutText(b_, kName, kNameWidth, name, kNameMax);
  }
  void setByte(std::size_t off, std::uint8_t v) const requires(!std::is_const_v<Byte>) {
    b_[off] = v;
  }
  void setMainFlashID(std::uint32_t v) const requires(!std::is_const_v<Byte>) {
    PutLe32(b_, kMainFlashId, v);
  }
  // Also rewrites BlockPerChip16, the low 16 bits that identification uses.
  void setBlockPerChip(std::uint32_t v) const requires(!std::is_const_v<Byte>) {
    PutLe32(b_, kBlockPerChip, v);
    PutLe16(b_, kBlockPerChip16, std::uint16_t(v));
  }
  void setPagePerBlock(std::uint16_t v) const requires(!std::is_const_v<Byte>) {
    PutLe16(b_, kPagePerBlock, v);
  }
  void setBit(std::size_t off, int bit, bool on) const requires(!std::is_const_v<Byte>) {
    b_[off] = std::uint8_t(on ? (b_[off] | (1u << bit)) : (b_[off] & ~(1u << bit)));
  }

 private:
  std::span<Byte, kSize> b_;
};
using FlashTypeRecord = BasicFlashTypeRecord<std::uint8_t>;
using ConstFlashTypeRecord = BasicFlashTypeRecord<const std::uint8_t>;

// --- one firmware code type: 32830 bytes ---
template <class Byte>
class BasicCodeTypeRecord {
 public:
  static constexpr std::size_t kSize = 32830;
  static constexpr std::size_t kNameWidth = 59;
  static constexpr std::size_t kNameMax = 58;
  static constexpr std::size_t kRealCodeLength = 59, kCodeLength = 60, kCodeCount = 61;
  static constexpr std::size_t kImageOffset = 62, kImageSize = 32768;
  static constexpr std::uint8_t kMaxSectors = 8;  // each of the three numbers is 0..8
  static constexpr std::size_t kSectorSize = 512;

  explicit BasicCodeTypeRecord(std::span<Byte, kSize> bytes) : b_(bytes) {}
  std::span<Byte, kSize> bytes() const { return b_; }

  std::string CodeName() const { return GetText(b_, 0, kNameWidth); }
  // As stored; a damaged file can hold values above 8.
  std::uint8_t RealCodeLength() const { return b_[kRealCodeLength]; }
  std::uint8_t CodeLength() const { return b_[kCodeLength]; }
  std::uint8_t CodeCount() const { return b_[kCodeCount]; }
  std::span<Byte, kImageSize> CodeImage() const {
    return std::span<Byte, kImageSize>(b_.data() + kImageOffset, kImageSize);
  }
  // CodeCount x CodeLength x 512 bytes, limited to the image: what is loaded
  // from a file and shown.
  std::size_t UsedImageBytes() const {
    const std::size_t n = std::size_t(CodeCount()) * CodeLength() * kSectorSize;
    return n < kImageSize ? n : kImageSize;
  }

  void setCodeName(std::string_view name) const requires(!std::is_const_v<Byte>) {
    PutText(b_, 0, kNameWidth, name, kNameMax);
  }
  void setByte(std::size_t off, std::uint8_t v) const requires(!std::is_const_v<Byte>) {
    b_[off] = v;
  }

 private:
  std::span<Byte, kSize> b_;
};
using CodeTypeRecord = BasicCodeTypeRecord<std::uint8_t>;
using ConstCodeTypeRecord = BasicCodeTypeRecord<const std::uint8_t>;

// Disk-type codes of the zones.
inline constexpr std::uint8_t kDiskRemovable = 0x80;
inline constexpr std::uint8_t kDiskLocal = 0x00;
inline constexpr std::uint8_t kDiskCdrom = 0x85;

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
  static constexpr std::size_t kBinCount = 15;

  // Image offsets of the settings. Texts: offset and field width (the last
  // byte of the field is always NUL).
  enum Offset : std::size_t {
    kSelectedFlashType = 0,
    kAutoSelect = 1,
    kOnlyScan = 2,
    kEccOpen = 3,
    // High byte of the selected flash type (the table has 288 entries, one
    // byte holds 256). A byte the layout leaves unused; old files hold 0 here.
    kSelectedFlashTypeHigh = 4,
    kFlashCount = 5,
    kScanLevelIndex = 7,
    kVendorCode = 9,
    kProductCode = 16,
    kVendorInfo = 23,
    kProductInfo = 32,
    kLedStatus = 49,
    kWorkLed = 50,
    kSerialMode = 51,
    kSerialNumber = 52,
    kActiveZoneCount = 81,
    kPrivateZoneSectors = 82,
    kPrivateZonePassword = 86,
    kZone0BarWidth = 103,
    kZone1BarWidth = 105,
    kZone2BarWidth = 107,
    kZone0FixSectors = 111,
    kZone0DiskType = 115,
    kZone0Label = 116,
    kBootType = 128,
    kZone0ReadProtect = 129,
    kZone0WriteProtect = 130,
    kIsoFile = 131,
    kZone0ContentSectors = 391,
    kZone1FixSectors = 395,
    kZone1DiskType = 399,
    kZone1Label = 400,
    kZone1ReadProtect = 412,
    kZone1WriteProtect = 413,
    kZone1Hide = 414,
    kZone2DiskType = 683,
    kZone2Label = 684,
    kZone2ReadProtect = 696,
    kZone2WriteProtect = 697,
    kZone2Hide = 698,
    kPrivateRecordByte0 = 346572,
    kPrivateRecordByte1 = 346576,
    kPrivateRecordByte2 = 346580,
    kPrivateRecordByte3 = 346584,
    kZone0FilePath = 346856,
    kZone1FilePath = 347116,
    kSerialStartValue = 347384,
    kBlockRangeTexts = 347388,
    kLevelCount = 347424,
    kBlockMode = 347425,
    kFromBin = 347426,
    kMBin = 347486,
    kToBin = 347546,
    kScanCount = 347606,
    kEccOpenBytes = 347607,
    kNoVerify = 347608,
    kHighChipCheck = 347609,
  };
  enum Width : std::size_t {
    kCodeWidth = 7,
    kVendorInfoWidth = 9,
    kProductInfoWidth = 17,
    kSerialNumberWidth = 25,
    kPasswordWidth = 17,
    kLabelWidth = 12,
    kPathWidth = 260,
    kBlockTextWidth = 6,
  };
  static constexpr std::uint8_t kMinLevelCount = 4, kMaxLevelCount = 80;
  static constexpr std::uint8_t kMinScanCount = 1, kMaxScanCount = 20;

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
  FlashTypeRecord flashTypeRecord(std::size_t index) { return FlashTypeRecord(flashType(index)); }
  ConstFlashTypeRecord flashTypeRecord(std::size_t index) const {
    return ConstFlashTypeRecord(flashType(index));
  }
  CodeTypeRecord codeTypeRecord(std::size_t index) { return CodeTypeRecord(codeType(index)); }
  ConstCodeTypeRecord codeTypeRecord(std::size_t index) const {
    return ConstCodeTypeRecord(codeType(index));
  }

  // Entries in use: records from 0 up to the first one with an empty name.
  std::size_t flashTypeCount() const;
  std::size_t codeTypeCount() const;
  // The flash type's code-type references, or nothing when the byte names no
  // code type in use (a job then fails its code download).
  std::optional<std::size_t> scanCodeOf(std::size_t flashType) const;
  std::optional<std::size_t> productCodeOf(std::size_t flashType) const;

  // --- typed access to single fields ---
  std::uint8_t u8(std::size_t off) const { return bytes_[off]; }
  void setU8(std::size_t off, std::uint8_t v) { bytes_[off] = v; }
  bool flag(std::size_t off) const { return bytes_[off] != 0; }
  void setFlag(std::size_t off, bool v) { bytes_[off] = v ? 1 : 0; }
  std::uint16_t u16(std::size_t off) const { return GetLe16(bytes_, off); }
  void setU16(std::size_t off, std::uint16_t v) { PutLe16(bytes_, off, v); }
  std::uint32_t u32(std::size_t off) const { return GetLe32(bytes_, off); }
  void setU32(std::size_t off, std::uint32_t v) { PutLe32(bytes_, off, v); }
  std::string text(std::size_t off, std::size_t width) const { return GetText(bytes_, off, width); }
  void setText(std::size_t off, std::size_t width, std::string_view t) {
    PutText(bytes_, off, width, t, width - 1);
  }

  // The flash type chosen for production: -1 when none, or when the stored
  // index is not below the number of flash types in use.
  int SelectedFlashType() const;
  // Stores `index` (below 288) or "none" (-1 or anything out of range).
  void SetSelectedFlashType(int index);
  bool AutoSelect() const { return flag(kAutoSelect); }
  bool OnlyScan() const { return flag(kOnlyScan); }
  std::uint8_t EccOpen() const { return u8(kEccOpen); }
  std::uint8_t FlashCount() const { return u8(kFlashCount); }
  std::uint8_t ScanLevelIndex() const { return u8(kScanLevelIndex); }
  std::string VendorCode() const { return text(kVendorCode, kCodeWidth); }
  std::string ProductCode() const { return text(kProductCode, kCodeWidth); }
  std::string VendorInfo() const { return text(kVendorInfo, kVendorInfoWidth); }
  std::string ProductInfo() const { return text(kProductInfo, kProductInfoWidth); }
  std::uint8_t LedStatus() const { return u8(kLedStatus); }
  std::uint8_t WorkLed() const { return u8(kWorkLed); }
  std::uint8_t SerialMode() const { return u8(kSerialMode); }
  std::string SerialNumber() const { return text(kSerialNumber, kSerialNumberWidth); }
  std::uint8_t ActiveZoneCount() const { return u8(kActiveZoneCount); }
  std::uint32_t PrivateZoneSectors() const { return u32(kPrivateZoneSectors); }
  std::string PrivateZonePassword() const { return text(kPrivateZonePassword, kPasswordWidth); }
  std::uint16_t ZoneBarWidth(int zone) const { return u16(kZone0BarWidth + 2 * std::size_t(zone)); }
  std::uint32_t Zone0FixSectors() const { return u32(kZone0FixSectors); }
  std::uint32_t Zone1FixSectors() const { return u32(kZone1FixSectors); }
  std::uint32_t Zone0ContentSectors() const { return u32(kZone0ContentSectors); }
  std::uint8_t ZoneDiskType(int zone) const;
  std::string VolumeLabel(int zone) const;
  bool ZoneReadProtect(int zone) const;
  bool ZoneWriteProtect(int zone) const;
  bool ZoneHide(int zone) const;  // zones 1 and 2
  std::uint8_t BootType() const { return u8(kBootType); }
  std::string IsoFile() const { return text(kIsoFile, kPathWidth); }
  std::uint8_t PrivateRecordByte(int i) const {
    return u8(kPrivateRecordByte0 + 4 * std::size_t(i));
  }
  std::string Zone0FilePath() const { return text(kZone0FilePath, kPathWidth); }
  std::string Zone1FilePath() const { return text(kZone1FilePath, kPathWidth); }
  std::int32_t SerialStartValue() const { return std::int32_t(u32(kSerialStartValue)); }
  void SetSerialStartValue(std::int32_t v) { setU32(kSerialStartValue, std::uint32_t(v)); }
  // k = 0..5: FromBlock, ToBlock, FromBlock1, ToBlock1, FromBlock2, ToBlock2.
  std::string BlockRangeText(int k) const {
    return text(kBlockRangeTexts + kBlockTextWidth * std::size_t(k), kBlockTextWidth);
  }
  std::uint8_t LevelCountRaw() const { return u8(kLevelCount); }
  // LevelCount clamped to 4..80.
  int LevelCount() const;
  bool BlockMode() const { return flag(kBlockMode); }
  float FromBin(int row) const { return GetLeFloat(bytes_, kFromBin + 4 * std::size_t(row)); }
  float MBin(int row) const { return GetLeFloat(bytes_, kMBin + 4 * std::size_t(row)); }
  float ToBin(int row) const { return GetLeFloat(bytes_, kToBin + 4 * std::size_t(row)); }
  void SetBin(std::size_t base, int row, float v) {
    PutLeFloat(bytes_, base + 4 * std::size_t(row), v);
  }
  std::uint8_t ScanCount() const { return u8(kScanCount); }
  std::uint8_t EccOpenBytes() const { return u8(kEccOpenBytes); }
  bool NoVerify() const { return flag(kNoVerify); }
  bool HighChipCheck() const { return flag(kHighChipCheck); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kvx
