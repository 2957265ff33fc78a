#pragma once
// A rework bench for multi-chip tests: two single-package disks are produced,
// then their packages are moved onto one two-package disk.

#include <gtest/gtest.h>

#include "e2e/e2e_station.h"

namespace kvx::e2e {

// Two single-package disks A and B, each with its own factory bad blocks, and
// the two-package disk C that receives A's package as chip 0 and B's as
// chip 1 (it inherits their bad blocks), unplugged until the rework is done.
struct Rework {
  static constexpr int kA = 0, kB = 1, kC = 2;
  static constexpr int kMpcsLevel = 3;  // of four levels
  static constexpr std::uint32_t kBlocksPerChip = 256;

  Rework() : s(MakeSim()) {
    s.sim->unplug(kC);
    s.produce();
  }

  static std::unique_ptr<Simulator> MakeSim() {
    sim::DiskSpec a = ControllerDisk(), b = ControllerDisk(), c = ControllerDisk(2);
    a.defects.factoryBadBlocks = {17, 90};
    b.defects.factoryBadBlocks = {33, 200, 201};
    a.defects.weakPages = {{120, 5, 0xFF, -1, 0}};
    for (auto blk : a.defects.factoryBadBlocks) c.defects.factoryBadBlocks.push_back(blk);
    for (auto blk : b.defects.factoryBadBlocks)
      c.defects.factoryBadBlocks.push_back(kBlocksPerChip + blk);
    return SimOf({a, b, c});
  }

  // Unplugs A and B, moves their packages onto C and plugs C in.
  void moveThePackages() {
    s.sim->unplug(kA);
    s.sim->unplug(kB);
    std::string error;
    ASSERT_TRUE(s.sim->transplantChip(kA, 0, kC, 0, &error)) << error;
    ASSERT_TRUE(s.sim->transplantChip(kB, 0, kC, 1, &error)) << error;
    s.sim->plug(kC);
    s.discovery.RefreshPorts();
  }

  void combine() {
    s.station.options().scanLevelIndex = kMpcsLevel;
    s.station.StartAll();
    s.station.WaitForIdle();
  }

  SimStation s;
};

}  // namespace kvx::e2e
