#include "ui/debug_page.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>

#include "e2e/e2e_station.h"
#include "sim/sim_unit.h"
#include "ui/window_test_support.h"

namespace kvx::test {
namespace {

using e2e::SimStation;
using sim::Simulator;

// The debug page over a station on one simulated disk, found by a refresh
// and so sitting in port slot 0 with its flash type matched.
class DebugPageOnSim : public ::testing::Test {
 protected:
  SimStation s{Simulator::FromShortForm(1, 5)};
  ui::DebugPage page{s.station};

  void SetUp() override {
    s.sim->setLatency({});
    s.discovery.RefreshPorts();
    ASSERT_EQ(s.station.record(0).Present.load(), 1);
    ASSERT_GE(s.station.record(0).FlashTypeIndex, 0);
    page.show();
  }

  bool erased(std::uint32_t chip, std::uint32_t pageAddress) {
    return s.sim->disk(0).withUnit([&](sim::SimUnit& u) {
      return dynamic_cast<sim::ControllerUnit&>(u).nand().isErased(chip, pageAddress);
    });
  }
  std::vector<std::uint8_t> flashPage(std::uint32_t chip, std::uint32_t pageAddress) {
    return s.sim->disk(0).withUnit([&](sim::SimUnit& u) {
      const sim::SimNand& n = dynamic_cast<sim::ControllerUnit&>(u).nand();
      std::vector<std::uint8_t> raw(n.geometry().rawPageBytes());
      n.readPage(chip, pageAddress, raw);
      return raw;
    });
  }
  sim::Geometry geometry() {
    return s.sim->disk(0).withUnit(
        [](sim::SimUnit& u) { return dynamic_cast<sim::ControllerUnit&>(u).nand().geometry(); });
  }
  std::uint64_t commands() { return s.sim->disk(0).commandCount(); }

  template <class W>
  W* child(const char* name) {
    W* w = page.findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  void address(const QString& chip, const QString& block) {
    child<QLineEdit>("ChipNo")->setText(chip);
    child<QLineEdit>("BlockNo")->setText(block);
  }
  void click(const char* button) { child<QPushButton>(button)->click(); }
  QString status() { return child<QLabel>("DebugStatus")->text(); }
  bool statusOk() { return child<QLabel>("DebugStatus")->property("ok").toBool(); }
  std::string viewText() { return child<QPlainTextEdit>("DataView")->toPlainText().toStdString(); }
  std::vector<std::uint8_t> viewBytes(std::size_t size) {
    std::string error;
    auto bytes = ParseHexDump(viewText(), size, error);
    EXPECT_TRUE(bytes) << error;
    return bytes ? *bytes : std::vector<std::uint8_t>();
  }
};

TEST_F(DebugPageOnSim, FieldsAndButtonsStartAsTheOperatorKnowsThem) {
  struct Field {
    const char* name;
    const char* text;
  } fields[] = {{"ChipNo", "0"}, {"BlockNo", "0"}, {"PageNo", "0"},
                {"SecNo", "0"},  {"SecNum", "1"},  {"Lba", "0"}};
  for (const Field& f : fields) EXPECT_EQ(child<QLineEdit>(f.name)->text(), f.text) << f.name;
  for (const char* name : {"EccRead", "EccWrite", "GetCfg"})
    EXPECT_FALSE(child<QPushButton>(name)->isEnabled()) << name << " has no action";
  EXPECT_EQ(child<QPushButton>("GetCfg")->text(), "ConfigTable");
  EXPECT_EQ(viewBytes(2112), std::vector<std::uint8_t>(2112, 0xFF));
}

TEST_F(DebugPageOnSim, ReadShowsThePageAndItsSpareBytesAsTheFlashHoldsThem) {
  const sim::Geometry geo = geometry();
  const std::uint32_t block = 9, pageAddress = block * geo.pagesPerBlock;
  std::vector<std::uint8_t> written(geo.rawPageBytes());
  for (std::size_t i = 0; i < written.size(); ++i) written[i] = std::uint8_t(i * 13 + 1);
  s.sim->disk(0).withUnit([&](sim::SimUnit& u) {
    dynamic_cast<sim::ControllerUnit&>(u).nand().program(0, pageAddress, 0, written);
    return 0;
  });

  address("0", "9");
  click("PhysicalRead");
  EXPECT_TRUE(statusOk()) << status().toStdString();
  EXPECT_EQ(status().toStdString(), "Read chip 0 block 9 (sector address " +
                                        std::to_string(pageAddress * geo.sectorsPerPage) +
                                        "): 2112 bytes.");
  const auto shown = viewBytes(geo.rawPageBytes());
  EXPECT_EQ(shown, flashPage(0, pageAddress));
  EXPECT_EQ(shown, written);
  // The spare bytes of the first sector follow its 512 data bytes.
  EXPECT_EQ(shown[512], std::uint8_t(512 * 13 + 1));
}

TEST_F(DebugPageOnSim, AnEditedByteIsWrittenBackAndReadAgain) {
  const sim::Geometry geo = geometry();
  address("0", "20");
  click("PhysicalRead");
  ASSERT_TRUE(statusOk()) << status().toStdString();
  std::string text = viewText();
  ASSERT_EQ(text.substr(0, 12), "0000: FF FF ");
  text.replace(9, 2, "3C");  // byte 1
  child<QPlainTextEdit>("DataView")->setPlainText(QString::fromStdString(text));
  click("PhysicalWrite");
  EXPECT_TRUE(statusOk()) << status().toStdString();

  std::vector<std::uint8_t> expected(geo.rawPageBytes(), 0xFF);
  expected[1] = 0x3C;
  EXPECT_EQ(flashPage(0, 20 * geo.pagesPerBlock), expected);
  // What the view shows is what the flash gives back.
  child<QPlainTextEdit>("DataView")->setPlainText(QStringLiteral("stale"));
  click("PhysicalRead");
  EXPECT_EQ(viewBytes(geo.rawPageBytes()), expected);
}

TEST_F(DebugPageOnSim, EraseClearsTheBlock) {
  const sim::Geometry geo = geometry();
  const std::uint32_t block = 33;
  s.sim->disk(0).withUnit([&](sim::SimUnit& u) {
    auto& n = dynamic_cast<sim::ControllerUnit&>(u).nand();
    n.program(0, block * geo.pagesPerBlock + 3, 0,
              std::vector<std::uint8_t>(geo.rawPageBytes(), 0));
    return 0;
  });
  ASSERT_FALSE(erased(0, block * geo.pagesPerBlock + 3));
  const auto erasesBefore = s.sim->eraseCount(0, block);
  address("0", "33");
  click("EraseBlock");
  EXPECT_TRUE(statusOk()) << status().toStdString();
  EXPECT_EQ(status(), "Erased chip 0 block 33.");
  EXPECT_EQ(s.sim->eraseCount(0, block), erasesBefore + 1);
  EXPECT_TRUE(erased(0, block * geo.pagesPerBlock + 3));
  EXPECT_EQ(s.sim->eraseCount(0, block + 1), 0u) << "one block only";
}

TEST_F(DebugPageOnSim, BadInputIsRefusedWithoutACommand) {
  const sim::Geometry geo = geometry();
  struct Case {
    const char* button;
    std::string chip;
    std::string block;
    const char* view;  // nullptr: the view as it is
    std::string error;
  } cases[] = {
      {"PhysicalRead", "1", "0", nullptr, "Chip 1 does not exist: the disk has 1 chip(s), 0 to 0."},
      {"EraseBlock", "0", std::to_string(geo.blocksPerChip), nullptr,
       "Block " + std::to_string(geo.blocksPerChip) + " does not exist: a chip has"},
      {"PhysicalWrite", "0", "-1", nullptr, "Block \"-1\" is not a decimal number."},
      {"PhysicalRead", "one", "0", nullptr, "Chip \"one\" is not a decimal number."},
      {"PhysicalWrite", "0", "4", "0000: FF FF XY",
       "Nothing written. Line 1: \"XY\" is not a hexadecimal byte"},
      {"PhysicalWrite", "0", "4", "0000: FF FF",
       "Nothing written. The view holds 2 bytes; a page takes 2112."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    if (c.view) child<QPlainTextEdit>("DataView")->setPlainText(QString::fromLatin1(c.view));
    const std::string before = viewText();
    const auto sent = commands();
    address(QString::fromStdString(c.chip), QString::fromStdString(c.block));
    click(c.button);
    EXPECT_FALSE(statusOk());
    EXPECT_NE(status().toStdString().find(c.error), std::string::npos) << status().toStdString();
    EXPECT_EQ(commands(), sent);
    EXPECT_EQ(viewText(), before) << "a refusal leaves the view";
  }
}

TEST_F(DebugPageOnSim, NoDiskInSlotZero) {
  s.sim->unplug(0);
  s.discovery.RefreshPorts();
  ASSERT_EQ(s.station.record(0).Present.load(), 0);
  for (const char* button : {"PhysicalRead", "PhysicalWrite", "EraseBlock"}) {
    click(button);
    EXPECT_FALSE(statusOk()) << button;
    EXPECT_EQ(status(), "No disk in Port 1.") << button;
  }
}

TEST_F(DebugPageOnSim, ABusyPortIsLeftToItsJob) {
  // The demo pace keeps the production job going long enough to look.
  s.sim->setLatency(sim::DemoLatency());
  s.station.StartAll();
  ASSERT_TRUE(s.station.busy(0));
  click("PhysicalRead");
  EXPECT_FALSE(statusOk());
  EXPECT_EQ(status(), "Port 1 is busy with a job: stop it or wait until it ends.");
  click("EraseBlock");
  EXPECT_EQ(status(), "Port 1 is busy with a job: stop it or wait until it ends.");
  EXPECT_EQ(viewBytes(2112), std::vector<std::uint8_t>(2112, 0xFF)) << "nothing was read";
  s.station.record(0).Running.store(0);
  s.station.WaitForIdle();
  // Once the job is over the page works again.
  click("PhysicalRead");
  EXPECT_TRUE(statusOk()) << status().toStdString();
}

TEST(DebugPageInWindow, IsAHiddenSettingsPage) {
  WindowFixture f;
  QTabWidget* pages = f.window->settingsPages();
  auto* debug = f.window->findChild<ui::DebugPage*>(QStringLiteral("Debug"));
  ASSERT_NE(debug, nullptr);
  const int index = pages->indexOf(debug);
  ASSERT_GE(index, 0);
  EXPECT_EQ(pages->tabText(index), "数据查看");
  EXPECT_FALSE(pages->isTabVisible(index));
  EXPECT_TRUE(pages->isTabVisible(pages->indexOf(f.window->findChild<QWidget*>("BadView"))));
}

}  // namespace
}  // namespace kvx::test
