#include "platform/linux/gadget/ram_disk.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace kvx::gadget {
namespace {

constexpr std::uint32_t kSector = 512;

constexpr ScsiResult kInvalidOpcode = PackSense(sense::kIllegalRequest, 0x20, 0x00);
constexpr ScsiResult kInvalidField = PackSense(sense::kIllegalRequest, 0x24, 0x00);
constexpr ScsiResult kLbaOutOfRange = PackSense(sense::kIllegalRequest, 0x21, 0x00);

std::uint32_t Be32(const Cdb& c, int at) {
  return (std::uint32_t(c[at]) << 24) | (std::uint32_t(c[at + 1]) << 16) |
         (std::uint32_t(c[at + 2]) << 8) | c[at + 3];
}

void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v >> 24);
  p[1] = std::uint8_t(v >> 16);
  p[2] = std::uint8_t(v >> 8);
  p[3] = std::uint8_t(v);
}

// Copies a reply into the host's buffer, zero-padding or truncating.
void Reply(void* buffer, std::uint32_t length, const std::uint8_t* data, std::size_t size) {
  if (length == 0 || buffer == nullptr) return;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const std::size_t n = std::min<std::size_t>(length, size);
  std::memcpy(out, data, n);
  std::memset(out + n, 0, length - n);
}

bool IsVendorOpcode(std::uint8_t op) { return (op >= 0xD0 && op <= 0xDA) || op == 0xF8 || op == 0xF9; }

}  // namespace

RamDiskAccess::RamDiskAccess(int count, std::uint32_t sectors, std::vector<RamDiskRules> rules)
    : sectors_(sectors) {
  disks_.resize(std::size_t(std::max(count, 0)));
  for (std::size_t i = 0; i < disks_.size(); ++i) {
    disks_[i].bytes.assign(std::size_t(sectors) * kSector, 0);
    if (i < rules.size()) disks_[i].rules = rules[i];
  }
}

DeviceHandle RamDiskAccess::open(const std::string& path) {
  constexpr std::string_view kPrefix = "ram:";
  if (path.compare(0, kPrefix.size(), kPrefix) != 0) return kInvalidHandle;
  unsigned index = 0;
  const char* first = path.data() + kPrefix.size();
  const char* last = path.data() + path.size();
  const auto [end, ec] = std::from_chars(first, last, index);
  if (ec != std::errc() || end != last || first == last || index >= disks_.size())
    return kInvalidHandle;
  return DeviceHandle(index) + 1;
}

void RamDiskAccess::close(DeviceHandle) {}

ScsiResult RamDiskAccess::send(DataDirection direction, DeviceHandle handle, const Cdb& cdb,
                               void* buffer, std::uint32_t length, std::uint8_t lun,
                               std::uint32_t timeout_s) {
  (void)timeout_s;
  if (!IsOpen(handle) || std::size_t(handle) > disks_.size()) return EBADF;
  if (lun != 0) return PackSense(sense::kIllegalRequest, 0x25, 0x00);  // LUN not supported
  Disk& disk = disks_[std::size_t(handle - 1)];
  const std::uint8_t op = cdb[0];
  if (disk.rules.hangOpcode == op) return ETIMEDOUT;
  if (disk.rules.unplugOpcode == op) return ENODEV;
  if (disk.rules.senseOpcode == op) return kInvalidOpcode;
  const bool in = direction == DataDirection::In;

  switch (op) {
    case 0x00:  // TEST UNIT READY
    case 0x1B:  // START STOP UNIT
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
    case 0x35:  // SYNCHRONIZE CACHE(10)
      return 0;
    case 0x03: {  // REQUEST SENSE: nothing pending here
      std::uint8_t s[18] = {0x70, 0, 0, 0, 0, 0, 0, 10};
      Reply(buffer, in ? length : 0, s, sizeof s);
      return 0;
    }
    case 0x12: {  // INQUIRY, standard data only
      if (cdb[1] & 0x01) return kInvalidField;
      std::uint8_t d[36] = {};
      d[0] = 0x00;  // direct-access block device
      d[1] = 0x80;  // removable medium
      d[2] = 0x02;  // SCSI-2, as small USB disks report
      d[3] = 0x02;  // response data format
      d[4] = 31;    // additional length
      std::memcpy(d + 8, "KVX     ", 8);
      std::memcpy(d + 16, "Rig RAM disk    ", 16);
      std::memcpy(d + 32, "0001", 4);
      Reply(buffer, in ? length : 0, d, sizeof d);
      return 0;
    }
    case 0x1A: {  // MODE SENSE(6): header only, not write-protected, no block descriptor
      const std::uint8_t h[4] = {3, 0, 0, 0};
      Reply(buffer, in ? length : 0, h, sizeof h);
      return 0;
    }
    case 0x25: {  // READ CAPACITY(10)
      std::uint8_t d[8];
      PutBe32(d, sectors_ - 1);
      PutBe32(d + 4, kSector);
      Reply(buffer, in ? length : 0, d, sizeof d);
      return 0;
    }
    case 0x28:    // READ(10)
    case 0x2A: {  // WRITE(10)
      const std::uint32_t lba = Be32(cdb, 2);
      const std::uint32_t count = (std::uint32_t(cdb[7]) << 8) | cdb[8];
      if (std::uint64_t(lba) + count > sectors_) return kLbaOutOfRange;
      const std::uint64_t bytes = std::uint64_t(count) * kSector;
      if (bytes > length || (bytes > 0 && buffer == nullptr)) return kInvalidField;
      std::uint8_t* at = disk.bytes.data() + std::size_t(lba) * kSector;
      if (op == 0x28)
        std::memcpy(buffer, at, bytes);
      else
        std::memcpy(at, buffer, bytes);
      return 0;
    }
    default:
      if (IsVendorOpcode(op)) {
        if (in && buffer != nullptr) std::memset(buffer, 0, length);
        return 0;
      }
      return kInvalidOpcode;
  }
}

}  // namespace kvx::gadget
