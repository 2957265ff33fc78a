#pragma once
// The body of a production job, as seen by the port's worker. Results: 0 for
// success, otherwise a failure code whose text the failing step has already
// shown on the bar. Special values: 1688 from RunProduction asks for the
// re-format; 1 with the soldering check ticked means "no soldering problem".

#include <cstdint>

#include "engine/port_job.h"

namespace kvx {

inline constexpr std::int32_t kHandOverToHighFormat = 1688;
inline constexpr std::int32_t kSolderingCheckPassed = 1;

class ProductionSequence {
 public:
  virtual ~ProductionSequence() = default;
  // Job start, on the window thread, after the record's snapshots were taken:
  // the sequence copies what else it needs from the settings image, so that
  // the worker never reads the image while the operator edits it.
  virtual void PrepareJob(int port, FORMATINFO& rec, const ConfigImage& image) {
    (void)port, (void)rec, (void)image;
  }
  virtual std::int32_t RunProduction(PortJob& job) = 0;
  virtual std::int32_t RunHighFormatOnly(PortJob& job) = 0;
};

}  // namespace kvx
