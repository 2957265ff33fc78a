#pragma once
// Command line of the desktop station:
//   kvx-station [--home DIR] [--sim N | --sim-profile FILE]
// No Qt here; Qt's own options (-platform, ...) are taken out before.

#include <optional>
#include <string>
#include <vector>

namespace kvx::ui {

struct StationOptions {
  std::string home;  // empty: the executable's folder
  std::optional<int> simDisks;
  std::string simProfile;
};

inline constexpr int kExitUsage = 2;

struct StationOptionsResult {
  std::optional<StationOptions> options;  // empty: exit with `exitCode`
  int exitCode = 0;                       // --help: 0, bad arguments: 2
  std::string message;                    // usage text or the reason
};

// `args` without the program name.
StationOptionsResult ParseStationOptions(const std::vector<std::string>& args);

}  // namespace kvx::ui
