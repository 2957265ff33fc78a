// The window's smaller parts: the text progress bar, the status bar texts,
// captions by object name and the command line.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTabWidget>
#include <atomic>
#include <span>
#include <thread>

#include "ui/language_texts.h"
#include "ui/station_options.h"
#include "ui/status_bar_texts.h"
#include "ui/window_test_support.h"

namespace kvx::test {
namespace {

TEST(TextProgressBar, EveryDollarPIsThePercentageOfTheRange) {
  struct {
    int min, max, value;
    const char* text;
    const char* shown;
  } cases[] = {
      {0, 100, 42, "$p%", "42%"},
      {0, 200, 50, "$p% done, $p of 100", "25% done, 25 of 100"},
      {100, 300, 250, "[$p]", "[75]"},
      {0, 100, 150, "$p", "100"},  // clamped to the range
      {0, 100, -5, "$p", "0"},
      {5, 5, 5, "$p%", "0%"},  // an empty range has no percentage
      {0, 100, 30, "$P $ p $$pp", "$P $ p $30p"},
      {0, 100, 10, "", ""},
  };
  for (const auto& c : cases) {
    ui::TextProgressBar bar;
    bar.setRange(c.min, c.max);
    bar.setValue(c.value);
    bar.setText(QString::fromUtf8(c.text));
    EXPECT_EQ(bar.shownText().toStdString(), c.shown) << c.text << " " << c.value;
  }
  ui::TextProgressBar bar;
  bar.setTextColour(QColor(255, 0, 0));
  bar.setBarColour(QColor(1, 2, 3));
  EXPECT_EQ(bar.textColour(), QColor(255, 0, 0));
  EXPECT_EQ(bar.barColour(), QColor(1, 2, 3));
}

void PutText(std::span<std::uint8_t> bytes, std::size_t at, const std::string& text) {
  std::copy(text.begin(), text.end(), bytes.begin() + std::ptrdiff_t(at));
}
void PutWidths(ConfigImage& image, int w0, int w1, int w2) {
  for (auto [at, w] : {std::pair{103, w0}, {105, w1}, {107, w2}}) {
    image.bytes()[std::size_t(at)] = std::uint8_t(w & 0xFF);
    image.bytes()[std::size_t(at) + 1] = std::uint8_t(w >> 8);
  }
}

TEST(StatusBarTexts, ZoneCountFromTheStoredWidths) {
  struct {
    int w0, w1, w2, zones;
  } cases[] = {{0, 0, 0, 1},     {0, 549, 0, 1},     {0, 1, 300, 1},
               {300, 1, 0, 1},   {200, 2, 0, 2},     {200, 1, 100, 2},
               {0, 300, 200, 2}, {177, 212, 161, 3}, {1, 2, 1, 3}};
  for (const auto& c : cases) {
    ConfigImage image;
    PutWidths(image, c.w0, c.w1, c.w2);
    EXPECT_EQ(ui::StoredZoneCount(image), c.zones) << c.w0 << " " << c.w1 << " " << c.w2;
  }
}

TEST(StatusBarTexts, PanelsFromTheSettingsImage) {
  EXPECT_EQ(ui::InitialStatusBarTexts(),
            (ui::StatusBarTexts{"", "Orvel", "Flash Disk", "1", "", "移动盘", "0"}));

  // A new image: no flash types, empty texts, one "Local" zone.
  ConfigImage fresh;
  EXPECT_EQ(ui::ComputeStatusBarTexts(fresh, 1),
            (ui::StatusBarTexts{"", "", "", "0", "0+0+0", "Local", "0"}));

  ConfigImage image;
  PutText(image.flashType(0), 0, "K9G8G08");
  PutText(image.flashType(1), 0, "  HY27UF  ");
  image.header()[0] = 1;
  PutText(image.bytes(), 23, "Orvel   ");
  PutText(image.bytes(), 32, " USB Disk       ");
  image.header()[5] = 2;
  image.header()[7] = 2;  // scan level index
  image.header()[3] = 1;  // ECC option
  image.bytes()[347606] = 3;
  image.bytes()[347607] = 0x1A;
  image.header()[115] = 0x80;
  image.header()[399] = 0x85;
  image.header()[683] = 0x00;
  const ui::StatusBarTexts three = ui::ComputeStatusBarTexts(image, 3);
  EXPECT_EQ(three, (ui::StatusBarTexts{"HY27UF", "Orvel", "USB Disk", "2", "2+1+3",
                                       "Removable+CDROM+Local", "26"}));
  EXPECT_EQ(ui::ComputeStatusBarTexts(image, 1)[5], "Removable");
  EXPECT_EQ(ui::ComputeStatusBarTexts(image, 2)[5], "Removable+CDROM");
  // A selection beyond the list (records end at the first unnamed one).
  image.header()[0] = 5;
  EXPECT_EQ(ui::ComputeStatusBarTexts(image, 1)[0], "");
  // A disk-type code the list does not know shows no text.
  image.header()[115] = 0x42;
  EXPECT_EQ(ui::ComputeStatusBarTexts(image, 1)[5], "");
}

TEST(StatusBarTexts, TheWindowShowsThemFromItsStation) {
  WindowFixture f;
  ConfigImage& image = f.station.config();
  PutText(image.bytes(), 23, "ACME    ");
  image.header()[7] = 2;
  image.header()[3] = 1;
  image.bytes()[347606] = 3;
  PutWidths(image, 177, 212, 161);
  image.header()[115] = 0x00;
  image.header()[399] = 0x80;
  image.header()[683] = 0x80;
  f.window->UpdateStatusBar();
  auto panel = [&](int i) {
    return f.window->findChild<QLabel*>(QStringLiteral("sbarPanel%1").arg(i))->text().toStdString();
  };
  EXPECT_EQ(panel(1), "ACME");
  EXPECT_EQ(panel(4), "2+1+3");
  EXPECT_EQ(panel(5), "Local+Removable+Removable");
  f.window->setActiveZoneCount(1);
  f.window->UpdateStatusBar();
  EXPECT_EQ(panel(5), "Local");

  // While a refresh holds the control lock the window does not wait; the
  // panels follow once it is free.
  std::atomic<bool> held{false}, release{false};
  std::thread refresh([&] {
    std::lock_guard hold(f.station.controlMutex());
    image.header()[5] = 4;
    held = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!held) std::this_thread::yield();
  QElapsedTimer clock;
  clock.start();
  f.window->UpdateStatusBar();
  EXPECT_LT(clock.elapsed(), 20);
  QTest::qWait(100);
  EXPECT_EQ(panel(3), "0");
  release = true;
  refresh.join();
  ASSERT_TRUE(WaitUntil([&] { return panel(3) == "4"; }, 2000));
}

TEST(LanguageTexts, AppliedByObjectNameAndCollectedBack) {
  WindowFixture f;
  const std::vector<ui::LanguageText> texts = {
      {"MainForm.Caption", "Mass production"},
      {"MainForm.StartAll.Caption", "Start all~~  Space "},
      {"MainForm.ProgressSheet2.Caption", "Screen 2"},
      {"MainForm.Disk3.Hint", "Socket 4"},
      {"MainForm.NoSuchControl.Caption", "x"},
      {"OtherForm.StopAll.Caption", "x"},
      {"MainForm.StopAll.Colour", "x"},
  };
  EXPECT_EQ(ui::ApplyLanguageTexts(*f.window, texts), 4);
  EXPECT_EQ(f.window->windowTitle(), "Mass production");
  EXPECT_EQ(f.command("StartAll")->text(), "Start all\n  Space ");
  EXPECT_EQ(f.window->findChild<QTabWidget*>("PageControl2")->tabText(1), "Screen 2");
  EXPECT_EQ(f.button(3)->toolTip(), "Socket 4");
  EXPECT_EQ(f.command("StopAll")->text(), " 全部停止\n  Ctrl+C ");

  const auto collected = ui::CollectLanguageTexts(*f.window);
  auto has = [&](const std::string& key, const std::string& value) {
    return std::find(collected.begin(), collected.end(), ui::LanguageText{key, value}) !=
           collected.end();
  };
  EXPECT_TRUE(has("MainForm.Caption", "Mass production"));
  EXPECT_TRUE(has("MainForm.StartAll.Caption", "Start all~~  Space "));
  EXPECT_TRUE(has("MainForm.Disk0.Caption", "Port-1 "));
  EXPECT_TRUE(has("MainForm.ProgressSheet1.Caption", "量产进度一屏"));
  EXPECT_TRUE(has("MainForm.Disk3.Hint", "Socket 4"));
  EXPECT_TRUE(has("MainForm.ReturnBtn.Caption", "<<"));

  // What was collected, applied to a second window, gives the same texts.
  WindowFixture g;
  ui::ApplyLanguageTexts(*g.window, collected);
  EXPECT_EQ(ui::CollectLanguageTexts(*g.window), collected);
}

TEST(StationOptions, CommandLine) {
  struct {
    std::vector<std::string> args;
    int exitCode;  // -1: parsed
    std::string home;
    int sim;
    std::string profile;
  } cases[] = {
      {{}, -1, "", 0, ""},
      {{"--home", "/srv/st", "--sim", "16"}, -1, "/srv/st", 16, ""},
      {{"--sim=64", "--home=/h"}, -1, "/h", 64, ""},
      {{"--sim-profile", "p.json"}, -1, "", 0, "p.json"},
      {{"--help"}, 0, "", 0, ""},
      {{"--sim", "0"}, 2, "", 0, ""},
      {{"--sim", "65"}, 2, "", 0, ""},
      {{"--sim", "4x"}, 2, "", 0, ""},
      {{"--sim", "4", "--sim-profile", "p.json"}, 2, "", 0, ""},
      {{"--home"}, 2, "", 0, ""},
      {{"--home", "a", "--home", "b"}, 2, "", 0, ""},
      {{"produce"}, 2, "", 0, ""},
  };
  for (const auto& c : cases) {
    const auto r = ui::ParseStationOptions(c.args);
    SCOPED_TRACE(r.message);
    if (c.exitCode >= 0) {
      EXPECT_FALSE(r.options);
      EXPECT_EQ(r.exitCode, c.exitCode);
      EXPECT_NE(r.message.find("usage: kvx-station"), std::string::npos);
      continue;
    }
    ASSERT_TRUE(r.options);
    EXPECT_EQ(r.options->home, c.home);
    EXPECT_EQ(r.options->simDisks.value_or(0), c.sim);
    EXPECT_EQ(r.options->simProfile, c.profile);
  }
}

}  // namespace
}  // namespace kvx::test
