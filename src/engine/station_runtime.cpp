#include "engine/station_runtime.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

#include "device/device_router.h"
#include "device/hotplug_watcher.h"
#include "device/port_map.h"
#include "engine/demo_settings.h"
#include "platform/linux/locale.h"
#include "platform/linux/sg_transport.h"
#include "platform/linux/sysfs_usb_topology.h"
#include "platform/linux/udev_hotplug.h"
#include "platform/linux/volume_attach.h"
#include "sim/simulator.h"

namespace kvx {
namespace {

namespace fs = std::filesystem;
using I = ConfigImage;

constexpr const char* kPortsSection = "Ports";
constexpr const char* kWindowName = "MainForm";

// The flash-type list as identification sees it: a copy of the table taken
// under the control lock when a refresh begins. Identification may read it
// with or without that lock (it talks to the disk meanwhile), and the window
// may edit the table at the same time without a race.
class FlashTypeSnapshot final : public FlashTypeCatalog {
 public:
  // Under the control lock.
  void take(const ConfigImage& image) {
    auto list = std::make_shared<std::vector<FlashTypeIdentity>>();
    for (std::size_t i = 0; i < image.flashTypeCount(); ++i) {
      const ConstFlashTypeRecord r = image.flashTypeRecord(i);
      FlashTypeIdentity f;
      f.mainFlashId = r.MainFlashID();
      f.idVariant = r.IdVariant();
      f.blockPerChip16 = r.BlockPerChip16();
      f.pagePerBlock = r.PagePerBlock();
      f.sectorPerPage = r.SectorPerPage();
      f.doubleDie = r.DoubleDie();
      f.name = r.FlashName();
      list->push_back(std::move(f));
    }
    std::lock_guard l(m_);
    list_ = std::move(list);
  }
  int count() const override { return int(current()->size()); }
  FlashTypeIdentity identity(int index) const override {
    const auto list = current();
    // A newer copy may be shorter than the one the caller counted.
    if (index < 0 || index >= int(list->size())) return {};
    return (*list)[std::size_t(index)];
  }

 private:
  std::shared_ptr<const std::vector<FlashTypeIdentity>> current() const {
    std::lock_guard l(m_);
    return list_;
  }
  mutable std::mutex m_;
  std::shared_ptr<const std::vector<FlashTypeIdentity>> list_ =
      std::make_shared<std::vector<FlashTypeIdentity>>();
};

// The operator's flash-type choice: the settings form's FlashTypeList,
// FlashCount and AutoSelect. A successful identification selects its type in
// the form and stores the choice in the image (bytes 0, 4 and 5), so a later
// save keeps it. select() and the two counts are used under the station's
// control lock; AutoSelect is copied when a refresh begins, since
// identification asks for it while it talks to the disk.
class FormSelection final : public FlashSelection {
 public:
  FormSelection(ConfigImage& image, SettingsPages& pages) : image_(image), pages_(pages) {}
  // Under the control lock.
  void take() { autoSelect_.store(pages_.form().autoSelect); }
  bool autoSelect() const override { return autoSelect_.load(); }
  int flashCount() const override { return pages_.form().flashCount; }
  int flashTypeSelection() const override { return pages_.form().flashTypeSelection; }
  void select(int index, int count) override {
    pages_.form().flashTypeSelection = index;
    pages_.form().flashCount = count;
    image_.SetSelectedFlashType(index);
    image_.setU8(I::kFlashCount, std::uint8_t(count));
  }

 private:
  ConfigImage& image_;
  SettingsPages& pages_;
  std::atomic<bool> autoSelect_{true};
};

// The port map in the ini file's "Ports" section. A write that does not
// reach the file (a read-only station folder) is kept in memory for this
// run, so slots stay one per key; it is tried again at the next write.
class IniPortMap final : public PortMapStore {
 public:
  explicit IniPortMap(IniFile& ini) : ini_(ini) {}
  std::vector<std::pair<std::string, std::string>> lines() override {
    auto lines = ini_.ReadSection(kPortsSection);
    std::lock_guard l(m_);
    for (const auto& [key, value] : unsaved_) {
      bool found = false;
      for (auto& [k, v] : lines)
        if (EqualsIgnoreCase(k, key)) v = value, found = true;
      if (!found) lines.emplace_back(key, value);
    }
    return lines;
  }
  void write(const std::string& key, int slot) override {
    std::lock_guard l(m_);
    unsaved_.emplace_back(key, std::to_string(slot));
    std::vector<std::pair<std::string, std::string>> still;
    for (const auto& [k, v] : unsaved_)
      if (!ini_.WriteString(kPortsSection, k, v)) still.emplace_back(k, v);
    unsaved_ = std::move(still);
  }
  void erase() override {
    std::lock_guard l(m_);
    unsaved_.clear();
    ini_.EraseSection(kPortsSection);
  }

 private:
  static bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return std::tolower(static_cast<unsigned char>(x)) ==
                    std::tolower(static_cast<unsigned char>(y));
           });
  }
  IniFile& ini_;
  std::mutex m_;
  std::vector<std::pair<std::string, std::string>> unsaved_;
};

std::vector<DemoFlash> DemoFlashesOf(const sim::Profile& profile) {
  std::vector<DemoFlash> out;
  for (const sim::DiskSpec& d : profile.disks) {
    if (d.kind != sim::DiskKind::Controller) continue;
    DemoFlash f;
    f.flashId = d.ids[0].lane0;
    f.bothLanes = d.ids[0].lane1 != 0 && d.ids[0].lane1 == d.ids[0].lane0;
    f.blocksPerChip = d.geometry.blocksPerChip;
    f.pagesPerBlock = d.geometry.pagesPerBlock;
    f.sectorsPerPage = d.geometry.sectorsPerPage;
    out.push_back(f);
  }
  return out;
}

struct Parts {
  std::unique_ptr<sim::Simulator> sim;
  std::vector<DemoFlash> demoFlashes;
  std::uint32_t localeId = kLocaleEnglishUs;
  Language language = Language::English;
};

class Runtime final : public StationRuntime {
 public:
  Runtime(const RuntimeOptions& o, Operator& op, Parts parts)
      : options_(o),
        home_(o.home),
        localeId_(parts.localeId),
        language_(parts.language),
        sim_(std::move(parts.sim)),
        demoFlashes_(std::move(parts.demoFlashes)),
        store_(home_ / kSettingsFileName),
        ini_(home_ / kStationIniName),
        portMap_(ini_),
        sequence_(MakeSequence(o, ProductionEnvironment{home_,
                                                        [this](int port, const std::string& path,
                                                               const std::function<bool()>& stop) {
                                                          return openVolume(port, path, stop);
                                                        }})),
        station_(router_, *sequence_, op, language_, hooks()),
        pages_(station_.config(), station_.options(), op, station_.messages(), home_),
        selection_(station_.config(), pages_),
        sysfs_(sim_ ? nullptr : std::make_unique<SysfsUsbTopology>()),
        udev_(sim_ ? nullptr : std::make_unique<UdevHotplugSource>()),
        topology_(sim_ ? static_cast<UsbTopology&>(sim_->topology()) : *sysfs_),
        hotplug_(sim_ ? sim_->hotplug() : static_cast<HotplugSource&>(*udev_)),
        discovery_(station_, topology_, portMap_, flashTypes_, selection_),
        refresher_(std::make_unique<RefreshWorker>([this] { refresh(); })),
        watcher_(
            discovery_, hotplug_, [this] { requestRefresh(); }, &popups_) {
    // Real disks always go through the host's pass-through; simulated ones
    // are reachable only in simulation.
    router_.addBackend("", &sg_);
    if (sim_) router_.addBackend(sim::Simulator::kPathPrefix, sim_.get());
  }

  ~Runtime() override {
    stopAuxiliary();
    // The Station's destructor stops and joins the workers; the handles die
    // with their backends.
  }

  bool start(std::string& error) {
    // Language: the ini names the file for the locale; the window creates it
    // from its own texts when it is missing.
    if (!options_.windowTexts.empty()) {
      languageStart_ = StartLanguage(ini_, localeId_, home_, kWindowName, options_.windowTexts);
    } else {
      languageStart_.path = ChooseLanguageFile(ini_, localeId_, home_);
      if (auto file = LanguageFile::Load(languageStart_.path)) {
        languageStart_.translations = file->TranslationsFor(kWindowName);
        languageStart_.eccOptions = file->EccOptions();
      }
    }

    auto lock = settingsLock();
    ConfigImage& image = station_.config();
    const LoadResult loaded = store_.Load(image);
    switch (loaded.status) {
      case LoadStatus::Missing:
        if (sim_) {
          FillDemoSettings(image, demoFlashes_);
          demo_ = true;
        }
        break;
      case LoadStatus::Unreadable:
        unreadableAtLoad_ = true;
        warnings_.push_back(store_.path().string() + " could not be read (" +
                            loaded.error.message() +
                            "); the station starts with empty settings and will not save over it");
        break;
      case LoadStatus::Short:
        warnings_.push_back(store_.path().string() +
                            " is shorter than a settings image; the rest reads as zero");
        break;
      case LoadStatus::Loaded:
      case LoadStatus::Long:
        break;
    }
    // The pages publish the live options into the Station's own LiveOptions,
    // the object every job reads.
    pages_.Start(languageStart_.eccOptions);
    (void)error;
    return true;
  }

  Station& station() override { return station_; }
  PortDiscovery& discovery() override { return discovery_; }
  const fs::path& home() const override { return home_; }
  bool simulated() const override { return sim_ != nullptr; }
  sim::Simulator* simulator() override { return sim_.get(); }
  bool demoSettings() const override { return demo_; }
  std::uint32_t localeId() const override { return localeId_; }
  Language language() const override { return language_; }
  const std::vector<std::string>& warnings() const override { return warnings_; }
  const LanguageStart& languageStart() const override { return languageStart_; }
  IniFile& ini() override { return ini_; }
  SettingsPages& settings() override { return pages_; }
  std::unique_lock<std::mutex> settingsLock() override {
    return std::unique_lock<std::mutex>(station_.controlMutex());
  }
  ConfigImage imageSnapshot() override {
    auto lock = settingsLock();
    return station_.config();
  }

  void refreshNow() override { refresh(); }
  void startHotplug() override {
    {
      // After a stop the enumeration thread is gone; a new start brings it back.
      std::lock_guard l(refresherMutex_);
      if (!refresher_) refresher_ = std::make_unique<RefreshWorker>([this] { refresh(); });
    }
    watcher_.start(true);
  }
  void stopHotplug() override { watcher_.stop(); }
  void requestRefresh() override {
    std::lock_guard l(refresherMutex_);
    if (refresher_) refresher_->request();
  }

  bool saveSettings(std::string& error) override {
    std::unique_lock lock = settingsLock();
    std::lock_guard file(fileMutex_);
    const FileResult r = pages_.SaveSettings(store_);
    if (!r) {
      error = store_.path().string() + ": " + r.describe();
      return false;
    }
    // From now on the file holds what the station shows.
    demo_ = false;
    return true;
  }

  ProducedVolume openVolume(int port, const std::string& devicePath,
                            const std::function<bool()>& stopRequested) override {
    const std::string slot = "port-" + std::to_string(port + 1);
    if (sim_) {
      // Simulated disks are never mounted by the host: a folder per port
      // stands in for the mount point of the produced disk's volume.
      const fs::path dir = home_ / "sim-volumes" / slot;
      std::error_code ec;
      fs::create_directories(dir, ec);
      return ec ? ProducedVolume::Missing("cannot make " + dir.string() + ": " + ec.message())
                : ProducedVolume(dir);
    }
    VolumeAttachOptions o;
    // Absolute, as the mount table names it: a station started with a
    // relative --home still finds a mount it left on its own mount point.
    std::error_code ec;
    o.mountPoint = fs::absolute(home_ / "volumes" / slot, ec);
    if (ec) o.mountPoint = home_ / "volumes" / slot;
    o.stopRequested = stopRequested;
    return AttachProducedVolume(devicePath, o);
  }

  void shutdown() override {
    stopAuxiliary();
    for (int k = 0; k < kPortCount; ++k) station_.record(k).Running.store(0);
    station_.WaitForIdle();
    auto lock = settingsLock();
    for (int k = 0; k < kPortCount; ++k) {
      FORMATINFO& rec = station_.record(k);
      if (IsOpen(rec.hDevice)) station_.devices().close(rec.hDevice);
      if (rec.hDevice != kNeverOpened) rec.hDevice = kInvalidHandle;
    }
  }

 private:
  static std::unique_ptr<ProductionSequence> MakeSequence(const RuntimeOptions& o,
                                                          ProductionEnvironment env) {
    return o.makeSequence ? o.makeSequence(std::move(env)) : MakeStationProduction(std::move(env));
  }

  // Every refresh starts from the settings as they are now.
  void refresh() {
    {
      auto lock = settingsLock();
      flashTypes_.take(station_.config());
      selection_.take();
    }
    discovery_.RefreshPorts();
  }

  StationHooks hooks() {
    StationHooks h;
    h.makeSerial = [this](FORMATINFO& rec, int) { return makeSerial(rec); };
    h.stopAuxiliaryThreads = [this] { stopAuxiliary(); };
    h.saveSettings = [this] {
      std::string error;
      if (!saveSettings(error)) warn(error);
    };
    return h;
  }

  void warn(const std::string& text) {
    std::lock_guard l(warningMutex_);
    warnings_.push_back(text);
  }

  void stopAuxiliary() {
    watcher_.stop();
    discovery_.cutShort();
    std::unique_ptr<RefreshWorker> worker;
    {
      std::lock_guard l(refresherMutex_);
      worker = std::move(refresher_);
    }
    worker.reset();  // joins after the running refresh, which was cut short
  }

  // Job start, on the thread that starts jobs, under the control lock.
  SerialOutcome makeSerial(const FORMATINFO& rec) {
    const auto mode = SerialMode(rec.Settings[I::kSerialMode]);
    const std::string text = GetText(rec.Settings, I::kSerialNumber, I::kSerialNumberWidth);
    timeval now{};
    ::gettimeofday(&now, nullptr);
    std::tm local{};
    const std::time_t seconds = now.tv_sec;
    ::localtime_r(&seconds, &local);
    return MakeSerial(
        mode, text, [this] { return advanceSerialCounter(); }, local, int(now.tv_usec / 1000));
  }

  // The Inc mode's counter: advanced in the image only once its four bytes
  // are in config.dat, so a crash never hands a number out twice. A counter
  // that has run out is returned past the last number without being stored
  // (the job is then refused); nothing when it could not be stored.
  std::optional<std::int32_t> advanceSerialCounter() {
    ConfigImage& image = station_.config();
    const std::int32_t current = image.SerialStartValue();
    if (current >= kLastSerialNumber) return kLastSerialNumber + 1;
    const std::int32_t next = current + 1;
    if (next < 0) return next;
    if (!persistSerialCounter(next)) return std::nullopt;
    image.SetSerialStartValue(next);
    pages_.form().serialStartValue = std::to_string(next);
    return next;
  }

  // Rewrites config.dat with only the counter's four bytes changed (the rest
  // of the file as it is on disk, not the unsaved edits in memory), through
  // the crash-safe replacement. Without a config.dat, the whole current image
  // is written: the counter needs a home.
  bool persistSerialCounter(std::int32_t value) {
    std::lock_guard file(fileMutex_);
    if (unreadableAtLoad_) return false;
    ConfigImage onDisk;
    const LoadResult r = LoadSettingsFile(store_.path(), onDisk);
    if (r.status == LoadStatus::Unreadable) return false;
    if (r.status == LoadStatus::Missing) onDisk = station_.config();
    onDisk.SetSerialStartValue(value);
    return bool(SaveSettingsFile(store_.path(), onDisk));
  }

  RuntimeOptions options_;
  fs::path home_;
  std::uint32_t localeId_;
  Language language_;
  std::unique_ptr<sim::Simulator> sim_;
  std::vector<DemoFlash> demoFlashes_;
  bool demo_ = false;
  bool unreadableAtLoad_ = false;
  std::mutex warningMutex_;
  std::vector<std::string> warnings_;
  LanguageStart languageStart_;

  std::mutex fileMutex_;  // every write of config.dat
  SettingsStore store_;
  IniFile ini_;
  IniPortMap portMap_;
  SgTransport sg_;
  DeviceRouter router_;
  std::unique_ptr<ProductionSequence> sequence_;
  Station station_;
  SettingsPages pages_;
  FlashTypeSnapshot flashTypes_;
  FormSelection selection_;
  std::unique_ptr<SysfsUsbTopology> sysfs_;
  std::unique_ptr<UdevHotplugSource> udev_;
  UsbTopology& topology_;
  HotplugSource& hotplug_;
  PortDiscovery discovery_;
  std::mutex refresherMutex_;
  std::unique_ptr<RefreshWorker> refresher_;
  NoPopups popups_;
  HotplugWatcher watcher_;
};

}  // namespace

std::unique_ptr<StationRuntime> StationRuntime::Create(const RuntimeOptions& options, Operator& op,
                                                       std::string& error) {
  std::error_code ec;
  if (options.home.empty()) {
    error = "no station folder given";
    return nullptr;
  }
  if (!fs::is_directory(options.home, ec)) {
    error = "station folder " + options.home.string() + " does not exist or is not a folder";
    return nullptr;
  }
  if (::access(options.home.c_str(), R_OK | X_OK) != 0) {
    error = "station folder " + options.home.string() + " cannot be read: " + std::strerror(errno);
    return nullptr;
  }

  Parts parts;
  parts.localeId = options.localeId.value_or(LocaleIdFromEnvironment());
  parts.language = options.language.value_or(LanguageForLocale(parts.localeId));
  if (options.simDisks || !options.simProfile.empty()) {
    try {
      sim::Profile profile = !options.simProfile.empty()
                                 ? sim::LoadProfile(options.simProfile.string())
                                 : sim::ShortFormProfile(*options.simDisks, options.simSeed);
      parts.demoFlashes = DemoFlashesOf(profile);
      parts.sim = std::make_unique<sim::Simulator>(std::move(profile));
    } catch (const std::exception& e) {
      error = e.what();
      return nullptr;
    }
  }
  auto runtime = std::make_unique<Runtime>(options, op, std::move(parts));
  if (!runtime->start(error)) return nullptr;
  return runtime;
}

}  // namespace kvx
