#pragma once
// The kernel's own uevents (there is no udev daemon in the guest), to record
// the real order and timing of what arrives and leaves on a plug or unplug.

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rig_support.h"

namespace kvx::rig {

class UeventMonitor {
 public:
  struct Event {
    std::uint64_t ms;
    std::string action, subsystem, devtype, devpath;
  };
  UeventMonitor() {
    fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1;  // kernel events
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
    if (fd_ >= 0) thread_ = std::thread([this] { run(); });
  }
  ~UeventMonitor() { stop(); }
  bool ok() const { return fd_ >= 0; }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::vector<Event> events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  void run() {
    char buf[8192];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buf, sizeof buf - 1, 0);
      if (n <= 0) continue;
      buf[n] = 0;
      Event e{NowMs(), {}, {}, {}, {}};
      for (ssize_t at = 0; at < n; at += ssize_t(std::strlen(buf + at)) + 1) {
        const std::string kv = buf + at;
        auto value = [&](const char* key) {
          const std::string k = std::string(key) + "=";
          return kv.rfind(k, 0) == 0 ? kv.substr(k.size()) : std::string();
        };
        if (auto v = value("ACTION"); !v.empty()) e.action = v;
        if (auto v = value("SUBSYSTEM"); !v.empty()) e.subsystem = v;
        if (auto v = value("DEVTYPE"); !v.empty()) e.devtype = v;
        if (auto v = value("DEVPATH"); !v.empty()) e.devpath = v;
      }
      std::lock_guard lock(mutex_);
      events_.push_back(e);
    }
  }
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace kvx::rig
