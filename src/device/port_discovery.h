#pragma once
// Port discovery: walks the USB tree, binds every disk to the slot of its hub
// socket (the port map), opens it, reads its controller information and
// identifies its flash (or applies the operator's manual flash type).
//
// Rules that keep ports and disks one to one:
// - one refresh at a time (a real lock); a refresh can be cut short by the
//   hot-plug watcher and a new one follows;
// - port keys carry separators ("Port-1-1.3.2"), so two sockets never share
//   a key; slots are 0..63, a key whose slot would be outside that range gets
//   none and nothing is written for it; two keys never share a slot and two
//   slots never hold the same device;
// - a busy port (its job still running) is left alone: its handle, path and
//   snapshots stay; if its disk was pulled, the job ends on its failing
//   commands and the worker closes the handle;
// - a slot whose device path changed closes its idle handle and opens and
//   identifies the new disk; a disk whose SCSI node does not exist yet is not
//   attached until a later refresh finds it complete;
// - a failed identification leaves the port without a flash type, so it
//   cannot be started with the previous disk's type.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/flash_identification.h"
#include "device/port_map.h"
#include "device/usb_topology.h"

namespace kvx {

class Station;

// The operator's flash-type choice as discovery reads and writes it.
class FlashSelection {
 public:
  virtual ~FlashSelection() = default;
  virtual bool autoSelect() const = 0;
  virtual int flashCount() const = 0;          // the chip-count field
  virtual int flashTypeSelection() const = 0;  // list index, -1 when none
  // After a successful identification: the list selection and chip count.
  virtual void select(int flashTypeIndex, int flashCount) = 0;
};

class PortDiscovery {
 public:
  static constexpr int kNoSlot = 255;
  // Deepest hub chain walked; USB allows five hubs below the root.
  static constexpr int kMaxHubDepth = 7;

  PortDiscovery(Station& station, UsbTopology& topology, PortMapStore& portMap,
                const FlashTypeCatalog& flashTypes, FlashSelection& selection);

  // One full refresh. Safe to call from any thread; a second caller waits
  // for the running refresh to end, then runs its own.
  void RefreshPorts();
  // Forgets every mapping; records are left as they are.
  void ClearPorts();

  // Hot-plug side: count an arrival or removal; cut a running refresh short.
  void noteDeviceChange();
  std::uint32_t deviceChangeCount() const;
  bool refreshRunning() const { return refreshRunning_.load(); }
  void cutShort() { refreshRunning_.store(false); }

  // The port map's lines as "key=value" texts, refreshed by every refresh.
  std::vector<std::string> portList() const;

 private:
  struct Walk;
  void walkHub(Walk& walk, const std::string& hubId, int ports, const std::string& prefix,
               int depth);
  void examinePort(Walk& walk, const std::string& key, const UsbPortState& state, int depth);
  void detachSlot(int slot);
  void attachSlot(Walk& walk, int slot, const std::string& key, const std::string& path);
  void setUpSlot(int slot);
  void applyManualFlashType(int slot);

  Station& station_;
  UsbTopology& topology_;
  PortMapStore& portMap_;
  const FlashTypeCatalog& flashTypes_;
  FlashSelection& selection_;

  std::mutex refreshMutex_;  // one refresh at a time
  std::atomic<bool> refreshRunning_{false};
  mutable std::mutex changeMutex_;
  std::uint32_t deviceChangeCount_ = 0;
  mutable std::mutex listMutex_;
  std::vector<std::string> portList_;
};

}  // namespace kvx
