// A small volume compared byte for byte with a reference image kept as a hex
// dump (tests/data/fat/*.hex, all-zero lines left out) and built from the
// fixed inputs in the matching .params file. The reference was checked by
// hand against the layout rules: a FAT12 zone of 2047 sectors, V = 2014, one
// sector per cluster, 8 reserved sectors (the first pass wrote 113), 8 sectors
// per FAT, so the FATs start at zone sectors 40 and 48, the root directory at
// 56 and the image ends at 120, a multiple of 8.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/fat/fat_volume.h"

namespace kvx::fat {
namespace {

std::map<std::string, std::string> ReadParams(const std::string& path) {
  std::map<std::string, std::string> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

// Returns false when the file is missing or a line is malformed.
bool ReadHexDump(const std::string& path, std::size_t& size, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  if (!std::getline(in, line) || std::sscanf(line.c_str(), "# %zu bytes", &size) != 1) return false;
  bytes.assign(size, 0);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string offset;
    fields >> offset;
    if (offset.empty() || offset.back() != ':') return false;
    std::size_t at = std::stoul(offset, nullptr, 16);
    for (int i = 0; i < 16; ++i, ++at) {
      unsigned value;
      if (!(fields >> std::hex >> value) || at >= size) return false;
      bytes[at] = static_cast<std::uint8_t>(value);
    }
  }
  return true;
}

TEST(FatReference, SmallFat12ZoneByteForByte) {
  const std::string base = std::string(KVX_TEST_DATA_DIR) + "/fat/zone_2047_kvx_disk";
  const auto params = ReadParams(base + ".params");
  ASSERT_EQ(params.size(), 4u) << "sectors, boot_type, label, volume_id";
  std::size_t size = 0;
  std::vector<std::uint8_t> expected;
  ASSERT_TRUE(ReadHexDump(base + ".hex", size, expected));

  TFAT volume(FatVolumeSettings{
      static_cast<std::uint32_t>(std::stoul(params.at("sectors"))),
      static_cast<std::uint8_t>(std::stoul(params.at("boot_type"))), params.at("label"),
      static_cast<std::uint32_t>(std::stoul(params.at("volume_id"), nullptr, 16))});
  ASSERT_EQ(volume.Build(), FatError::kNone);
  const auto image = volume.Image();
  ASSERT_EQ(image.size(), expected.size());
  for (std::size_t i = 0; i < image.size(); ++i)
    ASSERT_EQ(image[i], expected[i]) << "first difference at byte " << i << " (sector " << i / 512
                                     << ", offset " << i % 512 << ")";
}

}  // namespace
}  // namespace kvx::fat
