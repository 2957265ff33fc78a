#include "platform/linux/gadget/ffs_mass_storage.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kvx::gadget {
namespace {

// The most one command may move; the station sends at most 64 KiB, raw page
// commands a little more.
constexpr std::uint32_t kMaxTransfer = 1u << 20;
// Timeout handed to the backend; the wire has none of its own.
constexpr std::uint32_t kBackendTimeoutS = 60;
// How long newEpoch keeps waking the bulk thread before it gives up.
constexpr int kWakeAttempts = 200;
constexpr auto kWakeInterval = std::chrono::milliseconds(5);
constexpr int kWakeSignal = SIGUSR1;

void Put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
  v.push_back(std::uint8_t(x));
  v.push_back(std::uint8_t(x >> 8));
}
void Put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
  Put16(v, std::uint16_t(x));
  Put16(v, std::uint16_t(x >> 16));
}
void Patch32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + i] = std::uint8_t(x >> (8 * i));
}

void AppendSpeed(std::vector<std::uint8_t>& v, std::uint16_t maxPacket) {
  // Interface: 2 endpoints, mass storage, SCSI transparent, bulk-only; string 1.
  const std::uint8_t intf[9] = {9, USB_DT_INTERFACE, 0, 0, 2, 0x08, 0x06, 0x50, 1};
  v.insert(v.end(), intf, intf + 9);
  // ep1 = bulk IN, ep2 = bulk OUT (the order names the endpoint files).
  for (std::uint8_t address : {std::uint8_t(0x81), std::uint8_t(0x02)}) {
    v.insert(v.end(), {7, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_BULK});
    Put16(v, maxPacket);
    v.push_back(0);
  }
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

std::string Fields(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

const char* DirectionName(HostDirection d) {
  return d == HostDirection::In ? "in" : d == HostDirection::Out ? "out" : "none";
}

void OnWakeSignal(int) {}

}  // namespace

std::vector<std::uint8_t> MassStorageDescriptors() {
  std::vector<std::uint8_t> v;
  Put32(v, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  Put32(v, 0);  // length, patched below
  Put32(v, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  Put32(v, 3);  // full-speed descriptor count
  Put32(v, 3);  // high-speed descriptor count
  AppendSpeed(v, 64);
  AppendSpeed(v, 512);
  Patch32(v, 4, std::uint32_t(v.size()));
  return v;
}

std::vector<std::uint8_t> MassStorageStrings() {
  static const char kInterface[] = "Mass storage";
  std::vector<std::uint8_t> v;
  Put32(v, FUNCTIONFS_STRINGS_MAGIC);
  Put32(v, 0);
  Put32(v, 1);  // strings per language
  Put32(v, 1);  // languages
  Put16(v, 0x0409);
  v.insert(v.end(), kInterface, kInterface + sizeof kInterface);  // with its NUL
  Patch32(v, 4, std::uint32_t(v.size()));
  return v;
}

void InstallWakeSignal() {
  struct sigaction sa{};
  sa.sa_handler = &OnWakeSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked endpoint read or write returns EINTR
  sigaction(kWakeSignal, &sa, nullptr);
}

FfsMassStorage::FfsMassStorage(FfsDiskConfig config, DeviceAccess& backend)
    : config_(std::move(config)), backend_(backend), log_(config_.logPath) {}

FfsMassStorage::~FfsMassStorage() {
  stop();
  for (int fd : {in_, out_, ep0_})
    if (fd >= 0) ::close(fd);
  if (IsOpen(handle_)) backend_.close(handle_);
}

bool FfsMassStorage::prepare(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
  };
  if (!log_.ok()) return fail("cannot open the wire log " + config_.logPath);
  handle_ = backend_.open(config_.backendPath);
  if (!IsOpen(handle_)) {
    errno = ENODEV;
    return fail("backend cannot open " + config_.backendPath);
  }
  ep0_ = ::open((config_.ffsDir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
  if (ep0_ < 0) return fail("open " + config_.ffsDir + "/ep0");
  const auto descriptors = MassStorageDescriptors();
  if (::write(ep0_, descriptors.data(), descriptors.size()) != ssize_t(descriptors.size()))
    return fail("writing the descriptors to ep0");
  const auto strings = MassStorageStrings();
  if (::write(ep0_, strings.data(), strings.size()) != ssize_t(strings.size()))
    return fail("writing the strings to ep0");
  in_ = ::open((config_.ffsDir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
  if (in_ < 0) return fail("open ep1 (bulk in)");
  out_ = ::open((config_.ffsDir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
  if (out_ < 0) return fail("open ep2 (bulk out)");
  buffer_.resize(kMaxTransfer);
  log_.line("READY", "ffs=" + config_.ffsDir + " backend=" + config_.backendPath);
  return true;
}

void FfsMassStorage::start() {
  ep0Thread_ = std::thread([this] { ep0Loop(); });
  bulkThread_ = std::thread([this] { bulkLoop(); });
}

void FfsMassStorage::wake(std::thread& t) {
  if (t.joinable()) pthread_kill(t.native_handle(), kWakeSignal);
}

void FfsMassStorage::stop() {
  if (stop_.exchange(true)) return;
  newEpoch("stop");
  for (std::thread* t : {&ep0Thread_, &bulkThread_}) {
    if (!t->joinable()) continue;
    // A thread may enter a blocking call just after a wake-up; keep waking it.
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread waker([&, done] {
      while (!done->load()) {
        wake(*t);
        std::this_thread::sleep_for(kWakeInterval);
      }
    });
    t->join();
    done->store(true);
    waker.join();
  }
}

void FfsMassStorage::newEpoch(const char* why) {
  const unsigned epoch = epoch_.fetch_add(1) + 1;
  {
    // Taking the lock orders the change before a waiter's predicate check,
    // so the notification cannot fall between its check and its sleep.
    std::lock_guard lock(mutex_);
  }
  changed_.notify_all();
  // A bulk thread blocked on an endpoint for the old command must let go
  // before the host starts the next one.
  for (int i = 0; i < kWakeAttempts && bulkBusy_.load() && bulkSeenEpoch_.load() != epoch; ++i) {
    wake(bulkThread_);
    std::this_thread::sleep_for(kWakeInterval);
  }
  log_.line("EPOCH", Fields("n=%u why=%s", epoch, why));
}

void FfsMassStorage::waitForNewEpoch(unsigned epoch) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return epochChanged(epoch) || stop_.load(); });
}

void FfsMassStorage::ep0Loop() {
  usb_functionfs_event events[4];
  while (!stop_.load()) {
    const ssize_t n = ::read(ep0_, events, sizeof events);
    if (n < 0) {
      if (errno != EINTR) {
        log_.line("EP0", Fields("read-error errno=%d", errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      continue;
    }
    for (ssize_t i = 0; i < n / ssize_t(sizeof events[0]); ++i) {
      switch (events[i].type) {
        case FUNCTIONFS_BIND:
          log_.line("EP0", "BIND");
          if (config_.power) config_.power(true);
          binds_.fetch_add(1);
          break;
        case FUNCTIONFS_UNBIND:
          log_.line("EP0", "UNBIND");
          if (config_.power) config_.power(false);
          newEpoch("unbind");
          break;
        case FUNCTIONFS_ENABLE: {
          usb_endpoint_descriptor desc{};
          if (::ioctl(in_, FUNCTIONFS_ENDPOINT_DESC, &desc) == 0)
            maxPacket_.store(le16toh(desc.wMaxPacketSize) & 0x7FF);
          log_.line("EP0", Fields("ENABLE maxpacket=%u", maxPacket_.load()));
          break;
        }
        case FUNCTIONFS_DISABLE: log_.line("EP0", "DISABLE"); newEpoch("disable"); break;
        case FUNCTIONFS_SUSPEND: log_.line("EP0", "SUSPEND"); break;
        case FUNCTIONFS_RESUME: log_.line("EP0", "RESUME"); break;
        case FUNCTIONFS_SETUP: handleSetup(&events[i].u.setup); break;
        default: log_.line("EP0", Fields("event=%u", unsigned(events[i].type))); break;
      }
    }
  }
}

void FfsMassStorage::handleSetup(const void* raw) {
  usb_ctrlrequest setup;
  std::memcpy(&setup, raw, sizeof setup);
  const std::uint8_t type = setup.bRequestType;
  const unsigned value = le16toh(setup.wValue), length = le16toh(setup.wLength);
  const bool classToInterface = (type & USB_TYPE_MASK) == USB_TYPE_CLASS &&
                                (type & USB_RECIP_MASK) == USB_RECIP_INTERFACE;
  std::uint8_t scratch[8] = {};
  if (classToInterface && setup.bRequest == kRequestGetMaxLun && (type & USB_DIR_IN) &&
      value == 0 && length >= 1) {
    const std::uint8_t maxLun = 0;
    const ssize_t w = ::write(ep0_, &maxLun, 1);
    log_.line("EP0", Fields("GET_MAX_LUN answer=0 rc=%zd", w));
    return;
  }
  if (classToInterface && setup.bRequest == kRequestReset && !(type & USB_DIR_IN) &&
      value == 0 && length == 0) {
    log_.line("EP0", "RESET");
    newEpoch("reset");
    const ssize_t r = ::read(ep0_, scratch, 0);  // status stage
    log_.line("EP0", Fields("RESET acked rc=%zd", r));
    return;
  }
  // Anything else is refused with a protocol stall: a read on an IN request
  // or a write on an OUT request stalls ep0.
  const ssize_t rc = (type & USB_DIR_IN) ? ::read(ep0_, scratch, 0) : ::write(ep0_, scratch, 0);
  log_.line("EP0", Fields("STALL type=%02x request=%02x value=%04x length=%u rc=%zd errno=%d",
                          type, setup.bRequest, value, length, rc, rc < 0 ? errno : 0));
}

bool FfsMassStorage::receive(std::uint8_t* data, std::uint32_t length, unsigned epoch) {
  std::uint32_t done = 0;
  while (done < length) {
    if (epochChanged(epoch) || stop_.load()) return false;
    const ssize_t n = ::read(out_, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      log_.line("BULK", Fields("receive-error errno=%d", errno));
      return false;
    }
    if (n == 0) break;
    done += std::uint32_t(n);
  }
  return done == length;
}

bool FfsMassStorage::transmit(const std::uint8_t* data, std::uint32_t length, unsigned epoch) {
  std::uint32_t done = 0;
  while (done < length) {
    if (epochChanged(epoch) || stop_.load()) return false;
    const ssize_t n = ::write(in_, data + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      log_.line("BULK", Fields("transmit-error errno=%d", errno));
      return false;
    }
    done += std::uint32_t(n);
  }
  return true;
}

// FunctionFS halts an endpoint when it is used against its direction.
void FfsMassStorage::stallIn() {
  std::uint8_t b = 0;
  const ssize_t rc = ::read(in_, &b, 1);
  log_.line("BULK", Fields("STALL in rc=%zd errno=%d", rc, rc < 0 ? errno : 0));
}

void FfsMassStorage::stallOut() {
  std::uint8_t b = 0;
  const ssize_t rc = ::write(out_, &b, 1);
  log_.line("BULK", Fields("STALL out rc=%zd errno=%d", rc, rc < 0 ? errno : 0));
}

void FfsMassStorage::bulkLoop() {
  std::uint8_t raw[512];
  while (!stop_.load()) {
    bulkBusy_.store(false);
    const ssize_t n = ::read(out_, raw, sizeof raw);
    if (n < 0) {
      if (errno != EINTR && errno != ESHUTDOWN) {
        log_.line("BULK", Fields("cbw-read-error errno=%d", errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      continue;
    }
    const unsigned epoch = epoch_.load();
    bulkSeenEpoch_.store(epoch);
    bulkBusy_.store(true);
    const auto cbw = ParseCbw(std::span<const std::uint8_t>(raw, std::size_t(n)), 0);
    if (!cbw) {
      // No CSW for an invalid CBW: both pipes stay stalled until the host's
      // reset recovery.
      log_.line("BULK", Fields("INVALID-CBW bytes=%zd head=%s", n,
                               Hex(raw, std::size_t(std::min<ssize_t>(n, 16))).c_str()));
      stallIn();
      stallOut();
      waitForNewEpoch(epoch);
      continue;
    }
    serve(*cbw, epoch);
  }
}

void FfsMassStorage::reopenAfterBind() {
  const unsigned binds = binds_.load();
  if (binds == handleBinds_) return;
  handleBinds_ = binds;
  if (IsOpen(handle_)) backend_.close(handle_);
  handle_ = backend_.open(config_.backendPath);
  log_.line("BACKEND", Fields("reopened after bind %u: %s", binds, IsOpen(handle_) ? "ok" : "failed"));
}

void FfsMassStorage::serve(const Cbw& cbw, unsigned epoch) {
  const std::uint32_t h = cbw.dataLength;
  log_.line("CBW", Fields("tag=%08x lun=%u cblen=%u dir=%s xfer=%u cdb=", cbw.tag, cbw.lun,
                          cbw.cdbLength, DirectionName(cbw.direction()), h) +
                       Hex(cbw.cdb.data(), cbw.cdb.size()));
  auto finish = [&](CswStatus status, std::uint32_t residue, ScsiResult result,
                    std::uint32_t crc) {
    const auto csw = MakeCsw(cbw.tag, residue, status);
    if (!transmit(csw.data(), std::uint32_t(csw.size()), epoch)) {
      log_.line("BULK", Fields("abandoned tag=%08x at=csw", cbw.tag));
      return;
    }
    log_.line("CSW", Fields("tag=%08x status=%u residue=%u result=%x crc=%08x", cbw.tag,
                            unsigned(status), residue, unsigned(result), crc));
  };

  const Plan plan = PlanCommand(cbw, maxPacket_.load());
  if (plan.phaseError || h > kMaxTransfer) {
    if (plan.stallIn || (h > kMaxTransfer && cbw.dataIn)) stallIn();
    if (plan.stallOut || (h > kMaxTransfer && !cbw.dataIn && h > 0)) stallOut();
    finish(CswStatus::PhaseError, h, 0, 0);
    return;
  }

  std::uint8_t* data = buffer_.data();
  const HostDirection host = cbw.direction();
  std::uint32_t crc = 0;
  if (host == HostDirection::Out && !plan.stallOut) {
    if (!receive(data, h, epoch)) {
      log_.line("BULK", Fields("abandoned tag=%08x at=data-out", cbw.tag));
      return;
    }
    crc = Crc32(std::span<const std::uint8_t>(data, plan.deviceLength));
  }
  if (plan.stallOut) stallOut();

  ScsiResult result = 0;
  const bool requestSense = cbw.cdb[0] == 0x03;
  if (requestSense && pendingSense_ != 0) {
    // The sense of the failed command before, kept since its CSW.
    const auto s = FixedSense(pendingSense_);
    std::memset(data, 0, plan.deviceLength);
    std::memcpy(data, s.data(), std::min<std::size_t>(s.size(), plan.deviceLength));
  } else {
    reopenAfterBind();
    result = backend_.send(plan.dataIn ? DataDirection::In : DataDirection::Out, handle_, cbw.cdb,
                           data, plan.deviceLength, cbw.lun, kBackendTimeoutS);
  }
  pendingSense_ = 0;

  if (result == ETIMEDOUT) {
    log_.line("BULK", Fields("silent tag=%08x", cbw.tag));
    waitForNewEpoch(epoch);
    log_.line("BULK", Fields("abandoned tag=%08x at=silence", cbw.tag));
    return;
  }
  if (result == ENODEV) {
    log_.line("BULK", Fields("unplug tag=%08x", cbw.tag));
    if (config_.unplug) config_.unplug();
    waitForNewEpoch(epoch);
    return;
  }
  if (result != 0) {
    pendingSense_ = IsPackedSense(result) ? result : PackSense(sense::kHardwareError, 0x44, 0x00);
    if (host == HostDirection::In) stallIn();
    finish(CswStatus::Failed, h, result, crc);
    return;
  }
  if (plan.dataIn && plan.deviceLength > 0) {
    crc = Crc32(std::span<const std::uint8_t>(data, plan.deviceLength));
    if (!transmit(data, plan.deviceLength, epoch)) {
      log_.line("BULK", Fields("abandoned tag=%08x at=data-in", cbw.tag));
      return;
    }
  }
  if (plan.stallIn) stallIn();
  finish(CswStatus::Passed, plan.residue, 0, crc);
}

}  // namespace kvx::gadget
