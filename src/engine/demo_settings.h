#pragma once
// The built-in settings image of a simulated station whose folder has no
// config.dat: enough to identify and produce the simulated disks without any
// file. A real config.dat always replaces it.
//
// Contents: one flash type per distinct flash ID of the disks (geometry from
// the first disk with that ID), a scan code type (index 0) and a final code
// type (index 1) of 8 sectors each with valid code checksums, demo product
// strings, one removable zone, LevelCount 4, ScanCount 1, AutoSelect on,
// automatic serial numbers.

#include <cstdint>
#include <string>
#include <vector>

#include "config/config_image.h"

namespace kvx {

// What identification and the format need to know of one simulated flash.
struct DemoFlash {
  std::uint32_t flashId = 0;  // ID0 of chip select 0
  bool bothLanes = false;     // chip 0 answers on both byte lanes
  std::uint32_t blocksPerChip = 0;
  std::uint32_t pagesPerBlock = 0;
  std::uint32_t sectorsPerPage = 0;  // as the controller addresses a page (E)
};

inline constexpr std::size_t kDemoScanCode = 0;
inline constexpr std::size_t kDemoFinalCode = 1;
inline constexpr std::uint8_t kDemoCodeSectors = 8;

// The flash-type name the demo gives a flash: "SIM <ID> <B>x<P>x<S>".
std::string DemoFlashTypeName(const DemoFlash& flash);

// Replaces `image` with the demo settings for these flashes (at most 288
// distinct IDs are used; flashes without an ID are skipped).
void FillDemoSettings(ConfigImage& image, const std::vector<DemoFlash>& flashes);

}  // namespace kvx
