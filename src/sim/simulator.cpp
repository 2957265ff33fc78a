#include "sim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <charconv>

namespace kvx::sim {

// --- topology ---

SimTopology::SimTopology(const Simulator& sim, std::vector<UsbBus> buses)
    : sim_(sim), buses_(std::move(buses)) {
  auto walk = [&](auto& self, const std::string& id, const std::vector<UsbNode>& ports,
                  const std::string& childPrefix) -> void {
    hubs_.emplace_back(id, &ports);
    for (std::size_t k = 0; k < ports.size(); ++k) {
      if (ports[k].kind != UsbNode::Kind::Hub) continue;
      const std::string child = childPrefix + std::to_string(k + 1);
      self(self, child, ports[k].ports, child + ".");
    }
  };
  for (const auto& b : buses_)
    walk(walk, "usb" + std::to_string(b.bus), b.ports, std::to_string(b.bus) + "-");
}

std::vector<UsbRootHub> SimTopology::rootHubs() {
  std::vector<UsbRootHub> out;
  for (const auto& b : buses_) out.push_back({b.bus, "usb" + std::to_string(b.bus)});
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.bus < b.bus; });
  return out;
}

const std::vector<UsbNode>* SimTopology::hub(const std::string& id) const {
  for (const auto& [name, ports] : hubs_)
    if (name == id) return ports;
  return nullptr;
}

int SimTopology::portCount(const std::string& hubId) {
  const auto* ports = hub(hubId);
  return ports ? int(ports->size()) : -1;
}

UsbPortState SimTopology::portState(const std::string& hubId, int port) {
  UsbPortState s;
  const auto* ports = hub(hubId);
  if (!ports) return s.kind = UsbAttachment::QueryFailed, s;
  if (port < 1 || port > int(ports->size())) return s;
  const UsbNode& n = (*ports)[port - 1];
  switch (n.kind) {
    case UsbNode::Kind::Empty: break;
    case UsbNode::Kind::Mouse: s.kind = UsbAttachment::Mouse; break;
    case UsbNode::Kind::Other: s.kind = UsbAttachment::Other; break;
    case UsbNode::Kind::Hub:
      s.kind = UsbAttachment::Hub;
      s.hubId = (hubId.rfind("usb", 0) == 0 ? hubId.substr(3) + "-" : hubId + ".") +
                std::to_string(port);
      break;
    case UsbNode::Kind::Disk:
      if (sim_.plugged(n.disk)) {
        s.kind = UsbAttachment::MassStorage;
        s.devicePath = Simulator::DevicePath(n.disk);
      }
      break;
  }
  return s;
}

bool SimTopology::placeOf(int disk, std::string* hubId, int* port) const {
  for (const auto& [name, ports] : hubs_)
    for (std::size_t k = 0; k < ports->size(); ++k)
      if ((*ports)[k].kind == UsbNode::Kind::Disk && (*ports)[k].disk == disk) {
        *hubId = name;
        *port = int(k + 1);
        return true;
      }
  return false;
}

void SimTopology::start(std::function<void()> onChange) {
  std::lock_guard lock(m_);
  onChange_ = std::move(onChange);
}

void SimTopology::stop() {
  std::lock_guard lock(m_);
  onChange_ = nullptr;
}

void SimTopology::notify() {
  std::function<void()> cb;
  {
    std::lock_guard lock(m_);
    cb = onChange_;
  }
  if (cb) cb();
}

// --- simulator ---

Simulator::Simulator(Profile profile) {
  if (profile.disks.size() > (1u << kDiskBits)) throw ProfileError("simulation profile: at most 256 disks");
  for (std::size_t i = 0; i < profile.disks.size(); ++i)
    disks_.push_back(std::make_unique<SimDisk>(profile.disks[i], profile.latency,
                                               [this] { topology_->notify(); }));
  if (profile.buses.empty()) profile.buses = DefaultTree(int(profile.disks.size()));
  topology_ = std::make_unique<SimTopology>(*this, std::move(profile.buses));
}

Simulator::~Simulator() = default;

std::unique_ptr<Simulator> Simulator::FromJson(const std::string& text) {
  return std::make_unique<Simulator>(ParseProfile(text));
}
std::unique_ptr<Simulator> Simulator::FromFile(const std::string& path) {
  return std::make_unique<Simulator>(LoadProfile(path));
}
std::unique_ptr<Simulator> Simulator::FromShortForm(int disks, std::uint64_t seed) {
  return std::make_unique<Simulator>(ShortFormProfile(disks, seed));
}

DeviceHandle Simulator::open(const std::string& path) {
  const std::string prefix = kPathPrefix;
  if (path.compare(0, prefix.size(), prefix) != 0) return kInvalidHandle;
  int index = -1;
  const char* first = path.data() + prefix.size();
  const char* last = path.data() + path.size();
  auto [end, ec] = std::from_chars(first, last, index);
  if (ec != std::errc() || end != last || first == last || index < 0 || index >= diskCount())
    return kInvalidHandle;
  const std::uint64_t serial = nextSerial_.fetch_add(1);
  if (serial >= (std::uint64_t(1) << (40 - kDiskBits))) return kInvalidHandle;  // 2^32 opens
  const DeviceHandle h = DeviceHandle(serial << kDiskBits | std::uint64_t(index));
  return disks_[index]->open(h) ? h : kInvalidHandle;
}

void Simulator::close(DeviceHandle handle) {
  if (!IsOpen(handle)) return;
  const auto index = std::size_t(handle & ((1 << kDiskBits) - 1));
  if (index < disks_.size()) disks_[index]->close(handle);
}

ScsiResult Simulator::send(DataDirection direction, DeviceHandle handle, const Cdb& cdb,
                           void* buffer, std::uint32_t length, std::uint8_t lun,
                           std::uint32_t timeout_s) {
  if (!IsOpen(handle)) return EBADF;
  const auto index = std::size_t(handle & ((1 << kDiskBits) - 1));
  if (index >= disks_.size()) return EBADF;
  (void)lun;  // one logical unit per disk; the LUN travels in no CDB here
  return disks_[index]->send(handle, direction, cdb, buffer, length, timeout_s);
}

bool Simulator::unplug(int disk) {
  const bool changed = disks_.at(disk)->unplug();
  if (changed) topology_->notify();
  return changed;
}

bool Simulator::plug(int disk) {
  const bool changed = disks_.at(disk)->plug();
  if (changed) topology_->notify();
  return changed;
}

std::uint32_t Simulator::eraseCount(int disk, std::uint32_t portBlock) {
  return disks_.at(disk)->withUnit([&](SimUnit& unit) -> std::uint32_t {
    auto* ctrl = dynamic_cast<ControllerUnit*>(&unit);
    if (!ctrl || portBlock >= ctrl->nand().geometry().totalBlocks()) return 0;
    return ctrl->nand().eraseCount(portBlock);
  });
}

bool Simulator::transplantChip(int from, std::uint32_t fromChip, int to, std::uint32_t toChip,
                               std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    return false;
  };
  if (from < 0 || from >= diskCount() || to < 0 || to >= diskCount()) return fail("no such disk");
  struct Page {
    std::uint32_t address;
    std::vector<std::uint8_t> raw;
  };
  std::vector<Page> pages;
  Geometry source;
  const bool read = disks_[std::size_t(from)]->withUnit([&](SimUnit& unit) {
    auto* ctrl = dynamic_cast<ControllerUnit*>(&unit);
    if (!ctrl || fromChip >= ctrl->nand().geometry().chips) return false;
    source = ctrl->nand().geometry();
    ctrl->nand().forEachProgrammed(
        [&](std::uint32_t chip, std::uint32_t page, std::span<const std::uint8_t> raw) {
          if (chip == fromChip) pages.push_back({page, {raw.begin(), raw.end()}});
        });
    return true;
  });
  if (!read) return fail("the source disk has no such chip");
  const bool written = disks_[std::size_t(to)]->withUnit([&](SimUnit& unit) {
    auto* ctrl = dynamic_cast<ControllerUnit*>(&unit);
    if (!ctrl || toChip >= ctrl->nand().geometry().chips) return false;
    const Geometry& g = ctrl->nand().geometry();
    if (g.blocksPerChip != source.blocksPerChip || g.pagesPerBlock != source.pagesPerBlock ||
        g.sectorsPerPage != source.sectorsPerPage)
      return false;
    for (const Page& p : pages) ctrl->nand().overwrite(toChip, p.address, 0, p.raw);
    return true;
  });
  return written || fail("the target disk has no such chip or another geometry");
}

bool Simulator::editPage(int disk, std::uint32_t chip, std::uint32_t pageAddress,
                         const std::function<void(std::span<std::uint8_t> raw)>& edit) {
  if (disk < 0 || disk >= diskCount()) return false;
  return disks_[std::size_t(disk)]->withUnit([&](SimUnit& unit) {
    auto* ctrl = dynamic_cast<ControllerUnit*>(&unit);
    if (!ctrl) return false;
    const Geometry& g = ctrl->nand().geometry();
    if (chip >= g.chips || pageAddress >= g.pagesPerChip()) return false;
    std::vector<std::uint8_t> raw(g.rawPageBytes());
    ctrl->nand().readPage(chip, pageAddress, raw);
    const std::vector<std::uint8_t> before = raw;
    edit(raw);
    // An untouched page stays as it was (an erased page stays erased).
    if (raw != before) ctrl->nand().overwrite(chip, pageAddress, 0, raw);
    return true;
  });
}

void Simulator::injectFaults(int disk, const Faults& faults) { disks_.at(disk)->addFaults(faults); }

void Simulator::setLatency(const Latency& latency) {
  for (auto& d : disks_) d->setLatency(latency);
}

}  // namespace kvx::sim
