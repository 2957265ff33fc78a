#include "ui/station_app.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <cstdio>

#include "platform/linux/locale.h"
#include "ui/main_window.h"
#include "ui/message_box_operator.h"
#include "ui/station_options.h"
#include "ui/station_window.h"

namespace kvx::ui {

int RunStationApp(const std::vector<std::string>& args, const QString& defaultHome,
                  const RuntimeFactory& create) {
  const StationOptionsResult parsed = ParseStationOptions(args);
  if (!parsed.options) {
    std::fputs(parsed.message.c_str(), parsed.exitCode == 0 ? stdout : stderr);
    return parsed.exitCode;
  }

  RuntimeOptions runtimeOptions;
  runtimeOptions.home =
      parsed.options->home.empty() ? defaultHome.toStdString() : parsed.options->home;
  runtimeOptions.simDisks = parsed.options->simDisks;
  runtimeOptions.simProfile = parsed.options->simProfile;

  MessageBoxOperator op;
  std::string error;
  std::unique_ptr<StationRuntime> runtime = create(runtimeOptions, op, error);
  if (!runtime) {
    const MessageCatalogue messages(LanguageForLocale(LocaleIdFromEnvironment()));
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(messages.str(msg::kError)),
                    QString::fromStdString(error), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("StartupError"));
    box.exec();
    return kExitUsage;
  }

  Station& station = runtime->station();
  StationRuntime* rt = runtime.get();
  station.hooks().stopAuxiliaryThreads = [rt] { rt->stopHotplug(); };
  // A settings file that could not be written is said, never passed over.
  station.hooks().saveSettings = [rt, &op, &station] {
    std::string reason;
    if (rt->saveSettings(reason)) return;
    const MessageCatalogue& m = station.messages();
    op.inform({msg::kWarning, 0, m.str(msg::kWarning), "config.dat: " + reason});
  };

  StationWindow built = BuildStationWindow(*runtime, op);
  MainWindow& window = *built.window;
  op.setParent(&window);
  window.setRefreshPorts([rt] { rt->requestRefresh(); });
  if (const QScreen* screen = window.screen())
    window.move(screen->availableGeometry().center() - window.rect().center());
  window.show();
  if (!built.languageNotice.empty()) {
    const MessageCatalogue& m = station.messages();
    op.inform({msg::kWarning, 0, m.str(msg::kWarning), built.languageNotice});
  }
  // The disks already present are found by one refresh on the enumeration
  // thread; the window only shows the port displays it fills.
  runtime->startHotplug();
  const int rc = QApplication::exec();
  runtime->stopHotplug();
  return rc;
}

}  // namespace kvx::ui
