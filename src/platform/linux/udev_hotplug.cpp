#include "platform/linux/udev_hotplug.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kvx {

bool IsDiskChangeEvent(const std::string& subsystem, const std::string& devtype,
                       const std::string& action) {
  if (action != "add" && action != "remove") return false;
  if (subsystem == "block") return devtype == "disk";
  return subsystem == "scsi_generic";
}

UdevHotplugSource::~UdevHotplugSource() { stop(); }

void UdevHotplugSource::start(std::function<void()> onChange) {
  stop();
  onChange_ = std::move(onChange);
  udev* u = udev_new();
  if (!u) {
    error_ = "libudev: cannot create a context";
    return;
  }
  std::error_code ec;
  const char* source = std::filesystem::exists("/run/udev/control", ec) ? "udev" : "kernel";
  udev_monitor* mon = udev_monitor_new_from_netlink(u, source);
  if (!mon) {
    error_ = std::string("libudev: cannot open the ") + source + " event source";
    udev_unref(u);
    return;
  }
  udev_monitor_filter_add_match_subsystem_devtype(mon, "block", "disk");
  udev_monitor_filter_add_match_subsystem_devtype(mon, "scsi_generic", nullptr);
  if (udev_monitor_enable_receiving(mon) < 0) {
    error_ = std::string("libudev: cannot receive events: ") + std::strerror(errno);
    udev_monitor_unref(mon);
    udev_unref(u);
    return;
  }
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  if (stopFd_ < 0) {
    error_ = std::string("eventfd: ") + std::strerror(errno);
    udev_monitor_unref(mon);
    udev_unref(u);
    return;
  }
  // The monitor keeps its own reference to the context.
  udev_unref(u);
  thread_ = std::thread([this, mon, fd = stopFd_] { run(mon, fd); });
}

void UdevHotplugSource::run(void* monitor, int stopFd) {
  auto* mon = static_cast<udev_monitor*>(monitor);
  pollfd fds[2] = {{udev_monitor_get_fd(mon), POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    udev_device* dev = udev_monitor_receive_device(mon);
    if (!dev) continue;
    auto text = [](const char* s) { return s ? std::string(s) : std::string(); };
    const bool change = IsDiskChangeEvent(text(udev_device_get_subsystem(dev)),
                                          text(udev_device_get_devtype(dev)),
                                          text(udev_device_get_action(dev)));
    udev_device_unref(dev);
    if (change && onChange_) onChange_();
  }
  udev_monitor_unref(mon);
}

void UdevHotplugSource::stop() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    if (write(stopFd_, &one, sizeof one) < 0) {
      // The eventfd cannot be full with one write; nothing else to do.
    }
    thread_.join();
  }
  if (stopFd_ >= 0) {
    close(stopFd_);
    stopFd_ = -1;
  }
}

}  // namespace kvx
