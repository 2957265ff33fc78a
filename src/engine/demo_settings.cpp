#include "engine/demo_settings.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "config/code_types.h"

namespace kvx {
namespace {

using I = ConfigImage;
using F = FlashTypeRecord;
using C = CodeTypeRecord;

// The page a flash type describes: a flash read on both lanes runs in
// page-pair mode, where the controller addresses twice the chip's page
// (identification then sets the large-page mode and the job doubles S).
std::uint32_t ChipSectorsPerPage(const DemoFlash& f) {
  if (f.bothLanes && f.sectorsPerPage % 2 == 0 && f.sectorsPerPage / 2 <= 4)
    return f.sectorsPerPage / 2;
  return f.sectorsPerPage;
}

void FillCodeType(ConfigImage& image, std::size_t index, const char* name, std::uint32_t salt) {
  C r = image.codeTypeRecord(index);
  std::fill(r.bytes().begin(), r.bytes().end(), std::uint8_t(0));
  r.setCodeName(name);
  r.setByte(C::kRealCodeLength, kDemoCodeSectors);
  r.setByte(C::kCodeLength, kDemoCodeSectors);
  r.setByte(C::kCodeCount, 1);
  // Any deterministic bytes do: the simulated controller checks only the
  // checksum word of what it is sent.
  const auto code = r.CodeImage();
  std::uint32_t x = 0x9E3779B9u ^ salt;
  for (std::size_t i = 0; i < std::size_t(kDemoCodeSectors) * C::kSectorSize; ++i) {
    x = x * 1664525u + 1013904223u;
    code[i] = std::uint8_t(x >> 24);
  }
  CodeChecksum(code, kDemoCodeSectors);
}

}  // namespace

std::string DemoFlashTypeName(const DemoFlash& f) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "SIM %08X %ux%ux%u", f.flashId, f.blocksPerChip, f.pagesPerBlock,
                ChipSectorsPerPage(f));
  return buf;
}

void FillDemoSettings(ConfigImage& image, const std::vector<DemoFlash>& flashes) {
  auto all = image.bytes();
  std::fill(all.begin(), all.end(), std::uint8_t(0));

  FillCodeType(image, kDemoScanCode, "DemoScan", 1);
  FillCodeType(image, kDemoFinalCode, "DemoFinal", 2);

  std::set<std::uint32_t> seen;
  std::size_t n = 0;
  for (const DemoFlash& f : flashes) {
    if (f.flashId == 0 || !seen.insert(f.flashId).second) continue;
    if (n >= I::kFlashTypeCount) break;
    F r = image.flashTypeRecord(n++);
    r.setFlashName(DemoFlashTypeName(f));
    r.setByte(F::kCodeType, std::uint8_t(kDemoFinalCode));
    r.setByte(F::kScanCode, std::uint8_t(kDemoScanCode));
    r.setMainFlashID(f.flashId);
    r.setByte(F::kBlkPerScanStep, 1);
    r.setBlockPerChip(f.blocksPerChip);
    r.setPagePerBlock(std::uint16_t(f.pagesPerBlock));
    const std::uint32_t s = ChipSectorsPerPage(f);
    r.setByte(F::kSectorPerPage, std::uint8_t(s));
    r.setByte(F::kLogSectPerPage, std::uint8_t(s));
    r.setByte(F::kLogSectStartInPage, 0);
    r.setByte(F::kColumCycle, 2);
    r.setByte(F::kRowCycle, 3);
    r.setByte(F::kIdVariant, 0);
  }

  image.SetSelectedFlashType(n > 0 ? 0 : -1);
  image.setFlag(I::kAutoSelect, true);
  image.setU8(I::kFlashCount, 1);
  image.setU8(I::kScanLevelIndex, 0);
  image.setText(I::kVendorCode, I::kCodeWidth, "0x1234");
  image.setText(I::kProductCode, I::kCodeWidth, "0x5678");
  image.setText(I::kVendorInfo, I::kVendorInfoWidth, "KVX     ");
  image.setText(I::kProductInfo, I::kProductInfoWidth, "Demo Flash Disk ");
  image.setU8(I::kLedStatus, 1);
  image.setU8(I::kSerialMode, 0);  // automatic: no counter to keep
  image.setText(I::kSerialNumber, I::kSerialNumberWidth, "KVXDEMO");
  // One zone: only the middle bar has a width, so zone 0 takes everything.
  image.setU8(I::kActiveZoneCount, 1);
  image.setU16(I::kZone1BarWidth, 300);
  for (std::size_t type : {I::kZone0DiskType, I::kZone1DiskType, I::kZone2DiskType})
    image.setU8(type, kDiskRemovable);
  image.setText(I::kZone0Label, I::kLabelWidth, "KVXDEMO");
  for (int k = 0; k < 6; ++k)
    image.setText(I::kBlockRangeTexts + I::kBlockTextWidth * std::size_t(k), I::kBlockTextWidth,
                  "0");
  image.setU8(I::kLevelCount, 4);
  image.setU8(I::kScanCount, 1);
}

}  // namespace kvx
