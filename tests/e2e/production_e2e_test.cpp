#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "e2e/e2e_station.h"
#include "engine/fat/fat_test_support_link.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Checks the first partition of an exported logical image with fsck.fat and
// mtools; returns the label mdir lists.
std::string CheckFatVolume(const fs::path& image, const fs::path& work) {
  const auto bytes = ReadFile(image);
  EXPECT_GE(bytes.size(), 512u);
  if (bytes.size() < 512) return {};
  const std::uint32_t start = bytes[454] | bytes[455] << 8 | bytes[456] << 16 | bytes[457] << 24;
  const std::uint32_t count = bytes[458] | bytes[459] << 8 | bytes[460] << 16 | bytes[461] << 24;
  EXPECT_GT(count, 0u);
  const fs::path part = work / "part.img";
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

TEST(ProductionE2E, BlankDisksBecomeFinishedDisks) {
  SimStation s(Simulator::FromShortForm(4, 7));
  s.sim->setLatency({});
  s.produce();
  for (int slot = 0; slot < 4; ++slot) {
    SCOPED_TRACE(slot);
    const auto& rec = s.station.record(slot);
    const PortView v = s.station.display(slot).snapshot();
    EXPECT_EQ(rec.LastResult, 0) << v.text;
    EXPECT_EQ(v.colour, BarColour::Blue) << v.text;
    EXPECT_EQ(v.text.rfind("Finished. Bad Pages ", 0), 0u) << v.text;
    EXPECT_GT(rec.BadPages, 0u) << "the short-form disks have factory bad blocks";
    EXPECT_GT(rec.DiskSectors, 0u);
  }
  const fs::path image = s.home / "disk0.img";
  std::string error;
  ASSERT_TRUE(s.sim->exportLogicalImage(0, image.string(), &error)) << error;
  const std::string listing = CheckFatVolume(image, s.home);
  if (std::getenv("KVX_E2E_VERBOSE")) {
    for (int slot = 0; slot < 4; ++slot) std::printf("%s\n", s.station.display(slot).snapshot().text.c_str());
    std::printf("%s\n", listing.c_str());
  }
  EXPECT_NE(listing.find("KVXDISK"), std::string::npos) << listing;
}

}  // namespace
}  // namespace kvx::e2e
