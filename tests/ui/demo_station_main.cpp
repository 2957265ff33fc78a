// kvx-station-demo: the station's window during a production on test
// doubles (a scripted transport and a sequence that walks each bar through a
// scan and a format). It stands in for `kvx-station --sim N` until the
// simulator is wired into the runtime, and takes the screenshots:
//
//   kvx-station-demo [--ports N] [--shots DIR] [--prefix NAME]
//
// With --shots it starts all ports by the Space key, stops one port by its
// button, saves <prefix>-production.png while the jobs run,
// <prefix>-finished.png when they have ended, <prefix>-badpages.png of the
// settings view with the bad-page tree, <prefix>-settings-<page>.png of
// every settings page (hidden ones included), and quits. Without it the
// window stays for an operator, with real message boxes.
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QPixmap>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "config/language_file.h"
#include "config/settings_form.h"
#include "platform/linux/locale.h"
#include "ui/demo_station.h"
#include "ui/main_window.h"
#include "ui/message_box_operator.h"
#include "ui/settings/settings_view.h"

using namespace kvx;
using namespace std::chrono_literals;

namespace {

void PutText(std::span<std::uint8_t> bytes, std::size_t at, const char* text) {
  std::memcpy(bytes.data() + at, text, std::strlen(text));
}

// Settings a line would carry, so that the status bar has something to say.
void DemoSettings(ConfigImage& image) {
  PutText(image.flashType(0), 0, "K9GAG08U0M");
  image.header()[0] = 0;
  image.header()[3] = 1;  // ECC option
  image.header()[5] = 2;  // chips
  image.header()[7] = 2;  // scan level
  PutText(image.bytes(), 23, "Orvel   ");
  PutText(image.bytes(), 32, "Flash Disk      ");
  image.header()[103] = 177;  // zone-bar widths: three zones
  image.header()[105] = 212;
  image.header()[107] = 161;
  image.header()[115] = 0x80;
  image.header()[399] = 0x00;
  image.header()[683] = 0x00;
  image.bytes()[347606] = 3;     // scan passes
  image.bytes()[347607] = 0x1A;  // ECC limit
  image.bytes()[347424] = 6;     // scan levels
  // A second flash type and two code types for the configuration pages.
  PutText(image.flashType(1), 0, "H27UAG8T2A");
  for (std::size_t k = 0; k < 2; ++k) {
    auto code = image.codeTypeRecord(k);
    code.setCodeName(k == 0 ? "scan_fw" : "product_fw");
    code.setByte(59, 8);  // RealCodeLength
    code.setByte(60, 8);  // CodeLength
    code.setByte(61, 1);  // CodeCount
    for (std::size_t i = 0; i < 512; ++i) code.CodeImage()[i] = std::uint8_t(i * 7 + k);
  }
}

void SendKey(QWidget* w, Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, mods,
                  key == Qt::Key_Space ? QStringLiteral(" ") : QString());
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
      ports = std::clamp(args[i + 1].toInt(), 1, kPortCount);
    else if (args[i] == "--shots")
      shots = args[i + 1];
    else if (args[i] == "--prefix")
      prefix = args[i + 1];
  }
  const bool unattended = !shots.isEmpty();

  // Unattended runs answer every question with OK.
  ui::MessageBoxOperator boxes;
  FixedAnswerOperator yes(true);
  Operator& op = unattended ? static_cast<Operator&>(yes) : boxes;
  test::DemoStation demo(op, LanguageForLocale(LocaleIdFromEnvironment()));
  Station& station = *demo.station;
  DemoSettings(station.config());
  for (int k = 0; k < ports; ++k) {
    // Ports run at different speeds; port 3 fails and port 6 is stopped.
    test::DemoPlan plan;
    plan.steps = 60 + 7 * (k % 5);
    plan.stepDelay = std::chrono::milliseconds(40 + 9 * (k % 4));
    plan.badLines = 1 + k % 3;
    plan.outcome = k == 3   ? test::DemoOutcome::Fail
                   : k == 6 ? test::DemoOutcome::UntilStopped
                            : test::DemoOutcome::Succeed;
    demo.sequence.plans[std::size_t(k)] = plan;
    demo.attach(k);
  }

  ui::MainWindow window(station, op);
  boxes.setParent(&window);
  // The settings pages over the demo image; leaving them applies the form
  // to the image (the demo writes no config.dat).
  const QString home = QDir::temp().filePath(QStringLiteral("kvx-station-demo"));
  SettingsPages pages(station.config(), station.options(), op, station.messages(),
                      home.toStdString());
  std::vector<std::string> eccOptions;
  if (const auto lang = LanguageFile::Load(KVX_SHARE_DIR "/Lang/English.lng"))
    eccOptions = lang->EccOptions();
  {
    std::lock_guard lock(station.controlMutex());
    pages.Start(eccOptions);
  }
  station.hooks().saveSettings = [&] {
    std::lock_guard lock(station.controlMutex());
    pages.ApplyForm();
  };
  std::vector<std::string> portLines;
  for (int k = 0; k < ports; ++k)
    portLines.push_back("Port-1-1." + std::to_string(k + 1) + "=" + std::to_string(k));
  ui::SettingsView* settings =
      ui::InstallSettingsView(window, station,
                              ui::SettingsContext{pages,
                                                  station.controlMutex(),
                                                  op,
                                                  station.messages(),
                                                  [&] { return portLines; },
                                                  [&] { portLines.clear(); },
                                                  {}});
  window.show();
  if (!unattended) {
    const int rc = app.exec();
    for (int k = 0; k < kPortCount; ++k) station.record(k).Running.store(0);
    station.WaitForIdle();
    return rc;
  }

  QDir().mkpath(shots);
  auto save = [&](const char* name) {
    const QString file = shots + "/" + prefix + "-" + name + ".png";
    const bool ok = window.grab().save(file);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(file));
  };
  QTimer::singleShot(300, [&] { SendKey(&window, Qt::Key_Space); });
  QTimer::singleShot(1500, [&] { station.PortButtonClick(6); });
  QTimer::singleShot(2500, [&] { save("production"); });
  QTimer finished;
  QObject::connect(&finished, &QTimer::timeout, [&] {
    if (station.anyBusy()) return;
    finished.stop();
    QTimer::singleShot(200, [&] {
      save("finished");
      SendKey(&window, Qt::Key_S, Qt::ControlModifier);
      window.settingsPages()->setCurrentWidget(
          window.settingsPages()->findChild<QWidget*>(QStringLiteral("BadView")));
      QTimer::singleShot(200, [&] {
        save("badpages");
        // Every settings page in turn, hidden ones shown for the picture.
        QTabWidget* tabs = window.settingsPages();
        for (int i = 0; i < tabs->count(); ++i) {
          tabs->setTabVisible(i, true);
          tabs->setCurrentIndex(i);
          QTest::qWait(100);
          save(("settings-" + tabs->widget(i)->objectName().toStdString()).c_str());
        }
        (void)settings;
        SendKey(&window, Qt::Key_Escape);  // back to production
        SendKey(&window, Qt::Key_Escape);  // and close, answering OK
      });
    });
  });
  QTimer::singleShot(3000, [&] { finished.start(100); });
  QTimer::singleShot(60000, [&] {
    std::puts("the demo production did not end in time");
    QCoreApplication::exit(1);
  });
  return app.exec();
}
