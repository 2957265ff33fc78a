#include "platform/linux/gadget/wire_log.h"

#include <time.h>

namespace kvx::gadget {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::uint64_t(ts.tv_sec) * 1000 + std::uint64_t(ts.tv_nsec) / 1000000;
}

WireLog::WireLog(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {}

WireLog::~WireLog() {
  if (file_) std::fclose(file_);
}

void WireLog::line(const char* kind, const std::string& fields) {
  if (!file_) return;
  std::lock_guard lock(mutex_);
  std::fprintf(file_, "%llu %s %s\n", static_cast<unsigned long long>(MonotonicMs()), kind,
               fields.c_str());
  std::fflush(file_);
}

}  // namespace kvx::gadget
