// kvx-rig-guest: the rig's checks, run inside the guest once kvx-usb-gadget
// serves its disks. Each check prints "RIG PASS <name>: ...", "RIG FAIL
// <name>: ..." or, for what the real kernel showed, "RIG NOTE <name>: ...";
// the last line is "RIG END transport pass=<n> fail=<n>". With "station" as
// its first argument it runs the station's own program instead (see
// station_checks.h).
//
// The station's own transport (SgTransport) and command builders talk to the
// gadget disks through the guest kernel's sg and usb-storage drivers; the
// gadget's wire log shows what arrived.
#include <scsi/sg.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "platform/linux/gadget/wire_log.h"
#include "platform/linux/sg_transport.h"
#include "rig_support.h"
#include "station_checks.h"
#include "uevent_monitor.h"

using namespace kvx;
using namespace kvx::rig;

namespace {

Report report;

// ------------------------------------------------------------------ options
struct Options {
  int disks = 0, senseDisk = -1, hangDisk = -1, unplugDisk = -1;
  std::uint8_t senseOpcode = 0, hangOpcode = 0, unplugOpcode = 0;
  std::string logDir, readyFile;
};

struct GadgetInfo {
  std::string configDir, udc;
};

std::map<int, GadgetInfo> ReadReady(const std::string& path) {
  std::map<int, GadgetInfo> out;
  std::ifstream in(path);
  int disk;
  GadgetInfo g;
  while (in >> disk >> g.configDir >> g.udc) out[disk] = g;
  return out;
}

std::string LogPath(const Options& o, int disk) { return o.logDir + "/disk" + std::to_string(disk) + ".log"; }

const char* DirName(DataDirection d, std::uint32_t length) {
  return length == 0 ? "none" : d == DataDirection::In ? "in" : "out";
}

// --------------------------------------------------------------- the checks
std::map<int, SgNode> gadgets;
std::vector<SgNode> otherDisks;

void CheckEnumeration(const Options& o) {
  std::uint64_t took = 0;
  for (int d = 0; d < o.disks; ++d) {
    auto n = WaitForGadget(d, 90000, &took);
    if (!n) {
      report.fail("enumerate", Format("gadget disk %d (serial %s) got no sg node within 90 s", d,
                                      GadgetSerial(d).c_str()));
      continue;
    }
    gadgets[d] = *n;
    report.pass("enumerate", Format("gadget disk %d is /dev/%s (block %s), USB device %s, waited %llu ms",
                                    d, n->name.c_str(), n->blockName.c_str(), n->usbDevice.c_str(),
                                    (unsigned long long)took));
  }
  for (auto& n : ScanSgNodes()) {
    bool ours = false;
    for (auto& [d, g] : gadgets) ours |= g.name == n.name;
    if (!ours) otherDisks.push_back(n);
  }
  for (auto& n : ScanSgNodes())
    report.note("sysfs", Format("%s: vendor='%s' model='%s' block=%s usb=%s intf=%s busnum=%s devpath=%s "
                                "speed=%s path=%s",
                                n.name.c_str(), n.vendor.c_str(), n.model.c_str(), n.blockName.c_str(),
                                n.usbDevice.empty() ? "-" : n.usbDevice.c_str(),
                                n.usbInterface.empty() ? "-" : n.usbInterface.c_str(), n.busnum.c_str(),
                                n.devpath.c_str(), n.speed.c_str(), n.classPath.c_str()));
}

// The port keys of discovery: "Port-" + the USB device's sysfs name, which
// must be "<busnum>-<devpath>"; the sg node must sit below the USB interface.
void CheckTopology(const Options& o) {
  std::map<std::string, int> keys;
  for (auto& [d, n] : gadgets) {
    const std::string expectName = n.busnum + "-" + n.devpath;
    const std::string key = "Port-" + n.usbDevice;
    ++keys[key];
    const std::string cls = n.classPath.string();
    const std::string intfPart = "/" + n.usbDevice + "/" + n.usbInterface + "/host";
    const bool shaped = n.usbDevice == expectName && cls.find(intfPart) != std::string::npos &&
                        cls.find("/scsi_generic/" + n.name) != std::string::npos;
    report.check(shaped, "topology", Format("disk %d: key %s; sysfs name %s = busnum-devpath %s; sg under %s:"
                                            " %s", d, key.c_str(), n.usbDevice.c_str(), expectName.c_str(),
                                            n.usbInterface.c_str(), cls.c_str()));
  }
  bool unique = true;
  for (auto& [k, count] : keys) unique &= count == 1;
  report.check(unique && int(keys.size()) == o.disks, "topology",
               Format("%zu distinct port keys for %d gadget disks", keys.size(), o.disks));
  // The port a USB device hangs on: its "port" link names the hub port's
  // directory, "usb<bus>-port<n>" on a root hub, "<hub>-port<n>" on a hub.
  std::vector<SgNode> usbDisks;
  for (auto& [d, n] : gadgets) usbDisks.push_back(n);
  for (auto& n : otherDisks)
    if (!n.usbDevice.empty()) usbDisks.push_back(n);
  for (auto& n : usbDisks) {
    const fs::path dev = "/sys/bus/usb/devices/" + n.usbDevice;
    std::error_code ec;
    const fs::path port = fs::canonical(dev / "port", ec);
    const auto dot = n.devpath.rfind('.');
    const std::string parent = dot == std::string::npos ? "usb" + n.busnum : n.busnum + "-" + n.devpath.substr(0, dot);
    const std::string last = dot == std::string::npos ? n.devpath : n.devpath.substr(dot + 1);
    const std::string expected = parent + "-port" + last;
    const std::string maxchild = ReadText(fs::path("/sys/bus/usb/devices") / parent / "maxchild");
    report.check(!ec && port.filename() == expected, "topology",
                 Format("%s hangs on %s (expected %s); its hub %s has maxchild %s", n.usbDevice.c_str(),
                        ec ? "no port link" : port.c_str(), expected.c_str(), parent.c_str(), maxchild.c_str()));
  }
  bool hubChain = false, ata = false;
  for (auto& n : otherDisks) {
    if (!n.usbDevice.empty() && n.devpath.find('.') != std::string::npos) hubChain = true;
    if (n.usbDevice.empty()) ata = true;
  }
  report.check(hubChain, "topology", "the generic QEMU USB disk is behind the hub (a port chain with '.')");
  report.check(ata, "topology", "the guest's IDE system disk has an sg node with no USB ancestor");
}

std::map<std::string, std::uint32_t> crcBefore;

void ChecksumOtherDisks(bool before) {
  for (auto& n : otherDisks) {
    if (n.blockName.empty()) continue;
    const std::string dev = "/dev/" + n.blockName;
    std::uint64_t bytes = 0;
    const auto crc = DeviceCrc(dev, &bytes);
    if (!crc) {
      report.fail("bystanders", "cannot read " + dev + ": " + std::strerror(errno));
      continue;
    }
    if (before) {
      crcBefore[dev] = *crc;
      report.note("bystanders", Format("%s (%s %s) %llu bytes crc %08x before the tests", dev.c_str(),
                                       n.vendor.c_str(), n.model.c_str(), (unsigned long long)bytes, *crc));
    } else {
      report.check(crcBefore.count(dev) && crcBefore[dev] == *crc, "bystanders",
                   Format("%s kept every byte: crc %08x after, %08x before", dev.c_str(), *crc,
                          crcBefore.count(dev) ? crcBefore[dev] : 0));
    }
  }
  if (before && crcBefore.size() < 2)
    report.fail("bystanders", Format("expected the generic USB disk and the IDE disk, found %zu other disks",
                                     crcBefore.size()));
}

// One builder call on one disk, expected result, then the wire check.
struct Step {
  std::string name;
  std::function<ScsiResult(CommandContext&, DeviceHandle)> call;
  ScsiResult expected = 0;
};

void RunCommandSet(const Options& o, int disk) {
  auto it = gadgets.find(disk);
  if (it == gadgets.end()) return;
  SgTransport sg(&RecordingIoctl);
  RecordingTransport recorder(sg);
  CommandContext ctx;
  ctx.transport = &recorder;
  const std::string dev = "/dev/" + it->second.name;
  const DeviceHandle h = sg.open(dev);
  if (!IsOpen(h)) {
    report.fail("commands", Format("disk %d: cannot open %s: %s", disk, dev.c_str(), std::strerror(errno)));
    return;
  }
  std::vector<std::uint8_t> pattern(1024), back(1024), table(512), big(4 * kRawSectorBytes);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = std::uint8_t(i * 7 + disk);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = std::uint8_t(0xA5 ^ i);
  std::array<std::uint8_t, 8> bitmap{}, answer{};
  FlashIdReply ids;
  const bool senseHere = disk == o.senseDisk;
  const ScsiResult illegalOpcode = PackSense(sense::kIllegalRequest, 0x20, 0x00);
  auto vendorExpect = [&](std::uint8_t op) { return senseHere && op == o.senseOpcode ? illegalOpcode : 0; };

  std::vector<Step> steps = {
      {"DiskWrite LBA 8, 1024 bytes",
       [&](CommandContext& c, DeviceHandle hh) { return DiskWrite(c, hh, 8, 1024, pattern, 0, 5); }, 0},
      {"DiskRead LBA 8, 1024 bytes",
       [&](CommandContext& c, DeviceHandle hh) { return DiskRead(c, hh, 8, 1024, back, 0, 5); }, 0},
      {"DiskRead past the end (LBA 0x12345)",
       [&](CommandContext& c, DeviceHandle hh) { return DiskRead(c, hh, 0x12345, 1024, back, 0, 5); },
       PackSense(sense::kIllegalRequest, 0x21, 0x00)},
      {"WriteSectors of the configuration table",
       [&](CommandContext& c, DeviceHandle hh) { return WriteSectors(c, hh, 0, 0, 1, 1, 0, table, 10); },
       vendorExpect(op::kWriteSectors)},
      {"FirmwareScan 64 pages",
       [&](CommandContext& c, DeviceHandle hh) {
         FirmwareScanArgs a;
         a.firstPage = 0x12345;
         a.pages = 64;
         a.chip = 1;
         a.pass = 2;
         a.eccLevel = 3;
         a.invert = 1;
         a.seedA = 0x11223344;
         a.seedB = 0x55667788;
         return FirmwareScan(c, hh, a, bitmap);
       },
       vendorExpect(op::kFirmwareScan)},
      {"ReadFlashId chip 0",
       [&](CommandContext& c, DeviceHandle hh) { return ReadFlashId(c, hh, 0, 0x90, 8, 0, 0, 1, ids); },
       vendorExpect(op::kReadFlashId)},
      {"ReadControllerInfo", [&](CommandContext& c, DeviceHandle hh) { return ReadControllerInfo(c, hh); },
       vendorExpect(op::kReadControllerInfo)},
      {"EraseBlocks 64 blocks", [&](CommandContext& c, DeviceHandle hh) { return EraseBlocks(c, hh, 1, 0x40, 64); },
       vendorExpect(op::kEraseBlocks)},
      {"ReadPagesWithSpare 1 page of 4 sectors",
       [&](CommandContext& c, DeviceHandle hh) { return ReadPagesWithSpare(c, hh, 0, 0x200, 1, 4, big, 5); },
       vendorExpect(op::kReadPagesWithSpare)},
      {"WritePagesWithSpare 1 page of 4 sectors",
       [&](CommandContext& c, DeviceHandle hh) { return WritePagesWithSpare(c, hh, 0, 0x200, 1, 4, big, 5); },
       vendorExpect(op::kWritePagesWithSpare)},
      {"DownloadCode 2 sectors",
       [&](CommandContext& c, DeviceHandle hh) { return DownloadCode(c, hh, 0, 2, pattern); },
       vendorExpect(op::kDownloadCode)},
      {"LogicalPatternFill 4 sectors",
       [&](CommandContext& c, DeviceHandle hh) { return LogicalPatternFill(c, hh, 0x40, 2048, answer); },
       vendorExpect(op::kLogicalPatternFill)},
      {"LogicalPatternCheck 4 sectors",
       [&](CommandContext& c, DeviceHandle hh) { return LogicalPatternCheck(c, hh, 0x40, 2048, answer); },
       vendorExpect(op::kLogicalPatternCheck)},
  };
  if (disk != o.hangDisk)
    steps.push_back({"ReadSectors 4 sectors",
                     [&](CommandContext& c, DeviceHandle hh) { return ReadSectors(c, hh, 0, 0x100, 4, big, 5); },
                     vendorExpect(op::kReadSectors)});

  const std::string logPath = LogPath(o, disk);
  std::size_t from = ReadLog(logPath).size();
  for (auto& step : steps) {
    const std::size_t before = recorder.sent.size();
    const ScsiResult r = step.call(ctx, h);
    const SgOutcome io = lastIo;
    const std::string name = Format("disk %d %s", disk, step.name.c_str());
    if (recorder.sent.size() != before + 1) {
      report.fail("commands", name + ": the builder did not send exactly one command");
      continue;
    }
    const Sent& s = recorder.sent.back();
    const WireMatch m = FindOnWire(logPath, s.cdb, from, true);
    std::string problems;
    if (r != step.expected) problems += Format(" result 0x%x, expected 0x%x;", unsigned(r), unsigned(step.expected));
    if (!m.found) {
      problems += " the command block never reached the gadget;";
    } else {
      from = m.index + 1;
      const LogEntry& f = m.cbw;
      if (f.get("cblen") != "16") problems += " CBW length " + f.get("cblen") + ", expected 16;";
      if (f.get("dir") != DirName(s.direction, s.length)) problems += " direction " + f.get("dir") + ";";
      if (f.get("xfer") != std::to_string(s.length)) problems += " data length " + f.get("xfer") + ";";
      const std::string wantStatus = step.expected == 0 ? "0" : "1";
      if (m.csw.get("status") != wantStatus) problems += " CSW status '" + m.csw.get("status") + "';";
      if (s.direction == DataDirection::Out && s.length > 0 && step.expected == 0 &&
          m.csw.get("crc") != Format("%08x", s.outCrc))
        problems += " data-out crc " + m.csw.get("crc") + " vs sent " + Format("%08x", s.outCrc) + ";";
    }
    report.check(problems.empty(), "commands",
                 name + (problems.empty() ? Format(": result 0x%x, CDB %s, 16 bytes, %s %u on the wire",
                                                   unsigned(r), Hex(s.cdb.data(), 16).c_str(),
                                                   DirName(s.direction, s.length), s.length)
                                          : ":" + problems + " [" + io.describe() + "]"));
    if (step.expected != 0 && r == step.expected) {
      report.note("sense", name + ": packed sense " + Format("0x%x; ", unsigned(r)) + io.describe());
      // What the kernel sent after the CHECK CONDITION to fetch the sense.
      const auto log = ReadLog(logPath);
      for (std::size_t i = m.index + 1; i < log.size(); ++i)
        if (log[i].kind == "CBW") {
          report.check(log[i].get("cdb").rfind("03", 0) == 0, "sense",
                       name + ": the next command on the wire is the kernel's REQUEST SENSE: cdb " +
                           log[i].get("cdb") + " cblen " + log[i].get("cblen") + " xfer " + log[i].get("xfer"));
          break;
        }
    }
  }
  report.check(back == pattern, "commands",
               Format("disk %d: READ(10) returned the bytes WRITE(10) stored", disk));

  // No command arrives twice: the kernel does not retry SG_IO commands.
  const auto log = ReadLog(logPath);
  std::map<std::string, int> seen;
  for (auto& e : log)
    if (e.kind == "CBW") ++seen[e.get("cdb")];
  int repeats = 0;
  for (auto& s : recorder.sent)
    if (seen[Hex(s.cdb.data(), 16)] > 1) ++repeats;
  report.check(repeats == 0, "commands",
               Format("disk %d: every command block arrived exactly once (%d repeated)", disk, repeats));
  sg.close(h);
}

// The bulk-only cases where host and device disagree, driven by raw CDBs.
void CheckBulkOnlyCases(const Options& o, int disk) {
  auto it = gadgets.find(disk);
  if (it == gadgets.end()) return;
  SgTransport sg(&RecordingIoctl);
  const DeviceHandle h = sg.open("/dev/" + it->second.name);
  if (!IsOpen(h)) {
    report.fail("bulk-only", "cannot open the disk");
    return;
  }
  std::vector<std::uint8_t> buf(4096);
  // Expected CSW status (0 passed, 2 phase error) and residue; a command
  // passes with the residue as SG_IO's resid, a phase error fails.
  struct Case {
    const char* name;
    Cdb cdb;
    DataDirection dir;
    std::uint32_t length;
    int cswStatus;
    std::uint32_t residue;
  };
  Cdb tur{};
  Cdb write1 = MakeRead10Cdb(op::kWrite10, 3, 512);
  const Case cases[] = {
      {"Hi > Di: READ(10) of 1 sector, 1024 bytes expected", MakeRead10Cdb(op::kRead10, 3, 512),
       DataDirection::In, 1024, 0, 512},
      {"Hi > Dn: TEST UNIT READY expecting 512 bytes in", tur, DataDirection::In, 512, 0, 512},
      {"Hi < Di: READ(10) of 2 sectors, 512 bytes expected", MakeRead10Cdb(op::kRead10, 3, 1024),
       DataDirection::In, 512, 2, 512},
      {"Hi <> Do: WRITE(10) sent as data-in", write1, DataDirection::In, 512, 2, 512},
      {"Hn < Di: READ(10) of 1 sector with no data phase", MakeRead10Cdb(op::kRead10, 3, 512),
       DataDirection::In, 0, 2, 0},
      {"Ho > Do: WRITE(10) of 1 sector, 1024 bytes sent", write1, DataDirection::Out, 1024, 0, 512},
      {"Ho < Do: WRITE(10) of 2 sectors, 512 bytes sent", MakeRead10Cdb(op::kWrite10, 3, 1024),
       DataDirection::Out, 512, 2, 512},
  };
  const std::string logPath = LogPath(o, disk);
  for (const auto& c : cases) {
    const std::size_t from = ReadLog(logPath).size();
    const std::uint64_t t0 = NowMs();
    const ScsiResult r = sg.send(c.dir, h, c.cdb, buf.data(), c.length, 0, 10);
    const SgOutcome io = lastIo;
    const std::uint64_t took = NowMs() - t0;
    const WireMatch m = FindOnWire(logPath, c.cdb, from, true);
    const bool passes = c.cswStatus == 0;
    const bool ok = m.csw.get("status") == std::to_string(c.cswStatus) &&
                    m.csw.get("residue") == std::to_string(c.residue) && (r == 0) == passes &&
                    (!passes || io.resid == int(c.residue));
    report.check(ok, "bulk-only",
                 Format("%s: result 0x%x in %llu ms, CSW status %s residue %s (expected %d, %u); %s", c.name,
                        unsigned(r), (unsigned long long)took, m.csw.get("status").c_str(),
                        m.csw.get("residue").c_str(), c.cswStatus, c.residue, io.describe().c_str()));
    // After a phase error the kernel resets the function; the disk must serve again.
    DeviceHandle hh = h;
    std::vector<std::uint8_t> one(512);
    CommandContext ctx;
    ctx.transport = &sg;
    const ScsiResult again = DiskRead(ctx, hh, 0, 512, one, 0, 10);
    if (!passes)
      report.check(again == 0, "bulk-only", Format("%s: the next READ(10) gives 0x%x", c.name, unsigned(again)));
  }
  // What the gadget saw around those cases (resets and stalls).
  for (auto& e : ReadLog(logPath))
    if (e.kind == "EP0" || e.kind == "EPOCH" || (e.kind == "BULK" && e.text.find("STALL") != std::string::npos))
      report.note("bulk-only-wire", Format("disk %d: ", disk) + e.text);
  sg.close(h);
}

// A SCSI device reset through sg reaches usb-storage's device reset, which
// is the bulk-only class reset on endpoint 0; the disk must serve after it.
void CheckClassReset(const Options& o, int disk) {
  auto it = gadgets.find(disk);
  if (it == gadgets.end()) return;
  SgTransport sg(&RecordingIoctl);
  CommandContext ctx;
  ctx.transport = &sg;
  const DeviceHandle h = sg.open("/dev/" + it->second.name);
  const std::string logPath = LogPath(o, disk);
  const std::size_t from = ReadLog(logPath).size();
  int what = SG_SCSI_RESET_DEVICE;
  const std::uint64_t t0 = NowMs();
  const int rc = ::ioctl(int(h), SG_SCSI_RESET, &what);
  const int err = rc < 0 ? errno : 0;
  const std::uint64_t took = NowMs() - t0;
  bool sawReset = false;
  for (const std::uint64_t start = NowMs(); !sawReset && NowMs() - start < 3000;) {
    const auto log = ReadLog(logPath);
    for (std::size_t i = from; i < log.size(); ++i)
      if (log[i].kind == "EP0" && log[i].text.find("RESET acked") != std::string::npos) sawReset = true;
    if (!sawReset) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  report.check(rc == 0 && sawReset, "class-reset",
               Format("SG_SCSI_RESET (device) gave %d (errno %d) in %llu ms; the gadget %s the Bulk-Only Mass "
                      "Storage Reset", rc, err, (unsigned long long)took, sawReset ? "acknowledged" : "never saw"));
  std::vector<std::uint8_t> one(512);
  const ScsiResult r = DiskRead(ctx, h, 0, 512, one, 0, 5);
  report.check(r == 0, "class-reset", Format("READ(10) after the reset: 0x%x; %s", unsigned(r), lastIo.describe().c_str()));
  sg.close(h);
}

void CheckTimeout(const Options& o) {
  auto it = gadgets.find(o.hangDisk);
  if (it == gadgets.end()) return;
  SgTransport sg(&RecordingIoctl);
  CommandContext ctx;
  ctx.transport = &sg;
  const DeviceHandle h = sg.open("/dev/" + it->second.name);
  std::vector<std::uint8_t> buf(2048);
  const std::size_t from = ReadLog(LogPath(o, o.hangDisk)).size();
  const std::uint64_t t0 = NowMs();
  const ScsiResult r = ReadSectors(ctx, h, 0, 0x100, 4, buf, 3);  // the gadget never answers 0xD4 here
  const SgOutcome io = lastIo;
  const std::uint64_t took = NowMs() - t0;
  report.check(r != 0 && took >= 2900 && took < 60000, "timeout",
               Format("ReadSectors with a 3 s timeout on a command that never answers: result %d (0x%x) after "
                      "%llu ms; %s",
                      r, unsigned(r), (unsigned long long)took, io.describe().c_str()));
  // How the kernel got out of it, as the gadget saw it.
  for (std::size_t i = 0; auto& e : ReadLog(LogPath(o, o.hangDisk)))
    if (i++ >= from && e.kind != "CBW" && e.kind != "CSW")
      report.note("timeout-wire", Format("+%lld ms ", (long long)(e.ms - t0)) + e.text);
  std::vector<std::uint8_t> one(512);
  const std::uint64_t t1 = NowMs();
  ScsiResult again = -1;
  while (NowMs() - t1 < 30000 && (again = DiskRead(ctx, h, 0, 512, one, 0, 5)) != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  report.check(again == 0, "timeout",
               Format("the disk serves READ(10) again %llu ms after the timeout (last result 0x%x; %s)",
                      (unsigned long long)(NowMs() - t1), unsigned(again), lastIo.describe().c_str()));
  sg.close(h);
}

bool Plug(const GadgetInfo& g, bool on) { return WriteText(g.configDir + "/UDC", on ? g.udc + "\n" : "\n"); }

// Unplug in the middle of a command, then between commands, then plug back.
enum class Unplug {
  MidCommand,      // unbound through configfs while a command waits for its answer
  BetweenCommands, // unbound through configfs while the disk is idle
  ByTheDevice,     // the backend reports the device gone; the gadget unbinds itself
};

void CheckUnplug(const Options& o, const std::map<int, GadgetInfo>& ready, int disk, Unplug how) {
  auto it = gadgets.find(disk);
  if (it == gadgets.end() || ready.count(disk) == 0) return;
  // Only these disks have a command that never answers, or one that unplugs.
  if (how == Unplug::MidCommand && disk != o.hangDisk) return;
  if (how == Unplug::ByTheDevice && disk != o.unplugDisk) return;
  const std::string what = how == Unplug::MidCommand        ? "unplug-mid-command"
                           : how == Unplug::BetweenCommands ? "unplug-between-commands"
                                                            : "unplug-by-the-device";
  const SgNode node = it->second;
  SgTransport sg(&RecordingIoctl);
  CommandContext ctx;
  ctx.transport = &sg;
  const DeviceHandle h = sg.open("/dev/" + node.name);
  std::vector<std::uint8_t> buf(2048), one(512);
  const ScsiResult first = DiskRead(ctx, h, 0, 512, one, 0, 5);
  report.check(first == 0, what, Format("disk %d READ(10) before the unplug: 0x%x", disk, unsigned(first)));

  UeventMonitor uevents;
  report.check(uevents.ok(), what, "kernel uevent socket open");
  std::uint64_t unplugAt = 0;
  const std::uint64_t t0 = NowMs();
  if (how == Unplug::ByTheDevice) {
    Cdb cdb{};
    cdb[0] = o.unplugOpcode;
    unplugAt = NowMs();
    const ScsiResult r = sg.send(DataDirection::In, h, cdb, buf.data(), 8, 0, 10);
    report.check(r != 0, what,
                 Format("the command whose answer is an unplug ended with %d (0x%x) after %llu ms; %s", r,
                        unsigned(r), (unsigned long long)(NowMs() - unplugAt), lastIo.describe().c_str()));
    report.check(ReadText(ready.at(disk).configDir + "/UDC").empty(), what,
                 "the gadget unbound itself from its UDC");
  } else {
    ScsiResult during = 0;
    SgOutcome duringIo;
    std::uint64_t doneAt = 0;
    std::thread worker;
    if (how == Unplug::MidCommand) {
      const std::size_t from = ReadLog(LogPath(o, disk)).size();
      worker = std::thread([&] {
        during = ReadSectors(ctx, h, 0, 0x100, 4, buf, 30);  // never answered; unplugged below
        duringIo = lastIo;
        doneAt = NowMs();
      });
      // Unplug only once the gadget holds the command and keeps silent.
      bool held = false;
      for (const std::uint64_t start = NowMs(); !held && NowMs() - start < 10000;) {
        const auto log = ReadLog(LogPath(o, disk));
        for (std::size_t i = from; i < log.size(); ++i) held |= log[i].text.find(" silent ") != std::string::npos;
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      report.check(held, what, Format("the gadget holds the command unanswered %llu ms after it was sent",
                                      (unsigned long long)(NowMs() - t0)));
    }
    unplugAt = NowMs();
    const bool unbound = Plug(ready.at(disk), false);
    report.check(unbound, what, Format("disk %d unbound from %s", disk, ready.at(disk).udc.c_str()));
    if (how == Unplug::MidCommand) {
      worker.join();
      report.check(during != 0 && doneAt - unplugAt < 10000, what,
                   Format("the command in flight ended with %d (0x%x) %llu ms after the unplug (sent %llu ms "
                          "before it); %s",
                          during, unsigned(during), (unsigned long long)(doneAt - unplugAt),
                          (unsigned long long)(unplugAt - t0), duringIo.describe().c_str()));
    }
  }
  std::uint64_t goneMs = 0;
  const bool gone = WaitGone(node.name, 10000, &goneMs);
  report.check(gone, what, Format("/sys/class/scsi_generic/%s removed %llu ms after the unplug", node.name.c_str(),
                                  (unsigned long long)goneMs));
  const std::uint64_t t2 = NowMs();
  const ScsiResult after = DiskRead(ctx, h, 0, 512, one, 0, 5);
  report.check(after != 0, what,
               Format("READ(10) on the still-open handle after the unplug: %d (0x%x) in %llu ms; %s", after,
                      unsigned(after), (unsigned long long)(NowMs() - t2), lastIo.describe().c_str()));
  sg.close(h);

  const bool plugged = Plug(ready.at(disk), true);
  std::uint64_t took = 0;
  const auto again = plugged ? WaitForGadget(disk, 60000, &took) : std::nullopt;
  report.check(again.has_value(), what,
               Format("disk %d plugged back: %s after %llu ms", disk,
                      again ? ("/dev/" + again->name + " at USB " + again->usbDevice).c_str() : "no sg node",
                      (unsigned long long)took));
  if (!again) return;
  gadgets[disk] = *again;
  const DeviceHandle h2 = sg.open("/dev/" + again->name);
  ScsiResult r = -1;
  const std::uint64_t t3 = NowMs();
  // A fresh disk may first answer UNIT ATTENTION (power on, reset).
  while (NowMs() - t3 < 10000 && (r = DiskRead(ctx, h2, 0, 512, one, 0, 5)) != 0) {
    report.note(what, Format("READ(10) right after the plug: 0x%x; %s", unsigned(r), lastIo.describe().c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  report.check(r == 0, what, Format("READ(10) after the plug: 0x%x", unsigned(r)));
  sg.close(h2);

  // Event order and timing as the kernel sent them, from the unplug on.
  uevents.stop();
  int sgRemoved = 0, sgAdded = 0;
  for (const auto& e : uevents.events()) {
    if (e.subsystem == "scsi_generic" && e.action == "remove") ++sgRemoved;
    if (e.subsystem == "scsi_generic" && e.action == "add") ++sgAdded;
    if (e.action == "bind" || e.action == "unbind" || e.action == "change") continue;
    report.note(what + "-uevents", Format("+%lld ms %s %s%s%s %s", (long long)(e.ms - unplugAt), e.action.c_str(),
                                          e.subsystem.c_str(), e.devtype.empty() ? "" : "/", e.devtype.c_str(),
                                          e.devpath.c_str()));
  }
  report.check(sgRemoved == 1 && sgAdded == 1, what,
               Format("the kernel announced the sg node's removal and arrival (%d remove, %d add events)", sgRemoved,
                      sgAdded));
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--disks") o->disks = std::atoi(v.c_str());
    else if (a == "--log-dir") o->logDir = v;
    else if (a == "--ready") o->readyFile = v;
    else if (a == "--sense-disk") o->senseDisk = std::atoi(v.c_str());
    else if (a == "--sense-opcode") o->senseOpcode = std::uint8_t(std::strtoul(v.c_str(), nullptr, 16));
    else if (a == "--hang-disk") o->hangDisk = std::atoi(v.c_str());
    else if (a == "--unplug-disk") o->unplugDisk = std::atoi(v.c_str());
    else if (a == "--unplug-opcode") o->unplugOpcode = std::uint8_t(std::strtoul(v.c_str(), nullptr, 16));
    else if (a == "--hang-opcode") o->hangOpcode = std::uint8_t(std::strtoul(v.c_str(), nullptr, 16));
    else return false;
  }
  return o->disks > 0 && !o->logDir.empty() && !o->readyFile.empty() && o->hangOpcode == op::kReadSectors;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "station") return RunStationChecks(argc - 1, argv + 1);
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::puts("RIG FAIL setup: usage: kvx-rig-guest --disks N --log-dir DIR --ready FILE --sense-disk D "
              "--sense-opcode OP --hang-disk D --hang-opcode d4 --unplug-disk D --unplug-opcode OP");
    std::puts("RIG END transport pass=0 fail=1");
    return 2;
  }
  const auto ready = ReadReady(o.readyFile);
  for (auto& [d, g] : ready) report.note("gadget", Format("disk %d: %s on %s", d, g.configDir.c_str(), g.udc.c_str()));
  const std::uint64_t t0 = NowMs();
  CheckEnumeration(o);
  CheckTopology(o);
  ChecksumOtherDisks(true);
  for (int d = 0; d < o.disks; ++d) RunCommandSet(o, d);
  CheckBulkOnlyCases(o, 0);
  CheckClassReset(o, 0);
  CheckTimeout(o);
  CheckUnplug(o, ready, o.hangDisk, Unplug::MidCommand);
  CheckUnplug(o, ready, 0, Unplug::BetweenCommands);
  CheckUnplug(o, ready, o.unplugDisk, Unplug::ByTheDevice);
  ChecksumOtherDisks(false);
  report.note("time", Format("checks took %llu ms", (unsigned long long)(NowMs() - t0)));
  std::printf("RIG END transport pass=%d fail=%d\n", report.passed, report.failed);
  return report.failed == 0 ? 0 : 1;
}
