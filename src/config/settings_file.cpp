#include "config/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "engine/messages.h"

namespace kvx {
namespace {

std::error_code LastError() {
  return std::error_code(errno, std::generic_category());
}

// Closes a descriptor on every way out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result (a deferred write error shows here).
  int close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= std::size_t(n);
  }
  return true;
}

// Reads up to `size` bytes; returns the count read, or -1 on an error.
ssize_t ReadUpTo(int fd, std::uint8_t* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, data + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += std::size_t(n);
  }
  return ssize_t(got);
}

// Writes the file's content through `fill` into a temporary file in the same
// folder, flushes it and renames it over `path`. `fill` returns the failing
// step, or nullptr.
FileResult ReplaceFile(const std::filesystem::path& path,
                       const std::function<const char*(int fd)>& fill) {
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
  std::string temp = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  Fd fd(::mkstemp(temp.data()));
  if (fd.get() < 0) return {LastError(), "create temporary file"};
  auto fail = [&](const char* step) {
    FileResult r{LastError(), step};
    ::unlink(temp.c_str());
    return r;
  };
  // Keep the permissions of the file being replaced; a new file gets 0644.
  struct stat st {};
  const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  if (::fchmod(fd.get(), mode) != 0) return fail("set permissions");
  if (const char* step = fill(fd.get())) return fail(step);
  if (::fsync(fd.get()) != 0) return fail("flush to disk");
  if (fd.close() != 0) return fail("close");
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail("replace");
  // Make the rename itself durable.
  Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.get() >= 0) ::fsync(dirFd.get());
  return {};
}

}  // namespace

std::string FileResult::describe() const {
  if (!error) return {};
  std::string text = SystemErrorText(error.value());
  if (text.empty()) text = error.message();
  return step + ": " + text;
}

FileResult WriteFileAtomically(const std::filesystem::path& path,
                               std::span<const std::uint8_t> bytes) {
  return ReplaceFile(
      path, [&](int fd) { return WriteAll(fd, bytes.data(), bytes.size()) ? nullptr : "write"; });
}

LoadResult LoadSettingsFile(const std::filesystem::path& path, ConfigImage& image) {
  auto bytes = image.bytes();
  std::fill(bytes.begin(), bytes.end(), std::uint8_t(0));
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return {LoadStatus::Missing, {}};
    return {LoadStatus::Unreadable, LastError()};
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return {LoadStatus::Unreadable, LastError()};
  if (!S_ISREG(st.st_mode))
    return {LoadStatus::Unreadable, std::make_error_code(std::errc::invalid_argument)};
  const ssize_t n = ReadUpTo(fd.get(), bytes.data(), bytes.size());
  if (n < 0) {
    const auto err = LastError();
    std::fill(bytes.begin(), bytes.end(), std::uint8_t(0));
    return {LoadStatus::Unreadable, err};
  }
  if (std::size_t(n) < ConfigImage::kSize) return {LoadStatus::Short, {}};
  std::uint8_t probe;
  const ssize_t more = ReadUpTo(fd.get(), &probe, 1);
  return {more > 0 ? LoadStatus::Long : LoadStatus::Loaded, {}};
}

FileResult SaveSettingsFile(const std::filesystem::path& path, const ConfigImage& image) {
  // The old file, for the bytes it holds beyond the image; streamed, so a
  // long file never has to fit in memory.
  Fd old(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (old.get() < 0 && errno != ENOENT) return {LastError(), "read the existing file"};
  if (old.get() >= 0) {
    struct stat st {};
    if (::fstat(old.get(), &st) != 0) return {LastError(), "read the existing file"};
    if (!S_ISREG(st.st_mode))
      return {std::make_error_code(std::errc::invalid_argument), "read the existing file"};
  }
  return ReplaceFile(path, [&](int fd) -> const char* {
    const auto bytes = image.bytes();
    if (!WriteAll(fd, bytes.data(), bytes.size())) return "write";
    if (old.get() < 0) return nullptr;
    std::vector<std::uint8_t> chunk(64 * 1024);
    for (off_t at = off_t(ConfigImage::kSize);;) {
      const ssize_t n = ::pread(old.get(), chunk.data(), chunk.size(), at);
      if (n < 0) {
        if (errno == EINTR) continue;
        return "read the existing file";
      }
      if (n == 0) return nullptr;
      if (!WriteAll(fd, chunk.data(), std::size_t(n))) return "write";
      at += n;
    }
  });
}

LoadResult SettingsStore::Load(ConfigImage& image) {
  const LoadResult r = LoadSettingsFile(path_, image);
  unreadableAtLoad_ = r.status == LoadStatus::Unreadable;
  return r;
}

FileResult SettingsStore::Save(const ConfigImage& image) const {
  // The image holds zeros, not the file's settings: writing it would destroy
  // the operator's data.
  if (unreadableAtLoad_)
    return {std::make_error_code(std::errc::operation_not_permitted),
            "not overwriting a settings file that could not be read at start"};
  return SaveSettingsFile(path_, image);
}

}  // namespace kvx
