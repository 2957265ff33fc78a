#include "ui/station_window.h"

#include "ui/language_start.h"

namespace kvx::ui {

StationWindow BuildStationWindow(StationRuntime& runtime, Operator& op) {
  Station& station = runtime.station();
  StationWindow out;
  out.window = std::make_unique<MainWindow>(station, op);
  StationRuntime* rt = &runtime;
  out.settings = InstallSettingsView(*out.window, station,
                                     SettingsContext{runtime.settings(),
                                                     station.controlMutex(),
                                                     op,
                                                     station.messages(),
                                                     [rt] { return rt->discovery().portList(); },
                                                     [rt] { rt->discovery().ClearPorts(); },
                                                     {}});
  out.languageNotice = ApplyStartLanguage(*out.window, runtime.languageStart());
  // A language file may carry edit texts; the settings shown are the image's.
  out.settings->load();
  return out;
}

}  // namespace kvx::ui
