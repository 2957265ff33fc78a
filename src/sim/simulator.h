#pragma once
// Simulator: the DeviceAccess backend for device paths "sim:<n>" (n = the
// disk's index in its profile). The station registers it in its
// DeviceRouter under the prefix "sim:"; it also offers the simulated USB
// tree (UsbTopology) and its hot-plug notices (HotplugSource).
//
// Handles: positive, below 2^40, never reused: a running number times 256
// plus the disk index, so a send finds its disk without a shared lock.
// A handle stays tied to the plug-in it was opened in: after an unplug it
// answers ENODEV for good, also when the disk comes back.
//
// Threads: any number of threads may send at once; each disk serialises its
// own commands. plug/unplug/inject may come from any thread.
//
// Use:
//   auto sim = Simulator::FromShortForm(8);          // or FromJson / FromFile
//   router.addBackend(Simulator::kPathPrefix, sim.get());
//   discovery walks sim->topology(); hot-plug listens on sim->hotplug();
//   sim->unplug(3); sim->plug(3);                   // notices go to the listener
//   Faults f; f.unplugAfter = 100; sim->injectFaults(2, f);
//   sim->exportLogicalImage(0, "disk0.img");        // for fsck.fat / mtools

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/transport.h"
#include "device/usb_topology.h"
#include "sim/sim_disk.h"
#include "sim/sim_profile.h"

namespace kvx::sim {

class Simulator;

// The profile's USB tree. Hub ids follow sysfs: root hub "usb<bus>", a hub
// behind it "<bus>-<port>", deeper ones "<bus>-<port>.<port>...".
class SimTopology final : public UsbTopology, public HotplugSource {
 public:
  SimTopology(const Simulator& sim, std::vector<UsbBus> buses);
  std::vector<UsbRootHub> rootHubs() override;
  int portCount(const std::string& hubId) override;
  UsbPortState portState(const std::string& hubId, int port) override;
  void start(std::function<void()> onChange) override;
  void stop() override;

  // Called by the simulator after a disk came or went.
  void notify();
  // The hub id and port number that hold a disk; false when it hangs nowhere.
  bool placeOf(int disk, std::string* hubId, int* port) const;

 private:
  const std::vector<UsbNode>* hub(const std::string& id) const;
  const Simulator& sim_;
  std::vector<UsbBus> buses_;
  std::vector<std::pair<std::string, const std::vector<UsbNode>*>> hubs_;  // fixed after construction
  std::mutex m_;
  std::function<void()> onChange_;
};

class Simulator final : public DeviceAccess {
 public:
  static constexpr const char* kPathPrefix = "sim:";

  explicit Simulator(Profile profile);
  ~Simulator() override;
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Profile from JSON text or a JSON file (ProfileError on a bad profile).
  static std::unique_ptr<Simulator> FromJson(const std::string& jsonText);
  static std::unique_ptr<Simulator> FromFile(const std::string& path);
  // The short form: N small healthy disks with a few factory bad blocks and
  // weak pages each, demo latency.
  static std::unique_ptr<Simulator> FromShortForm(int disks, std::uint64_t seed = 1);

  // --- DeviceAccess ---
  DeviceHandle open(const std::string& path) override;
  void close(DeviceHandle handle) override;
  ScsiResult send(DataDirection direction, DeviceHandle handle, const Cdb& cdb, void* buffer,
                  std::uint32_t length, std::uint8_t lun, std::uint32_t timeout_s) override;

  int diskCount() const { return int(disks_.size()); }
  static std::string DevicePath(int disk) { return kPathPrefix + std::to_string(disk); }
  SimDisk& disk(int index) { return *disks_.at(index); }
  bool plugged(int disk) const { return disks_.at(disk)->plugged(); }

  // Hot plug: false when the disk already was in that state. Both notify the
  // topology's hot-plug listener.
  bool unplug(int disk);
  bool plug(int disk);

  // Fault injection at run time, counted from now (see Faults).
  void injectFaults(int disk, const Faults& faults);
  // Latency for every disk (tests: all zero; demos: DemoLatency()).
  void setLatency(const Latency& latency);

  // Successful erases of a port-wide block since the simulator was built
  // (for tests that check an erase phase covers every block once); 0 for a
  // generic disk or a block out of range.
  std::uint32_t eraseCount(int disk, std::uint32_t portBlock);

  // Moves a flash package between disks, as a rework station would: every
  // programmed page of chip `fromChip` of disk `from` is written to the same
  // page of chip `toChip` of disk `to` (whose chip should be blank). The
  // target keeps its own defects, so a test that wants the package's factory
  // bad blocks on the new disk lists them in the new disk's profile. False
  // with `error` set when either disk has no flash, a chip is out of range or
  // the geometries differ.
  bool transplantChip(int from, std::uint32_t fromChip, int to, std::uint32_t toChip,
                      std::string* error = nullptr);

  // Test fixtures: hands page `pageAddress` of chip `chip` in raw form (per
  // sector 512 data bytes and 16 spare bytes) to `edit` and stores what it
  // leaves when it changed something, as if written over (a damaged or
  // forged recording). False when the disk has no flash or the address is out
  // of range.
  bool editPage(int disk, std::uint32_t chip, std::uint32_t pageAddress,
                const std::function<void(std::span<std::uint8_t> raw)>& edit);

  SimTopology& topology() { return *topology_; }
  HotplugSource& hotplug() { return *topology_; }

  // Export. The logical image: the sectors the host sees (READ CAPACITY),
  // for fsck.fat and mtools; fails while the disk has no logical view.
  // The raw NAND: see sim_export.h for the format. False with `error` set.
  bool exportLogicalImage(int disk, const std::string& path, std::string* error = nullptr);
  bool exportRawNand(int disk, const std::string& path, std::string* error = nullptr);

 private:
  static constexpr int kDiskBits = 8;
  std::vector<std::unique_ptr<SimDisk>> disks_;
  std::unique_ptr<SimTopology> topology_;
  std::atomic<std::uint64_t> nextSerial_{1};
};

}  // namespace kvx::sim
