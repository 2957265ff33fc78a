#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "ui/message_box_operator.h"
#include "ui/window_test_support.h"

namespace kvx::test {
namespace {

using namespace std::chrono_literals;

// The demo sequence's result line: two bad pages, 503 MB plus the port number.
std::string ResultText(int port) {
  return "Finished. Bad Pages 2  Size: " + std::to_string(503 + port) +
         " (Fixed: 500)MB    0:0:0       BIN-2";
}

TEST(MainWindowLayout, CaptionSizeAndPortGrid) {
  WindowFixture f;
  EXPECT_EQ(f.window->objectName(), "MainForm");
  EXPECT_EQ(f.window->windowTitle(), "KVX7350 DEDuro V1.020080218");
  EXPECT_EQ(f.window->size(), QSize(630, 410));
  EXPECT_EQ(f.window->minimumSize(), f.window->maximumSize()) << "fixed size";
  auto* pages = f.window->findChild<QTabWidget*>("PageControl2");
  ASSERT_NE(pages, nullptr);
  ASSERT_EQ(pages->count(), 4);
  EXPECT_EQ(pages->tabText(0), "量产进度一屏");
  EXPECT_EQ(pages->tabText(3), "量产进度四屏");
  for (int k : {0, 8, 9, 15, 16, 47, 63}) {
    SCOPED_TRACE(k);
    QPushButton* b = f.button(k);
    ui::TextProgressBar* p = f.bar(k);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(b->text().toStdString(), PortButtonCaption(k));
    EXPECT_FALSE(b->isEnabled()) << "no device at start";
    EXPECT_EQ(b->size(), QSize(88, 20));
    EXPECT_EQ(p->height(), 20);
    EXPECT_EQ(p->shownText(), "") << "bars start without text";
    // Button and bar of a port share one row of the port's page.
    EXPECT_EQ(b->parentWidget(), pages->widget(k / 16));
    EXPECT_EQ(p->parentWidget(), pages->widget(k / 16));
    EXPECT_EQ(b->geometry().center().y(), p->geometry().center().y());
  }
  for (const char* name : {"StartAll", "StopAll", "Setup", "RefeshPort", "Exit"}) {
    SCOPED_TRACE(name);
    ASSERT_NE(f.command(name), nullptr);
    EXPECT_EQ(f.command(name)->size(), QSize(80, 30));
  }
  EXPECT_TRUE(f.window->productionViewShown());
}

// Space starts every captioned, enabled, idle port; the others are skipped.
TEST(MainWindowProduction, SpaceStartsEveryReadyPortAndTheBarsReachTheBlueResultLine) {
  WindowFixture f;
  // Port 5 is slow enough for its progress to be seen on the way.
  f.demo.sequence.plans[5] = {20, 15ms, DemoOutcome::Succeed, 2};
  f.demo.sequence.plans[20] = {0, 2ms, DemoOutcome::UntilStopped, 0};
  f.attach({0, 5, 17, 20, 33, 63, 9, 12});
  f.station.display(9).setButtonEnabled(false);  // disabled: skipped
  f.station.display(12).setButtonCaption("");    // no caption: skipped
  f.station.PortButtonClick(20);                 // already running: not started again
  ASSERT_TRUE(WaitUntil([&] { return f.station.busy(20); }));
  f.window->pollStation();

  f.key(Qt::Key_Space);
  QString seenProgress;
  ASSERT_TRUE(WaitUntil([&] {
    const QString shown = f.bar(5)->shownText();
    if (shown.contains("Progress:") && !shown.contains("$p")) seenProgress = shown;
    for (int k : {0, 5, 17, 33, 63})
      if (!f.showsResult(k, BarColour::Blue)) return false;
    return true;
  }));
  for (int k : {0, 5, 17, 33, 63}) EXPECT_EQ(f.bar(k)->text().toStdString(), ResultText(k)) << k;
  EXPECT_EQ(f.demo.sequence.jobs.load(), 6) << "five ports by Space, port 20 once";
  EXPECT_TRUE(f.station.busy(20));
  for (int k : {9, 12}) EXPECT_EQ(f.bar(k)->shownText(), "") << k << " was not started";
  EXPECT_TRUE(QRegularExpression(R"(Progress: \d+%)").match(seenProgress).hasMatch())
      << "the bar showed its percentage on the way: " << seenProgress.toStdString();
  EXPECT_TRUE(f.command("StopAll")->isEnabled());
  EXPECT_TRUE(f.op.asked.empty());
}

struct StopCase {
  const char* name;
  bool portRuns;
  bool answer;
};

// Ctrl+C asks "Stop all?" whether or not a port runs; only OK stops.
TEST(MainWindowProduction, CtrlCAsksStopAll) {
  const StopCase cases[] = {{"nothing runs, OK", false, true},
                            {"nothing runs, Cancel", false, false},
                            {"a port runs, Cancel keeps it", true, false},
                            {"a port runs, OK stops it", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WindowFixture f;
    f.demo.sequence.plans[2] = {0, 2ms, DemoOutcome::UntilStopped, 0};
    f.attach({2});
    if (c.portRuns) f.station.PortButtonClick(2);
    f.op.answer = c.answer;
    f.key(Qt::Key_C, Qt::ControlModifier);
    ASSERT_EQ(f.op.asked, std::vector<MessageId>{msg::kStopAll});
    EXPECT_EQ(f.op.asks.front(), "Stop all?");
    if (!c.portRuns) continue;
    if (!c.answer) {
      QTest::qWait(50);
      EXPECT_TRUE(f.station.busy(2));
      continue;
    }
    // The job notices the stop, then ends with its red result line.
    ASSERT_TRUE(WaitUntil([&] { return f.idle(); }));
    ASSERT_TRUE(WaitUntil([&] { return f.showsResult(2, BarColour::Red); }));
  }
}

// The same question through the real message box, answered by clicking.
TEST(MainWindowProduction, StopAllQuestionIsAMessageBox) {
  ui::MessageBoxOperator op;
  DemoStation demo(op);
  ui::MainWindow window(*demo.station, op);
  op.setParent(&window);
  window.show();
  QString title, text;
  bool hasOkAndCancel = false;
  QTimer::singleShot(0, [&] {
    ASSERT_TRUE(
        WaitUntil([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }));
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    title = box->windowTitle();
    text = box->text();
    hasOkAndCancel = box->button(QMessageBox::Ok) && box->button(QMessageBox::Cancel) &&
                     box->icon() == QMessageBox::Question;
    box->button(QMessageBox::Cancel)->click();
  });
  QTest::keyClick(&window, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(title, "Information");
  EXPECT_EQ(text, "Stop all?");
  EXPECT_TRUE(hasOkAndCancel);
}

// A port button: an idle port starts without a question, a running one asks
// "Stop it?", and only OK stops it.
TEST(MainWindowProduction, PortButtonStartsOrAsksStopIt) {
  for (bool answer : {false, true}) {
    SCOPED_TRACE(answer ? "OK" : "Cancel");
    WindowFixture f;
    f.demo.sequence.plans[1] = {0, 2ms, DemoOutcome::UntilStopped, 0};
    f.attach({1});
    QTest::mouseClick(f.button(1), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return f.station.busy(1); }));
    EXPECT_TRUE(f.op.asked.empty());
    f.op.answer = answer;
    QTest::mouseClick(f.button(1), Qt::LeftButton);
    ASSERT_EQ(f.op.asked, std::vector<MessageId>{msg::kStopIt});
    EXPECT_EQ(f.op.asks.front(), "Stop it?");
    if (answer) {
      ASSERT_TRUE(WaitUntil([&] { return f.showsResult(1, BarColour::Red); }));
    } else {
      QTest::qWait(50);
      EXPECT_TRUE(f.station.busy(1));
    }
    EXPECT_EQ(f.demo.sequence.jobs.load(), 1);
  }
}

// The window's one-second timer advances the elapsed time of running jobs,
// which the result line then shows.
TEST(MainWindowProduction, TheSecondTimerCountsTheJobsTime) {
  WindowFixture f;
  f.demo.sequence.plans[0] = {0, 2ms, DemoOutcome::UntilStopped, 0};
  f.attach({0, 1});
  QTest::mouseClick(f.button(0), Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return f.station.record(0).ElapsedSeconds.load() >= 1; }, 3000));
  EXPECT_EQ(f.station.record(1).ElapsedSeconds.load(), 0u) << "an idle port's time stands";
  QTest::mouseClick(f.button(0), Qt::LeftButton);  // "Stop it?" OK
  ASSERT_TRUE(WaitUntil([&] { return f.showsResult(0, BarColour::Red); }));
  EXPECT_TRUE(f.bar(0)->text().contains(QRegularExpression(R"(MB    0:0:[1-9]\d*       BIN-)")))
      << f.bar(0)->text().toStdString();
}

TEST(MainWindowViews, SettingsViewTakesOnlyEscape) {
  WindowFixture f;
  int saves = 0;
  f.station.hooks().saveSettings = [&] { ++saves; };
  f.attach({0});
  auto* top = f.window->findChild<QWidget*>("TopPanel");
  auto* bottom = f.window->findChild<QWidget*>("BottomPanel");
  ASSERT_TRUE(top && bottom);

  f.key(Qt::Key_S, Qt::ControlModifier);
  EXPECT_FALSE(f.window->productionViewShown());
  EXPECT_TRUE(bottom->isVisible());
  EXPECT_FALSE(top->isVisible());
  ASSERT_NE(f.window->findChild<QPushButton*>("ReturnBtn"), nullptr);
  EXPECT_EQ(f.window->findChild<QPushButton*>("ReturnBtn")->text(), "<<");

  // Space, Ctrl+C and Ctrl+S do nothing here.
  f.key(Qt::Key_Space);
  f.key(Qt::Key_C, Qt::ControlModifier);
  f.key(Qt::Key_S, Qt::ControlModifier);
  QTest::qWait(50);
  EXPECT_EQ(f.demo.sequence.jobs.load(), 0);
  EXPECT_TRUE(f.op.asked.empty());
  EXPECT_FALSE(f.window->productionViewShown());

  // Esc saves and returns; the status bar follows the saved settings.
  f.station.config().bytes()[347607] = 0x1A;  // EccOpenBytes
  f.key(Qt::Key_Escape);
  EXPECT_TRUE(f.window->productionViewShown());
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(f.window->findChild<QLabel*>("sbarPanel6")->text(), "26");
  EXPECT_TRUE(f.window->isVisible()) << "Esc in the settings view does not close";
  EXPECT_TRUE(f.op.asked.empty());

  // The buttons do the same as the keys.
  f.command("Setup")->click();
  EXPECT_FALSE(f.window->productionViewShown());
  f.window->findChild<QPushButton*>("ReturnBtn")->click();
  EXPECT_TRUE(f.window->productionViewShown());
  EXPECT_EQ(saves, 2);
}

TEST(MainWindowClose, ClosingWhileJobsRunAsksThenStopsEverythingAndClosesHandles) {
  WindowFixture f;
  int auxiliaryStops = 0, saves = 0;
  f.station.hooks().stopAuxiliaryThreads = [&] { ++auxiliaryStops; };
  f.station.hooks().saveSettings = [&] { ++saves; };
  for (int k : {0, 7, 40})
    f.demo.sequence.plans[std::size_t(k)] = {0, 2ms, DemoOutcome::UntilStopped, 0};
  f.attach({0, 7, 40});
  f.key(Qt::Key_Space);
  ASSERT_TRUE(
      WaitUntil([&] { return f.station.busy(0) && f.station.busy(7) && f.station.busy(40); }));

  // Cancel: everything stays as it was.
  f.op.answer = false;
  f.key(Qt::Key_Escape);
  EXPECT_EQ(f.op.asked, std::vector<MessageId>{msg::kExitQuestion});
  EXPECT_EQ(f.op.asks.front(), "Exit DEDuro?");
  EXPECT_TRUE(f.window->isVisible());
  EXPECT_TRUE(f.station.busy(0) && f.station.busy(7) && f.station.busy(40));
  EXPECT_EQ(auxiliaryStops + saves, 0);

  // OK: the watcher stops, the settings are saved, every job ends and every
  // handle the jobs opened is closed.
  f.op.answer = true;
  f.command("Exit")->click();
  EXPECT_EQ(f.op.asked.size(), 2u);
  // The window closes itself once the jobs have noticed the stop.
  ASSERT_TRUE(WaitUntil([&] { return !f.window->isVisible(); }));
  EXPECT_FALSE(f.station.anyBusy());
  EXPECT_EQ(auxiliaryStops, 1);
  EXPECT_EQ(saves, 1);
  ASSERT_EQ(f.demo.devices.opened.size(), 3u);
  EXPECT_EQ(f.demo.devices.closed.size(), 3u);
  for (int k : {0, 7, 40}) {
    EXPECT_FALSE(IsOpen(f.station.record(k).hDevice)) << k;
    EXPECT_TRUE(f.showsResult(k, BarColour::Red)) << "the last state is shown: " << k;
  }
}

// The close does not wait on the window's thread for a worker that is stuck
// in a device command: the window goes on polling and refuses new work, and
// closes itself once the last job is out.
TEST(MainWindowClose, ClosingWhileAJobIsInASlowCommandKeepsTheWindowResponsive) {
  WindowFixture f;
  int saves = 0;
  f.station.hooks().saveSettings = [&] { ++saves; };
  f.demo.sequence.plans[2] = {0, 2ms, DemoOutcome::UntilStopped, 0};
  f.demo.sequence.plans[5] = {0, 2ms, DemoOutcome::UntilStopped, 0};
  f.attach({2, 5, 9});
  f.command("StartAll")->click();
  ASSERT_TRUE(WaitUntil([&] { return f.station.busy(2) && f.station.busy(5); }));
  // Port 9's job has ended already; it starts again only if a start slips in.
  ASSERT_TRUE(WaitUntil([&] { return !f.station.busy(9); }));
  f.demo.sequence.slowCommand.hold();
  ASSERT_TRUE(WaitUntil([&] { return f.demo.sequence.slowCommand.inside() == 2; }));

  // A window that waited for the job would wait forever: after two seconds
  // the command comes back by itself and the test fails instead of hanging.
  std::atomic<bool> returned{false};
  std::jthread safety([&] {
    for (int i = 0; i < 200 && !returned.load(); ++i) std::this_thread::sleep_for(10ms);
    if (!returned.load()) f.demo.sequence.slowCommand.release();
  });
  QElapsedTimer clock;
  clock.start();
  f.key(Qt::Key_Escape);
  returned.store(true);
  safety.join();
  ASSERT_LT(clock.elapsed(), 1000) << "the request returns at once";
  EXPECT_EQ(f.op.asked, std::vector<MessageId>{msg::kExitQuestion});
  EXPECT_TRUE(f.window->closing());
  EXPECT_TRUE(f.window->isVisible());
  EXPECT_EQ(saves, 0);
  EXPECT_TRUE(f.demo.devices.closed.empty());
  EXPECT_FALSE(f.command("StartAll")->isEnabled());
  EXPECT_FALSE(f.command("StopAll")->isEnabled());

  // The window's timers keep running and it shows the ports stopping.
  const auto polls = f.window->pollStats().polls;
  QTest::qWait(200);
  EXPECT_GT(f.window->pollStats().polls, polls + 2);
  EXPECT_TRUE(f.window->windowTitle().contains(QStringLiteral("2 port(s) stopping")))
      << f.window->windowTitle().toStdString();
  // Nothing new starts, neither by key nor by button, and nothing is asked.
  const int jobs = f.demo.sequence.jobs.load();
  f.key(Qt::Key_Space);
  f.button(9)->click();
  f.key(Qt::Key_Escape);
  f.window->close();
  QTest::qWait(50);
  EXPECT_EQ(f.demo.sequence.jobs.load(), jobs);
  EXPECT_FALSE(f.station.busy(9));
  EXPECT_EQ(f.op.asked.size(), 1u);
  EXPECT_TRUE(f.window->isVisible());

  f.demo.sequence.slowCommand.release();
  ASSERT_TRUE(WaitUntil([&] { return !f.window->isVisible(); }));
  EXPECT_FALSE(f.station.anyBusy());
  EXPECT_EQ(saves, 1);
  EXPECT_EQ(f.demo.devices.opened.size(), 3u);
  EXPECT_EQ(f.demo.devices.closed.size(), 3u) << "every handle, also the one of the ended job";
  for (int k : {2, 5}) EXPECT_TRUE(f.showsResult(k, BarColour::Red)) << k;
}

TEST(MainWindowClose, ClosingWithoutJobsStillAsksFirst) {
  WindowFixture f;
  int saves = 0;
  f.station.hooks().saveSettings = [&] { ++saves; };
  f.op.answer = false;
  f.window->close();
  EXPECT_TRUE(f.window->isVisible());
  EXPECT_FALSE(f.window->closing());
  f.op.answer = true;
  f.window->close();
  EXPECT_FALSE(f.window->isVisible()) << "nothing to wait for: closed at once";
  EXPECT_EQ(f.op.asked, (std::vector<MessageId>{msg::kExitQuestion, msg::kExitQuestion}));
  EXPECT_EQ(saves, 1);
}

// A poll may hold the window's thread for at most 50 ms. Sanitizer builds run
// the same code several times slower and check for races, not for speed.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::int64_t kLongestPollUs = 250000;
#else
constexpr std::int64_t kLongestPollUs = 50000;
#endif

// Workers write their displays as fast as they like; the window's thread
// only copies what changed, so no poll holds a frame for long.
TEST(MainWindowPolling, SixtyFourBusyPortsKeepTheWindowResponsive) {
  WindowFixture f;
  for (int k = 0; k < kPortCount; ++k) {
    f.demo.sequence.plans[std::size_t(k)] = {300, 1ms, DemoOutcome::Succeed, 3};
    f.demo.attach(k);
  }
  f.window->resetPollStats();
  f.key(Qt::Key_Space);
  ASSERT_TRUE(WaitUntil([&] { return f.idle(); }, 60000));
  f.window->pollStation();
  const auto stats = f.window->pollStats();
  std::printf("[   info   ] %llu polls, %llu port repaints, longest poll %lld us\n",
              (unsigned long long)stats.polls, (unsigned long long)stats.portsRepainted,
              (long long)stats.longestPollUs);
  EXPECT_GT(stats.polls, 10u);
  EXPECT_GT(stats.portsRepainted, std::uint64_t(kPortCount));
  EXPECT_LT(stats.longestPollUs, kLongestPollUs) << "a poll held the window for too long";
  for (int k = 0; k < kPortCount; ++k)
    EXPECT_TRUE(f.showsResult(k, BarColour::Blue)) << k << ": " << f.bar(k)->text().toStdString();
}

TEST(MainWindowPolling, OnlyThePortsThatChangedAreRepainted) {
  WindowFixture f;
  f.attach({3, 4});
  ASSERT_TRUE(WaitUntil([&] { return f.bar(3)->paintCount() > 0 && f.bar(4)->paintCount() > 0; }));
  QTest::qWait(100);
  const int before3 = f.bar(3)->paintCount(), before4 = f.bar(4)->paintCount();
  const auto repaintedBefore = f.window->pollStats().portsRepainted;

  f.station.display(3).setBar("Port 3 at $p%", BarColour::Magenta, 40);
  ASSERT_TRUE(WaitUntil([&] { return f.bar(3)->paintCount() > before3; }));
  QTest::qWait(100);
  EXPECT_EQ(f.bar(3)->shownText(), "Port 3 at 40%");
  EXPECT_EQ(f.bar(3)->textColour(), QColor(255, 0, 255));
  EXPECT_EQ(f.bar(4)->paintCount(), before4);
  EXPECT_EQ(f.window->pollStats().portsRepainted - repaintedBefore, 1u);

  // A disk that leaves disables its button on the next poll.
  f.station.display(4).setButtonEnabled(false);
  ASSERT_TRUE(WaitUntil([&] { return !f.button(4)->isEnabled(); }));
}

}  // namespace
}  // namespace kvx::test
