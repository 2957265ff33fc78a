#pragma once
// "config.dat": the settings image on disk, read whole at start and written
// whole at every save.
//
// Saving is crash-safe: the image (and whatever a longer file holds beyond it)
// goes to a temporary file in the same folder, is flushed to the disk and then
// renamed over "config.dat", so a crash or kill at any moment leaves either the
// old or the new file, never a torn one.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

#include "config/config_image.h"

namespace kvx {

inline constexpr const char* kSettingsFileName = "config.dat";

// Writes `bytes` to `path` through a temporary file in the same folder, fsync
// and rename. Used for "config.dat" and the text files of the station folder.
struct FileResult {
  std::error_code error;  // empty on success
  std::string step;       // what failed: "create temporary file", "write", ...
  explicit operator bool() const { return !error; }
  // "step: system text", for a message to the operator.
  std::string describe() const;
};
FileResult WriteFileAtomically(const std::filesystem::path& path,
                               std::span<const std::uint8_t> bytes);

enum class LoadStatus {
  Loaded,      // exactly one image long
  Missing,     // no file: the image is all zero
  Short,       // shorter: its bytes fill the image from the start, the rest is zero
  Long,        // longer: the first 393216 bytes were read; a save keeps the rest
  Unreadable,  // exists but could not be read: the image is all zero
};

struct LoadResult {
  LoadStatus status = LoadStatus::Missing;
  std::error_code error;  // for Unreadable
};

// Fills `image` from the file at `path` (zero where the file has no bytes).
LoadResult LoadSettingsFile(const std::filesystem::path& path, ConfigImage& image);

// Writes the image over the first 393216 bytes of the file at `path` (created
// when missing), keeping any bytes the file holds beyond the image.
FileResult SaveSettingsFile(const std::filesystem::path& path, const ConfigImage& image);

// The settings file of one station folder. Remembers how the load went: a file
// that existed but could not be read is never overwritten by the zero image
// the station started with, the save is refused and reported instead.
class SettingsStore {
 public:
  explicit SettingsStore(std::filesystem::path path) : path_(std::move(path)) {}
  const std::filesystem::path& path() const { return path_; }
  LoadResult Load(ConfigImage& image);
  FileResult Save(const ConfigImage& image) const;

 private:
  std::filesystem::path path_;
  bool unreadableAtLoad_ = false;
};

}  // namespace kvx
