#pragma once
// The station's production sequence: the normal job (controller preparation,
// bad-block scan or recorded information, high format, folder copies) and the
// re-format of an already produced disk.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "engine/produced_volume.h"
#include "engine/production_sequence.h"

namespace kvx {

struct ProductionEnvironment {
  // The station folder: LoginFiles/ and BootFiles/ are copied from here.
  std::filesystem::path home;
  // The produced disk's volume for the folder copies, once the production
  // has written it; without one the copy fails with the reason the volume
  // gives. Called on the port's worker; waits poll `stopRequested`.
  std::function<ProducedVolume(int port, const std::string& devicePath,
                               const std::function<bool()>& stopRequested)>
      openVolume;
};

std::unique_ptr<ProductionSequence> MakeStationProduction(ProductionEnvironment env);

}  // namespace kvx
