#pragma once
// The gadget's record of what crossed the wire, one line per event, for the
// rig's tests to read back. Times are CLOCK_MONOTONIC milliseconds, the clock
// the tests in the same machine read too.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

namespace kvx::gadget {

// CRC-32 (IEEE 802.3, reflected), for naming a data phase's bytes in the log.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

std::uint64_t MonotonicMs();

// Lines look like "<ms> <KIND> key=value ...". Safe to use from several
// threads; every line is flushed at once so a reader sees it immediately.
class WireLog {
 public:
  explicit WireLog(const std::string& path);
  ~WireLog();
  WireLog(const WireLog&) = delete;
  WireLog& operator=(const WireLog&) = delete;
  bool ok() const { return file_ != nullptr; }
  void line(const char* kind, const std::string& fields);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace kvx::gadget
