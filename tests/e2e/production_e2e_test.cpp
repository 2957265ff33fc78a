#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "e2e/e2e_station.h"
#include "e2e/fat_check.h"

namespace kvx::e2e {
namespace {

namespace fs = std::filesystem;

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
