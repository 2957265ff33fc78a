#pragma once
// A small stand-in controller for the rig's gadget disks until the simulator
// serves them: a RAM disk of 512-byte sectors that answers what the host's
// disk driver sends (INQUIRY, TEST UNIT READY, READ CAPACITY(10), MODE
// SENSE(6), REQUEST SENSE, PREVENT ALLOW MEDIUM REMOVAL, START STOP UNIT,
// SYNCHRONIZE CACHE, READ(10), WRITE(10)). The controller's vendor commands
// are accepted with GOOD and zero data (and their data-out is dropped); it
// knows nothing of flash. Per disk, one opcode can be made to fail with
// ILLEGAL REQUEST sense, one to never answer and one to unplug the disk.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/transport.h"

namespace kvx::gadget {

struct RamDiskRules {
  std::optional<std::uint8_t> senseOpcode;  // answered with ILLEGAL REQUEST, 0x20/0x00
  std::optional<std::uint8_t> hangOpcode;   // answered with ETIMEDOUT: never answers on the wire
  std::optional<std::uint8_t> unplugOpcode;  // answered with ENODEV: the device leaves
};

// Paths "ram:0" .. "ram:<count-1>"; handle = index + 1. Each disk is used by
// one thread at a time (its bulk-only server).
class RamDiskAccess final : public DeviceAccess {
 public:
  RamDiskAccess(int count, std::uint32_t sectors, std::vector<RamDiskRules> rules);

  DeviceHandle open(const std::string& path) override;
  void close(DeviceHandle handle) override;
  ScsiResult send(DataDirection direction, DeviceHandle handle, const Cdb& cdb, void* buffer,
                  std::uint32_t length, std::uint8_t lun, std::uint32_t timeout_s) override;

 private:
  struct Disk {
    std::vector<std::uint8_t> bytes;
    RamDiskRules rules;
  };
  std::vector<Disk> disks_;
  std::uint32_t sectors_;
};

}  // namespace kvx::gadget
