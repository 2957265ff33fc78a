#pragma once
// Chooses the DeviceAccess backend by the device path: "sim:<n>" goes to the
// simulator, every other path to the host's SCSI pass-through.

#include <memory>
#include <string>
#include <vector>

#include "device/transport.h"

namespace kvx {

// Backend handles must be positive and below 2^40; the router tags each with
// its backend's number in the bits above, so a send needs no table look-up and
// no lock. Handles of different backends never compare equal.
class DeviceRouter final : public DeviceAccess {
 public:
  // Paths starting with `prefix` go to `backend`; the empty prefix is the
  // fallback. The router does not own the backends.
  void addBackend(std::string prefix, DeviceAccess* backend);

  DeviceHandle open(const std::string& path) override;
  void close(DeviceHandle handle) override;
  ScsiResult send(DataDirection direction, DeviceHandle handle, const Cdb& cdb, void* buffer,
                  std::uint32_t length, std::uint8_t lun, std::uint32_t timeout_s) override;

 private:
  static constexpr int kTagShift = 40;
  struct Route {
    std::string prefix;
    DeviceAccess* backend;
  };
  DeviceAccess* backendOf(DeviceHandle handle, DeviceHandle* inner) const;
  std::vector<Route> routes_;
};

}  // namespace kvx
