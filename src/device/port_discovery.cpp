#include "device/port_discovery.h"

#include <charconv>
#include <map>

#include "engine/station.h"

namespace kvx {

struct PortDiscovery::Walk {
  std::map<std::string, int> slotOfKey;  // valid lines only; the first owner of a slot wins
  std::set<int> usedSlots;
  int nextSlot = 0;
};

namespace {

// A slot value from the ini file: a plain decimal 0..63, anything else is none.
int ParseSlot(const std::string& text) {
  int value = -1;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return PortDiscovery::kNoSlot;
  return (value >= 0 && value < kPortCount) ? value : PortDiscovery::kNoSlot;
}

}  // namespace

PortDiscovery::PortDiscovery(Station& station, UsbTopology& topology, PortMapStore& portMap,
                             const FlashTypeCatalog& flashTypes, FlashSelection& selection)
    : station_(station),
      topology_(topology),
      portMap_(portMap),
      flashTypes_(flashTypes),
      selection_(selection) {}

void PortDiscovery::noteDeviceChange() {
  std::lock_guard l(changeMutex_);
  ++deviceChangeCount_;
}

std::uint32_t PortDiscovery::deviceChangeCount() const {
  std::lock_guard l(changeMutex_);
  return deviceChangeCount_;
}

std::vector<std::string> PortDiscovery::portList() const {
  std::lock_guard l(listMutex_);
  return portList_;
}

void PortDiscovery::ClearPorts() {
  std::lock_guard r(refreshMutex_);
  portMap_.erase();
  std::lock_guard l(listMutex_);
  portList_.clear();
}

void PortDiscovery::RefreshPorts() {
  std::lock_guard refresh(refreshMutex_);
  {
    std::lock_guard l(changeMutex_);
    deviceChangeCount_ = 0;
  }
  refreshRunning_.store(true);

  Walk walk;
  const auto lines = portMap_.lines();
  for (const auto& [key, value] : lines) {
    const int slot = ParseSlot(value);
    if (slot == kNoSlot || walk.slotOfKey.count(key) || walk.usedSlots.count(slot)) continue;
    walk.slotOfKey[key] = slot;
    walk.usedSlots.insert(slot);
  }
  walk.nextSlot = int(lines.size());

  for (const UsbRootHub& root : topology_.rootHubs()) {
    if (!refreshRunning_.load()) break;
    const int ports = topology_.portCount(root.hubId);
    if (ports < 0) continue;
    walkHub(walk, root.hubId, ports, "Port-" + std::to_string(root.bus), 0);
  }
  for (int slot = 0; slot < kPortCount && refreshRunning_.load(); ++slot) setUpSlot(slot);

  {
    std::vector<std::string> list;
    for (const auto& [key, value] : portMap_.lines()) list.push_back(key + "=" + value);
    std::lock_guard l(listMutex_);
    portList_ = std::move(list);
  }
  refreshRunning_.store(false);
}

void PortDiscovery::walkHub(Walk& walk, const std::string& hubId, int ports,
                            const std::string& prefix, int depth) {
  const char* separator = depth == 0 ? "-" : ".";
  for (int i = 1; i <= ports && refreshRunning_.load(); ++i) {
    const std::string key = prefix + separator + std::to_string(i);
    examinePort(walk, key, topology_.portState(hubId, i), depth);
  }
}

void PortDiscovery::examinePort(Walk& walk, const std::string& key, const UsbPortState& state,
                                int depth) {
  const auto found = walk.slotOfKey.find(key);
  int slot = found == walk.slotOfKey.end() ? kNoSlot : found->second;

  switch (state.kind) {
    case UsbAttachment::QueryFailed:
    case UsbAttachment::Mouse:
      return;
    case UsbAttachment::Empty:
      if (slot != kNoSlot) detachSlot(slot);
      return;
    case UsbAttachment::Hub: {
      if (slot != kNoSlot && station_.record(slot).Present.load()) detachSlot(slot);
      if (depth + 1 >= kMaxHubDepth) return;
      const int ports = topology_.portCount(state.hubId);
      if (ports > 0) walkHub(walk, state.hubId, ports, key, depth + 1);
      return;
    }
    case UsbAttachment::MassStorage:
      // The kernel has not made the SCSI node yet: not attached until it has.
      if (state.devicePath.empty()) return;
      break;
    case UsbAttachment::Other:
      break;
  }

  if (slot != kNoSlot) {
    FORMATINFO& rec = station_.record(slot);
    if (station_.busy(slot)) return;
    if (rec.Present.load() && rec.DevicePath == state.devicePath) return;
    attachSlot(walk, slot, key, state.devicePath);
    return;
  }
  while (walk.usedSlots.count(walk.nextSlot)) ++walk.nextSlot;
  if (walk.nextSlot >= kPortCount) return;  // no slot left: nothing is written
  slot = walk.nextSlot++;
  portMap_.write(key, slot);
  walk.slotOfKey[key] = slot;
  walk.usedSlots.insert(slot);
  if (station_.busy(slot)) return;
  attachSlot(walk, slot, key, state.devicePath);
}

void PortDiscovery::detachSlot(int slot) {
  std::lock_guard control(station_.controlMutex());
  FORMATINFO& rec = station_.record(slot);
  PortDisplay& display = station_.display(slot);
  if (station_.busy(slot)) {
    // The job ends on its failing commands; its worker closes the handle.
    rec.Present.store(0);
    return;
  }
  display.setButtonEnabled(false);
  if (IsOpen(rec.hDevice)) station_.devices().close(rec.hDevice);
  if (rec.hDevice != kNeverOpened) rec.hDevice = kInvalidHandle;
  rec.Present.store(0);
  display.setText("");
  display.setPercent(0);
}

void PortDiscovery::attachSlot(Walk&, int slot, const std::string& key, const std::string& path) {
  // One device, one slot: a stale slot holding the same device lets go of it.
  if (!path.empty()) {
    for (int other = 0; other < kPortCount; ++other) {
      if (other == slot) continue;
      const FORMATINFO& o = station_.record(other);
      if (!o.Present.load() || o.DevicePath != path) continue;
      if (station_.busy(other)) return;  // attach when that job has ended
      detachSlot(other);
    }
  }
  std::lock_guard control(station_.controlMutex());
  FORMATINFO& rec = station_.record(slot);
  if (IsOpen(rec.hDevice)) station_.devices().close(rec.hDevice);
  rec.hDevice = kInvalidHandle;
  rec.DevicePath = path;
  rec.PortKey = key;
  // A new disk has no flash type until it has been identified.
  rec.FlashTypeIndex = -1;
  rec.ChipCount = 0;
  rec.Present.store(1);
  station_.display(slot).setButtonEnabled(true);
}

void PortDiscovery::setUpSlot(int slot) {
  std::string path;
  {
    std::lock_guard control(station_.controlMutex());
    FORMATINFO& rec = station_.record(slot);
    if (!rec.Present.load() || station_.busy(slot) || IsOpen(rec.hDevice)) return;
    // Not startable while it is being set up.
    rec.FlashTypeIndex = -1;
    path = rec.DevicePath;
  }
  // Device I/O runs without the station's control lock, so Start All and the
  // port buttons never wait for an identification; the port cannot be
  // started meanwhile (no flash type).
  const DeviceHandle h = station_.devices().open(path);
  if (!IsOpen(h)) {
    std::lock_guard control(station_.controlMutex());
    station_.record(slot).hDevice = kInvalidHandle;
    return;  // tried again at the next refresh and at job start
  }
  CommandContext& ctx = station_.commands(slot);
  ReadControllerInfo(ctx, h);
  const bool automatic = selection_.autoSelect();
  Identification id;
  if (automatic) id = IdentifyDevice(ctx, h, flashTypes_, station_.messages());

  std::lock_guard control(station_.controlMutex());
  FORMATINFO& rec = station_.record(slot);
  PortDisplay& display = station_.display(slot);
  rec.hDevice = h;
  if (!automatic) {
    applyManualFlashType(slot);
    return;
  }
  rec.MultiChip = id.multiChip;
  rec.BlockCountOverride = id.blockCountOverride;
  rec.StatusText = id.statusText;
  if (id.matched) {
    rec.ChipCount = id.chipCount;
    rec.LargePage = id.largePage;
    rec.FlashTypeIndex = id.flashTypeIndex;
    selection_.select(id.selectionIndex, id.chipCount);
    display.setBar(rec.StatusText, BarColour::Blue, 0);
  } else {
    rec.ChipCount = 0;
    rec.FlashTypeIndex = -1;
    display.setBar(rec.StatusText, BarColour::Red, 0);
  }
}

void PortDiscovery::applyManualFlashType(int slot) {
  FORMATINFO& rec = station_.record(slot);
  const int index = selection_.flashTypeSelection();
  const MessageCatalogue& m = station_.messages();
  if (index < 0 || index >= flashTypes_.count()) {
    rec.FlashTypeIndex = -1;
    rec.ChipCount = 0;
    rec.StatusText = m.str(msg::kPcs) + " = 0  " + m.str(msg::kType) + " = ";
    station_.display(slot).setBar(rec.StatusText, BarColour::Red, 0);
    return;
  }
  const FlashTypeIdentity f = flashTypes_.identity(index);
  int chips = selection_.flashCount();
  rec.MultiChip = 0;
  if (f.doubleDie) {
    // Two dies per package: this disk counts twice; the operator's chip
    // count setting stays as entered.
    chips *= 2;
    rec.MultiChip = 1;
  }
  rec.ChipCount = std::uint8_t(chips);
  rec.FlashTypeIndex = index;
  rec.StatusText = m.str(msg::kPcs) + " = " + std::to_string(chips) + "  " + m.str(msg::kType) +
                   " = " + f.name + " ";
  station_.display(slot).setBar(rec.StatusText, BarColour::Blue, 0);
}

}  // namespace kvx
