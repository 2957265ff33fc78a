#pragma once
// Disk arrivals and removals from the kernel through a libudev monitor.
// Watches whole disks (block/disk) and SCSI generic nodes; every add or
// remove calls the station's callback on the monitor's own thread.
//
// Event source: udevd's ("udev") when udevd runs, so a new node already has
// its permissions; otherwise the kernel's own uevents ("kernel"), as in a
// minimal system without udevd.

#include <functional>
#include <string>
#include <thread>

#include "device/usb_topology.h"

namespace kvx {

// True for the events that change what discovery would find.
bool IsDiskChangeEvent(const std::string& subsystem, const std::string& devtype,
                       const std::string& action);

class UdevHotplugSource final : public HotplugSource {
 public:
  UdevHotplugSource() = default;
  ~UdevHotplugSource() override;
  // Starts the monitor thread; a monitor that cannot be set up leaves the
  // source silent and says why in lastError().
  void start(std::function<void()> onChange) override;
  void stop() override;
  std::string lastError() const { return error_; }

 private:
  void run(void* monitor, int stopFd);

  std::function<void()> onChange_;
  std::thread thread_;
  int stopFd_ = -1;
  std::string error_;
};

}  // namespace kvx
