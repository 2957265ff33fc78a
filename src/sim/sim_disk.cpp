#include "sim/sim_disk.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace kvx::sim {
namespace {

constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint32_t kFixedSenseBytes = 18;

bool Matches(std::uint32_t occurrence, std::uint32_t nth, std::uint32_t count) {
  return occurrence >= nth && (count == 0 || occurrence < std::uint64_t(nth) + count);
}

void SleepUs(double us) {
  if (us >= 1.0) std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(us));
}

}  // namespace

SimDisk::SimDisk(const DiskSpec& desc, const Latency& latency, std::function<void()> onVanish)
    : kind_(desc.kind), onVanish_(std::move(onVanish)), faults_(desc.faults),
      latency_(desc.latency.value_or(latency)) {
  if (desc.kind == DiskKind::Generic)
    unit_ = std::make_unique<GenericUnit>(desc);
  else
    unit_ = std::make_unique<ControllerUnit>(desc);
  plugged_.store(desc.plugged);
}

bool SimDisk::open(DeviceHandle h) {
  std::lock_guard lock(m_);
  if (!plugged_.load()) return false;
  open_.push_back(h);
  return true;
}

void SimDisk::close(DeviceHandle h) {
  std::lock_guard lock(m_);
  std::erase(open_, h);
  std::erase(dead_, h);
}

bool SimDisk::unplugLocked() {
  if (!plugged_.load()) return false;
  plugged_.store(false, std::memory_order_release);
  dead_.insert(dead_.end(), open_.begin(), open_.end());
  open_.clear();
  return true;
}

bool SimDisk::unplug() {
  std::lock_guard lock(m_);
  return unplugLocked();
}

bool SimDisk::plug() {
  std::lock_guard lock(m_);
  if (plugged_.load()) return false;
  unit_->powerOn();
  lastSense_ = 0;
  plugged_.store(true, std::memory_order_release);
  return true;
}

void SimDisk::addFaults(const Faults& f) {
  std::lock_guard lock(m_);
  if (f.unplugAfter) faults_.unplugAfter = commands_ + f.unplugAfter;
  // Counted from now, like unplugAfter.
  for (UnplugFault u : f.unplugOn) {
    u.nth += seen_[u.opcode];
    faults_.unplugOn.push_back(u);
  }
  faults_.timeouts.insert(faults_.timeouts.end(), f.timeouts.begin(), f.timeouts.end());
  faults_.senses.insert(faults_.senses.end(), f.senses.begin(), f.senses.end());
}

void SimDisk::setLatency(const Latency& l) {
  std::lock_guard lock(m_);
  latency_ = l;
}

std::uint64_t SimDisk::commandCount() const {
  std::lock_guard lock(m_);
  return commands_;
}

ScsiResult SimDisk::send(DeviceHandle h, DataDirection dir, const Cdb& cdb, void* buffer,
                         std::uint32_t length, std::uint32_t timeout_s) {
  double sleepUs = 0;
  bool vanished = false;
  ScsiResult result = 0;
  {
    std::lock_guard lock(m_);
    if (std::find(open_.begin(), open_.end(), h) == open_.end())
      return std::find(dead_.begin(), dead_.end(), h) != dead_.end() ? ENODEV : EBADF;
    if (length > 0 && buffer == nullptr) return EFAULT;
    ++commands_;
    const std::uint32_t occurrence = ++seen_[cdb[0]];
    bool unplugNow = faults_.unplugAfter != 0 && commands_ > faults_.unplugAfter;
    if (unplugNow) faults_.unplugAfter = 0;  // once: a disk plugged back in stays
    for (auto u = faults_.unplugOn.begin(); u != faults_.unplugOn.end(); ++u) {
      if (u->opcode == cdb[0] && u->nth == occurrence) {
        faults_.unplugOn.erase(u);
        unplugNow = true;
        break;
      }
    }
    if (unplugNow) {
      unplugLocked();
      vanished = true;
      result = ENODEV;
    } else {
      const Latency lat = latency_;
      for (const auto& t : faults_.timeouts) {
        if (t.opcode == cdb[0] && Matches(occurrence, t.nth, t.count)) {
          // The command never answers: the host gives up after its timeout.
          sleepUs = double(timeout_s) * 1e6 * lat.timeoutScale;
          result = ETIMEDOUT;
          break;
        }
      }
      if (result == 0) {
        for (const auto& s : faults_.senses) {
          if (s.opcode == cdb[0] && Matches(occurrence, s.nth, s.count)) {
            result = PackSense(s.key, s.asc, s.ascq);
            break;
          }
        }
      }
      Work work;
      if (result == 0 && cdb[0] == kRequestSense) {
        // The sense of the command before, else the standing condition (a
        // blank controller keeps reporting that no medium is there).
        const ScsiResult kept = lastSense_ != 0 ? lastSense_ : unit_->condition();
        std::uint8_t sense[kFixedSenseBytes] = {0x70, 0, std::uint8_t((kept >> 16) & 0x0F),
                                                0, 0, 0, 0, 10};
        sense[12] = std::uint8_t(kept >> 8), sense[13] = std::uint8_t(kept);
        if (dir == DataDirection::In) {
          const std::uint32_t n = std::min<std::uint32_t>(length, kFixedSenseBytes);
          if (n > 0) std::memcpy(buffer, sense, n);
          if (length > n) std::memset(static_cast<std::uint8_t*>(buffer) + n, 0, length - n);
        }
        lastSense_ = 0;
      } else if (result == 0) {
        Request req{dir, cdb, static_cast<std::uint8_t*>(buffer), length, {}};
        result = unit_->execute(req);
        work = req.work;
      }
      // A packed sense is kept for the REQUEST SENSE that follows; any other
      // command replaces it, so a later REQUEST SENSE never reports an old failure.
      if (cdb[0] != kRequestSense) lastSense_ = result >= 0x10000 ? result : 0;
      if (result != ETIMEDOUT && lat.scale > 0) {
        sleepUs = lat.scale * (lat.commandUs + work.reads * lat.readPageUs +
                               work.programs * lat.programPageUs + work.erases * lat.eraseBlockUs +
                               double(work.bytes) / 1024.0 * lat.perKiBUs);
      }
    }
  }
  if (vanished && onVanish_) onVanish_();
  SleepUs(sleepUs);
  return result;
}

}  // namespace kvx::sim
