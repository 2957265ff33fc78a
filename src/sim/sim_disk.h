#pragma once
// SimDisk: one simulated USB disk as the host sees it: plugged or not, its
// open handles, its transport faults, its latency, and the unit behind it.
// Each disk has its own lock; no lock is shared between disks, so 64 port
// workers never wait for each other.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/scsi.h"
#include "sim/sim_types.h"
#include "sim/sim_unit.h"

namespace kvx::sim {

class SimDisk {
 public:
  // `onVanish` is called (without the disk's lock) when the disk unplugs
  // itself through an injected fault.
  SimDisk(const DiskSpec& desc, const Latency& latency, std::function<void()> onVanish);

  DiskKind kind() const { return kind_; }

  // Handles are made by the simulator; the disk only keeps which are open.
  bool open(DeviceHandle h);
  void close(DeviceHandle h);
  ScsiResult send(DeviceHandle h, DataDirection dir, const Cdb& cdb, void* buffer,
                  std::uint32_t length, std::uint32_t timeout_s);

  // Unplug: every open handle is dead for good; commands answer ENODEV and
  // opens fail. Plug: a power-on (RAM state lost, the flash kept).
  // Both return false when nothing changed.
  bool unplug();
  bool plug();
  bool plugged() const { return plugged_.load(std::memory_order_acquire); }

  // Faults added at run time (on top of the profile's).
  void addFaults(const Faults& f);
  void setLatency(const Latency& l);
  std::uint64_t commandCount() const;

  // Inspection and export (under the disk's lock).
  template <typename F>
  auto withUnit(F&& f) {
    std::lock_guard lock(m_);
    return f(*unit_);
  }

 private:
  bool unplugLocked();

  DiskKind kind_;
  std::unique_ptr<SimUnit> unit_;
  std::function<void()> onVanish_;
  mutable std::mutex m_;
  std::atomic<bool> plugged_{true};
  std::vector<DeviceHandle> open_;  // handles that work
  std::vector<DeviceHandle> dead_;  // handles of a previous plug-in: ENODEV
  Faults faults_;
  Latency latency_;
  std::uint64_t commands_ = 0;
  std::array<std::uint32_t, 256> seen_{};  // commands per opcode since power-on of the profile
  ScsiResult lastSense_ = 0;
};

}  // namespace kvx::sim
