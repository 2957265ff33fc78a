#include "engine/fat/file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "engine/fat/fat_volume.h"
#include "engine/result_line.h"

namespace kvx {
namespace {

constexpr std::uint32_t kChunkSectors = 128;  // 64 KiB per write
constexpr std::uint32_t kWriteTimeout = 5;
constexpr int kImageAttempts = 5;
constexpr std::size_t kCopyChunk = 128 * 1024;
constexpr int kCreateAttempts = 10;

// Settings snapshot offsets read here.
constexpr std::size_t kZoneLabel[3] = {116, 400, 684};
constexpr std::size_t kLabelWidth = 12;
constexpr std::size_t kZone0DiskType = 115;
constexpr std::size_t kBootType = 128;
constexpr std::size_t kIsoFile = 131;
constexpr std::size_t kPathWidth = 260;
constexpr std::uint8_t kCdrom = 0x85;
constexpr std::size_t kZone1Flags = 326;
constexpr std::uint8_t kFixedSizeDidNotFit = 0x04;

std::string SnapshotText(std::span<const std::uint8_t> s, std::size_t at, std::size_t width) {
  std::size_t n = 0;
  while (n < width && at + n < s.size() && s[at + n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(s.data() + at), n);
}

std::int32_t Fail(PortJob& job, MessageId id, std::int32_t result) {
  job.show(id, id == msg::kCancel ? BarColour::Purple : BarColour::Red);
  job.display.setPercent(0);
  return result;
}

// A zone's FAT metadata as an image; sectors past the metadata are not
// written (the zone's data area needs no initial content).
class FatImageSource final : public ImageSource {
 public:
  explicit FatImageSource(const fat::TFAT& fat) : fat_(fat) {}
  std::uint64_t size() const override { return std::uint64_t(fat_.imageSectors()) * 512; }
  bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    fat_.ReadSectors(std::uint32_t(offset / 512), out);
    return true;
  }

 private:
  const fat::TFAT& fat_;
};

}  // namespace

FileImageSource::FileImageSource(std::filesystem::path path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd_);
    fd_ = -1;
  }
  if (fd_ >= 0) size_ = std::uint64_t(st.st_size);
}

FileImageSource::~FileImageSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileImageSource::read(std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = pread(fd_, out.data() + done, out.size() - done, off_t(offset + done));
    if (n < 0) return false;
    if (n == 0) break;
    done += std::size_t(n);
  }
  std::fill(out.begin() + std::ptrdiff_t(done), out.end(), 0);
  return true;
}

std::int32_t WriteImage(PortJob& job, ImageSource& image, std::uint32_t first, int zones,
                        int& progress) {
  const std::uint64_t size = image.size();
  if (size == 0) return Fail(job, msg::kOpenFileError, msg::kOpenFileError);
  const DeviceHandle h = job.rec.hDevice;
  std::vector<std::uint8_t> chunk(kChunkSectors * 512), back(kChunkSectors * 512);
  const std::string text = job.messages.str(msg::kWritingConfig);
  const int base = progress;
  std::uint32_t sector = first;
  for (std::uint64_t offset = 0; offset < size; offset += chunk.size(), sector += kChunkSectors) {
    if (job.stopRequested()) return Fail(job, msg::kCancel, msg::kCancel);
    const std::size_t bytes = std::size_t(std::min<std::uint64_t>(chunk.size(), size - offset));
    // Whole sectors: a file that ends inside a sector is padded with zeros.
    const std::size_t length = (bytes + 511) / 512 * 512;
    std::span<std::uint8_t> data(chunk.data(), length);
    if (!image.read(offset, data.first(bytes))) return Fail(job, msg::kOpenFileError, msg::kOpenFileError);
    std::fill(data.begin() + std::ptrdiff_t(bytes), data.end(), 0);
    progress = base + int(10.0 / zones * double(offset) / double(size));
    job.rec.StatusText = text + ElapsedText(job.rec.ElapsedSeconds.load());
    job.display.setBar(job.rec.StatusText, BarColour::Blue, progress);
    ScsiResult r = DiskWrite(job.commands, h, sector, std::uint32_t(length), data, 0, kWriteTimeout);
    if (r == 0)
      r = DiskRead(job.commands, h, sector, std::uint32_t(length),
                   std::span<std::uint8_t>(back.data(), length), 0, kWriteTimeout);
    if (r != 0) return Fail(job, msg::kFileVerifyError, r);
    if (std::memcmp(back.data(), data.data(), length) != 0)
      return Fail(job, msg::kFileVerifyError, msg::kFileVerifyError);
  }
  progress = job.display.snapshot().percent;
  return 0;
}

std::array<std::uint8_t, 1024> PrivateZoneRecord(const FileSystemInputs& in,
                                                 const std::string& serialText) {
  std::array<std::uint8_t, 1024> record{};
  const std::string pw = in.privatePassword.substr(0, 16);
  std::memcpy(record.data(), pw.data(), pw.size());
  std::memcpy(record.data() + 67, in.privateRecordBytes.data(), 4);
  if (in.scramblePrivateRecord) {
    auto key = [&](std::size_t i) -> std::uint8_t {
      return i < serialText.size() ? std::uint8_t(serialText[i]) : 0;
    };
    for (std::size_t i = 0; i < 16; ++i) record[i] ^= key(i % 16);
    for (std::size_t i = 0; i < 24; ++i) record[17 + i] ^= key(i % 16);
  }
  return record;
}

std::int32_t WriteFileSystems(PortJob& job, const FileSystemInputs& in) {
  FORMATINFO& rec = job.rec;
  const auto& settings = rec.Settings;
  const std::uint32_t size[3] = {rec.Zone0Sectors, rec.Zone1Sectors, rec.Zone2Sectors};
  const std::uint32_t build[3] = {
      (rec.SysInfo[kZone1Flags] & kFixedSizeDidNotFit) ? rec.Zone0CapSectors : rec.Zone0Sectors,
      rec.Zone1Sectors, rec.Zone2Sectors};
  const int zones = std::clamp(in.activeZoneCount, 1, 3);
  int progress = job.display.snapshot().percent;
  std::uint32_t sector = 0;

  for (int z = 0; z < 3; ++z) {
    std::int32_t result = 0;
    if (z == 0 && settings[kZone0DiskType] == kCdrom) {
      FileImageSource iso(SnapshotText(settings, kIsoFile, kPathWidth));
      if (!iso.ok()) return Fail(job, msg::kOpenFileError, msg::kOpenFileError);
      for (int attempt = 0; attempt < kImageAttempts; ++attempt)
        if ((result = WriteImage(job, iso, sector, zones, progress)) == 0) break;
    } else if (size[z] == 0) {
      continue;
    } else {
      fat::FatVolumeSettings fs;
      fs.sectors = build[z];
      fs.bootType = z == 0 ? settings[kBootType] : 0;
      fs.label = SnapshotText(settings, kZoneLabel[z], kLabelWidth);
      fat::TFAT volume(fs);
      if (const fat::FatError e = volume.Build(); e != fat::FatError::kNone) {
        rec.StatusText = fat::FatErrorText(e);
        job.display.setBar(rec.StatusText, BarColour::Red, 0);
        return -1;
      }
      rec.FixedSectors -= std::min(rec.FixedSectors, volume.imageSectors());
      rec.DiskSectors -= std::min(rec.DiskSectors, volume.imageSectors());
      FatImageSource image(volume);
      for (int attempt = 0; attempt < kImageAttempts; ++attempt)
        if ((result = WriteImage(job, image, sector, zones, progress)) == 0) break;
    }
    if (result != 0) return result;
    sector += size[z];
  }

  if (rec.ZoneOverflow) return 0;
  const auto record = PrivateZoneRecord(in, rec.SerialText);
  std::array<std::uint8_t, 1024> back{};
  ScsiResult r = DiskWrite(job.commands, rec.hDevice, sector, 1024, record, 0, kWriteTimeout);
  if (r == 0) r = DiskRead(job.commands, rec.hDevice, sector, 1024, back, 0, kWriteTimeout);
  if (r != 0) return Fail(job, msg::kFileVerifyError, r);
  if (std::memcmp(back.data(), record.data(), 512) != 0)
    return Fail(job, msg::kFileVerifyError, msg::kFileVerifyError);
  return 0;
}

namespace {

bool CopyFile(PortJob& job, const std::filesystem::path& from, const std::filesystem::path& to,
              int attempts, std::chrono::milliseconds retryDelay) {
  int fd = -1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) break;
    if (attempt + 1 < attempts) std::this_thread::sleep_for(retryDelay);
  }
  if (fd < 0) return false;
  bool ok = true;
  std::ifstream in(from, std::ios::binary);
  // A source that cannot be read leaves an empty file; the copy goes on.
  std::vector<char> buffer(kCopyChunk);
  const std::string text = " " + job.messages.str(msg::kCopyingFiles);
  while (in && ok) {
    in.read(buffer.data(), std::streamsize(buffer.size()));
    const std::streamsize n = in.gcount();
    if (n <= 0) break;
    std::size_t done = 0;
    while (done < std::size_t(n)) {
      const ssize_t w = ::write(fd, buffer.data() + done, std::size_t(n) - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      done += std::size_t(w);
    }
    job.display.setBar(text + from.filename().string(), BarColour::Blue,
                       (job.display.snapshot().percent + 1) % 101);
  }
  if (::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  return ok;
}

bool CopyInto(PortJob& job, const std::filesystem::path& source,
              const std::filesystem::path& destination, bool& first,
              std::chrono::milliseconds retryDelay) {
  std::error_code ec;
  std::vector<std::filesystem::directory_entry> entries;
  for (const auto& e : std::filesystem::directory_iterator(source, ec)) entries.push_back(e);
  if (ec) return false;
  for (const auto& e : entries) {
    if (!first && job.stopRequested()) {
      job.showCancelled();
      job.display.setPercent(0);
      return false;
    }
    const bool firstEntry = first;
    first = false;
    const auto target = destination / e.path().filename();
    if (e.is_directory(ec) && !e.is_symlink(ec)) {
      std::filesystem::create_directory(target, ec);
      if (ec && !std::filesystem::is_directory(target)) return false;
      if (!CopyInto(job, e.path(), target, first, retryDelay)) return false;
    } else {
      if (!CopyFile(job, e.path(), target, firstEntry ? 1 : kCreateAttempts, retryDelay))
        return false;
    }
  }
  return true;
}

}  // namespace

bool CopyTree(PortJob& job, const std::filesystem::path& source,
              const std::filesystem::path& destination, std::chrono::milliseconds retryDelay) {
  job.rec.StatusText = " " + job.messages.str(msg::kCopyingFiles);
  job.display.setBar(job.rec.StatusText, BarColour::Blue, 0);
  bool first = true;
  return CopyInto(job, source, destination, first, retryDelay);
}

}  // namespace kvx
