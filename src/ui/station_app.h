#pragma once
// The desktop station's program, apart from main(): reads the command line,
// builds the station through the runtime, shows the window, starts the
// hot-plug watcher and runs until the window closes. A runtime that cannot be
// built is reported in a message box and ends the program with exit code 2.

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/station_runtime.h"

namespace kvx::ui {

using RuntimeFactory = std::function<std::unique_ptr<StationRuntime>(
    const RuntimeOptions&, Operator&, std::string& error)>;

// `args` without the program name and without Qt's own options; a
// QApplication must exist. `defaultHome` is used when --home is not given.
int RunStationApp(const std::vector<std::string>& args, const QString& defaultHome,
                  const RuntimeFactory& create = &StationRuntime::Create);

}  // namespace kvx::ui
