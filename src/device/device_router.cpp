#include "device/device_router.h"

#include <cerrno>

namespace kvx {

void DeviceRouter::addBackend(std::string prefix, DeviceAccess* backend) {
  routes_.push_back({std::move(prefix), backend});
}

DeviceHandle DeviceRouter::open(const std::string& path) {
  // The longest matching prefix wins, so "" stays the fallback.
  int best = -1;
  for (int i = 0; i < int(routes_.size()); ++i) {
    const auto& r = routes_[i];
    if (path.compare(0, r.prefix.size(), r.prefix) == 0 &&
        (best < 0 || r.prefix.size() > routes_[best].prefix.size()))
      best = i;
  }
  if (best < 0) return kInvalidHandle;
  const DeviceHandle inner = routes_[best].backend->open(path);
  if (!IsOpen(inner) || inner >= (DeviceHandle(1) << kTagShift)) {
    if (IsOpen(inner)) routes_[best].backend->close(inner);
    return kInvalidHandle;
  }
  return (DeviceHandle(best + 1) << kTagShift) | inner;
}

DeviceAccess* DeviceRouter::backendOf(DeviceHandle handle, DeviceHandle* inner) const {
  if (!IsOpen(handle)) return nullptr;
  const auto tag = handle >> kTagShift;
  if (tag < 1 || tag > DeviceHandle(routes_.size())) return nullptr;
  *inner = handle & ((DeviceHandle(1) << kTagShift) - 1);
  return routes_[tag - 1].backend;
}

void DeviceRouter::close(DeviceHandle handle) {
  DeviceHandle inner = 0;
  if (auto* b = backendOf(handle, &inner)) b->close(inner);
}

ScsiResult DeviceRouter::send(DataDirection direction, DeviceHandle handle, const Cdb& cdb,
                              void* buffer, std::uint32_t length, std::uint8_t lun,
                              std::uint32_t timeout_s) {
  DeviceHandle inner = 0;
  auto* b = backendOf(handle, &inner);
  if (!b) return EBADF;
  return b->send(direction, inner, cdb, buffer, length, lun, timeout_s);
}

}  // namespace kvx
