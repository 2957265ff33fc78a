#pragma once
// The USB tree as port discovery sees it: root hubs by bus number, hubs with
// their ports, and what is connected to each port. Linux reads it from sysfs,
// the simulator from its profile. Discovery builds the port keys from the bus
// and port numbers ("Port-1-1.3.2" for bus 1, root port 1, hub port 3, hub
// port 2), the way sysfs names ports, so two sockets never share a key.

#include <functional>
#include <string>
#include <vector>

namespace kvx {

enum class UsbAttachment {
  Empty,        // nothing connected
  Hub,          // a hub: walk its ports
  MassStorage,  // a USB mass-storage disk: devicePath names its SCSI node
  Mouse,        // a pointing device (HID mouse): never gets a slot
  Other,        // any other device: gets a slot with an empty path
  QueryFailed,  // the port could not be examined
};

struct UsbPortState {
  UsbAttachment kind = UsbAttachment::Empty;
  // MassStorage: the path to open ("/dev/sg3", "sim:3"); empty while the
  // kernel has not made the SCSI node yet.
  std::string devicePath;
  // Hub: the id to walk it by (Linux: its sysfs name such as "1-1.3").
  std::string hubId;
};

struct UsbRootHub {
  int bus = 0;        // 1-based bus number
  std::string hubId;  // Linux: "usb1"
};

class UsbTopology {
 public:
  virtual ~UsbTopology() = default;
  // Root hubs in bus order.
  virtual std::vector<UsbRootHub> rootHubs() = 0;
  // Number of downstream ports of a hub; -1 when the hub cannot be queried.
  virtual int portCount(const std::string& hubId) = 0;
  // What is connected to port `port` (1-based) of the hub.
  virtual UsbPortState portState(const std::string& hubId, int port) = 0;
};

// Disk arrivals and removals. `onChange` is called (on any thread) for every
// arrival or removal of a disk or SCSI node; the station counts them and
// refreshes its ports.
class HotplugSource {
 public:
  virtual ~HotplugSource() = default;
  virtual void start(std::function<void()> onChange) = 0;
  virtual void stop() = 0;
};

}  // namespace kvx
