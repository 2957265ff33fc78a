#include "engine/sysinfo.h"

#include <cstring>

#include "config/config_image.h"
#include "engine/fat/fat_volume.h"
#include "flash/sysinfo_fields.h"

namespace kvx {
namespace {

using C = ConfigImage;
using sysinfo::PutBe16;
using sysinfo::PutBe32;

// Flash-type record bytes read here.
constexpr std::size_t kFtFlagsA = 44, kFtBlockPerChip = 40, kFtPagePerBlock = 49,
                      kFtSectorPerPage = 53, kFtLogSectPerPage = 54, kFtLogSectStart = 55;
constexpr std::size_t kCodeRealLength = 59;  // code-type record: sectors of the code

constexpr std::uint8_t kLedCodes[2] = {0x20, 0x00};  // OFF, ON
constexpr std::uint8_t kBlinkCodes[6] = {0xEC, 0x76, 0x51, 0x3B, 0x30, 0x24};
constexpr std::uint8_t kRemovable = 0x80, kCdrom = 0x85;

void SetBit(std::uint8_t& b, int bit, bool on) {
  b = std::uint8_t(on ? (b | (1u << bit)) : (b & ~(1u << bit)));
}

std::uint32_t Share(std::int64_t sectors, float share) {
  if (sectors <= 0 || share <= 0) return 0;
  return std::uint32_t(double(sectors) * double(share));
}

// Device descriptor: USB 2.0 layout, the given bcdUSB.
void DeviceDescriptor(std::span<std::uint8_t> s, std::size_t at, std::uint16_t bcdUsb,
                      std::uint16_t vendor, std::uint16_t product) {
  const std::uint8_t d[18] = {0x12, 0x01, std::uint8_t(bcdUsb), std::uint8_t(bcdUsb >> 8), 0, 0, 0,
                              64, std::uint8_t(vendor), std::uint8_t(vendor >> 8),
                              std::uint8_t(product), std::uint8_t(product >> 8), 0, 0, 1, 2, 3, 1};
  std::memcpy(s.data() + at, d, sizeof d);
}

// String descriptor of `chars` characters, each byte widened to 16 bits.
void StringDescriptor(std::span<std::uint8_t> s, std::size_t at, const std::string& text,
                      std::size_t chars) {
  s[at] = std::uint8_t(2 + 2 * chars);
  s[at + 1] = 0x03;
  for (std::size_t i = 0; i < chars; ++i) {
    s[at + 2 + 2 * i] = i < text.size() ? std::uint8_t(text[i]) : 0;
    s[at + 3 + 2 * i] = 0;
  }
}

}  // namespace

std::uint8_t LedCode(std::uint8_t ledStatus) { return kLedCodes[ledStatus < 2 ? ledStatus : 0]; }
std::uint8_t BlinkCode(std::uint8_t workLed) { return kBlinkCodes[workLed < 6 ? workLed : 0]; }

char PortCharacter(int port) { return char(port <= 9 ? '0' + port : 'A' + (port - 10)); }

void BuildSysInfo(FORMATINFO& rec, int port, const SysInfoInputs& in, SysInfoForm form) {
  const bool T = form.temporary, N = form.noProtect, L = form.logicLayout;
  auto& s = rec.SysInfo;
  auto& ft = rec.FlashType;
  const auto& set = rec.Settings;
  const FlashBookkeeping& bk = rec.Flash;
  auto u32 = [&](std::size_t at) {
    return std::uint32_t(set[at]) | std::uint32_t(set[at + 1]) << 8 |
           std::uint32_t(set[at + 2]) << 16 | std::uint32_t(set[at + 3]) << 24;
  };
  const std::uint8_t spp = ft[kFtSectorPerPage];
  const std::uint16_t ppb = std::uint16_t(ft[kFtPagePerBlock] | ft[kFtPagePerBlock + 1] << 8);
  const std::uint16_t bpc16 = std::uint16_t(ft[kFtBlockPerChip] | ft[kFtBlockPerChip + 1] << 8);

  // 1. Page geometry and the flash parameter block.
  rec.SectorsPerPageX = spp;
  rec.LogSectStartInPage = ft[kFtLogSectStart];
  rec.LogSectPerPage = ft[kFtLogSectPerPage];
  ft[kFtFlagsA] &= std::uint8_t(~0x40);
  std::memcpy(s.data() + 336, ft.data() + 44, 48);
  std::memcpy(s.data() + 384, ft.data() + 92, 80);

  // 2. Where the system area and the tables lie.
  PutBe16(s, sysinfo::kSysBlock, bk.SysBlock);
  s[sysinfo::kSysInfoPage] = bk.SysInfoPage;
  s[sysinfo::kZoneInfoPage] = bk.ZoneInfoPage;
  s[sysinfo::kTableBitmapPage] = bk.TableBitmapPage;
  std::memcpy(s.data() + sysinfo::kCodePages, bk.CodePages.data(), 10);
  s[sysinfo::kCodePageCount] = bk.CodePageCount;
  s[sysinfo::kCodeSectors] = rec.Code[kCodeRealLength];
  s[sysinfo::kTableBlockClass] = bk.TableBlockClass;
  s[sysinfo::kZoneCountMinus1] = std::uint8_t(rec.ZoneCount - 1);
  for (std::size_t i = 0; i < 10; ++i) PutBe16(s, sysinfo::kTableBlocks + 2 * i, bk.TableBlocks[i]);
  s[453] = 0;

  // 3. Geometry.
  PutBe16(s, 339, bpc16);
  PutBe16(s, 341, ppb);
  PutBe16(s, 343, std::uint16_t(ppb * spp));
  s[346] = spp;
  s[347] = 0;
  PutBe16(s, 348, std::uint16_t(ppb * spp));
  PutBe16(s, 350, std::uint16_t(ppb * spp));
  s[372] = 0;
  s[367] = s[368] = s[369] = 0;
  SetBit(s[336], 3, false);

  // 4. Mode bits.
  if (!(s[336] & 1)) {
    SetBit(s[336], 1, false);
    s[357] = 4;
  }
  SetBit(s[336], 6, false);
  if (rec.LargePage) {
    SetBit(s[336], 1, true);
    s[357] = 8;
    if (spp <= 4) rec.SectorsPerPageX = std::uint8_t(spp * 2);
    if (spp == 8) {
      SetBit(s[337], 1, true);
      SetBit(s[336], 1, false);
      if (!T) SetBit(s[336], 6, true);
    }
    s[345] = rec.SectorsPerPageX;
  } else if (s[336] & 1) {
    SetBit(s[336], 1, true);
    s[357] = 4;
  }

  // 5. Chips and the logical-scan flag.
  SetBit(s[337], 0, rec.MultiChip != 0);
  s[366] = 5;
  SetBit(s[391], 0, in.logicScan && rec.LogicScanDone == 0);
  SetBit(s[391], 4, true);
  if (spp == 8) {
    SetBit(s[391], 2, true);
    SetBit(s[391], 3, true);
  }
  SetBit(s[338], 2, rec.MultiChip != 0);

  // 6. Signatures and LED codes.
  std::copy(sysinfo::kSignature.begin(), sysinfo::kSignature.end(), s.begin());
  s[388] = LedCode(in.ledStatus);
  s[389] = BlinkCode(in.workLed);

  // 7. Constants; overflow flags start clear.
  s[314] = s[315] = s[316] = 0;
  s[273] = 0;
  s[276] = 3;
  for (std::size_t at : {325, 326, 327, 328}) SetBit(s[at], 2, false);
  rec.ZoneOverflow = 0;

  // 8. Zone 0 protection.
  SetBit(s[325], 1, set[C::kZone0WriteProtect] && !T && !N);
  SetBit(s[325], 0, set[C::kZone0ReadProtect] && !T);

  // 10, 11. Visible zones; the private zone and its record.
  // An image that was never saved holds zone count 0: one zone, not 255.
  s[272] = T ? 0 : std::uint8_t(std::max<int>(set[C::kActiveZoneCount], 1) - 1);
  rec.ReservedSectors = u32(C::kPrivateZoneSectors) + 2;
  PutBe32(s, 309, rec.ReservedSectors);

  // 12..14. Zone 0.
  std::int64_t rem = std::int64_t(rec.FixedSectors) - rec.ReservedSectors;
  const std::int64_t base = rem;
  const std::uint32_t fix0 = u32(C::kZone0FixSectors);
  const std::uint32_t content0 = u32(C::kZone0ContentSectors);
  std::int64_t zone0 = 0;
  if (rem <= 0) {
    zone0 = 0;
    rec.Zone0CapSectors = 0;
  } else if (fix0 > 0) {
    if (fix0 > base) {
      rec.ZoneOverflow = 1;
      SetBit(s[325], 2, true);
      rec.Zone0CapSectors = Share(base, in.shares[0]);
    } else {
      rec.Zone0CapSectors = fix0;
    }
    zone0 = fix0;
  } else if (content0 != 0) {
    zone0 = rec.Zone0CapSectors = content0;
  } else {
    zone0 = rec.Zone0CapSectors = Share(base, in.shares[0]);
  }
  if (zone0 > rem && !rec.ZoneOverflow) zone0 = rem;
  rem -= zone0;
  zone0 &= ~std::int64_t(7);
  if (zone0 != 0 && zone0 % 2 == 0) {
    zone0 -= 1;
    if (rem > 0) rem -= 1;
  }
  rec.Zone0Sectors = std::uint32_t(zone0);
  PutBe16(s, 317, std::uint16_t(fat::FatMetadataSectors(rec.Zone0Sectors)));

  // 15, 16. Zone 0 as the host sees it.
  const std::uint8_t type0 = set[C::kZone0DiskType];
  if (T) {
    s[281] = kRemovable;
    PutBe32(s, 297, rec.FixedSectors);
    s[313] = 0;
    PutBe32(s, 301, rec.FixedSectors);
    PutBe32(s, 305, rec.FixedSectors);
    if (L && spp == 8) {
      SetBit(s[391], 2, true);
      SetBit(s[391], 3, true);
      SetBit(s[336], 6, true);
    }
    SetBit(s[277], 0, false);
  } else {
    PutBe32(s, 297, rec.Zone0Sectors);
    if (L) {
      s[281] = kRemovable;
      s[313] = 0;
    } else {
      s[281] = type0;
      s[313] = type0 == kCdrom ? 2 : 0;
    }
    SetBit(s[277], 0, type0 != kCdrom);
    SetBit(s[277], 1, false);
  }

  // 17..20. Zone 1.
  const std::int64_t rem1 = rem;
  const std::uint32_t fix1 = u32(C::kZone1FixSectors);
  std::int64_t zone1 = 0;
  if (rem <= 0) {
    zone1 = 0;
  } else if (fix1 > 0) {
    if (fix1 > rem1) {
      rec.ZoneOverflow = 1;
      SetBit(s[326], 2, true);
      rec.Zone1CapSectors = Share(base, in.shares[1]);
    } else {
      rec.Zone1CapSectors = fix1;
    }
    zone1 = fix1;
  } else {
    zone1 = fix0 > 0 ? Share(rem, in.shares[0] + in.shares[1]) : Share(base, in.shares[1]);
  }
  if (!(s[325] & 4) && !(s[326] & 4) && zone1 > rem) zone1 = std::max<std::int64_t>(rem, 0);
  if (zone1 != 0 && zone1 % 2 == 0) {
    zone1 -= 1;
    if (rem > 0) rem -= 1;
  }
  rec.Zone1Sectors = std::uint32_t(zone1);
  SetBit(s[326], 1, set[C::kZone1WriteProtect] && !T && !N);
  SetBit(s[326], 0, set[C::kZone1ReadProtect] && !T);
  PutBe16(s, 319, std::uint16_t(fat::FatMetadataSectors(rec.Zone1Sectors)));
  if (set[C::kZone1Hide] && s[272] > 0) s[272] -= 1;
  s[274] = 1;
  if (T) {
    s[282] = kRemovable;
    PutBe32(s, 285, 0);
  } else {
    PutBe32(s, 301, (s[325] & 4) ? Share(base, in.shares[0]) : rec.Zone1Sectors);
    s[282] = set[C::kZone1DiskType];
    PutBe32(s, 285, rec.Zone0Sectors);
  }

  // 21, 22. Zone 2.
  rem -= zone1;
  std::int64_t zone2 = rem <= 0 ? 0 : Share(base, in.shares[2]);
  if (zone2 > rem) zone2 = std::max<std::int64_t>(rem, 0);
  if (zone2 != 0 && zone2 % 2 == 0) zone2 -= 1;
  rec.Zone2Sectors = std::uint32_t(zone2);
  SetBit(s[327], 1, set[C::kZone2WriteProtect] && !T && !N);
  SetBit(s[327], 0, set[C::kZone2ReadProtect] && !T);
  PutBe16(s, 321, std::uint16_t(fat::FatMetadataSectors(rec.Zone2Sectors)));

  // 23, 24. Zone order and the zones' places.
  if (set[C::kZone2Hide]) {
    s[274] = 1;
    s[275] = 2;
    if (s[272] > 0) s[272] -= 1;
  } else if (set[C::kZone1Hide]) {
    s[274] = 2;
    s[275] = 1;
  } else {
    s[274] = 1;
    s[275] = 2;
  }
  if (T) {
    s[283] = kRemovable;
    PutBe32(s, 289, 0);
    s[275] = 0xFF;
  } else {
    PutBe32(s, 305, (s[326] & 4) ? Share(rem1, in.shares[1]) : rec.Zone2Sectors);
    s[283] = set[C::kZone2DiskType];
    PutBe32(s, 289, rec.Zone0Sectors + rec.Zone1Sectors);
    PutBe32(s, 293, rec.Zone0Sectors + rec.Zone1Sectors + rec.Zone2Sectors);
  }

  // 25. Identity: USB descriptors, strings, INQUIRY.
  const std::int32_t vendor = ParseHex(GetText(set, C::kVendorCode, C::kCodeWidth));
  const std::int32_t product = ParseHex(GetText(set, C::kProductCode, C::kCodeWidth));
  DeviceDescriptor(s, 12, 0x0200, std::uint16_t(vendor), std::uint16_t(product));
  DeviceDescriptor(s, 48, 0x0110, std::uint16_t(vendor), std::uint16_t(product));
  s[84] = 0x04, s[85] = 0x03, s[86] = 0x09, s[87] = 0x04;
  const std::string vendorInfo = GetText(set, C::kVendorInfo, C::kVendorInfoWidth);
  const std::string productInfo = GetText(set, C::kProductInfo, C::kProductInfoWidth);
  StringDescriptor(s, 120, vendorInfo, 8);
  StringDescriptor(s, 156, productInfo, 16);
  StringDescriptor(s, 192, rec.SerialText.substr(0, 16), 16);
  if (set[C::kSerialMode] == 0) s[224] = std::uint8_t(PortCharacter(port));
  switch (type0) {
    case 0x00:
      s[228] = 0x00, s[229] = 0x00;
      break;
    case kRemovable:
      s[228] = 0x00, s[229] = 0x80;
      break;
    case kCdrom:
      s[228] = 0x05, s[229] = 0x80;
      break;
    default:
      break;
  }
  s[230] = 2, s[231] = 2, s[232] = 31;
  std::memcpy(s.data() + 236, vendorInfo.data(), std::min<std::size_t>(vendorInfo.size(), 8));
  std::memcpy(s.data() + 244, productInfo.data(), std::min<std::size_t>(productInfo.size(), 16));
  std::memcpy(s.data() + 260, "2.80", 5);
}

}  // namespace kvx
