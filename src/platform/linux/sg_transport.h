#pragma once
// The host's SCSI pass-through on Linux: SG_IO on a SCSI generic node
// (/dev/sgN) or a disk node. One ioctl per command, no retries, no state.

#include <cstdint>
#include <string>

#include <scsi/sg.h>

#include "device/transport.h"

namespace kvx {

// The ioctl used for SG_IO; tests substitute it to play any outcome.
using IoctlFunction = int (*)(int fd, unsigned long request, void* arg);

// Folds a completed sg_io_hdr into a ScsiResult:
// - sense data present: the packed sense key, ASC and ASCQ;
// - the host adapter or the driver reports a failure (timeout, device gone,
//   bus reset, abort) without sense: the matching errno value, never 0;
// - a SCSI status other than GOOD without usable sense: EIO (EBUSY for BUSY,
//   task set full and reservation conflict); a non-GOOD status is a failure.
ScsiResult ResultFromSgHeader(const sg_io_hdr_t& hdr, const std::uint8_t* sense);

class SgTransport final : public DeviceAccess {
 public:
  explicit SgTransport(IoctlFunction ioctlFn = nullptr);

  // open(2) with O_RDWR | O_NONBLOCK | O_CLOEXEC; the file descriptor is the handle.
  DeviceHandle open(const std::string& path) override;
  void close(DeviceHandle handle) override;
  ScsiResult send(DataDirection direction, DeviceHandle handle, const Cdb& cdb, void* buffer,
                  std::uint32_t length, std::uint8_t lun, std::uint32_t timeout_s) override;

 private:
  IoctlFunction ioctl_;
};

}  // namespace kvx
