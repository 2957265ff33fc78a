#pragma once
// Helpers for the FAT builder tests: a scratch folder that removes itself,
// zone images written the way the disk writer streams them, and the outside
// checkers (fsck.fat, mtools) run as processes.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/fat/fat_volume.h"

namespace kvx::fat::fattest {

// A fresh folder under the system's temporary folder, deleted with its
// contents when the object goes, whichever way the test leaves.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvx-fat-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

inline void WriteAll(int fd, const std::uint8_t* data, std::size_t n, off_t at) {
  while (n > 0) {
    const ssize_t w = pwrite(fd, data, n, at);
    if (w <= 0) throw std::runtime_error("short write to a test image");
    data += w;
    n -= static_cast<std::size_t>(w);
    at += w;
  }
}

// A sparse file of `zoneSectors` sectors holding the volume's image at its
// start, streamed in 64 KiB chunks as the disk writer does.
inline void WriteZoneImage(const TFAT& volume, std::uint32_t zoneSectors,
                           const std::filesystem::path& path) {
  Fd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  if (fd.get() < 0) throw std::runtime_error("cannot create " + path.string());
  if (ftruncate(fd.get(), static_cast<off_t>(zoneSectors) * 512) != 0)
    throw std::runtime_error("cannot size " + path.string());
  std::vector<std::uint8_t> chunk(65536);
  const std::uint32_t total = volume.imageSectors();
  for (std::uint32_t s = 0; s < total; s += 128) {
    const std::uint32_t n = std::min<std::uint32_t>(128, total - s);
    volume.ReadSectors(s, std::span(chunk.data(), n * 512u));
    WriteAll(fd.get(), chunk.data(), n * 512u, static_cast<off_t>(s) * 512);
  }
}

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path, off_t at,
                                           std::size_t n) {
  Fd fd(open(path.c_str(), O_RDONLY));
  std::vector<std::uint8_t> out(n);
  if (fd.get() < 0 || pread(fd.get(), out.data(), n, at) != static_cast<ssize_t>(n))
    throw std::runtime_error("cannot read " + path.string());
  return out;
}

// Copies `sectors` sectors from sector `first` of `from` into a new sparse
// file: only the extents that hold data are read, holes stay holes.
inline void ExtractSectors(const std::filesystem::path& from, std::uint32_t first,
                           std::uint32_t sectors, const std::filesystem::path& to) {
  Fd in(open(from.c_str(), O_RDONLY));
  Fd out(open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  if (in.get() < 0 || out.get() < 0) throw std::runtime_error("cannot open images");
  const off_t begin = static_cast<off_t>(first) * 512;
  const off_t end = begin + static_cast<off_t>(sectors) * 512;
  if (ftruncate(out.get(), end - begin) != 0) throw std::runtime_error("cannot size partition");
  std::vector<std::uint8_t> buf(1 << 20);
  off_t pos = begin;
  while (pos < end) {
    const off_t data = lseek(in.get(), pos, SEEK_DATA);
    if (data < 0 || data >= end) break;
    const off_t hole = std::min<off_t>(lseek(in.get(), data, SEEK_HOLE), end);
    for (off_t p = data; p < hole;) {
      const auto n = static_cast<std::size_t>(std::min<off_t>(hole - p, off_t(buf.size())));
      if (pread(in.get(), buf.data(), n, p) != static_cast<ssize_t>(n))
        throw std::runtime_error("short read");
      WriteAll(out.get(), buf.data(), n, p - begin);
      p += static_cast<off_t>(n);
    }
    pos = hole;
  }
}

struct CommandResult {
  int exitCode = -1;   // 127: the shell did not find the program
  std::string output;  // stdout and stderr together
};

inline CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Absolute path of a checker, or empty when it is not installed. Looked up in
// the sbin folders too, where fsck.fat lives.
inline std::string FindTool(const std::string& name) {
  for (const char* dir :
       {"/usr/sbin", "/sbin", "/usr/bin", "/bin", "/usr/local/bin", "/usr/local/sbin"}) {
    const std::filesystem::path p = std::filesystem::path(dir) / name;
    if (access(p.c_str(), X_OK) == 0) return p.string();
  }
  return {};
}

inline std::uint32_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8);
}
inline std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return Le16(b, at) | (Le16(b, at + 2) << 16);
}

}  // namespace kvx::fat::fattest
