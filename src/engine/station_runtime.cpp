#include "engine/station_runtime.h"

#include <fstream>
#include <system_error>

#include "device/device_router.h"
#include "device/hotplug_watcher.h"
#include "device/port_map.h"
#include "engine/production.h"
#include "platform/linux/locale.h"
#include "platform/linux/sg_transport.h"
#include "platform/linux/sysfs_usb_topology.h"
#include "platform/linux/udev_hotplug.h"

namespace kvx {
namespace {

// Flash-type byte offsets identification reads.
constexpr std::size_t kFtName = 0, kFtNameWidth = 32, kFtMainFlashId = 33, kFtFlagsB = 45,
                      kFtBlockPerChip16 = 47, kFtPagePerBlock = 49, kFtSectorPerPage = 53,
                      kFtIdVariant = 80;

class ImageFlashTypes final : public FlashTypeCatalog {
 public:
  explicit ImageFlashTypes(const ConfigImage& image) : image_(image) {}
  int count() const override {
    int n = 0;
    while (n < int(ConfigImage::kFlashTypeCount) && image_.flashType(std::size_t(n))[kFtName] != 0)
      ++n;
    return n;
  }
  FlashTypeIdentity identity(int index) const override {
    const auto r = image_.flashType(std::size_t(index));
    FlashTypeIdentity f;
    f.mainFlashId = std::uint32_t(r[kFtMainFlashId]) | std::uint32_t(r[kFtMainFlashId + 1]) << 8 |
                    std::uint32_t(r[kFtMainFlashId + 2]) << 16 |
                    std::uint32_t(r[kFtMainFlashId + 3]) << 24;
    f.idVariant = r[kFtIdVariant];
    f.blockPerChip16 = std::uint16_t(r[kFtBlockPerChip16] | r[kFtBlockPerChip16 + 1] << 8);
    f.pagePerBlock = std::uint16_t(r[kFtPagePerBlock] | r[kFtPagePerBlock + 1] << 8);
    f.sectorPerPage = r[kFtSectorPerPage];
    f.doubleDie = r[kFtFlagsB] & 1;
    std::size_t len = 0;
    while (len < kFtNameWidth && r[kFtName + len] != 0) ++len;
    f.name.assign(reinterpret_cast<const char*>(r.data()), len);
    return f;
  }

 private:
  const ConfigImage& image_;
};

// The flash-type choice kept in the settings header (bytes 0, 1 and 5).
class HeaderSelection final : public FlashSelection {
 public:
  explicit HeaderSelection(ConfigImage& image) : image_(image) {}
  bool autoSelect() const override { return image_.header()[1] != 0; }
  int flashCount() const override { return image_.header()[5]; }
  int flashTypeSelection() const override { return image_.header()[0]; }
  void select(int index, int count) override {
    image_.header()[0] = std::uint8_t(index);
    image_.header()[5] = std::uint8_t(count);
  }

 private:
  ConfigImage& image_;
};

class HostRuntime final : public StationRuntime {
 public:
  HostRuntime(const RuntimeOptions& o, Operator& op, Language language)
      : home_(o.home),
        sequence_(MakeStationProduction({o.home, {}})),
        station_(router_, *sequence_, op, language),
        flashTypes_(station_.config()),
        selection_(station_.config()),
        discovery_(station_, topology_, portMap_, flashTypes_, selection_),
        refresher_([this] { discovery_.RefreshPorts(); }),
        watcher_(discovery_, hotplug_, [this] { refresher_.request(); }) {
    router_.addBackend("", &sg_);
  }
  ~HostRuntime() override { stopHotplug(); }

  bool load(std::string& error) {
    std::error_code ec;
    if (!std::filesystem::is_directory(home_, ec)) {
      error = "station folder " + home_.string() + " is not a readable folder";
      return false;
    }
    std::ifstream in(home_ / "config.dat", std::ios::binary);
    if (in) {
      auto bytes = station_.config().bytes();
      in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    return true;
  }

  Station& station() override { return station_; }
  PortDiscovery& discovery() override { return discovery_; }
  const std::filesystem::path& home() const override { return home_; }
  bool simulated() const override { return false; }
  void refreshNow() override { discovery_.RefreshPorts(); }
  void startHotplug() override { watcher_.start(true); }
  void stopHotplug() override { watcher_.stop(); }
  void requestRefresh() override { refresher_.request(); }
  bool saveSettings(std::string& error) override {
    error = "saving config.dat is not available in this build";
    return false;
  }

 private:
  std::filesystem::path home_;
  SgTransport sg_;
  DeviceRouter router_;
  std::unique_ptr<ProductionSequence> sequence_;
  Station station_;
  SysfsUsbTopology topology_;
  UdevHotplugSource hotplug_;
  MemoryPortMap portMap_;
  ImageFlashTypes flashTypes_;
  HeaderSelection selection_;
  PortDiscovery discovery_;
  RefreshWorker refresher_;
  HotplugWatcher watcher_;
};

}  // namespace

std::unique_ptr<StationRuntime> StationRuntime::Create(const RuntimeOptions& options, Operator& op,
                                                       std::string& error) {
  if (options.simDisks || !options.simProfile.empty()) {
    error = "simulated disks are not available in this build";
    return nullptr;
  }
  const Language language =
      options.language.value_or(LanguageForLocale(LocaleIdFromEnvironment()));
  auto runtime = std::make_unique<HostRuntime>(options, op, language);
  if (!runtime->load(error)) return nullptr;
  return runtime;
}

}  // namespace kvx
