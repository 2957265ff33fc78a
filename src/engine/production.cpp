#include "engine/production.h"

namespace kvx {
namespace {

// Until the high format is wired in, a job ends with a clear red line.
class UnavailableSequence final : public ProductionSequence {
 public:
  std::int32_t RunProduction(PortJob& job) override { return refuse(job); }
  std::int32_t RunHighFormatOnly(PortJob& job) override { return refuse(job); }

 private:
  std::int32_t refuse(PortJob& job) {
    job.rec.StatusText = "This build cannot produce disks yet";
    job.display.setBar(job.rec.StatusText, BarColour::Red, 0);
    return -1;
  }
};

}  // namespace

std::unique_ptr<ProductionSequence> MakeStationProduction(ProductionEnvironment) {
  return std::make_unique<UnavailableSequence>();
}

}  // namespace kvx
