#pragma once
// Composition of a whole station: the settings image from the station
// folder, the device backends (the host's SCSI pass-through, the simulator),
// the USB topology and hot-plug source, port discovery with its watcher and
// enumeration thread, and the Station itself. Both front ends (window and
// terminal) create one and talk to its Station.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "device/port_discovery.h"
#include "engine/operator.h"
#include "engine/station.h"

namespace kvx {

struct RuntimeOptions {
  std::filesystem::path home;            // the station folder
  std::optional<int> simDisks;           // N simulated healthy disks
  std::filesystem::path simProfile;      // or a JSON simulation profile
  std::optional<Language> language;      // default: from the locale
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
  // Writes config.dat; false with the reason when it could not be written.
  virtual bool saveSettings(std::string& error) = 0;
};

}  // namespace kvx
