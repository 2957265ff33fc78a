#pragma once
// Checks of an exported logical image for end-to-end tests: its first
// partition is cut out and handed to fsck.fat and mtools.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/fat/fat_test_support_link.h"

namespace kvx::e2e {

inline std::vector<std::uint8_t> ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Checks the first partition of the zone that starts at sector `zoneStart` of
// an exported logical image (each zone carries its own MBR) with fsck.fat
// and mtools; returns what mdir lists (the label first).
inline std::string CheckFatVolume(const std::filesystem::path& image,
                                  const std::filesystem::path& work, std::uint32_t zoneStart = 0) {
  const auto whole = ReadFile(image);
  const std::size_t zoneByte = std::size_t(zoneStart) * 512;
  EXPECT_GE(whole.size(), zoneByte + 512);
  if (whole.size() < zoneByte + 512) return {};
  const std::vector<std::uint8_t> bytes(whole.begin() + std::ptrdiff_t(zoneByte), whole.end());
  const std::uint32_t start = bytes[454] | bytes[455] << 8 | bytes[456] << 16 | bytes[457] << 24;
  const std::uint32_t count = bytes[458] | bytes[459] << 8 | bytes[460] << 16 | bytes[461] << 24;
  EXPECT_GT(count, 0u);
  const std::filesystem::path part = work / "part.img";
  {
    std::ofstream out(part, std::ios::binary);
    const std::size_t from = std::size_t(start) * 512;
    const std::size_t n = std::min<std::size_t>(std::size_t(count) * 512, bytes.size() - from);
    out.write(reinterpret_cast<const char*>(bytes.data() + from), std::streamsize(n));
    // The partition may end past what the disk shows; pad it to its size.
    out.seekp(std::streamoff(std::size_t(count) * 512 - 1));
    out.put(0);
  }
  const std::string fsck = fat::fattest::FindTool("fsck.fat");
  const std::string mdir = fat::fattest::FindTool("mdir");
  EXPECT_FALSE(fsck.empty()) << "dosfstools missing: run scripts/install-deps.sh";
  EXPECT_FALSE(mdir.empty()) << "mtools missing: run scripts/install-deps.sh";
  const auto f = fat::fattest::RunCommand(fsck + " -n " + part.string());
  EXPECT_EQ(f.exitCode, 0) << f.output;
  const auto m = fat::fattest::RunCommand("MTOOLS_SKIP_CHECK=1 " + mdir + " -i " + part.string() + " ::");
  EXPECT_EQ(m.exitCode, 0) << m.output;
  return m.output;
}

}  // namespace kvx::e2e
