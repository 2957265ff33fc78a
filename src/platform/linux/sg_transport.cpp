#include "platform/linux/sg_transport.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <span>

namespace kvx {
namespace {

// Host adapter codes (the kernel's DID_*) and driver codes (DRIVER_*), as
// SG_IO reports them in host_status and driver_status.
constexpr unsigned kDidOk = 0x00;
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidBusBusy = 0x02;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDidBadTarget = 0x04;
constexpr unsigned kDidAbort = 0x05;
constexpr unsigned kDidReset = 0x08;
constexpr unsigned kDidTransportDisrupted = 0x0e;
constexpr unsigned kDidTransportFailfast = 0x0f;
constexpr unsigned kDriverMask = 0x0f;
constexpr unsigned kDriverBusy = 0x01;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

// SCSI status bytes.
constexpr unsigned kStatusGood = 0x00;
constexpr unsigned kStatusBusy = 0x08;
constexpr unsigned kStatusReservationConflict = 0x18;
constexpr unsigned kStatusTaskSetFull = 0x28;

int HostErrno(unsigned host) {
  switch (host) {
    case kDidNoConnect:
    case kDidBadTarget:
      return ENODEV;
    case kDidBusBusy:
      return EBUSY;
    case kDidTimeOut:
      return ETIMEDOUT;
    case kDidAbort:
      return ECANCELED;
    case kDidReset:
    case kDidTransportDisrupted:
      return ECONNRESET;
    case kDidTransportFailfast:
      return ENOLINK;
    default:
      return EIO;
  }
}

int DefaultIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

}  // namespace

ScsiResult ResultFromSgHeader(const sg_io_hdr_t& hdr, const std::uint8_t* sense) {
  const std::size_t senseBytes = sense ? std::min<std::size_t>(hdr.sb_len_wr, kSenseLength) : 0;
  if (senseBytes > 0) {
    const ScsiResult r = ScsiResultFromSense(std::span<const std::uint8_t>(sense, senseBytes));
    if (r != 0) return r;
  }
  if (hdr.host_status != kDidOk) return HostErrno(hdr.host_status);
  const unsigned driver = hdr.driver_status & kDriverMask;
  if (driver == kDriverTimeout) return ETIMEDOUT;
  if (driver == kDriverBusy) return EBUSY;
  if (driver != 0 && driver != kDriverSense) return EIO;
  const unsigned status = hdr.status & 0xFE;  // bit 0 is reserved
  if (status == kStatusGood) return 0;
  if (status == kStatusBusy || status == kStatusTaskSetFull ||
      status == kStatusReservationConflict)
    return EBUSY;
  return EIO;
}

SgTransport::SgTransport(IoctlFunction ioctlFn) : ioctl_(ioctlFn ? ioctlFn : &DefaultIoctl) {}

DeviceHandle SgTransport::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  return fd < 0 ? kInvalidHandle : DeviceHandle(fd);
}

void SgTransport::close(DeviceHandle handle) {
  if (IsOpen(handle) && handle <= INT_MAX) ::close(int(handle));
}

ScsiResult SgTransport::send(DataDirection direction, DeviceHandle handle, const Cdb& cdb,
                             void* buffer, std::uint32_t length, std::uint8_t lun,
                             std::uint32_t timeout_s) {
  (void)lun;  // the sg node addresses one logical unit already
  if (handle < 0 || handle > INT_MAX) return EBADF;
  Cdb command = cdb;
  std::uint8_t sense[kSenseLength] = {};
  sg_io_hdr_t hdr;
  std::memset(&hdr, 0, sizeof hdr);
  hdr.interface_id = 'S';
  hdr.cmd_len = sizeof command;
  hdr.cmdp = command.data();
  hdr.mx_sb_len = sizeof sense;
  hdr.sbp = sense;
  hdr.dxfer_len = length;
  hdr.dxferp = length ? buffer : nullptr;
  hdr.dxfer_direction = length == 0                        ? SG_DXFER_NONE
                        : direction == DataDirection::In ? SG_DXFER_FROM_DEV
                                                         : SG_DXFER_TO_DEV;
  // Seconds to milliseconds, capped where the field's unsigned int ends.
  const std::uint64_t ms = std::uint64_t(timeout_s) * 1000;
  hdr.timeout = ms > UINT_MAX ? UINT_MAX : unsigned(ms);
  if (ioctl_(int(handle), SG_IO, &hdr) < 0) {
    const int err = errno;
    return err != 0 ? err : EIO;
  }
  const ScsiResult result = ResultFromSgHeader(hdr, sense);
  // A device may send less than asked and still succeed (resid is the
  // shortfall). The bytes it did not send must not keep what the caller's
  // buffer held before, where they would read as data from this disk: they
  // read as zeros. (After a failure the caller does not use the data.)
  if (result == 0 && hdr.dxfer_direction == SG_DXFER_FROM_DEV && hdr.resid > 0) {
    const std::uint32_t missing = std::min<std::uint32_t>(std::uint32_t(hdr.resid), length);
    std::memset(static_cast<std::uint8_t*>(buffer) + (length - missing), 0, missing);
  }
  return result;
}

}  // namespace kvx
