#pragma once
// The station's production sequence: the normal job (controller preparation,
// bad-block scan or recorded information, high format, folder copies) and the
// re-format of an already produced disk.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "engine/production_sequence.h"

namespace kvx {

struct ProductionEnvironment {
  // The station folder: LoginFiles/ and BootFiles/ are copied from here.
  std::filesystem::path home;
  // Root folder of the produced disk's volume for the folder copies; an
  // empty path when the volume is not mounted (the copy then fails with a
  // clear message). Called on the port's worker.
  std::function<std::filesystem::path(int port, const std::string& devicePath)> volumeRoot;
};

std::unique_ptr<ProductionSequence> MakeStationProduction(ProductionEnvironment env);

}  // namespace kvx
