#include "engine/production.h"

#include <array>
#include <cstring>
#include <system_error>

#include "config/config_image.h"
#include "config/settings_form.h"
#include "engine/fat/file_writer.h"
#include "engine/result_line.h"
#include "engine/sysinfo.h"
#include "flash/bad_block_scan.h"
#include "flash/high_format.h"
#include "flash/recorded_bad_blocks.h"
#include "flash/sysinfo_fields.h"

namespace kvx {
namespace {

using C = ConfigImage;
namespace fs = std::filesystem;

constexpr std::uint32_t kConfigTableTimeout = 10;
constexpr std::uint32_t kProbeTimeout = 2;
constexpr std::uint32_t kSystemReadTimeout = 5;
constexpr std::uint32_t kSystemWriteTimeout = 10;
constexpr std::uint8_t kCdrom = 0x85;
// The job's copy of its flash type, through the settings' record view.
ConstFlashTypeRecord JobFlashType(const FORMATINFO& rec) {
  return ConstFlashTypeRecord(std::span<const std::uint8_t, C::kFlashTypeSize>(rec.FlashType));
}

// What a job needs from the settings image, copied at job start on the
// window thread so the worker never reads the image while it is edited.
struct JobInputs {
  bool scanCodeOk = false, finalCodeOk = false;
  std::array<std::uint8_t, C::kCodeTypeSize> scanCode{}, finalCode{};
  std::array<float, 3> shares{1.0f, 0.0f, 0.0f};
  std::array<std::uint8_t, 4> privateRecordBytes{};
  fs::path zone0Folder;
};

class StationProduction final : public ProductionSequence {
 public:
  explicit StationProduction(ProductionEnvironment env)
      : env_(std::move(env)), jobs_(std::make_unique<std::array<JobInputs, kPortCount>>()) {}

  void PrepareJob(int port, FORMATINFO& rec, const ConfigImage& image) override {
    JobInputs& in = (*jobs_)[std::size_t(port)];
    in = JobInputs{};
    if (rec.FlashTypeIndex >= 0) {
      if (auto c = image.scanCodeOf(std::size_t(rec.FlashTypeIndex))) {
        const auto src = image.codeType(*c);
        std::copy(src.begin(), src.end(), in.scanCode.begin());
        in.scanCodeOk = true;
      }
      if (auto c = image.productCodeOf(std::size_t(rec.FlashTypeIndex))) {
        const auto src = image.codeType(*c);
        std::copy(src.begin(), src.end(), in.finalCode.begin());
        in.finalCodeOk = true;
      }
    }
    const ZoneSplit split =
        ZoneSplitLayout(image.ZoneBarWidth(0), image.ZoneBarWidth(1), image.ZoneBarWidth(2));
    in.shares = split.shares;
    for (int i = 0; i < 4; ++i) in.privateRecordBytes[std::size_t(i)] = image.PrivateRecordByte(i);
    in.zone0Folder = image.Zone0FilePath();
  }

  std::int32_t RunProduction(PortJob& job) override;
  std::int32_t RunHighFormatOnly(PortJob& job) override;

 private:
  JobInputs& inputs(const PortJob& job) { return (*jobs_)[std::size_t(job.port)]; }
  std::optional<FlashGeometry> geometry(PortJob& job, bool forScan);
  SysInfoInputs sysInfoInputs(PortJob& job);
  std::int32_t sendSysInfo(PortJob& job, bool noProtect, bool logicLayout);
  std::int32_t sendCode(PortJob& job, bool scanning);
  std::int32_t writeFileSystems(PortJob& job);
  std::int32_t highFormat(PortJob& job, const FlashGeometry& g, bool multiChip);
  std::int32_t copyFolders(PortJob& job);
  std::int32_t copyFailed(PortJob& job, const std::string& why, bool percentZero);

  ProductionEnvironment env_;
  std::unique_ptr<std::array<JobInputs, kPortCount>> jobs_;
};

std::optional<FlashGeometry> StationProduction::geometry(PortJob& job, bool forScan) {
  const ConstFlashTypeRecord ft = JobFlashType(job.rec);
  FlashGeometry g;
  g.chipCount = job.rec.ChipCount;
  g.blockPerChip = ft.BlockPerChip();
  g.pagePerBlock = ft.PagePerBlock();
  g.sectorPerPage = ft.SectorPerPage();
  g.sectorsPerPageX =
      (job.rec.LargePage && g.sectorPerPage <= 4) ? g.sectorPerPage * 2 : g.sectorPerPage;
  if (const std::string problem = GeometryProblem(g, forScan); !problem.empty()) {
    job.rec.StatusText = "Flash type not supported: " + problem;
    job.display.setBar(job.rec.StatusText, BarColour::Red, 0);
    return std::nullopt;
  }
  return g;
}

SysInfoInputs StationProduction::sysInfoInputs(PortJob& job) {
  SysInfoInputs in;
  in.ledStatus = job.rec.Settings[C::kLedStatus];
  in.workLed = job.rec.Settings[C::kWorkLed];
  in.shares = inputs(job).shares;
  in.logicScan = job.options.logicScan.load();
  return in;
}

std::int32_t StationProduction::sendSysInfo(PortJob& job, bool noProtect, bool logicLayout) {
  BuildSysInfo(job.rec, job.port, sysInfoInputs(job), {true, noProtect, logicLayout});
  if (WriteSectors(job.commands, job.rec.hDevice, 0, 0, 1, 1, 0, job.rec.SysInfo,
                   kConfigTableTimeout) != 0) {
    job.show(msg::kDownloadError, BarColour::Red);
    job.display.setPercent(0);
    return msg::kDownloadError;
  }
  return 0;
}

std::int32_t StationProduction::sendCode(PortJob& job, bool scanning) {
  JobInputs& in = inputs(job);
  const bool ok = scanning ? in.scanCodeOk : in.finalCodeOk;
  const auto& code = scanning ? in.scanCode : in.finalCode;
  if (ok) std::copy(code.begin(), code.end(), job.rec.Code.begin());
  const ConstCodeTypeRecord record(std::span<const std::uint8_t, C::kCodeTypeSize>(job.rec.Code));
  // A flash type naming a code type that does not exist downloads nothing.
  if (!ok || DownloadCode(job.commands, job.rec.hDevice, scanning ? 0 : 1, record.RealCodeLength(),
                          record.CodeImage()) != 0) {
    job.show(msg::kDownloadError, BarColour::Red);
    job.display.setPercent(0);
    return msg::kDownloadError;
  }
  return 0;
}

std::int32_t StationProduction::writeFileSystems(PortJob& job) {
  FileSystemInputs fs;
  fs.activeZoneCount = std::max<int>(1, job.rec.Settings[C::kActiveZoneCount]);
  fs.privatePassword = GetText(job.rec.Settings, C::kPrivateZonePassword, C::kPasswordWidth);
  fs.privateRecordBytes = inputs(job).privateRecordBytes;
  fs.scramblePrivateRecord = job.options.autorSecure.load();
  return WriteFileSystems(job, fs);
}

std::int32_t StationProduction::highFormat(PortJob& job, const FlashGeometry& g, bool multiChip) {
  JobInputs& in = inputs(job);
  if (!in.finalCodeOk) {
    job.show(msg::kDownloadError, BarColour::Red);
    return msg::kDownloadError;
  }
  const ConstCodeTypeRecord code(std::span<const std::uint8_t, C::kCodeTypeSize>(in.finalCode));
  HighFormatOptions o;
  o.layout.geometry = g;
  o.layout.codeLength = code.CodeLength();
  o.layout.codeCount = code.CodeCount();
  o.layout.multiChipMode = multiChip;
  for (int r = 0; r < kBinRows; ++r)
    o.layout.bins[std::size_t(r)] = {job.options.fromBin[std::size_t(r)].load(),
                                     job.options.toBin[std::size_t(r)].load(),
                                     job.options.mBin[std::size_t(r)].load()};
  o.codeImage = code.CodeImage();
  o.noVerify = job.options.noVerify.load();
  o.logicScan = job.options.logicScan.load();
  o.noFat = job.options.noFat.load();
  o.scanCount = std::uint8_t(std::max(1, job.options.scanCount.load()));
  o.randomData = job.options.randomData.load();
  o.blockMode = job.options.blockMode.load();

  HighFormatHooks hooks;
  hooks.buildFinalSysInfo = [&](const LayoutPlan&) {
    FORMATINFO& rec = job.rec;
    std::copy(in.finalCode.begin(), in.finalCode.end(), rec.Code.begin());
    const std::size_t R = g.pagePerBlock / 8;
    std::memcpy(rec.SysInfo.data() + sysinfo::kSysBlockBitmap,
                rec.BadPageBitmap.data() + std::size_t(rec.Flash.SysBlock) * R, R);
    sysinfo::PutLe16(rec.SysInfo, sysinfo::kBitmapValidMark, sysinfo::kBitmapValid);
    // The raw-bitmap mark only where the bad-page information really is a
    // raw bitmap; per-entry records must not be read as one.
    sysinfo::PutLe16(rec.SysInfo, sysinfo::kRawBitmapMark, multiChip ? sysinfo::kRawBitmap : 0);
    BuildSysInfo(rec, job.port, sysInfoInputs(job), {});
    sysinfo::StoreChecksum(rec.SysInfo);
  };
  hooks.sendSysInfo = [&](bool noProtect, bool logicLayout) {
    return sendSysInfo(job, noProtect, logicLayout);
  };
  hooks.sendCode = [&](bool scanning) { return sendCode(job, scanning); };
  hooks.writeFileSystems = [&] { return writeFileSystems(job); };
  return HighFormat(job, o, hooks);
}

std::int32_t StationProduction::copyFailed(PortJob& job, const std::string& why, bool percentZero) {
  job.rec.StatusText = " " + job.messages.str(msg::kCopyError) + why;
  job.display.setText(job.rec.StatusText);
  job.display.setColour(BarColour::Red);
  if (percentZero) job.display.setPercent(0);
  return msg::kCopyError;
}

std::int32_t StationProduction::copyFolders(PortJob& job) {
  const auto& set = job.rec.Settings;
  std::error_code ec;
  const fs::path login = env_.home / "LoginFiles", boot = env_.home / "BootFiles";
  fs::path first;
  bool isLogin = false;
  if (set[C::kZone0WriteProtect] && fs::is_directory(login, ec)) {
    first = login;
    isLogin = true;
  } else if (set[C::kBootType] != 0 && fs::is_directory(boot, ec)) {
    first = boot;
  }
  const fs::path zone0 = inputs(job).zone0Folder;
  const bool copyZone0 = !zone0.empty() && !job.options.zone0WriteProtect.load() &&
                         set[C::kZone0DiskType] != kCdrom && fs::is_directory(zone0, ec);
  if (first.empty() && !copyZone0) return 0;

  ProducedVolume volume =
      env_.openVolume
          ? env_.openVolume(job.port, job.rec.DevicePath, [&job] { return job.stopRequested(); })
          : ProducedVolume::Missing("the disk's volume is not mounted");
  if (job.stopRequested()) {
    job.showCancelled();
    return msg::kCancel;
  }
  if (!volume.available()) return copyFailed(job, "(" + volume.problem() + ")", true);
  const fs::path& root = volume.root();
  job.rec.DriveLetter = root.string();
  if (!first.empty() && !CopyTree(job, first, root)) return copyFailed(job, "", isLogin);
  if (copyZone0 && !CopyTree(job, zone0, root)) return copyFailed(job, "", false);
  // Copied files are only on the disk once the volume has written them out.
  if (const std::string problem = volume.finish(); !problem.empty())
    return copyFailed(job, "(" + problem + ")", false);
  return 0;
}

// Frees the job's bitmap on every way out.
struct BitmapOwner {
  FORMATINFO& rec;
  ~BitmapOwner() { std::vector<std::uint8_t>().swap(rec.BadPageBitmap); }
};

std::int32_t StationProduction::RunProduction(PortJob& job) {
  FORMATINFO& rec = job.rec;
  const bool mpcs = job.options.mpcsHighFormatSelected();
  rec.BadPages = 0;
  if (mpcs) {
    const std::uint32_t bpc = JobFlashType(rec).BlockPerChip();
    if (rec.BlockCountOverride > bpc) {
      // Sets the 32-bit block count and its 16-bit copy together.
      FlashTypeRecord(std::span<std::uint8_t, C::kFlashTypeSize>(rec.FlashType))
          .setBlockPerChip(rec.BlockCountOverride);
    } else if (rec.BlockCountOverride != 0) {
      rec.BlockCountOverride = std::uint16_t(bpc);
    }
  }
  const auto g = geometry(job, !mpcs);
  if (!g) return -1;
  rec.TotalBlocks = g->totalBlocks();
  BadBlockMap retired(rec.TotalBlocks);
  rec.LogicPassCount = 0;
  BitmapOwner owner{rec};
  rec.BadPageBitmap.assign(g->totalPages() / 8, 0);
  rec.SysInfo.fill(0);
  if (const std::int32_t r = sendSysInfo(job, false, false); r != 0) return r;
  if (const std::int32_t r = sendCode(job, true); r != 0) return r;
  rec.BadPages = 0;
  ClearBlockLists(rec.Flash);

  std::int32_t r = 0;
  FlashGeometry scanGeometry = *g;
  scanGeometry.sectorsPerPageX = rec.SectorsPerPageX;
  if (mpcs) {
    std::fill(rec.BadPageBitmap.begin(), rec.BadPageBitmap.end(), 0xFF);
    r = ReadRecordedBadBlocks(job, scanGeometry, rec.Flash, job.options.highChipCheck.load());
  } else {
    ScanOptions so;
    so.scanLevelIndex = job.options.scanLevelIndex.load();
    so.scanCount = std::uint8_t(std::max(0, job.options.scanCount.load()));
    so.eccLevel = std::uint8_t(std::min(job.options.eccOpen.load(), job.options.eccOpenBytes.load()));
    so.preTest = job.options.preTest.load();
    const std::int64_t from = job.options.fromBlock.load(), to = job.options.toBlock.load();
    so.toBlock = to == LiveOptions::kNotANumber ? "?" : std::to_string(to);
    so.fromBlock = from == LiveOptions::kNotANumber ? "?" : std::to_string(from);
    so.forcedBad = !job.options.markGoodBlocks.load();
    so.oddPageAllBad = job.options.oddPageAllBad.load();
    so.evenPageAllBad = job.options.evenPageAllBad.load();
    so.blockMode = job.options.blockMode.load();
    so.listWhileFormatting = job.options.listWhileFormating.load();
    r = ScanBadBlocks(job, scanGeometry, retired, rec.Flash, so);
  }
  if (r != 0) return r;

  if (job.options.onlyScan.load()) {
    const ZoneSummary z = BuildZones(rec.Flash, rec.BadPageBitmap, scanGeometry);
    rec.DiskSectors = z.diskSectors;
    rec.ZoneCount = z.zoneCount;
    job.tree.appendToRootText(rec.BadBlkNode, ": DiskSize: " + std::to_string(rec.DiskSectors / 2048) + "MB");
    rec.StatusText = FormatMessageText(job.messages.str(msg::kScanFinished),
                                       {rec.TotalBlocks, rec.BadPages, rec.DiskSectors / 2048});
    job.display.setBar(rec.StatusText + "MB  BIN-" + std::to_string(rec.BinNo) + " " +
                           ElapsedText(rec.ElapsedSeconds.load()),
                       BarColour::Blue, 0);
    ClearZones(rec.Flash);
    return 0;
  }

  rec.LogicScanDone = 0;
  rec.LogicCleanPasses = 0;
  r = highFormat(job, scanGeometry, mpcs);
  if (r == msg::kSysInfoVerifyError) r = highFormat(job, scanGeometry, mpcs);
  if (r != 0) return r;
  std::vector<std::uint8_t>().swap(rec.BadPageBitmap);
  return copyFolders(job);
}

std::int32_t StationProduction::RunHighFormatOnly(PortJob& job) {
  FORMATINFO& rec = job.rec;
  const auto g = geometry(job, false);
  if (!g) return -1;
  if (const std::int32_t r = sendSysInfo(job, false, false); r != 0) return r;
  if (const std::int32_t r = sendCode(job, true); r != 0) return r;
  rec.BadPages = 0;
  const std::uint32_t E = rec.SectorsPerPageX;
  const std::uint32_t P = g->pagePerBlock;
  std::vector<std::uint8_t> page(std::size_t(E) * 512);

  // Find the system information, probing page and sector addresses the way
  // the high format writes them (page x E).
  std::array<std::uint8_t, 512> found{};
  const bool ok = sysinfo::ForEachSystemPosition([&](std::uint32_t p) {
    if (job.stopRequested()) return true;
    if (ReadSectors(job.commands, rec.hDevice, 0, p * E, std::uint8_t(E), page, kProbeTimeout) != 0)
      return false;
    if (!sysinfo::HasSignature(page)) return false;
    std::memcpy(found.data(), page.data(), 512);
    return true;
  });
  if (job.stopRequested()) {
    job.showCancelled();
    return msg::kCancel;
  }
  auto refuse = [&](const std::string& why) {
    rec.StatusText = why;
    job.display.setText(why);
    job.display.setColour(BarColour::Red);
    return -1;
  };
  if (!ok) return refuse("No system information found on the flash");

  // Everything the rewrite needs is read and checked before anything is erased.
  const std::uint32_t sysBlock = sysinfo::Be16(found, sysinfo::kSysBlock);
  std::vector<std::uint32_t> pages = {found[sysinfo::kSysInfoPage], found[sysinfo::kZoneInfoPage],
                                      found[sysinfo::kTableBitmapPage]};
  for (std::size_t k = 0; k < 10 && found[sysinfo::kCodePages + k] != 0; ++k)
    pages.push_back(found[sysinfo::kCodePages + k]);
  if (sysBlock >= g->blockPerChip)
    return refuse("The recorded system information is damaged: system block " +
                  std::to_string(sysBlock) + " is beyond the flash");
  for (std::uint32_t p : pages)
    if (p >= P)
      return refuse("The recorded system information is damaged: page " + std::to_string(p) +
                    " is beyond the block");
  std::vector<std::vector<std::uint8_t>> content;
  for (std::uint32_t p : pages) {
    if (ReadSectors(job.commands, rec.hDevice, 0, (sysBlock * P + p) * E, std::uint8_t(E), page,
                    kSystemReadTimeout) != 0) {
      job.show(msg::kSysInfoReadError, BarColour::Red);
      return msg::kSysInfoReadError;
    }
    content.push_back(page);
  }

  // The capacity from the recorded zone information (count x good pages x S
  // per zone): the same on every re-format, so repeating one does not shrink
  // the disk. The current bins cap it.
  const std::uint32_t zones = std::uint32_t(found[sysinfo::kZoneCountMinus1]) + 1;
  const auto& zoneInfo = content[1];
  std::uint64_t capacity = 0;
  for (std::uint32_t z = 0; z < zones && 2 * z + 1 < zoneInfo.size(); ++z)
    capacity += std::uint64_t(zoneInfo[z]) * (zoneInfo[zones + z] + 1u) * g->sectorPerPage;
  std::copy(found.begin(), found.end(), rec.SysInfo.begin());
  rec.DiskSectors = std::uint32_t(capacity);
  std::array<BinRow, kBinRows> bins{};
  for (int r = 0; r < kBinRows; ++r)
    bins[std::size_t(r)] = {job.options.fromBin[std::size_t(r)].load(),
                            job.options.toBin[std::size_t(r)].load(),
                            job.options.mBin[std::size_t(r)].load()};
  const BinResult bin = ClassifyCapacity(rec.DiskSectors, bins);
  rec.FixedSectors = bin.fixedSectors;
  if (bin.binNo) rec.BinNo = std::uint8_t(bin.binNo);

  // Rebuild the zone layout with the current settings; the flash parameters,
  // table positions, FAT sizes and marks stay as recorded.
  const std::array<std::uint8_t, 512> old = found;
  rec.Flash.SysBlock = std::uint16_t(sysBlock);
  rec.Flash.SysInfoPage = old[sysinfo::kSysInfoPage];
  rec.Flash.ZoneInfoPage = old[sysinfo::kZoneInfoPage];
  rec.Flash.TableBitmapPage = old[sysinfo::kTableBitmapPage];
  std::memcpy(rec.Flash.CodePages.data(), old.data() + sysinfo::kCodePages, 10);
  rec.Flash.CodePageCount = old[sysinfo::kCodePageCount];
  rec.Flash.TableBlockClass = old[sysinfo::kTableBlockClass];
  for (std::size_t i = 0; i < 10; ++i)
    rec.Flash.TableBlocks[i] = sysinfo::Be16(old, sysinfo::kTableBlocks + 2 * i);
  rec.ZoneCount = std::uint16_t(zones);
  const std::uint8_t oldCode = old[sysinfo::kCodeSectors];
  BuildSysInfo(rec, job.port, sysInfoInputs(job), {});
  std::memcpy(rec.SysInfo.data() + 336, old.data() + 336, 128);  // flash parameters as recorded
  for (std::size_t at : {317, 319, 321}) {
    rec.SysInfo[at] = old[at];
    rec.SysInfo[at + 1] = old[at + 1];
  }
  // ... except the LED codes, which follow the current settings.
  rec.SysInfo[388] = LedCode(rec.Settings[C::kLedStatus]);
  rec.SysInfo[389] = BlinkCode(rec.Settings[C::kWorkLed]);
  rec.SysInfo[sysinfo::kCodeSectors] = oldCode;
  std::memcpy(rec.SysInfo.data() + 464, old.data() + 464, 48);  // bitmap and marks
  sysinfo::StoreChecksum(rec.SysInfo);

  // Rewrite the system block: erase, then only the pages in use, each read back.
  if (EraseBlocks(job.commands, rec.hDevice, 0, sysBlock, 1) != 0) {
    job.show(msg::kEraseError, BarColour::Red);
    return msg::kEraseError;
  }
  std::memcpy(content[0].data(), rec.SysInfo.data(), 512);
  std::vector<std::uint8_t> back(page.size());
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const std::uint32_t sector = (sysBlock * P + pages[i]) * E;
    if (WriteSectors(job.commands, rec.hDevice, 0, sector, std::uint8_t(E), 0, kDestFlash, content[i],
                     kSystemWriteTimeout) != 0) {
      job.show(msg::kSysInfoWriteError, BarColour::Red);
      return msg::kSysInfoWriteError;
    }
    if (ReadSectors(job.commands, rec.hDevice, 0, sector, std::uint8_t(E), back, kSystemReadTimeout) != 0) {
      job.show(msg::kSysInfoReadError, BarColour::Red);
      return msg::kSysInfoReadError;
    }
    if (back != content[i]) {
      job.show(msg::kSysInfoVerifyError, BarColour::Red);
      return msg::kSysInfoVerifyError;
    }
  }
  if (WriteSectors(job.commands, rec.hDevice, 0, 0, 1, 1, 0, rec.SysInfo, kConfigTableTimeout) != 0) {
    job.show(msg::kDownloadError, BarColour::Red);
    return msg::kDownloadError;
  }
  if (const std::int32_t r = sendCode(job, false); r != 0) return r;
  if (!job.options.noFat.load()) return writeFileSystems(job);
  return 0;
}

}  // namespace

std::unique_ptr<ProductionSequence> MakeStationProduction(ProductionEnvironment env) {
  return std::make_unique<StationProduction>(std::move(env));
}

}  // namespace kvx
