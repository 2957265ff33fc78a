// kvx-station: the desktop station. Builds the station from its folder (or
// the simulator), shows the window and starts the hot-plug watcher, whose
// first refresh finds the disks already attached.
#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <cstdio>
#include <cstring>

#include "engine/station_runtime.h"
#include "platform/linux/locale.h"
#include "ui/main_window.h"
#include "ui/message_box_operator.h"
#include "ui/station_options.h"

int main(int argc, char** argv) {
  // Help needs no display.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kvx::ui::ParseStationOptions({"--help"}).message.c_str(), stdout);
      return 0;
    }
  }
  QApplication app(argc, argv);
  std::vector<std::string> args;
  const QStringList qtArgs = QCoreApplication::arguments();  // Qt's own options removed
  for (qsizetype i = 1; i < qtArgs.size(); ++i) args.push_back(qtArgs[i].toStdString());
  const kvx::ui::StationOptionsResult parsed = kvx::ui::ParseStationOptions(args);
  if (!parsed.options) {
    std::fputs(parsed.message.c_str(), parsed.exitCode == 0 ? stdout : stderr);
    return parsed.exitCode;
  }

  kvx::RuntimeOptions runtimeOptions;
  runtimeOptions.home = parsed.options->home.empty()
                            ? QCoreApplication::applicationDirPath().toStdString()
                            : parsed.options->home;
  runtimeOptions.simDisks = parsed.options->simDisks;
  runtimeOptions.simProfile = parsed.options->simProfile;

  kvx::ui::MessageBoxOperator op;
  std::string error;
  std::unique_ptr<kvx::StationRuntime> runtime = kvx::StationRuntime::Create(runtimeOptions, op, error);
  if (!runtime) {
    const kvx::MessageCatalogue messages(kvx::LanguageForLocale(kvx::LocaleIdFromEnvironment()));
    QMessageBox::critical(nullptr, QString::fromStdString(messages.str(kvx::msg::kError)),
                          QString::fromStdString(error));
    return kvx::ui::kExitUsage;
  }

  kvx::Station& station = runtime->station();
  kvx::StationRuntime* rt = runtime.get();
  station.hooks().stopAuxiliaryThreads = [rt] { rt->stopHotplug(); };
  // A settings file that could not be written is said, never passed over.
  station.hooks().saveSettings = [rt, &op, &station] {
    std::string reason;
    if (rt->saveSettings(reason)) return;
    const kvx::MessageCatalogue& m = station.messages();
    op.inform({kvx::msg::kWarning, 0, m.str(kvx::msg::kWarning), "config.dat: " + reason});
  };

  kvx::ui::MainWindow window(station, op);
  op.setParent(&window);
  window.setRefreshPorts([rt] { rt->requestRefresh(); });
  if (const QScreen* screen = window.screen())
    window.move(screen->availableGeometry().center() - window.rect().center());
  window.show();
  // The disks already present are found by one refresh on the enumeration
  // thread; the window only shows the port displays it fills.
  runtime->startHotplug();
  const int rc = app.exec();
  runtime->stopHotplug();
  return rc;
}
