#pragma once
// Test doubles for identification and discovery: a disk that answers Read ID
// per chip select, a flash-type list in memory, and a USB tree in memory.

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/commands.h"
#include "device/flash_identification.h"
#include "device/port_discovery.h"
#include "device/usb_topology.h"

namespace kvx::test {

using IdBytes = std::array<std::uint8_t, 8>;

// Interleaved Read ID answers: lane 0 in the even bytes, lane 1 in the odd.
inline IdBytes Lanes(std::uint32_t lane0, std::uint32_t lane1) {
  IdBytes r{};
  for (int i = 0; i < 4; ++i) {
    r[2 * i] = std::uint8_t(lane0 >> (24 - 8 * i));
    r[2 * i + 1] = std::uint8_t(lane1 >> (24 - 8 * i));
  }
  return r;
}
inline constexpr std::uint32_t kSilent = 0xFFFFFFFF;  // a lane nobody drives

// Disks by path; each answers Read ID per chip select and counts commands.
class IdDisks : public DeviceAccess {
 public:
  struct Disk {
    std::map<int, IdBytes> chips;  // chip select -> answer; missing = silent
    bool opens = true;
  };
  std::map<std::string, Disk> disks;
  std::atomic<int> openCount{0}, closeCount{0}, commands{0};

  DeviceHandle open(const std::string& path) override {
    std::lock_guard l(m_);
    auto it = disks.find(path);
    if (it == disks.end() || !it->second.opens) return kInvalidHandle;
    ++openCount;
    const DeviceHandle h = next_++;
    pathOf_[h] = path;
    return h;
  }
  void close(DeviceHandle h) override {
    std::lock_guard l(m_);
    ++closeCount;
    closed.push_back(h);
    pathOf_.erase(h);
  }
  ScsiResult send(DataDirection, DeviceHandle h, const Cdb& cdb, void* buffer,
                  std::uint32_t length, std::uint8_t, std::uint32_t) override {
    std::lock_guard l(m_);
    ++commands;
    auto p = pathOf_.find(h);
    if (p == pathOf_.end()) return 19;  // ENODEV
    if (cdb[0] != op::kReadFlashId) {
      std::memset(buffer, 0, length);
      return 0;
    }
    const Disk& d = disks.at(p->second);
    auto c = d.chips.find(cdb[1]);
    const IdBytes answer = c == d.chips.end() ? Lanes(kSilent, kSilent) : c->second;
    std::memcpy(buffer, answer.data(), std::min<std::size_t>(length, answer.size()));
    return 0;
  }
  std::string pathOf(DeviceHandle h) {
    std::lock_guard l(m_);
    auto p = pathOf_.find(h);
    return p == pathOf_.end() ? std::string() : p->second;
  }
  std::vector<DeviceHandle> closed;

 private:
  std::mutex m_;
  std::map<DeviceHandle, std::string> pathOf_;
  DeviceHandle next_ = 500;
};

class ListCatalog : public FlashTypeCatalog {
 public:
  std::vector<FlashTypeIdentity> types;
  int count() const override { return int(types.size()); }
  FlashTypeIdentity identity(int i) const override { return types.at(std::size_t(i)); }
};

class FakeSelection : public FlashSelection {
 public:
  bool autoSelect() const override { return automatic; }
  int flashCount() const override { return count; }
  int flashTypeSelection() const override { return selected; }
  void select(int index, int chips) override {
    selected = index;
    count = chips;
    ++selections;
  }
  bool automatic = true;
  int count = 1;
  int selected = -1;
  int selections = 0;
};

// A USB tree in memory. Hubs by id; each port holds a state.
class TreeTopology : public UsbTopology {
 public:
  std::vector<UsbRootHub> roots;
  std::map<std::string, std::vector<UsbPortState>> hubs;
  std::function<void(const std::string&, int)> onPortQuery;  // hook for tests

  std::vector<UsbRootHub> rootHubs() override {
    std::lock_guard l(m_);
    return roots;
  }
  int portCount(const std::string& hub) override {
    std::lock_guard l(m_);
    auto it = hubs.find(hub);
    return it == hubs.end() ? -1 : int(it->second.size());
  }
  UsbPortState portState(const std::string& hub, int port) override {
    if (onPortQuery) onPortQuery(hub, port);
    std::lock_guard l(m_);
    return hubs.at(hub).at(std::size_t(port - 1));
  }
  void set(const std::string& hub, int port, UsbPortState s) {
    std::lock_guard l(m_);
    hubs[hub].at(std::size_t(port - 1)) = std::move(s);
  }
  static UsbPortState Disk(const std::string& path) {
    return {UsbAttachment::MassStorage, path, ""};
  }
  static UsbPortState Hub(const std::string& id) { return {UsbAttachment::Hub, "", id}; }

 private:
  std::mutex m_;
};

}  // namespace kvx::test
