#pragma once
// Composition of a whole station: the settings image from the station
// folder, the device backends (the host's SCSI pass-through, the simulator),
// the USB topology and hot-plug source, port discovery with its watcher and
// enumeration thread, and the Station itself. Both front ends (window and
// terminal) create one and talk to its Station.
//
// The settings image is shared by the front end (settings pages, commands),
// the refresh thread (identification stores the flash-type choice, bytes 0
// and 5) and job start (snapshots, the serial counter). All of them hold the
// station's control lock while they touch it: settingsLock() for the front
// end. Never call a Station command (StartAll, ...) while holding it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/config_image.h"
#include "config/ini_file.h"
#include "config/language_file.h"
#include "config/settings_file.h"
#include "config/settings_form.h"
#include "device/port_discovery.h"
#include "engine/operator.h"
#include "engine/production.h"
#include "engine/station.h"

namespace kvx {

namespace sim {
class Simulator;
}

inline constexpr const char* kStationIniName = "kvx-station.ini";

struct RuntimeOptions {
  std::filesystem::path home;             // the station folder
  std::optional<int> simDisks;            // N simulated healthy disks
  std::filesystem::path simProfile;       // or a JSON simulation profile
  std::optional<Language> language;       // default: from the locale
  std::optional<std::uint32_t> localeId;  // default: from LC_ALL, LC_MESSAGES, LANG
  std::uint64_t simSeed = 1;              // seed of the short form's defects
  // The window's own texts. When the language file the ini names is
  // missing, it is created from them; without them (the terminal station
  // has no window) a missing language file stays missing.
  std::vector<ComponentTexts> windowTexts;
  // The production sequence; default MakeStationProduction. Tests hand in
  // sequences of their own.
  std::function<std::unique_ptr<ProductionSequence>(ProductionEnvironment)> makeSequence;
};

class StationRuntime {
 public:
  // Builds everything; on failure returns null and says why in `error`
  // (a missing profile, an unreadable station folder, ...).
  static std::unique_ptr<StationRuntime> Create(const RuntimeOptions& options, Operator& op,
                                                std::string& error);
  virtual ~StationRuntime() = default;

  virtual Station& station() = 0;
  virtual PortDiscovery& discovery() = 0;
  virtual const std::filesystem::path& home() const = 0;
  virtual bool simulated() const = 0;

  // One refresh on the calling thread.
  virtual void refreshNow() = 0;
  // Starts the hot-plug watcher and the enumeration thread; the first
  // refresh then happens by itself.
  virtual void startHotplug() = 0;
  virtual void stopHotplug() = 0;
  // A refresh on the enumeration thread (the refresh button).
  virtual void requestRefresh() = 0;
  // Applies the settings pages to the image and writes config.dat; false
  // with the reason when it could not be written.
  virtual bool saveSettings(std::string& error) = 0;

  // --- beyond the first cut ---
  // The simulator in simulation, else null.
  virtual sim::Simulator* simulator() = 0;
  // The built-in demo settings are in use (simulation without config.dat).
  virtual bool demoSettings() const = 0;
  virtual std::uint32_t localeId() const = 0;
  virtual Language language() const = 0;
  // What the start-up noticed but did not stop for (a config.dat that could
  // not be read, ...), one line each.
  virtual const std::vector<std::string>& warnings() const = 0;
  // The language file the ini names for the locale, and what it gave.
  virtual const LanguageStart& languageStart() const = 0;
  virtual IniFile& ini() = 0;

  // The settings pages over the station's image. Hold settingsLock() for
  // every use of the pages, the form or the image.
  virtual SettingsPages& settings() = 0;
  virtual std::unique_lock<std::mutex> settingsLock() = 0;
  // A copy of the image, taken under the lock.
  virtual ConfigImage imageSnapshot() = 0;

  // The volume of a port's produced disk for the folder copies (see
  // ProductionEnvironment::openVolume).
  virtual ProducedVolume openVolume(int port, const std::string& devicePath,
                                    const std::function<bool()>& stopRequested) = 0;

  // The end of a run without an operator: stops the watcher and the
  // enumeration thread, asks every job to stop, waits for the workers and
  // closes every handle. Saves nothing (Station::Close saves).
  virtual void shutdown() = 0;
};

}  // namespace kvx
