#include "ui/station_app.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QTimer>

#include "ui/window_test_support.h"

namespace kvx::test {
namespace {

// A runtime that cannot be built (simulation is not wired in yet) is shown
// to the operator and ends the program with 2.
TEST(StationApp, RuntimeThatCannotBeBuiltIsShownAndExitsWithTwo) {
  QString title, text;
  QTimer::singleShot(0, [&] {
    WaitUntil(
        [] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr; },
        5000);
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    title = box->windowTitle();
    text = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  RuntimeOptions seen;
  const int rc = ui::RunStationApp({"--sim", "4", "--home", "/srv/station"}, "/opt/kvx",
                                   [&](const RuntimeOptions& o, Operator&, std::string& error) {
                                     seen = o;
                                     error = "simulated disks are not available in this build";
                                     return std::unique_ptr<StationRuntime>();
                                   });
  EXPECT_EQ(rc, 2);
  EXPECT_EQ(title, "Error");
  EXPECT_EQ(text, "simulated disks are not available in this build");
  EXPECT_EQ(seen.simDisks.value_or(0), 4);
  EXPECT_EQ(seen.home, "/srv/station");
}

TEST(StationApp, BadArgumentsEndWithTwoBeforeAnythingIsBuilt) {
  bool built = false;
  const int rc = ui::RunStationApp({"--sim", "4", "--sim-profile", "p.json"}, "/opt/kvx",
                                   [&](const RuntimeOptions&, Operator&, std::string&) {
                                     built = true;
                                     return std::unique_ptr<StationRuntime>();
                                   });
  EXPECT_EQ(rc, 2);
  EXPECT_FALSE(built);
}

}  // namespace
}  // namespace kvx::test
