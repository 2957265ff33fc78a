#pragma once
// Helpers of the rig's guest checks: text, a recorder of what SG_IO really
// reported, the gadget's wire log, and the sysfs view of the SCSI generic
// nodes.

#include <scsi/sg.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/transport.h"
#include "platform/linux/gadget/wire_log.h"

namespace kvx::rig {

namespace fs = std::filesystem;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One "RIG PASS|FAIL|NOTE <name>: <text>" line per check or finding on stdout.
struct Report {
  int passed = 0, failed = 0;
  void line(const char* kind, const std::string& name, const std::string& text) {
    std::printf("RIG %s %s: %s\n", kind, name.c_str(), text.c_str());
    std::fflush(stdout);
  }
  void pass(const std::string& name, const std::string& text) { ++passed, line("PASS", name, text); }
  void fail(const std::string& name, const std::string& text) { ++failed, line("FAIL", name, text); }
  void note(const std::string& name, const std::string& text) { line("NOTE", name, text); }
  void check(bool ok, const std::string& name, const std::string& text) {
    ok ? pass(name, text) : fail(name, text);
  }
};
std::string Hex(const std::uint8_t* p, std::size_t n);
std::uint64_t NowMs();  // CLOCK_MONOTONIC, the gadget's wire log clock
std::string ReadText(const fs::path& p);  // without trailing blanks and newlines
bool WriteText(const fs::path& p, const std::string& text);
// CRC-32 of a whole block device, read-only.
std::optional<std::uint32_t> DeviceCrc(const std::string& dev, std::uint64_t* bytes);

// ------------------------------------------------- what SG_IO really reported
// RecordingIoctl, handed to SgTransport, keeps the completed header of the
// last SG_IO of the calling thread in lastIo.
struct SgOutcome {
  int rc = 0, err = 0;
  unsigned status = 0, masked = 0, host = 0, driver = 0, senseBytes = 0, duration = 0, info = 0;
  int resid = 0;
  std::string describe() const {
    return Format("ioctl=%d errno=%d status=0x%02x host_status=0x%02x driver_status=0x%02x "
                  "resid=%d sb_len_wr=%u duration=%ums info=0x%x",
                  rc, err, status, host, driver, resid, senseBytes, duration, info);
  }
};
extern thread_local SgOutcome lastIo;
int RecordingIoctl(int fd, unsigned long request, void* arg);

// A Transport that remembers what each builder handed it.
struct Sent {
  Cdb cdb{};
  DataDirection direction{};
  std::uint32_t length = 0;
  std::uint32_t outCrc = 0;
};

class RecordingTransport final : public Transport {
 public:
  explicit RecordingTransport(Transport& inner) : inner_(inner) {}
  ScsiResult send(DataDirection direction, DeviceHandle handle, const Cdb& cdb, void* buffer,
                  std::uint32_t length, std::uint8_t lun, std::uint32_t timeout_s) override {
    Sent s{cdb, direction, length, 0};
    if (direction == DataDirection::Out && buffer)
      s.outCrc = gadget::Crc32({static_cast<const std::uint8_t*>(buffer), length});
    sent.push_back(s);
    return inner_.send(direction, handle, cdb, buffer, length, lun, timeout_s);
  }
  std::vector<Sent> sent;

 private:
  Transport& inner_;
};

// ------------------------------------------------------------- the wire log
struct LogEntry {
  std::uint64_t ms = 0;
  std::string kind;
  std::map<std::string, std::string> f;
  std::string text;
  std::string get(const std::string& key) const {
    const auto it = f.find(key);
    return it == f.end() ? std::string() : it->second;
  }
};
std::vector<LogEntry> ReadLog(const std::string& path);

// Waits until the wire log holds a CBW with exactly this command block after
// line `from`, and its CSW when `needCsw`.
struct WireMatch {
  bool found = false;
  LogEntry cbw, csw;
  std::size_t index = 0;
};
WireMatch FindOnWire(const std::string& path, const Cdb& cdb, std::size_t from, bool needCsw,
                     int timeoutMs = 3000);

// ------------------------------------------------------- sysfs: who is who
struct SgNode {
  std::string name;      // "sg2"
  fs::path classPath;    // resolved /sys/class/scsi_generic/sg2
  fs::path scsiDevice;   // resolved .../2:0:0:0
  std::string vendor, model;
  std::string usbDevice;     // "3-1", empty when not on USB
  std::string usbInterface;  // "3-1:1.0"
  std::string serial, busnum, devpath, speed;
  std::string blockName;  // "sdb"
};
std::vector<SgNode> ScanSgNodes();
std::string GadgetSerial(int disk);  // as kvx-usb-gadget names disk `disk`
std::optional<SgNode> FindGadget(int disk);
std::optional<SgNode> WaitForGadget(int disk, int timeoutMs, std::uint64_t* tookMs = nullptr);
bool WaitGone(const std::string& sgName, int timeoutMs, std::uint64_t* tookMs);

}  // namespace kvx::rig
