#pragma once
// Putting file systems and files onto a produced disk: the FAT image of each
// zone (or the CD-ROM image of zone 0) written through the controller with
// plain logical writes and read back chunk by chunk, the private-zone record
// behind the last zone, and folder copies onto the disk's mounted volume.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

#include "engine/port_job.h"

namespace kvx {

// A read-only image written to consecutive logical sectors.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  virtual std::uint64_t size() const = 0;  // bytes
  // Fills `out` from byte `offset`; false when the source cannot be read.
  virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
};

// A file on the host (the CD-ROM image of zone 0).
class FileImageSource final : public ImageSource {
 public:
  explicit FileImageSource(std::filesystem::path path);
  ~FileImageSource() override;
  bool ok() const { return fd_ >= 0; }
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, std::span<std::uint8_t> out) override;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

struct FileSystemInputs {
  int activeZoneCount = 1;        // zones of the current settings, 1..3
  std::string privatePassword;    // up to 16 characters
  std::array<std::uint8_t, 4> privateRecordBytes{};
  bool scramblePrivateRecord = true;  // "加密"
};

// Writes an image at `first`: 64 KiB chunks, each written then read back and
// compared. `progress` is the bar's percentage before the image and is
// advanced; `zones` spreads 10 percent over the job's zones.
// Results: 0, 33299 (image unreadable), 33025 (stopped), 33301 (mismatch) or
// the ScsiResult of a failed write or read.
std::int32_t WriteImage(PortJob& job, ImageSource& image, std::uint32_t first, int zones,
                        int& progress);

// Every zone's file system (FAT image, or the CD-ROM image for a CD-ROM zone
// 0) and then the private-zone record. Reduces FixedSectors and DiskSectors
// by the FAT metadata written. Results as for WriteImage; -1 when a zone is
// too small for any FAT volume.
std::int32_t WriteFileSystems(PortJob& job, const FileSystemInputs& in);

// The 1024-byte private-zone record, scrambled with the serial text when asked.
std::array<std::uint8_t, 1024> PrivateZoneRecord(const FileSystemInputs& in,
                                                 const std::string& serialText);

// Copies the folder tree `source` into `destination` (the disk's volume
// root). Folders are made before their files; a destination file that cannot
// be created is tried again once a second, ten times (once for the very first
// entry); a source file that cannot be read leaves an empty file. False when
// the tree could not be copied or the job was stopped. `retryDelay` is for tests.
bool CopyTree(PortJob& job, const std::filesystem::path& source,
              const std::filesystem::path& destination,
              std::chrono::milliseconds retryDelay = std::chrono::seconds(1));

}  // namespace kvx
