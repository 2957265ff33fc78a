#pragma once
// The settings pages without widgets: SettingsForm is the plain state the
// window binds its controls to (texts, ticks, selections, the zone-bar
// widths), SettingsPages moves it between the form and the image.
//
//   ShowSettings  image -> form (once at start)
//   SaveSettings  form -> image, then "config.dat" (leaving the pages, close)
//   the change handlers: the few controls that write the image, a working
//   value or a live option the moment they change.
//
// Live options: what running jobs read from the pages (OnlyScan, the scan
// level, the block range, ...) is published to LiveOptions, whose fields are
// atomics, whenever it changes; workers never read the form.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "config/code_types.h"
#include "config/config_image.h"
#include "config/flash_types.h"
#include "config/settings_file.h"
#include "engine/live_options.h"
#include "engine/messages.h"
#include "engine/operator.h"

namespace kvx {

struct ZoneSplit {
  int activeZoneCount = 1;
  std::array<float, 3> shares{1.0f, 0.0f, 0.0f};  // zones 0..2, left to right
  // Which bar (0 Zone0Bar, 1 Zone1Bar, 2 Zone2Bar) shows the share of zone
  // i; -1 for zones that do not exist.
  std::array<int, 3> barOfZone{1, -1, -1};
};

// Zone count and capacity shares from the three zone-bar widths in pixels.
// The middle bar counts one pixel less and is absent below 2 pixels; an outer
// bar is absent at 0.
ZoneSplit ZoneSplitLayout(int w0, int w1, int w2);

// A share as the bar shows it: share x 100, 3 significant digits, "%".
std::string ShareText(float share);

// The scan-level items for `levelCount` levels: "Low Level0".."Low Level<L-3>",
// then "High Format" and "Mpcs_High_Format" in the catalogue's language.
std::vector<std::string> ScanLevelItems(int levelCount, const MessageCatalogue& messages);

// Total bytes of the files below `folder` (subfolders included, symbolic
// links not followed); 2500 when the folder cannot be listed.
std::uint64_t EstimateFolderBytes(const std::filesystem::path& folder);

// The zone 0 content size in sectors, computed at save: the CD-ROM image's
// sectors (with 4096 spare) or the fixed size for a CD-ROM zone; the login
// folder's size with its file-system overhead for a write-protected zone;
// else 0. Any size in 1..2047 becomes 2048; sizes beyond 32 bits saturate.
std::uint32_t CdromContentSectors(std::uint64_t isoBytes, std::uint32_t fixSectors);
std::uint32_t FolderContentSectors(std::uint64_t folderBytes);

// What the settings pages show. Defaults are the form's defaults.
struct SettingsForm {
  // Page "flash format settings": flash
  std::vector<std::string> flashTypeList;  // FlashTypeList items
  int flashTypeSelection = -1;
  int flashCount = 0;
  bool autoSelect = true;
  // format
  bool onlyScan = false, preTest = false;
  int levelCount = 4;
  std::array<std::string, 6> blockRange{"0", "0", "0",
                                        "0", "0", "0"};  // FromBlock, ToBlock, ...1, ...2
  bool markGoodBlocks = false;                           // the Good/Bad choice: false = Bad
  std::vector<std::string> scanLevelItems;
  int scanLevelIndex = 0;
  std::vector<std::string> eccOpenItems;  // from the language file
  int eccOpenIndex = -1;
  bool oddPageAllBad = false, evenPageAllBad = false, logicScan = false, randomData = false;
  bool blockMode = false;
  std::string scanCount = "0";
  bool highChipCheck = false;
  bool noVerify = false;     // flash-configuration page
  std::string eccOpenBytes;  // flash-configuration page, hexadecimal
  // product information
  std::string vendorCode = "0x", productCode = "0x";
  std::string vendorInfo = "Orvel", productInfo = "Flash Disk";
  int ledStatus = 0, workLed = 0;
  std::string serialNumber, serialStartValue;
  int serialMode = 0;  // 0 Auto, 1 Fix, 2 Inc
  // bins, rows 1..15
  std::array<std::string, 15> fromBin, mBin, toBin;
  // zones
  std::array<int, 3> zoneBarWidths{};
  std::array<std::string, 3> zoneBarTexts;
  ZoneSplit split;
  bool zone1GroupEnabled = false, zone2GroupEnabled = false;
  std::array<int, 3> diskTypeItems{1, 1, 1};    // 0 Removable, 1 Local, 2 CDROM
  std::array<std::uint8_t, 3> zoneDiskTypes{};  // working codes 0x80/0x00/0x85
  int bootType = 0;
  std::array<std::string, 3> volumeLabels;
  std::string zone0FixSize = "0", zone1FixSize = "0";
  std::string zone0FilePath, zone1FilePath, isoFile;
  bool zone0ReadProtect = false, zone0WriteProtect = false;
  bool zone1WriteProtect = false, zone1Hide = false, zone2WriteProtect = false, zone2Hide = false;
  // private zone and other live ticks
  std::string pZoneFixSize = "0", pZonePassword;
  bool autorSecure = true, noFat = false, listWhileFormating = false;
};

enum class BinColumn { From, Middle, To };

class SettingsPages {
 public:
  // `stationDir` holds the login folder and resolves relative paths.
  SettingsPages(ConfigImage& image, LiveOptions& live, Operator& op,
                const MessageCatalogue& messages, std::filesystem::path stationDir);

  SettingsForm& form() { return form_; }
  const SettingsForm& form() const { return form_; }
  FlashTypePage& flashTypes() { return flashTypes_; }
  CodeTypePage& codeTypes() { return codeTypes_; }

  // Start-up after the image was loaded: the code-type and flash-type lists,
  // FlashTypeList and FlashCount, then ShowSettings. `eccOptions` are the
  // language file's EccOpen texts.
  void Start(std::vector<std::string> eccOptions);
  // Image -> form; recomputes the zone split; publishes the live options.
  void ShowSettings();
  // Form -> image in the fixed order (may warn 33034 through the operator).
  void ApplyForm();
  // ApplyForm, then writes the image through `store`. The result tells the
  // caller whether the file was written.
  FileResult SaveSettings(const SettingsStore& store);

  // --- change handlers ---
  void ScanLevelChanged(int item);
  void EccOpenChanged(int item);
  void BlockModeChanged(bool ticked);
  void NoVerifyChanged(bool ticked);
  void HighChipCheckChanged(bool ticked);
  void SerialModeClicked(int tag);
  void DiskTypeChanged(int zone, int item);
  EditResult BinChanged(BinColumn column, int row, std::string_view text);
  void EccOpenBytesChanged(std::string_view text);
  // Empty or "0" -> "1", above 20 -> "20" (the form's text follows).
  EditResult ScanCountChanged(std::string_view text);
  void LevelCountChanged(int value);
  void ZoneBarsMoved(int w0, int w1, int w2);
  void FlashConfigOpened();
  // Any other control that jobs read live changed on the form: publish.
  void PublishLive();

 private:
  void applyZoneSplit();
  void rebuildScanLevels();

  ConfigImage& image_;
  LiveOptions& live_;
  Operator& operator_;
  const MessageCatalogue& messages_;
  std::filesystem::path stationDir_;
  SettingsForm form_;
  FlashTypePage flashTypes_;
  CodeTypePage codeTypes_;
};

}  // namespace kvx
