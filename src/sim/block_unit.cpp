// Standard block-device commands, and the generic disk built on them.
#include <algorithm>
#include <cstring>

#include "device/commands.h"
#include "sim/sim_unit.h"

namespace kvx::sim {
namespace {

std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}
void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v >> 24), p[1] = std::uint8_t(v >> 16), p[2] = std::uint8_t(v >> 8),
  p[3] = std::uint8_t(v);
}

// Copies an answer into the data-in buffer; the rest of the buffer is zeroed.
ScsiResult Answer(Request& r, const std::uint8_t* src, std::size_t n) {
  if (r.direction != DataDirection::In && r.length > 0) return IllegalRequest(asc::kInvalidField);
  const std::size_t k = std::min<std::size_t>(n, r.length);
  if (k > 0) std::memcpy(r.data, src, k);
  if (r.length > k) std::memset(r.data + k, 0, r.length - k);
  r.work.bytes += r.length;
  return 0;
}

}  // namespace

std::optional<ScsiResult> BlockUnit::standard(Request& r) {
  const Cdb& c = r.cdb;
  switch (c[0]) {
    case 0x00:  // TEST UNIT READY
      return readiness();
    case 0x12: {  // INQUIRY
      if (c[1] & 0x01) return IllegalRequest(asc::kInvalidField);  // no vital product data
      const auto data = inquiry();
      const std::size_t alloc = std::size_t(c[3]) << 8 | c[4];
      return Answer(r, data.data(), std::min(alloc, data.size()));
    }
    case 0x1A: {  // MODE SENSE(6): a header without pages, no block descriptor
      const std::uint8_t header[4] = {3, 0, 0, 0};
      return Answer(r, header, std::min<std::size_t>(c[4], 4));
    }
    case 0x1B:  // START STOP UNIT
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
      return 0;
    case 0x35:  // SYNCHRONIZE CACHE(10): nothing is cached
      return readiness();
    case 0x25: {  // READ CAPACITY(10)
      if (ScsiResult ready = readiness()) return ready;
      std::uint8_t data[8];
      const std::uint64_t n = capacity();
      PutBe32(data, n == 0 ? 0 : std::uint32_t(std::min<std::uint64_t>(n - 1, 0xFFFFFFFF)));
      PutBe32(data + 4, kDataBytes);
      return Answer(r, data, 8);
    }
    case op::kRead10:
    case op::kWrite10: {
      const bool write = c[0] == op::kWrite10;
      if (ScsiResult ready = readiness()) return ready;
      const std::uint32_t lba = Be32(&c[2]);
      const std::uint32_t count = std::uint32_t(c[7]) << 8 | c[8];
      if ((r.direction == DataDirection::Out) != write || r.length != count * kDataBytes)
        return IllegalRequest(asc::kInvalidField);
      if (std::uint64_t(lba) + count > addressable()) return IllegalRequest(asc::kLbaOutOfRange);
      if (write)
        writeLogical(lba, count, r.data, r.work);
      else
        readLogical(lba, count, r.data, r.work);
      r.work.bytes += r.length;
      return 0;
    }
    default:
      return std::nullopt;
  }
}

GenericUnit::GenericUnit(const DiskSpec& desc)
    : sectors_(desc.genericSectors), vendor_(desc.genericVendor), product_(desc.genericProduct) {}

ScsiResult GenericUnit::execute(Request& r) {
  if (auto s = standard(r)) return *s;
  return IllegalRequest(asc::kInvalidOpcode);  // every vendor opcode, every unknown one
}

std::array<std::uint8_t, 36> GenericUnit::inquiry() const {
  std::array<std::uint8_t, 36> d{};
  d[0] = 0x00, d[1] = 0x80, d[2] = 0x02, d[3] = 0x02, d[4] = 31;
  auto put = [&](std::size_t at, std::size_t width, const std::string& s) {
    for (std::size_t i = 0; i < width; ++i) d[at + i] = i < s.size() ? std::uint8_t(s[i]) : ' ';
  };
  put(8, 8, vendor_);
  put(16, 16, product_);
  put(32, 4, "1.00");
  return d;
}

void GenericUnit::readLogical(std::uint64_t lba, std::uint32_t count, std::uint8_t* out, Work&) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t s = lba + i;
    auto it = chunks_.find(s / kChunkSectors);
    std::uint8_t* dst = out + std::size_t(i) * kDataBytes;
    if (it == chunks_.end())
      std::memset(dst, 0, kDataBytes);
    else
      std::memcpy(dst, it->second.get() + (s % kChunkSectors) * kDataBytes, kDataBytes);
  }
}

void GenericUnit::writeLogical(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in,
                               Work&) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t s = lba + i;
    auto& chunk = chunks_[s / kChunkSectors];
    if (!chunk) {
      chunk = std::make_unique<std::uint8_t[]>(kChunkSectors * kDataBytes);
      std::memset(chunk.get(), 0, kChunkSectors * kDataBytes);
    }
    std::memcpy(chunk.get() + (s % kChunkSectors) * kDataBytes, in + std::size_t(i) * kDataBytes,
                kDataBytes);
  }
}

}  // namespace kvx::sim
