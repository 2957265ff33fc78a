#pragma once
// Combining packages that were produced one by one into one multi-chip disk:
// finds the system information each package carries, reads the bad-page
// information recorded with it into the port's bitmap at the package's place,
// and rebuilds the block lists. Whatever is not recorded stays bad (the
// caller fills the bitmap with 0xFF first).
//
// Everything read from a package is checked before it is used as a count,
// an index or an offset. A recording whose geometry does not match the job,
// that points outside its package, or whose tables cannot be read, counts as
// no recording: the package's blocks stay bad. A package's information is
// gathered in a scratch bitmap and only committed when it was read whole.

#include <cstdint>

#include "engine/port_job.h"
#include "flash/bookkeeping.h"
#include "flash/flash_geometry.h"

namespace kvx {

inline constexpr std::int32_t kRecordedAlreadyCombined = 1688;
inline constexpr std::int32_t kRecordedCheckPassed = 1;

// 0: bitmap and lists rebuilt; 1: soldering check passed; -1: package 0 has
// no recording (or, under the check, some package has none); 1688: a package
// was already combined.
std::int32_t ReadRecordedBadBlocks(PortJob& job, const FlashGeometry& g, FlashBookkeeping& bk,
                                   bool highChipCheck);

}  // namespace kvx
