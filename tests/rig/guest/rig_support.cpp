#include "rig_support.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/linux/gadget/wire_log.h"

namespace kvx::rig {

std::string Format(const char* format, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  return text;
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += Format("%02x", p[i]);
  return s;
}

std::uint64_t NowMs() { return gadget::MonotonicMs(); }

std::string ReadText(const fs::path& p) {
  std::ifstream in(p);
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool WriteText(const fs::path& p, const std::string& text) {
  const int fd = ::open(p.c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
  ::close(fd);
  return ok;
}

// Checksum of a whole block device (read-only).
std::optional<std::uint32_t> DeviceCrc(const std::string& dev, std::uint64_t* bytes) {
  const int fd = ::open(dev.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<std::uint8_t> all, chunk(1 << 16);
  ssize_t n;
  while ((n = ::read(fd, chunk.data(), chunk.size())) > 0) all.insert(all.end(), chunk.begin(), chunk.begin() + n);
  ::close(fd);
  if (n < 0) return std::nullopt;
  *bytes = all.size();
  return gadget::Crc32(all);
}

// The substituted ioctl keeps the completed header of the last SG_IO of this
// thread, so a check can record the kernel's status fields beside our result.
thread_local SgOutcome lastIo;

int RecordingIoctl(int fd, unsigned long request, void* arg) {
  const int rc = ::ioctl(fd, request, arg);
  lastIo = {};
  lastIo.rc = rc;
  lastIo.err = rc < 0 ? errno : 0;
  if (request == SG_IO && rc == 0) {
    const auto* h = static_cast<const sg_io_hdr_t*>(arg);
    lastIo.status = h->status;
    lastIo.masked = h->masked_status;
    lastIo.host = h->host_status;
    lastIo.driver = h->driver_status;
    lastIo.resid = h->resid;
    lastIo.senseBytes = h->sb_len_wr;
    lastIo.duration = h->duration;
    lastIo.info = h->info;
  }
  if (rc < 0) errno = lastIo.err;
  return rc;
}



std::vector<LogEntry> ReadLog(const std::string& path) {
  std::vector<LogEntry> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    LogEntry e;
    e.text = line;
    words >> e.ms >> e.kind;
    std::string w;
    while (words >> w) {
      const auto eq = w.find('=');
      if (eq != std::string::npos) e.f[w.substr(0, eq)] = w.substr(eq + 1);
    }
    out.push_back(std::move(e));
  }
  return out;
}

WireMatch FindOnWire(const std::string& path, const Cdb& cdb, std::size_t from, bool needCsw,
                     int timeoutMs) {
  const std::string want = Hex(cdb.data(), cdb.size());
  const std::uint64_t start = NowMs();
  for (;;) {
    const auto log = ReadLog(path);
    WireMatch m;
    for (std::size_t i = from; i < log.size(); ++i) {
      if (log[i].kind != "CBW" || log[i].get("cdb") != want) continue;
      m.found = true;
      m.cbw = log[i];
      m.index = i;
      for (std::size_t j = i + 1; j < log.size(); ++j)
        if (log[j].kind == "CSW" && log[j].get("tag") == log[i].get("tag")) {
          m.csw = log[j];
          break;
        }
      break;
    }
    if ((m.found && (!needCsw || !m.csw.kind.empty())) || NowMs() - start > std::uint64_t(timeoutMs))
      return m;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}


std::vector<SgNode> ScanSgNodes() {
  std::vector<SgNode> nodes;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/scsi_generic", ec)) {
    SgNode n;
    n.name = entry.path().filename();
    n.classPath = fs::canonical(entry.path(), ec);
    n.scsiDevice = fs::canonical(entry.path() / "device", ec);
    if (ec) continue;
    n.vendor = ReadText(n.scsiDevice / "vendor");
    n.model = ReadText(n.scsiDevice / "model");
    for (const auto& b : fs::directory_iterator(n.scsiDevice / "block", ec)) n.blockName = b.path().filename();
    ec.clear();
    for (fs::path p = n.scsiDevice; p.has_parent_path() && p != p.root_path(); p = p.parent_path()) {
      const std::string base = p.filename();
      if (n.usbInterface.empty() && base.find(':') != std::string::npos && fs::exists(p / "bInterfaceClass"))
        n.usbInterface = base;
      if (fs::exists(p / "idVendor") && fs::exists(p / "devpath")) {
        n.usbDevice = base;
        n.serial = ReadText(p / "serial");
        n.busnum = ReadText(p / "busnum");
        n.devpath = ReadText(p / "devpath");
        n.speed = ReadText(p / "speed");
        break;
      }
    }
    nodes.push_back(n);
  }
  std::sort(nodes.begin(), nodes.end(), [](auto& a, auto& b) { return a.name < b.name; });
  return nodes;
}

std::string GadgetSerial(int disk) { return Format("4B5658%06X", unsigned(disk)); }

std::optional<SgNode> FindGadget(int disk) {
  for (auto& n : ScanSgNodes())
    if (n.serial == GadgetSerial(disk)) return n;
  return std::nullopt;
}

std::optional<SgNode> WaitForGadget(int disk, int timeoutMs, std::uint64_t* tookMs) {
  const std::uint64_t start = NowMs();
  while (NowMs() - start < std::uint64_t(timeoutMs)) {
    if (auto n = FindGadget(disk)) {
      if (tookMs) *tookMs = NowMs() - start;
      return n;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::nullopt;
}

bool WaitGone(const std::string& sgName, int timeoutMs, std::uint64_t* tookMs) {
  const std::uint64_t start = NowMs();
  while (NowMs() - start < std::uint64_t(timeoutMs)) {
    if (!fs::exists("/sys/class/scsi_generic/" + sgName)) {
      *tookMs = NowMs() - start;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace kvx::rig
