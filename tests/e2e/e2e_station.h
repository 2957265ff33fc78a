#pragma once
// A whole station on simulated disks for end-to-end tests: the simulator, a
// settings image with a flash type that matches the simulated disks and two
// code types with valid checksums, discovery, and the real production
// sequence.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <span>
#include <memory>

#include "config/config_image.h"
#include "device/device_router.h"
#include "device/port_discovery.h"
#include "device/port_map.h"
#include "engine/bins_serials.h"
#include "engine/demo_settings.h"
#include "engine/production.h"
#include "engine/station.h"
#include "flash/sysinfo_fields.h"
#include "sim/sim_profile.h"
#include "sim/simulator.h"
#include "support/flash_fakes.h"

namespace kvx::e2e {

using sim::Simulator;

inline constexpr std::uint32_t kSimFlashId = 0xECD35195;

// The station's built-in demo settings for the simulated flash, with a fixed
// serial text and a volume label the tests look for.
inline void DemoSettings(ConfigImage& image, std::uint32_t blocks = 256, std::uint32_t pages = 32,
                         std::uint32_t sectors = 4) {
  FillDemoSettings(image, {{kSimFlashId, false, blocks, pages, sectors}});
  image.setU8(ConfigImage::kSerialMode, 1);
  image.setText(ConfigImage::kSerialNumber, ConfigImage::kSerialNumberWidth, "KVX0000000000001");
  image.setText(ConfigImage::kZone0Label, ConfigImage::kLabelWidth, "KVXDISK");
}

// A controller disk of the demo flash (256 blocks of 32 pages of 4 sectors per
// chip) with no defects, and a simulator of such disks on the default tree.
inline sim::DiskSpec ControllerDisk(std::uint32_t chips = 1) {
  sim::DiskSpec d;
  d.geometry = {chips, 256, 32, 4};
  for (std::uint32_t c = 0; c < chips; ++c) d.ids[c] = {kSimFlashId, 0};
  return d;
}

inline std::unique_ptr<Simulator> SimOf(std::vector<sim::DiskSpec> disks) {
  sim::Profile p;
  const int n = int(disks.size());
  p.disks = std::move(disks);
  p.buses = sim::DefaultTree(n);
  return std::make_unique<Simulator>(p);
}

// Rewrites every copy of the system information that a production left on
// chip `chip` of disk `disk` (pages whose first sector carries the signature),
// with a fresh checksum, so that readers meet the forged values and not a bad
// checksum. Returns the copies edited.
inline int EditSystemInformation(Simulator& sim, int disk, std::uint32_t chip,
                                 const std::function<void(std::span<std::uint8_t, 512>)>& edit) {
  int edited = 0;
  for (std::uint32_t page = 0;; ++page) {
    bool hit = false;
    const bool inRange = sim.editPage(disk, chip, page, [&](std::span<std::uint8_t> raw) {
      const auto sector = raw.first<512>();
      if (!sysinfo::HasSignature(sector)) return;
      edit(sector);
      sysinfo::StoreChecksum(sector);
      hit = true;
    });
    if (!inRange) return edited;
    edited += hit;
  }
}

// The first copy of the system information on chip `chip` of disk `disk`;
// empty when there is none.
inline std::vector<std::uint8_t> ReadSystemInformation(Simulator& sim, int disk, std::uint32_t chip) {
  std::vector<std::uint8_t> found;
  EditSystemInformation(sim, disk, chip, [&](std::span<std::uint8_t, 512> s) {
    if (found.empty()) found.assign(s.begin(), s.end());
  });
  return found;
}

class ImageCatalog : public FlashTypeCatalog {
 public:
  explicit ImageCatalog(const ConfigImage& image) : image_(image) {}
  int count() const override { return int(image_.flashTypeCount()); }
  FlashTypeIdentity identity(int i) const override {
    const auto r = image_.flashTypeRecord(std::size_t(i));
    return {r.MainFlashID(), r.IdVariant(), r.BlockPerChip16(), r.PagePerBlock(),
            r.SectorPerPage(), r.DoubleDie(), r.FlashName()};
  }

 private:
  const ConfigImage& image_;
};

class SimStation {
 public:
  explicit SimStation(std::unique_ptr<Simulator> simulator)
      : sim(std::move(simulator)),
        home(std::filesystem::temp_directory_path() /
             ("kvx-e2e-" + std::to_string(getpid()) + "-" + std::to_string(counter++))),
        sequence(MakeStationProduction(
            {home, [this](int port, const std::string&, const std::function<bool()>& stop) {
               if (openVolume) return openVolume(port, stop);
               if (!volumesMounted)
                 return ProducedVolume::Missing("the disk's volume is not mounted");
               const auto dir = volume(port);
               std::filesystem::create_directories(dir);
               return ProducedVolume(dir);
             }})),
        station(router, *sequence, op, Language::English),
        catalog(station.config()),
        discovery(station, sim->topology(), portMap, catalog, selection) {
    std::filesystem::create_directories(home);
    router.addBackend(Simulator::kPathPrefix, sim.get());
    DemoSettings(station.config());
    // Serial numbers as the station's runtime gives them, with the Inc
    // mode's counter kept in memory.
    station.hooks().makeSerial = [this](FORMATINFO& rec, int) {
      return MakeSerial(SerialMode(rec.Settings[ConfigImage::kSerialMode]),
                        GetText(rec.Settings, ConfigImage::kSerialNumber, ConfigImage::kSerialNumberWidth),
                        [this] { return std::optional<std::int32_t>(++serialCounter); }, std::tm{}, 0);
    };
    station.options().levelCount = 4;
    station.options().scanCount = 1;
  }
  ~SimStation() { std::filesystem::remove_all(home); }

  // Refresh, start every identified port, wait for every job.
  void produce() {
    discovery.RefreshPorts();
    station.StartAll();
    station.WaitForIdle();
  }

  // Simulated disks are never mounted: a folder per port stands in for the
  // mount point of the produced disk's volume, or nothing when unmounted.
  std::filesystem::path volume(int port) const { return home / ("volume-" + std::to_string(port)); }
  std::atomic<bool> volumesMounted{true};
  // Replaces the stand-in volume when set (before the jobs start).
  std::function<ProducedVolume(int port, const std::function<bool()>& stopRequested)> openVolume;
  std::atomic<std::int32_t> serialCounter{0};

  static inline int counter = 0;
  std::unique_ptr<Simulator> sim;
  std::filesystem::path home;
  DeviceRouter router;
  FixedAnswerOperator op{true};
  std::unique_ptr<ProductionSequence> sequence;
  Station station;
  ImageCatalog catalog;
  MemoryPortMap portMap;
  test::FakeSelection selection;
  PortDiscovery discovery;
};

}  // namespace kvx::e2e
