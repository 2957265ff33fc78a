#include "ui/station_options.h"

#include <charconv>

namespace kvx::ui {
namespace {

constexpr const char* kUsage =
    "usage: kvx-station [--home DIR] [--sim N | --sim-profile FILE]\n"
    "  --home DIR          station folder (config.dat, ini file, Lang/); default: the\n"
    "                      program's folder\n"
    "  --sim N             N simulated disks (1..64)\n"
    "  --sim-profile FILE  simulated disks and hubs described by a JSON profile\n";

StationOptionsResult Fail(const std::string& reason) {
  return {std::nullopt, kExitUsage, "kvx-station: " + reason + "\n" + kUsage};
}

}  // namespace

StationOptionsResult ParseStationOptions(const std::vector<std::string>& args) {
  StationOptions o;
  bool homeSeen = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") return {std::nullopt, 0, kUsage};
    std::string name = a, value;
    bool inlineValue = false;
    if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = a.substr(0, eq);
      value = a.substr(eq + 1);
      inlineValue = true;
    }
    if (name != "--home" && name != "--sim" && name != "--sim-profile")
      return Fail("unknown argument '" + a + "'");
    if (!inlineValue) {
      if (i + 1 >= args.size()) return Fail(name + " needs a value");
      value = args[++i];
    }
    if (value.empty()) return Fail(name + " needs a value");
    if (name == "--home") {
      if (homeSeen) return Fail("--home given twice");
      homeSeen = true;
      o.home = value;
    } else if (name == "--sim") {
      if (o.simDisks) return Fail("--sim given twice");
      int n = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (ec != std::errc() || end != value.data() + value.size() || n < 1 || n > 64)
        return Fail("--sim takes a number of disks from 1 to 64, not '" + value + "'");
      o.simDisks = n;
    } else {
      if (!o.simProfile.empty()) return Fail("--sim-profile given twice");
      o.simProfile = value;
    }
  }
  if (o.simDisks && !o.simProfile.empty())
    return Fail("--sim and --sim-profile exclude each other");
  return {o, 0, {}};
}

}  // namespace kvx::ui
