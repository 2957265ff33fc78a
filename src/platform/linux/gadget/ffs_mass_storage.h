#pragma once
// One gadget disk: a FunctionFS function that speaks the USB mass-storage
// bulk-only transport and hands every command block to a DeviceAccess
// backend (the rig's RAM disk or the simulator). Two threads: one
// reads endpoint 0's events (enable, disable, the class requests Get Max
// LUN and Bulk-Only Mass Storage Reset), one serves CBW, data and CSW on the
// bulk endpoints.
//
// How backend results reach the wire:
// - 0: CSW "passed";
// - a packed sense value: CSW "failed", the sense kept for the REQUEST SENSE
//   the host sends next (the wire carries no sense in the CSW);
// - ETIMEDOUT: the command never answers: no data, no CSW, until the host
//   resets the function or the gadget is unbound;
// - ENODEV: the device left: the gadget unbinds itself from its UDC (a real
//   unplug seen by the host);
// - anything else: CSW "failed" with HARDWARE ERROR, internal target failure.

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/transport.h"
#include "platform/linux/gadget/bulk_only.h"
#include "platform/linux/gadget/wire_log.h"

namespace kvx::gadget {

struct FfsDiskConfig {
  std::string ffsDir;       // where this function's FunctionFS instance is mounted
  std::string logPath;      // the wire log
  std::string backendPath;  // opened on the backend ("ram:0", "sim:0")
  std::function<void()> unplug;  // unbinds this gadget from its UDC
  // Called by the endpoint-0 thread when the gadget is bound to its UDC
  // (true: the device gets power) or unbound (false: it loses it). A backend
  // that models power (the simulator) cycles the device here; the bulk
  // thread opens the backend device anew before the first command after a
  // bind, since a handle of a previous plug-in may be dead.
  std::function<void(bool powered)> power;
};

// The descriptor and string blocks written to ep0 (full and high speed;
// interface class 8, subclass 6 SCSI, protocol 0x50 bulk-only).
std::vector<std::uint8_t> MassStorageDescriptors();
std::vector<std::uint8_t> MassStorageStrings();

// Installs the no-op signal handler used to wake threads blocked on an
// endpoint; call once before any FfsMassStorage starts.
void InstallWakeSignal();

class FfsMassStorage {
 public:
  FfsMassStorage(FfsDiskConfig config, DeviceAccess& backend);
  ~FfsMassStorage();
  FfsMassStorage(const FfsMassStorage&) = delete;
  FfsMassStorage& operator=(const FfsMassStorage&) = delete;

  // Opens ep0, writes descriptors and strings, opens the bulk endpoints and
  // the backend device. The gadget may be bound to a UDC afterwards.
  bool prepare(std::string* error);
  void start();
  void stop();

 private:
  void ep0Loop();
  void bulkLoop();
  void handleSetup(const void* setup);
  void serve(const Cbw& cbw, unsigned epoch);
  // Opens the backend device again when a bind came since it was opened.
  void reopenAfterBind();
  // Ends whatever the bulk thread does for the command in progress.
  void newEpoch(const char* why);
  bool epochChanged(unsigned epoch) const { return epoch_.load() != epoch; }
  void waitForNewEpoch(unsigned epoch);
  bool receive(std::uint8_t* data, std::uint32_t length, unsigned epoch);
  bool transmit(const std::uint8_t* data, std::uint32_t length, unsigned epoch);
  void stallIn();
  void stallOut();
  void wake(std::thread& t);

  FfsDiskConfig config_;
  DeviceAccess& backend_;
  WireLog log_;
  DeviceHandle handle_ = kInvalidHandle;
  int ep0_ = -1, in_ = -1, out_ = -1;
  std::atomic<std::uint32_t> maxPacket_{512};  // set at ENABLE by the ep0 thread
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> epoch_{0};
  std::atomic<unsigned> bulkSeenEpoch_{0};
  std::atomic<bool> bulkBusy_{false};
  std::atomic<unsigned> binds_{0};  // BIND events seen (ep0 thread)
  unsigned handleBinds_ = 0;         // binds_ when handle_ was opened (bulk thread)
  std::mutex mutex_;
  std::condition_variable changed_;
  ScsiResult pendingSense_ = 0;  // bulk thread only
  std::vector<std::uint8_t> buffer_;
  std::thread ep0Thread_, bulkThread_;
};

}  // namespace kvx::gadget
