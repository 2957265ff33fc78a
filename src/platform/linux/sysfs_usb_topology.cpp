#include "platform/linux/sysfs_usb_topology.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <optional>
#include <system_error>

namespace kvx {
namespace fs = std::filesystem;
namespace {

constexpr int kUsbClassMassStorage = 0x08;
constexpr int kUsbClassHid = 0x03;
constexpr int kUsbClassHub = 0x09;
constexpr int kHidProtocolMouse = 0x02;
// How deep below a mass-storage interface the sg node may sit
// (host -> target -> H:C:T:L -> scsi_generic -> sgN).
constexpr int kScsiSearchDepth = 6;
// The largest port count a hub may report (USB 3 hubs have up to 15 ports;
// root hubs of big controllers a few dozen).
constexpr int kMaxPorts = 255;

std::optional<std::string> ReadAttribute(const fs::path& p) {
  std::ifstream in(p);
  if (!in) return std::nullopt;
  std::string s;
  std::getline(in, s);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::optional<int> ReadNumber(const fs::path& p, int base = 10) {
  const auto s = ReadAttribute(p);
  if (!s || s->empty()) return std::nullopt;
  int value = 0;
  const auto [ptr, ec] = std::from_chars(s->data(), s->data() + s->size(), value, base);
  if (ec != std::errc() || ptr != s->data() + s->size()) return std::nullopt;
  return value;
}

bool IsDirectory(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

// Depth-limited search for ".../scsi_generic/sgN" below `dir`.
std::string FindSgNode(const fs::path& dir, int depth) {
  if (depth < 0) return {};
  std::error_code ec;
  const fs::path sg = dir / "scsi_generic";
  if (IsDirectory(sg)) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(sg, ec))
      if (e.path().filename().string().rfind("sg", 0) == 0)
        names.push_back(e.path().filename().string());
    if (!names.empty()) return *std::min_element(names.begin(), names.end());
  }
  std::vector<fs::path> children;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    // Do not climb out through the links sysfs keeps (subsystem, driver, ...).
    if (e.is_symlink(ec)) continue;
    if (e.is_directory(ec)) children.push_back(e.path());
  }
  std::sort(children.begin(), children.end());
  for (const auto& c : children) {
    std::string found = FindSgNode(c, depth - 1);
    if (!found.empty()) return found;
  }
  return {};
}

bool HasMouseInput(const fs::path& interfaceDir) {
  // An input device with a "mouseN" handler below the interface.
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(interfaceDir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it.depth() > 4) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_symlink(ec)) {
      it.disable_recursion_pending();
      continue;
    }
    const std::string name = it->path().filename().string();
    if (name.rfind("mouse", 0) == 0) return true;
  }
  return false;
}

}  // namespace

SysfsUsbTopology::SysfsUsbTopology(fs::path root, fs::path devRoot)
    : root_(std::move(root)), devRoot_(std::move(devRoot)) {}

std::vector<UsbRootHub> SysfsUsbTopology::rootHubs() {
  std::vector<UsbRootHub> hubs;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root_, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("usb", 0) != 0) continue;
    int bus = 0;
    const auto [ptr, err] = std::from_chars(name.data() + 3, name.data() + name.size(), bus);
    if (err != std::errc() || ptr != name.data() + name.size() || bus <= 0) continue;
    hubs.push_back({bus, name});
  }
  std::sort(hubs.begin(), hubs.end(), [](auto& a, auto& b) { return a.bus < b.bus; });
  return hubs;
}

std::string SysfsUsbTopology::childName(const std::string& hubId, int port) const {
  if (port <= 0) return {};
  if (hubId.rfind("usb", 0) == 0) return hubId.substr(3) + "-" + std::to_string(port);
  if (hubId.find('-') == std::string::npos || hubId.find(':') != std::string::npos) return {};
  return hubId + "." + std::to_string(port);
}

int SysfsUsbTopology::portCount(const std::string& hubId) {
  const auto n = ReadNumber(root_ / hubId / "maxchild");
  if (!n || *n < 0 || *n > kMaxPorts) return -1;
  return *n;
}

UsbPortState SysfsUsbTopology::portState(const std::string& hubId, int port) {
  UsbPortState state;
  const std::string child = childName(hubId, port);
  if (child.empty()) {
    state.kind = UsbAttachment::QueryFailed;
    return state;
  }
  const fs::path dev = root_ / child;
  if (!IsDirectory(dev)) return state;  // Empty

  const auto maxchild = ReadNumber(dev / "maxchild");
  const auto deviceClass = ReadNumber(dev / "bDeviceClass", 16);
  if ((maxchild && *maxchild > 0) || (deviceClass && *deviceClass == kUsbClassHub)) {
    state.kind = UsbAttachment::Hub;
    state.hubId = child;
    return state;
  }

  // Interfaces: "<child>:<config>.<number>", in name order.
  std::vector<fs::path> interfaces;
  std::error_code ec;
  const std::string prefix = child + ":";
  for (const auto& e : fs::directory_iterator(dev, ec))
    if (e.path().filename().string().rfind(prefix, 0) == 0) interfaces.push_back(e.path());
  std::sort(interfaces.begin(), interfaces.end());

  state.kind = UsbAttachment::Other;
  for (const auto& itf : interfaces) {
    const auto cls = ReadNumber(itf / "bInterfaceClass", 16);
    if (!cls) continue;
    if (*cls == kUsbClassMassStorage) {
      state.kind = UsbAttachment::MassStorage;
      const std::string sg = FindSgNode(itf, kScsiSearchDepth);
      state.devicePath = sg.empty() ? std::string() : (devRoot_ / sg).string();
      return state;
    }
    if (*cls == kUsbClassHid) {
      const auto protocol = ReadNumber(itf / "bInterfaceProtocol", 16);
      if ((protocol && *protocol == kHidProtocolMouse) || HasMouseInput(itf))
        state.kind = UsbAttachment::Mouse;
    }
  }
  return state;
}

}  // namespace kvx
