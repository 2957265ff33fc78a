#include "config/settings_form.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "config/ini_file.h"
#include "config/language_file.h"

namespace kvx {
namespace {

using I = ConfigImage;

constexpr std::uint32_t kMinZone0Content = 2048;  // sectors: 1 MB, the smallest zone 0 content
constexpr std::uint32_t kCdromSpare = 4096;       // sectors added after a CD-ROM image
// Largest fixed size in megabytes whose sector count (MB << 11) fits 32 bits.
constexpr int kMaxFixMegabytes = int(std::numeric_limits<std::uint32_t>::max() >> 11);

std::uint32_t Saturate32(std::uint64_t v) {
  return v > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : std::uint32_t(v);
}

std::uint32_t AtLeastOneMegabyte(std::uint32_t size) {
  return (size >= 1 && size < kMinZone0Content) ? kMinZone0Content : size;
}

std::string Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

std::string General4(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", double(v));
  return buf;
}

std::optional<float> ParseFloat(std::string_view text) {
  const std::string s = Trim(text);
  if (s.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const float v = std::strtof(s.c_str(), &end);
  if (end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
  return v;
}

// Text + spaces up to `n` bytes (after cutting it to n).
std::string PadTo(std::string_view text, std::size_t n) {
  std::string s(CutUtf8(text, n));
  s.resize(n, ' ');
  return s;
}

int ItemOfDiskType(std::uint8_t code, int current) {
  switch (code) {
    case kDiskRemovable:
      return 0;
    case kDiskLocal:
      return 1;
    case kDiskCdrom:
      return 2;
    default:
      return current;
  }
}

// A fixed-size editor: empty and "0" are 0; otherwise a whole number in
// 0..maxValue, or nothing (the stored value then stays).
std::optional<std::uint32_t> FixSize(std::string_view text, int maxValue) {
  if (text.empty() || text == "0") return 0;
  const auto v = ParseDecimalInt(text);
  if (!v || *v < 0 || *v > maxValue) return std::nullopt;
  return std::uint32_t(*v);
}

}  // namespace

ZoneSplit ZoneSplitLayout(int w0, int w1, int w2) {
  w0 = std::max(w0, 0);
  w1 = std::max(w1, 0);
  w2 = std::max(w2, 0);
  ZoneSplit z;
  auto set = [&](int count, std::array<float, 3> shares, std::array<int, 3> bars) {
    z.activeZoneCount = count;
    z.shares = shares;
    z.barOfZone = bars;
  };
  if (w0 == 0 && w2 == 0) {
    set(1, {1, 0, 0}, {1, -1, -1});
  } else if (w0 == 0 && w1 < 2) {
    set(1, {1, 0, 0}, {2, -1, -1});
  } else if (w2 == 0 && w1 < 2) {
    set(1, {1, 0, 0}, {0, -1, -1});
  } else if (w2 == 0) {  // w0 >= 1, w1 >= 2
    const float t = float(w0 + w1 - 1);
    set(2, {float(w0) / t, float(w1 - 1) / t, 0}, {0, 1, -1});
  } else if (w0 >= 1 && w1 <= 1) {
    const float t = float(w0 + w2);
    set(2, {float(w0) / t, float(w2) / t, 0}, {0, 2, -1});
  } else if (w0 == 0) {  // w1 >= 2, w2 >= 1
    const float t = float(w1 + w2 - 1);
    set(2, {float(w1 - 1) / t, float(w2) / t, 0}, {1, 2, -1});
  } else {
    const float t = float(w0 + w1 + w2 - 1);
    set(3, {float(w0) / t, float(w1 - 1) / t, float(w2) / t}, {0, 1, 2});
  }
  return z;
}

std::string ShareText(float share) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g%%", double(share * 100.0f));
  return buf;
}

std::vector<std::string> ScanLevelItems(int levelCount, const MessageCatalogue& messages) {
  std::vector<std::string> items;
  for (int i = 0; i < levelCount; ++i) {
    if (i < levelCount - 2)
      items.push_back(messages.str(msg::kLowLevel) + std::to_string(i));
    else if (i == levelCount - 2)
      items.push_back(messages.str(msg::kHighFormat));
    else
      items.push_back(messages.str(msg::kMpcsHighFormat));
  }
  return items;
}

std::uint64_t EstimateFolderBytes(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return 2500;
  std::uint64_t total = 0;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const fs::file_status st = it->symlink_status(ec);
    if (ec) continue;
    if (fs::is_directory(st)) {
      total += EstimateFolderBytes(it->path());
    } else if (fs::is_regular_file(st)) {
      const auto size = it->file_size(ec);
      if (!ec) total += size;
    }
  }
  return total;
}

std::uint32_t CdromContentSectors(std::uint64_t isoBytes, std::uint32_t fixSectors) {
  std::uint64_t size = fixSectors;
  const std::uint64_t n = (isoBytes + 511) / 512;
  if (n > size) size = n + kCdromSpare;
  return AtLeastOneMegabyte(Saturate32(size));
}

std::uint32_t FolderContentSectors(std::uint64_t folderBytes) {
  const std::uint64_t s = (folderBytes + 511) >> 9;
  // The file system's own sectors: about 9 per 12712 data sectors, plus 30.
  return AtLeastOneMegabyte(Saturate32(s + (s * 9) / 12712 + 30));
}

SettingsPages::SettingsPages(ConfigImage& image, LiveOptions& live, Operator& op,
                             const MessageCatalogue& messages, std::filesystem::path stationDir)
    : image_(image),
      live_(live),
      operator_(op),
      messages_(messages),
      stationDir_(std::move(stationDir)),
      flashTypes_(image, op, messages),
      codeTypes_(image, flashTypes_, op, messages) {}

void SettingsPages::Start(std::vector<std::string> eccOptions) {
  if (eccOptions.size() > kMaxEccOptions) eccOptions.resize(kMaxEccOptions);
  form_.eccOpenItems = std::move(eccOptions);
  codeTypes_.Fill();
  flashTypes_.Fill();
  form_.flashTypeList = flashTypes_.names();
  form_.flashTypeSelection = image_.SelectedFlashType();
  form_.flashCount = image_.FlashCount();
  ShowSettings();
}

void SettingsPages::ShowSettings() {
  SettingsForm& f = form_;
  f.autoSelect = image_.AutoSelect();
  f.onlyScan = image_.OnlyScan();
  f.vendorCode = image_.VendorCode().empty() ? "0x" : image_.VendorCode();
  f.productCode = image_.ProductCode().empty() ? "0x" : image_.ProductCode();
  f.vendorInfo = Trim(image_.VendorInfo());
  f.productInfo = Trim(image_.ProductInfo());
  f.ledStatus = image_.LedStatus();
  f.workLed = image_.WorkLed();
  f.serialMode = image_.SerialMode();
  f.serialNumber = image_.SerialNumber();
  f.serialStartValue = std::to_string(image_.SerialStartValue());
  for (int z = 0; z < 3; ++z) {
    f.zoneDiskTypes[z] = image_.ZoneDiskType(z);
    f.diskTypeItems[z] = ItemOfDiskType(f.zoneDiskTypes[z], f.diskTypeItems[z]);
    f.volumeLabels[z] = image_.VolumeLabel(z);
  }
  f.zone0FixSize = std::to_string(image_.Zone0FixSectors() >> 11);
  f.zone1FixSize = std::to_string(image_.Zone1FixSectors() >> 11);
  f.pZoneFixSize = std::to_string(image_.PrivateZoneSectors() >> 1);
  f.pZonePassword = image_.PrivateZonePassword();
  f.bootType = image_.BootType();
  f.zone0ReadProtect = image_.ZoneReadProtect(0);
  f.zone0WriteProtect = image_.ZoneWriteProtect(0);
  f.zone1WriteProtect = image_.ZoneWriteProtect(1);
  f.zone1Hide = image_.ZoneHide(1);
  f.zone2WriteProtect = image_.ZoneWriteProtect(2);
  f.zone2Hide = image_.ZoneHide(2);
  f.isoFile = image_.IsoFile();
  f.zone0FilePath = image_.Zone0FilePath();
  f.zone1FilePath = image_.Zone1FilePath();
  for (int k = 0; k < 6; ++k) f.blockRange[k] = image_.BlockRangeText(k);
  for (int z = 0; z < 3; ++z) f.zoneBarWidths[z] = image_.ZoneBarWidth(z);
  applyZoneSplit();
  for (int row = 0; row < 15; ++row) {
    f.fromBin[row] = General4(image_.FromBin(row));
    f.mBin[row] = General4(image_.MBin(row));
    f.toBin[row] = General4(image_.ToBin(row));
  }
  // A stored count outside the spin edit's range is shown clamped and stored back.
  f.levelCount = image_.LevelCount();
  image_.setU8(I::kLevelCount, std::uint8_t(f.levelCount));
  f.scanLevelItems = ScanLevelItems(f.levelCount, messages_);
  f.scanLevelIndex = image_.ScanLevelIndex();
  f.scanCount = std::to_string(image_.ScanCount());
  f.eccOpenIndex = image_.EccOpen() < f.eccOpenItems.size() ? int(image_.EccOpen()) : -1;
  f.eccOpenBytes = Hex2(image_.EccOpenBytes());
  f.blockMode = image_.BlockMode();
  f.highChipCheck = image_.HighChipCheck();
  f.noVerify = image_.NoVerify();
  PublishLive();
}

void SettingsPages::applyZoneSplit() {
  SettingsForm& f = form_;
  f.split = ZoneSplitLayout(f.zoneBarWidths[0], f.zoneBarWidths[1], f.zoneBarWidths[2]);
  for (int zone = 0; zone < 3; ++zone)
    if (f.split.barOfZone[zone] >= 0)
      f.zoneBarTexts[f.split.barOfZone[zone]] = ShareText(f.split.shares[zone]);
  f.zone1GroupEnabled = f.split.activeZoneCount >= 2;
  f.zone2GroupEnabled = f.split.activeZoneCount >= 3;
}

void SettingsPages::ApplyForm() {
  SettingsForm& f = form_;
  std::vector<std::string> rejected;

  // 2. The production flash type; the list is refilled from the flash-type names.
  const int flashCount = int(image_.flashTypeCount());
  image_.SetSelectedFlashType(f.flashTypeSelection < flashCount ? f.flashTypeSelection : -1);
  f.flashTypeList = flashTypes_.names();
  if (f.flashTypeSelection >= int(f.flashTypeList.size())) f.flashTypeSelection = -1;
  // 3.
  image_.setFlag(I::kOnlyScan, f.onlyScan);
  image_.setFlag(I::kAutoSelect, f.autoSelect);
  image_.setU8(I::kFlashCount, std::uint8_t(std::clamp(f.flashCount, 0, 255)));
  image_.setU8(I::kScanLevelIndex, std::uint8_t(std::clamp(f.scanLevelIndex, 0, 255)));
  // 4. "0x" alone keeps the stored code.
  if (f.vendorCode != "0x") image_.setText(I::kVendorCode, I::kCodeWidth, f.vendorCode);
  image_.setU8(I::kVendorCode + 6, 0);
  if (f.productCode != "0x") image_.setText(I::kProductCode, I::kCodeWidth, f.productCode);
  image_.setU8(I::kProductCode + 6, 0);
  // 5. Padded with spaces, as the USB strings want them.
  image_.setText(I::kVendorInfo, I::kVendorInfoWidth, PadTo(f.vendorInfo, 8));
  image_.setText(I::kProductInfo, I::kProductInfoWidth, PadTo(f.productInfo, 16));
  // 6.
  image_.setU8(I::kLedStatus, std::uint8_t(f.ledStatus));
  image_.setU8(I::kWorkLed, std::uint8_t(f.workLed));
  image_.setU8(I::kSerialMode, std::uint8_t(f.serialMode));
  image_.setText(I::kSerialNumber, I::kSerialNumberWidth, f.serialNumber);
  // 7.
  image_.setU8(I::kActiveZoneCount, std::uint8_t(f.split.activeZoneCount));
  for (int z = 0; z < 3; ++z)
    image_.setU16(I::kZone0BarWidth + 2 * std::size_t(z),
                  std::uint16_t(std::clamp(f.zoneBarWidths[z], 0, 65535)));
  // 8. Private zone: kilobytes -> sectors.
  if (const auto kb = FixSize(f.pZoneFixSize, std::numeric_limits<int>::max()))
    image_.setU32(I::kPrivateZoneSectors, *kb * 2);
  else
    rejected.push_back(NotAnIntegerText(f.pZoneFixSize));
  image_.setText(I::kPrivateZonePassword, I::kPasswordWidth, f.pZonePassword);
  // 9. Zone 0: megabytes -> sectors.
  if (const auto mb = FixSize(f.zone0FixSize, kMaxFixMegabytes))
    image_.setU32(I::kZone0FixSectors, *mb << 11);
  else
    rejected.push_back(NotAnIntegerText(f.zone0FixSize));
  image_.setU8(I::kZone0DiskType, f.zoneDiskTypes[0]);
  image_.setText(I::kZone0Label, I::kLabelWidth, f.volumeLabels[0]);
  image_.setFlag(I::kZone0ReadProtect, f.zone0ReadProtect);
  image_.setFlag(I::kZone0WriteProtect, f.zone0WriteProtect);
  image_.setU8(I::kBootType, std::uint8_t(f.bootType));
  // 10. Zone 0 content size.
  std::uint32_t content = 0;
  if (f.zoneDiskTypes[0] == kDiskCdrom) {
    std::filesystem::path iso(f.isoFile);
    if (iso.is_relative()) iso = stationDir_ / iso;
    std::error_code ec;
    const bool exists = !f.isoFile.empty() && std::filesystem::is_regular_file(iso, ec);
    if (exists) {
      const auto bytes = std::filesystem::file_size(iso, ec);
      content = CdromContentSectors(ec ? 0 : bytes,
                                    FixSize(f.zone0FixSize, kMaxFixMegabytes).value_or(0) << 11);
    } else {
      operator_.inform(OperatorMessage{msg::kWarning, msg::kAutoplayMissing,
                                       messages_.str(msg::kWarning),
                                       messages_.str(msg::kAutoplayMissing)});
    }
    image_.setText(I::kIsoFile, I::kPathWidth, f.isoFile);
  } else if (f.zone0WriteProtect) {
    content = FolderContentSectors(EstimateFolderBytes(stationDir_ / "LoginFiles"));
  }
  image_.setU32(I::kZone0ContentSectors, content);
  // 11. Zone 1.
  if (const auto mb = FixSize(f.zone1FixSize, kMaxFixMegabytes))
    image_.setU32(I::kZone1FixSectors, *mb << 11);
  else
    rejected.push_back(NotAnIntegerText(f.zone1FixSize));
  image_.setU8(I::kZone1DiskType, f.zoneDiskTypes[1]);
  image_.setText(I::kZone1Label, I::kLabelWidth, f.volumeLabels[1]);
  image_.setFlag(I::kZone1WriteProtect, f.zone1WriteProtect);
  image_.setFlag(I::kZone1Hide, f.zone1Hide);
  // 12. Zone 2.
  image_.setU8(I::kZone2DiskType, f.zoneDiskTypes[2]);
  image_.setText(I::kZone2Label, I::kLabelWidth, f.volumeLabels[2]);
  image_.setFlag(I::kZone2WriteProtect, f.zone2WriteProtect);
  image_.setFlag(I::kZone2Hide, f.zone2Hide);
  // 13. Folders and the block-range texts.
  image_.setText(I::kZone0FilePath, I::kPathWidth, f.zone0FilePath);
  image_.setText(I::kZone1FilePath, I::kPathWidth, f.zone1FilePath);
  for (std::size_t k = 0; k < 6; ++k)
    image_.setText(I::kBlockRangeTexts + I::kBlockTextWidth * k, I::kBlockTextWidth,
                   f.blockRange[k]);
  PublishLive();

  if (!rejected.empty()) {
    std::string text;
    for (const auto& r : rejected) text += (text.empty() ? "" : "\n") + r;
    operator_.inform(OperatorMessage{msg::kWarning, 0, messages_.str(msg::kWarning), text});
  }
}

FileResult SettingsPages::SaveSettings(const SettingsStore& store) {
  ApplyForm();
  return store.Save(image_);
}

void SettingsPages::PublishLive() {
  const SettingsForm& f = form_;
  live_.onlyScan.store(f.onlyScan);
  live_.blockMode.store(f.blockMode);
  live_.noVerify.store(f.noVerify);
  live_.highChipCheck.store(f.highChipCheck);
  live_.preTest.store(f.preTest);
  live_.oddPageAllBad.store(f.oddPageAllBad);
  live_.evenPageAllBad.store(f.evenPageAllBad);
  live_.randomData.store(f.randomData);
  live_.logicScan.store(f.logicScan);
  live_.noFat.store(f.noFat);
  live_.autorSecure.store(f.autorSecure);
  live_.listWhileFormating.store(f.listWhileFormating);
  live_.zone0WriteProtect.store(f.zone0WriteProtect);
  live_.markGoodBlocks.store(f.markGoodBlocks);
  live_.levelCount.store(f.levelCount);
  live_.scanLevelIndex.store(f.scanLevelIndex);
  auto block = [](const std::string& t) {
    const auto v = ParseDecimalInt(t);
    return v ? std::int64_t(*v) : LiveOptions::kNotANumber;
  };
  live_.fromBlock.store(block(f.blockRange[0]));
  live_.toBlock.store(block(f.blockRange[1]));
  live_.eccOpen.store(std::clamp(f.eccOpenIndex, 0, int(kMaxEccOptions) - 1));
  live_.eccOpenBytes.store(image_.EccOpenBytes());
  live_.scanCount.store(std::clamp<int>(image_.ScanCount(), I::kMinScanCount, I::kMaxScanCount));
  for (int row = 0; row < 15; ++row) {
    live_.fromBin[row].store(image_.FromBin(row));
    live_.mBin[row].store(image_.MBin(row));
    live_.toBin[row].store(image_.ToBin(row));
  }
}

void SettingsPages::ScanLevelChanged(int item) {
  if (item < 0 || item >= form_.levelCount) return;
  form_.scanLevelIndex = item;
  live_.scanLevelIndex.store(item);
}

void SettingsPages::EccOpenChanged(int item) {
  if (item < 0 || item >= int(form_.eccOpenItems.size())) return;
  form_.eccOpenIndex = item;
  image_.setU8(I::kEccOpen, std::uint8_t(item));
  live_.eccOpen.store(item);
}

void SettingsPages::BlockModeChanged(bool ticked) {
  form_.blockMode = ticked;
  image_.setFlag(I::kBlockMode, ticked);
  live_.blockMode.store(ticked);
}

void SettingsPages::NoVerifyChanged(bool ticked) {
  form_.noVerify = ticked;
  image_.setFlag(I::kNoVerify, ticked);
  live_.noVerify.store(ticked);
}

void SettingsPages::HighChipCheckChanged(bool ticked) {
  form_.highChipCheck = ticked;
  image_.setFlag(I::kHighChipCheck, ticked);
  live_.highChipCheck.store(ticked);
}

void SettingsPages::SerialModeClicked(int tag) {
  if (tag >= 0 && tag <= 2) form_.serialMode = tag;
}

void SettingsPages::DiskTypeChanged(int zone, int item) {
  static constexpr std::uint8_t kCodes[3] = {kDiskRemovable, kDiskLocal, kDiskCdrom};
  // Zone 2 offers Removable and Local only.
  if (zone < 0 || zone > 2 || item < 0 || item > (zone == 2 ? 1 : 2)) return;
  form_.diskTypeItems[zone] = item;
  form_.zoneDiskTypes[zone] = kCodes[item];
}

EditResult SettingsPages::BinChanged(BinColumn column, int row, std::string_view text) {
  if (row < 0 || row >= 15 || text.empty()) return {};
  const auto v = ParseFloat(text);
  if (!v)
    return {EditResult::Rejected,
            "'" + std::string(text) + "' is not a valid floating point value",
            {}};
  const std::size_t base = column == BinColumn::From     ? I::kFromBin
                           : column == BinColumn::Middle ? I::kMBin
                                                         : I::kToBin;
  image_.SetBin(base, row, *v);
  auto& shown = column == BinColumn::From     ? form_.fromBin
                : column == BinColumn::Middle ? form_.mBin
                                              : form_.toBin;
  shown[row] = std::string(text);
  auto& live = column == BinColumn::From     ? live_.fromBin
               : column == BinColumn::Middle ? live_.mBin
                                             : live_.toBin;
  live[row].store(*v);
  return {EditResult::Stored, {}, {}};
}

void SettingsPages::EccOpenBytesChanged(std::string_view text) {
  form_.eccOpenBytes = std::string(text);
  const auto v = std::uint8_t(ParseHex("0x0" + std::string(text)));
  image_.setU8(I::kEccOpenBytes, v);
  live_.eccOpenBytes.store(v);
}

EditResult SettingsPages::ScanCountChanged(std::string_view text) {
  int v = 1;
  EditResult r{EditResult::Stored, {}, {}};
  if (text.empty() || text == "0") {
    r.replacementText = "1";
  } else {
    const auto parsed = ParseDecimalInt(text);
    if (!parsed) return {EditResult::Rejected, NotAnIntegerText(text), {}};
    v = *parsed;
    if (v > I::kMaxScanCount) {
      v = I::kMaxScanCount;
      r.replacementText = "20";
    } else if (v < I::kMinScanCount) {
      v = I::kMinScanCount;
      r.replacementText = "1";
    }
  }
  form_.scanCount = r.replacementText.empty() ? std::string(text) : r.replacementText;
  image_.setU8(I::kScanCount, std::uint8_t(v));
  live_.scanCount.store(v);
  return r;
}

void SettingsPages::LevelCountChanged(int value) {
  value = std::clamp<int>(value, I::kMinLevelCount, I::kMaxLevelCount);
  form_.levelCount = value;
  image_.setU8(I::kLevelCount, std::uint8_t(value));
  form_.scanLevelItems = ScanLevelItems(value, messages_);
  if (form_.scanLevelIndex >= value) form_.scanLevelIndex = 0;
  // Index first: a reader never sees the new count with an index beyond it.
  live_.scanLevelIndex.store(form_.scanLevelIndex);
  live_.levelCount.store(value);
}

void SettingsPages::ZoneBarsMoved(int w0, int w1, int w2) {
  form_.zoneBarWidths = {w0, w1, w2};
  applyZoneSplit();
}

void SettingsPages::FlashConfigOpened() {
  flashTypes_.PageOpened();
}

}  // namespace kvx
