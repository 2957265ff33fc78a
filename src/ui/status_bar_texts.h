#pragma once
// The seven texts of the production view's status bar, computed from the
// settings image. No Qt here: the window only puts the texts on its panels.

#include <array>
#include <string>

#include "config/config_image.h"

namespace kvx::ui {

inline constexpr int kStatusPanelCount = 7;
using StatusBarTexts = std::array<std::string, kStatusPanelCount>;

// What the panels show before the first update.
StatusBarTexts InitialStatusBarTexts();

// Number of zones (1..3) the stored zone-bar widths describe: the middle bar
// counts one pixel less and is absent below 2 pixels, an outer bar is absent
// at 0 pixels, and zone 0 always exists.
int StoredZoneCount(const ConfigImage& image);

// Panels 0..6: flash type in production, vendor text, product text, chip
// count, "scan level+ECC option+scan passes", the disk types of the zones in
// use joined by "+", and the ECC limit. `activeZoneCount` is the zone split's
// working value (1..3; other values are read as 1).
StatusBarTexts ComputeStatusBarTexts(const ConfigImage& image, int activeZoneCount);

}  // namespace kvx::ui
