#pragma once
// The host's USB tree read from sysfs (/sys/bus/usb/devices by default; tests
// point it at a tree they build in a temporary folder).
//
// Shapes relied on, as the kernel lays them out:
//   usbB/                    root hub of bus B: busnum, maxchild
//   B-P, B-P.Q, B-P.Q.R/     the device on root port P, on port Q of the hub
//                            there, ...: maxchild (> 0 for hubs), bDeviceClass
//   <dev>/<dev>:C.I/         interface I of configuration C: bInterfaceClass,
//                            bInterfaceProtocol; for mass storage the SCSI
//                            host below it holds .../scsi_generic/sgN
// Entries may be symlinks (they are in real sysfs); they are followed.

#include <filesystem>
#include <string>

#include "device/usb_topology.h"

namespace kvx {

class SysfsUsbTopology final : public UsbTopology {
 public:
  explicit SysfsUsbTopology(std::filesystem::path root = "/sys/bus/usb/devices",
                            std::filesystem::path devRoot = "/dev");

  std::vector<UsbRootHub> rootHubs() override;
  int portCount(const std::string& hubId) override;
  UsbPortState portState(const std::string& hubId, int port) override;

  // The sysfs name of the device on `port` of `hubId` ("usb1", 3 -> "1-3";
  // "1-3", 2 -> "1-3.2"); empty when the hub id is not understood.
  std::string childName(const std::string& hubId, int port) const;

 private:
  std::filesystem::path root_;
  std::filesystem::path devRoot_;
};

}  // namespace kvx
