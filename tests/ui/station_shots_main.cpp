// kvx-station-shots: screenshots of the desktop station on the simulator,
// the same runtime, production sequence and window as `kvx-station --sim N`:
//
//   kvx-station-shots [--ports N] --shots DIR [--prefix NAME]
//
// It starts a station on N simulated disks (demo pace) in a fresh station
// folder holding the shipped language files, waits until every disk is
// identified, starts all ports by the Space key, pulls disk 3 in the middle
// of its job and stops port 6 by its button, and saves
// <prefix>-production.png while the jobs run, <prefix>-finished.png when they
// have ended, <prefix>-settings-<page>.png of every settings page (hidden ones
// shown for the picture; the debug page after reading a page of slot 0's
// disk), then closes the window by its keys, answering OK.
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "engine/station_runtime.h"
#include "sim/simulator.h"
#include "ui/main_window.h"
#include "ui/station_window.h"

using namespace kvx;
namespace fs = std::filesystem;

namespace {

void SendKey(QWidget* w, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, mods, key == Qt::Key_Space ? QStringLiteral(" ") : QString());
  QCoreApplication::sendEvent(w, &press);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  int ports = 16;
  QString shots, prefix = QStringLiteral("station");
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--ports")
      ports = std::clamp(args[i + 1].toInt(), 4, kPortCount);
    else if (args[i] == "--shots")
      shots = args[i + 1];
    else if (args[i] == "--prefix")
      prefix = args[i + 1];
  }
  if (shots.isEmpty()) {
    std::fputs("usage: kvx-station-shots [--ports N] --shots DIR [--prefix NAME]\n", stderr);
    return 2;
  }

  // A station folder of its own with the shipped language files.
  const fs::path home = fs::temp_directory_path() / ("kvx-station-shots-" + std::to_string(getpid()));
  std::error_code ec;
  fs::remove_all(home, ec);
  fs::create_directories(home / "Lang");
  fs::copy(KVX_SHARE_DIR "/Lang", home / "Lang", fs::copy_options::recursive, ec);
  struct RemoveHome {
    fs::path path;
    ~RemoveHome() {
      std::error_code e;
      fs::remove_all(path, e);
    }
  } removeHome{home};

  FixedAnswerOperator yes(true);
  RuntimeOptions options;
  options.home = home;
  options.simDisks = ports;
  std::string error;
  std::unique_ptr<StationRuntime> runtime = StationRuntime::Create(options, yes, error);
  if (!runtime) {
    std::fprintf(stderr, "kvx-station-shots: %s\n", error.c_str());
    return 2;
  }
  Station& station = runtime->station();
  StationRuntime* rt = runtime.get();
  station.hooks().stopAuxiliaryThreads = [rt] { rt->stopHotplug(); };
  station.hooks().saveSettings = [rt] {
    std::string reason;
    if (!rt->saveSettings(reason)) std::fprintf(stderr, "config.dat: %s\n", reason.c_str());
  };
  // Disk 3 is pulled in the middle of its job (the 40th table write), so one
  // port ends red.
  sim::Faults pulled;
  pulled.unplugOn = {{0xD5, 40}};
  runtime->simulator()->injectFaults(3, pulled);

  ui::StationWindow built = ui::BuildStationWindow(*runtime, yes);
  ui::MainWindow& window = *built.window;
  window.setRefreshPorts([rt] { rt->requestRefresh(); });
  window.show();
  runtime->startHotplug();

  QDir().mkpath(shots);
  auto save = [&](const std::string& name) {
    const QString file = shots + "/" + prefix + "-" + QString::fromStdString(name) + ".png";
    const bool ok = window.grab().save(file);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(file));
  };
  auto identified = [&] {
    for (int k = 0; k < ports; ++k)
      if (station.record(k).FlashTypeIndex < 0 || !station.display(k).snapshot().buttonEnabled) return false;
    return true;
  };

  QTimer steps;
  int phase = 0;
  QElapsedTimer clock;
  clock.start();
  QObject::connect(&steps, &QTimer::timeout, [&] {
    switch (phase) {
      case 0:  // every disk found and identified: start them all
        if (!identified()) return;
        SendKey(&window, Qt::Key_Space);
        clock.restart();
        phase = 1;
        return;
      case 1:
        if (clock.elapsed() < 1200) return;
        station.PortButtonClick(6);  // "Stop it?" answered OK
        phase = 2;
        return;
      case 2:
        if (clock.elapsed() < 2500) return;
        save("production");
        phase = 3;
        return;
      case 3:
        if (station.anyBusy()) return;
        QTest::qWait(300);
        save("finished");
        SendKey(&window, Qt::Key_S, Qt::ControlModifier);
        {
          QTabWidget* tabs = window.settingsPages();
          for (int i = 0; i < tabs->count(); ++i) {
            tabs->setTabVisible(i, true);
            tabs->setCurrentIndex(i);
            // The debug page shows a page of slot 0's disk, read at once.
            if (auto* read = tabs->widget(i)->findChild<QPushButton*>(QStringLiteral("PhysicalRead")))
              read->click();
            QTest::qWait(150);
            save("settings-" + tabs->widget(i)->objectName().toStdString());
          }
        }
        SendKey(&window, Qt::Key_Escape);  // back to production, settings saved
        SendKey(&window, Qt::Key_Escape);  // and close, answering OK
        phase = 4;
        return;
      default:
        return;
    }
  });
  steps.start(50);
  QTimer::singleShot(120000, [&] {
    std::puts("kvx-station-shots: the production did not end in time");
    QCoreApplication::exit(1);
  });
  const int rc = app.exec();
  runtime->stopHotplug();
  return rc;
}
