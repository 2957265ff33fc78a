#pragma once
// What sits behind one simulated USB port: the controller with its flash, or
// a generic SCSI disk. A unit answers one command at a time (its disk holds
// the lock) and reports the NAND work it did, so the disk can sleep for it.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/scsi.h"
#include "sim/logical_map.h"
#include "sim/sim_nand.h"
#include "sim/sim_types.h"

namespace kvx::sim {

// Additional sense codes the simulator answers with.
namespace asc {
inline constexpr std::uint8_t kInvalidOpcode = 0x20;
inline constexpr std::uint8_t kLbaOutOfRange = 0x21;
inline constexpr std::uint8_t kInvalidField = 0x24;
inline constexpr std::uint8_t kInvalidParameter = 0x26;  // data-out content refused
inline constexpr std::uint8_t kNotReadyCause = 0x04;     // firmware not in
inline constexpr std::uint8_t kFormatCorrupted = 0x31;
inline constexpr std::uint8_t kMediumNotPresent = 0x3A;
}  // namespace asc

inline ScsiResult IllegalRequest(std::uint8_t a) { return PackSense(sense::kIllegalRequest, a, 0); }

// NAND work done by one command (for the latency model).
struct Work {
  std::uint32_t reads = 0, programs = 0, erases = 0;
  std::uint64_t bytes = 0;  // data phase
};

struct Request {
  DataDirection direction;
  const Cdb& cdb;
  std::uint8_t* data;
  std::uint32_t length;
  Work work;
};

class SimUnit {
 public:
  virtual ~SimUnit() = default;
  virtual ScsiResult execute(Request& r) = 0;
  // What REQUEST SENSE reports when no failed command left its sense: the
  // unit's standing condition (NOT READY while no medium is there), else 0.
  virtual ScsiResult condition() const { return 0; }
  // Power cycle: RAM state is lost, the flash stays.
  virtual void powerOn() = 0;
};

// Standard block-device commands shared by both units (INQUIRY, TEST UNIT
// READY, READ CAPACITY(10), MODE SENSE(6), PREVENT ALLOW MEDIUM REMOVAL,
// START STOP UNIT, SYNCHRONIZE CACHE, READ(10), WRITE(10)). REQUEST SENSE is
// answered by the disk, which keeps the last sense.
class BlockUnit : public SimUnit {
 public:
  ScsiResult condition() const override { return readiness(); }

 protected:
  // 0 when the medium is ready, else the NOT READY sense.
  virtual ScsiResult readiness() const = 0;
  virtual std::uint64_t capacity() const = 0;  // host-visible sectors
  virtual std::uint64_t addressable() const { return capacity(); }
  virtual std::array<std::uint8_t, 36> inquiry() const = 0;
  virtual void readLogical(std::uint64_t lba, std::uint32_t count, std::uint8_t* out, Work& w) = 0;
  virtual void writeLogical(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in,
                            Work& w) = 0;
  // Standard commands; nullopt when the opcode is not one of them.
  std::optional<ScsiResult> standard(Request& r);
};

class GenericUnit final : public BlockUnit {
 public:
  explicit GenericUnit(const DiskSpec& desc);
  ScsiResult execute(Request& r) override;
  void powerOn() override {}

  // Sectors written so far are kept in 4 KiB chunks; the rest reads zero.
  void readLogicalForExport(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) {
    Work w;
    readLogical(lba, count, out, w);
  }
  std::uint64_t sectorCount() const { return sectors_; }

 protected:
  ScsiResult readiness() const override { return 0; }
  std::uint64_t capacity() const override { return sectors_; }
  std::array<std::uint8_t, 36> inquiry() const override;
  void readLogical(std::uint64_t lba, std::uint32_t count, std::uint8_t* out, Work& w) override;
  void writeLogical(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in,
                    Work& w) override;

 private:
  static constexpr std::uint32_t kChunkSectors = 8;
  std::uint64_t sectors_;
  std::string vendor_, product_;
  std::map<std::uint64_t, std::unique_ptr<std::uint8_t[]>> chunks_;
};

class ControllerUnit final : public BlockUnit {
 public:
  ControllerUnit(const DiskSpec& desc);
  ScsiResult execute(Request& r) override;
  void powerOn() override;

  SimNand& nand() { return nand_; }
  const SimNand& nand() const { return nand_; }
  bool logicalReady() const { return map_.has_value(); }
  std::uint64_t logicalSectors() const { return map_ ? map_->sectors() : 0; }
  std::uint64_t hostSectors() const { return capacity(); }
  const std::string& mountProblem() const { return mountProblem_; }
  void readLogicalForExport(std::uint64_t lba, std::uint32_t count, std::uint8_t* out) {
    Work w;
    readLogical(lba, count, out, w);
  }

 protected:
  ScsiResult readiness() const override;
  std::uint64_t capacity() const override;
  std::uint64_t addressable() const override { return logicalSectors(); }
  std::array<std::uint8_t, 36> inquiry() const override;
  void readLogical(std::uint64_t lba, std::uint32_t count, std::uint8_t* out, Work& w) override;
  void writeLogical(std::uint64_t lba, std::uint32_t count, const std::uint8_t* in,
                    Work& w) override;

 private:
  enum class Firmware { Rom, Scan, Final };

  ScsiResult rawPages(Request& r, bool write);
  ScsiResult erase(Request& r);
  ScsiResult controllerInfo(Request& r);
  ScsiResult readSectors(Request& r);
  ScsiResult writeSectors(Request& r);
  ScsiResult flashId(Request& r);
  ScsiResult downloadCode(Request& r);
  ScsiResult firmwareScan(Request& r);
  ScsiResult pattern(Request& r, bool fill);
  // Loads the logical view from the flash (final firmware running).
  void mount();
  // The firmware on the flash boots by itself at power-on when its system
  // information and a code copy with a good checksum are there.
  bool flashHoldsFinalCode() const;
  const std::uint8_t* configInEffect() const;
  void latchPattern(Work& w);

  Geometry geo_;
  SimNand nand_;
  std::array<ChipSelectId, kChipSelects> ids_;
  Firmware firmware_ = Firmware::Rom;
  std::optional<std::array<std::uint8_t, 512>> configTable_;
  std::optional<LogicalMap> map_;
  std::string mountProblem_;
  std::optional<std::vector<std::uint8_t>> pattern_;  // 4 sectors latched by the fill/check
  std::vector<std::uint8_t> page_;                    // one raw page of scratch
};

// Checksum rule of a code copy: the last of its sectors x 128 little-endian
// words is the XOR of the words before it (one word: always valid).
bool CodeChecksumValid(const std::uint8_t* code, std::uint32_t sectors);

}  // namespace kvx::sim
