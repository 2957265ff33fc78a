#pragma once
// The desktop station's window over a runtime: the main window, the settings
// pages bound to the runtime's settings and port map, and the language file
// of the start applied to all of it. Set the station's save hook before.

#include <memory>
#include <string>

#include "engine/operator.h"
#include "engine/station_runtime.h"
#include "ui/main_window.h"
#include "ui/settings/settings_view.h"

namespace kvx::ui {

struct StationWindow {
  std::unique_ptr<MainWindow> window;
  SettingsView* settings = nullptr;  // owned by the window
  // Why the language file's texts were not applied; empty when they were.
  std::string languageNotice;
};

StationWindow BuildStationWindow(StationRuntime& runtime, Operator& op);

}  // namespace kvx::ui
