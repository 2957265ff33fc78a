#pragma once
// The one seam between the station and its disks.

#include <cstdint>
#include <string>

#include "device/scsi.h"

namespace kvx {

// Sends one SCSI command on an open handle and folds the outcome into a
// ScsiResult. Keeps no state between calls, never retries, blocks until the
// device or the operating system answers (at most about timeout_s). Called by
// up to 64 port workers at once, each on its own handle.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual ScsiResult send(DataDirection direction, DeviceHandle handle, const Cdb& cdb,
                          void* buffer, std::uint32_t length, std::uint8_t lun,
                          std::uint32_t timeout_s) = 0;
};

// A Transport that can also open and close devices by path ("/dev/sg3" for a
// real disk, "sim:4" for a simulated one).
class DeviceAccess : public Transport {
 public:
  // Opens the device for reading and writing; kInvalidHandle on failure.
  virtual DeviceHandle open(const std::string& path) = 0;
  // Releases the handle; a handle that is not open is ignored.
  virtual void close(DeviceHandle handle) = 0;
};

}  // namespace kvx
