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
  virtual std::int32_t RunProduction(PortJob& job) = 0;
  virtual std::int32_t RunHighFormatOnly(PortJob& job) = 0;
};

}  // namespace kvx
