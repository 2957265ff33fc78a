#pragma once
// A window over a station on test doubles, and waiting the way an operator
// does: letting the window's timers run until something shows.

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <memory>

#include "ui/demo_station.h"
#include "ui/main_window.h"
#include "ui/text_progress_bar.h"

namespace kvx::test {

// Runs the event loop until `done` holds or `ms` milliseconds have passed.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QTest::qWait(5);
  }
  return true;
}

class WindowFixture {
 public:
  ScriptedOperator op;
  DemoStation demo{op};
  Station& station = *demo.station;
  std::unique_ptr<ui::MainWindow> window;

  WindowFixture() {
    window = std::make_unique<ui::MainWindow>(station, op);
    window->show();
  }
  ~WindowFixture() {
    // Whatever a test left running ends before the station goes.
    for (int k = 0; k < kPortCount; ++k) station.record(k).Running.store(0);
    station.WaitForIdle();
    window.reset();
  }

  QPushButton* button(int port) const {
    return window->findChild<QPushButton*>(QStringLiteral("Disk%1").arg(port));
  }
  ui::TextProgressBar* bar(int port) const {
    return window->findChild<ui::TextProgressBar*>(QStringLiteral("p%1").arg(port));
  }
  QPushButton* command(const char* name) const {
    return window->findChild<QPushButton*>(QString::fromLatin1(name));
  }
  // Attaches ports and lets the window show their enabled buttons.
  void attach(std::initializer_list<int> ports) {
    for (int k : ports) demo.attach(k);
    window->pollStation();
  }
  void key(Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QTest::keyClick(window.get(), k, mods);
  }
  bool idle() const { return !station.anyBusy(); }
  bool showsResult(int port, BarColour colour) const {
    const ui::TextProgressBar* b = bar(port);
    const Rgb rgb = ColourRgb(colour);
    return b->text().startsWith(QStringLiteral("Finished.")) &&
           b->textColour() == QColor(rgb.r, rgb.g, rgb.b);
  }
};

}  // namespace kvx::test
