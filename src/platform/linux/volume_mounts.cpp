#include "platform/linux/volume_mounts.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>

namespace kvx {
namespace fs = std::filesystem;
namespace {

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(p, ec);
}

std::vector<std::string> Children(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// "8:17" from a sysfs "dev" attribute; false when it is not there.
bool ReadDevNumber(const fs::path& attr, unsigned* major, unsigned* minor) {
  std::ifstream in(attr);
  char colon = 0;
  return bool(in >> *major >> colon >> *minor) && colon == ':';
}

}  // namespace

std::vector<std::string> BlockDevicesOf(const std::string& devicePath, const MountPaths& paths) {
  const std::string name = fs::path(devicePath).filename().string();
  if (name.empty()) return {};
  std::string disk;
  if (name.rfind("sg", 0) == 0) {
    // The SCSI device of the generic node lists its block device.
    const auto blocks =
        Children(paths.sysfs / "class" / "scsi_generic" / name / "device" / "block");
    if (blocks.empty()) return {};
    disk = blocks.front();
  } else if (Exists(paths.sysfs / "class" / "block" / name)) {
    disk = name;
  } else {
    return {};
  }
  std::vector<std::string> out;
  const fs::path diskDir = paths.sysfs / "class" / "block" / disk;
  for (const auto& child : Children(diskDir))
    if (child.rfind(disk, 0) == 0 && Exists(diskDir / child / "partition")) out.push_back(child);
  // sdb10 after sdb9: by partition number, not by name.
  std::sort(out.begin(), out.end(), [&](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  out.push_back(disk);
  return out;
}

std::string UnescapeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() &&
        std::all_of(field.begin() + long(i) + 1, field.begin() + long(i) + 4,
                    [](char c) { return c >= '0' && c <= '7'; })) {
      out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

namespace {

struct Mount {
  std::string source;
  fs::path target;
};

std::vector<Mount> ReadMountTable(const fs::path& table) {
  std::vector<Mount> mounts;
  std::ifstream in(table);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string source, target;
    if (fields >> source >> target)
      mounts.push_back({UnescapeMountField(source), UnescapeMountField(target)});
  }
  return mounts;
}

}  // namespace

std::vector<fs::path> MountsOf(const std::string& devicePath, const MountPaths& paths) {
  const auto devices = BlockDevicesOf(devicePath, paths);
  if (devices.empty()) return {};
  const std::vector<Mount> mounts = ReadMountTable(paths.mounts);
  std::vector<fs::path> out;
  for (const std::string& dev : devices) {
    unsigned major = 0, minor = 0;
    const bool haveNumber =
        ReadDevNumber(paths.sysfs / "class" / "block" / dev / "dev", &major, &minor);
    for (const Mount& m : mounts) {
      bool same = m.source == (paths.dev / dev).string();
      // Sources such as /dev/disk/by-uuid/... name the same node by a link.
      struct stat st {};
      if (!same && haveNumber && m.source.rfind("/", 0) == 0 && ::stat(m.source.c_str(), &st) == 0)
        same = S_ISBLK(st.st_mode) && ::major(st.st_rdev) == major && ::minor(st.st_rdev) == minor;
      if (same) out.push_back(m.target);
    }
  }
  return out;
}

bool IsMountTarget(const fs::path& target, const MountPaths& paths) {
  for (const Mount& m : ReadMountTable(paths.mounts))
    if (m.target == target) return true;
  return false;
}

fs::path MountedVolumeOf(const std::string& devicePath, const MountPaths& paths) {
  const auto all = MountsOf(devicePath, paths);
  return all.empty() ? fs::path() : all.front();
}

}  // namespace kvx
