// The settings pages of the station's window over a real runtime in a
// temporary station folder (simulated disks, no hot-plug threads): what the
// operator does with the controls reaches the settings image, config.dat,
// the live options and the port map.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTabWidget>

#include "config/config_image.h"
#include "config/config_test_support.h"
#include "ui/settings/code_config_page.h"
#include "ui/settings/flash_config_page.h"
#include "ui/settings/page_widgets.h"
#include "ui/settings/zone_page.h"
#include "ui/station_window.h"
#include "ui/window_test_support.h"

namespace kvx::test {
namespace {

using I = ConfigImage;

// A station folder whose config.dat is a fresh (all-zero) image with what
// `prepare` puts into it, and the window built as kvx-station builds it.
class SettingsWindow {
 public:
  TempDir home;
  ScriptedOperator op;
  std::unique_ptr<StationRuntime> runtime;
  ui::StationWindow built;

  explicit SettingsWindow(const std::function<void(ConfigImage&)>& prepare = {},
                          const std::function<void(const TempDir&)>& prepareHome = {},
                          int simDisks = 1) {
    ConfigImage img;
    if (prepare) prepare(img);
    WriteBytes(home / "config.dat",
               std::string(reinterpret_cast<const char*>(img.bytes().data()), I::kSize));
    if (prepareHome) prepareHome(home);
    RuntimeOptions o;
    o.home = home.path();
    o.simDisks = simDisks;
    o.localeId = kLocaleEnglishUs;
    std::string error;
    runtime = StationRuntime::Create(o, op, error);
    if (!runtime) throw std::runtime_error(error);
    built = ui::BuildStationWindow(*runtime, op);
    built.window->show();
  }
  ~SettingsWindow() {
    built.window.reset();
    runtime->shutdown();
  }

  ui::MainWindow& window() { return *built.window; }
  template <class T>
  T* find(const char* name) {
    T* w = built.window->findChild<T*>(QString::fromLatin1(name));
    if (!w) throw std::runtime_error(std::string("no control ") + name);
    return w;
  }
  QTabWidget* tabs() { return window().settingsPages(); }
  int tab(const char* name) { return tabs()->indexOf(find<QWidget>(name)); }
  void openSettings() {
    QTest::keyClick(&window(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_FALSE(window().productionViewShown());
  }
  void showPage(const char* name) { tabs()->setCurrentIndex(tab(name)); }
  void type(const char* edit, const QString& text) {
    auto* e = find<QLineEdit>(edit);
    e->selectAll();
    if (text.isEmpty())
      QTest::keyClick(e, Qt::Key_Delete);
    else
      QTest::keyClicks(e, text);
  }
  ConfigImage image() { return runtime->imageSnapshot(); }
  std::string configFile() { return ReadBytes(home / "config.dat"); }
  QString barText(int bar) {
    return find<ui::TextProgressBar>(("Zone" + std::to_string(bar) + "Bar").c_str())->text();
  }
};

// Drags a splitter handle with the mouse until its left edge is at `x` in
// the splitter.
void DragHandleTo(QSplitter* splitter, int handle, int x) {
  QSplitterHandle* h = splitter->handle(handle);
  const QPoint grip(h->width() / 2, h->height() / 2);
  QTest::mousePress(h, Qt::LeftButton, {}, grip);
  QTest::mouseMove(h, grip + QPoint(x - h->x(), 0));
  QTest::mouseRelease(h, Qt::LeftButton, {}, grip);
}

TEST(SettingsPages, PagesInTabOrderWithTheirCaptionsAndTheFirstShown) {
  SettingsWindow s;
  QTabWidget* tabs = s.tabs();
  struct Page {
    const char* name;
    const char* caption;
    bool visible;
  };
  // The debug page is the one hidden at start.
  const std::vector<Page> expected = {
      {"TabSheet1", "闪存格式化设置", true}, {"TabSheet2", "分区信息设置", true},
      {"CodeConfig", "代码配置", true},      {"FlashConfig", "Flash 配置", true},
      {"Debug", "数据查看", false},          {"BadView", "坏页查看", true},
      {"TabSheet3", "端口记录", true},       {"TabSheet5", "二次开发设置", true}};
  ASSERT_EQ(tabs->count(), int(expected.size()));
  for (int i = 0; i < tabs->count(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tabs->widget(i)->objectName(), expected[std::size_t(i)].name);
    EXPECT_EQ(tabs->tabText(i), QString::fromUtf8(expected[std::size_t(i)].caption));
    EXPECT_EQ(tabs->isTabVisible(i), expected[std::size_t(i)].visible);
  }
  EXPECT_EQ(tabs->currentIndex(), 0);
}

// The shares of the examples: a fresh image is one zone on the middle bar;
// bars of 177, 212 and 161 pixels are three zones of 32.2, 38.4 and 29.3 %.
TEST(SettingsPages, DraggingTheZoneBarsSplitsTheDiskAndTheWidthsAreSaved) {
  SettingsWindow s;
  s.openSettings();
  s.showPage("TabSheet2");
  auto* splitter = s.find<QSplitter>("ZoneSplitter");
  auto* zone1 = s.find<QGroupBox>("Zone1");
  auto* zone2 = s.find<QGroupBox>("Zone2");
  EXPECT_EQ(splitter->sizes(), (QList<int>{0, ui::kZoneSplitWidth, 0}));
  EXPECT_EQ(s.barText(1), "100%");
  EXPECT_FALSE(zone1->isEnabled());
  EXPECT_FALSE(zone2->isEnabled());

  const int handleWidth = splitter->handleWidth();
  DragHandleTo(splitter, 1, 177);  // the left bar comes out: two zones
  EXPECT_EQ(splitter->sizes(), (QList<int>{177, 373, 0}));
  EXPECT_EQ(s.barText(0), "32.2%");
  EXPECT_EQ(s.barText(1), "67.8%");
  EXPECT_TRUE(zone1->isEnabled());
  EXPECT_FALSE(zone2->isEnabled());

  // The right bar comes out: three zones.
  DragHandleTo(splitter, 2, 177 + handleWidth + 212);
  EXPECT_EQ(splitter->sizes(), (QList<int>{177, 212, 161}));
  EXPECT_EQ(s.barText(0), "32.2%");
  EXPECT_EQ(s.barText(1), "38.4%");
  EXPECT_EQ(s.barText(2), "29.3%");
  EXPECT_TRUE(zone1->isEnabled());
  EXPECT_TRUE(zone2->isEnabled());

  QTest::keyClick(&s.window(), Qt::Key_Escape);
  const std::string file = s.configFile();
  ASSERT_EQ(file.size(), I::kSize);
  EXPECT_EQ(std::uint8_t(file[I::kActiveZoneCount]), 3);
  const auto width = [&](std::size_t off) {
    return std::uint8_t(file[off]) | std::uint8_t(file[off + 1]) << 8;
  };
  EXPECT_EQ(width(I::kZone0BarWidth), 177);
  EXPECT_EQ(width(I::kZone1BarWidth), 212);
  EXPECT_EQ(width(I::kZone2BarWidth), 161);
  // The status bar names the disk types of the three zones in use.
  EXPECT_EQ(s.find<QLabel>("sbarPanel5")->text(), "Local+Local+Local");

  // The left bar dragged back below its pixel collapses and removes its zone.
  s.openSettings();
  DragHandleTo(splitter, 1, -50);
  EXPECT_EQ(splitter->sizes(), (QList<int>{0, 389, 161}));
  EXPECT_EQ(s.barText(1), "70.7%");
  EXPECT_EQ(s.barText(2), "29.3%");
  EXPECT_TRUE(zone1->isEnabled());
  EXPECT_FALSE(zone2->isEnabled());
}

TEST(SettingsPages, StoredWidthsAreRestoredWithTheirSplit) {
  SettingsWindow s([](ConfigImage& img) {
    img.setU16(I::kZone0BarWidth, 177);
    img.setU16(I::kZone1BarWidth, 212);
    img.setU16(I::kZone2BarWidth, 161);
  });
  EXPECT_EQ(s.find<QSplitter>("ZoneSplitter")->sizes(), (QList<int>{177, 212, 161}));
  EXPECT_EQ(s.barText(0), "32.2%");
  EXPECT_EQ(s.barText(1), "38.4%");
  EXPECT_EQ(s.barText(2), "29.3%");
  EXPECT_TRUE(s.find<QGroupBox>("Zone2")->isEnabled());
}

// The controls whose change writes the image (or a live option) at once: the
// image holds the value before the pages are left, config.dat does not.
TEST(SettingsPages, EditsThatWriteAtOnceReachTheImageBeforeAnySave) {
  SettingsWindow s;
  s.openSettings();
  const std::string fileBefore = s.configFile();

  s.type("ScanCount", "25");
  EXPECT_EQ(s.find<QLineEdit>("ScanCount")->text(), "20");
  s.type("EccOpenBytes", "1A");
  s.find<QCheckBox>("BlockMode")->click();
  s.type("MBin3", "12.5");
  s.find<QComboBox>("DiskType_0")->setCurrentIndex(2);  // CDROM: a working value until the save

  const ConfigImage img = s.image();
  EXPECT_EQ(img.ScanCount(), 20);
  EXPECT_EQ(img.EccOpenBytes(), 0x1A);
  EXPECT_TRUE(img.BlockMode());
  EXPECT_FLOAT_EQ(img.MBin(2), 12.5f);
  EXPECT_EQ(img.u8(I::kZone0DiskType), 0x00);
  LiveOptions& live = s.runtime->station().options();
  EXPECT_EQ(live.scanCount.load(), 20);
  EXPECT_EQ(live.eccOpenBytes.load(), 0x1A);
  EXPECT_TRUE(live.blockMode.load());
  EXPECT_FLOAT_EQ(live.mBin[2].load(), 12.5f);
  EXPECT_EQ(s.configFile(), fileBefore) << "nothing is written to the file before the save";

  // Read live by running jobs, stored only at the save.
  s.find<QCheckBox>("OnlyScan")->click();
  s.find<QCheckBox>("PreTest")->click();
  s.type("FromBlock", "12");
  EXPECT_TRUE(live.onlyScan.load());
  EXPECT_TRUE(live.preTest.load());
  EXPECT_EQ(live.fromBlock.load(), 12);
  EXPECT_FALSE(s.image().OnlyScan());

  // Every keystroke converts the text: "1" is stored, "1x" is refused with a
  // conversion error and the stored value stays.
  s.type("MBin3", "1x");
  ASSERT_EQ(s.op.notices.size(), 1u);
  EXPECT_NE(s.op.notices[0].find("'1x'"), std::string::npos) << s.op.notices[0];
  EXPECT_FLOAT_EQ(s.image().MBin(2), 1.0f);
}

// The scan-level list is rebuilt from the level count; a selection beyond
// the new last item falls back to item 0.
TEST(SettingsPages, LevelCountRebuildsTheScanLevelList) {
  SettingsWindow s;
  auto* count = s.find<QSpinBox>("LevelCount");
  auto* level = s.find<QComboBox>("ScanLevel");
  ASSERT_EQ(level->count(), 4);
  EXPECT_EQ(level->itemText(0), "Low Level0");
  EXPECT_EQ(level->itemText(1), "Low Level1");
  EXPECT_EQ(level->itemText(2), "High Format");
  EXPECT_EQ(level->itemText(3), "Mpcs_High_Format");
  count->setValue(10);
  level->setCurrentIndex(7);
  EXPECT_EQ(s.runtime->station().options().scanLevelIndex.load(), 7);
  count->setValue(5);
  ASSERT_EQ(level->count(), 5);
  EXPECT_EQ(level->currentIndex(), 0);
  EXPECT_EQ(level->itemText(3), "High Format");
  EXPECT_EQ(s.runtime->station().options().scanLevelIndex.load(), 0);
  EXPECT_EQ(s.image().u8(I::kLevelCount), 5);
}

TEST(SettingsPages, HexadecimalEditorsTakeOnlyHexDigits) {
  SettingsWindow s;
  s.openSettings();
  auto* vendor = s.find<QLineEdit>("VendorCode");
  ASSERT_EQ(vendor->text(), "0x");
  QTest::keyClick(vendor, Qt::Key_Backspace);
  EXPECT_EQ(vendor->text(), "0x") << "Backspace keeps a lone 0x";
  QTest::keyClicks(vendor, "1g2Az");
  EXPECT_EQ(vendor->text(), "0x12A");
  QTest::keyClick(vendor, Qt::Key_Backspace);
  EXPECT_EQ(vendor->text(), "0x12");
  // The rule itself, for what a key press cannot show.
  struct Case {
    const char* typed;
    bool backspace;
    const char* current;
    bool accepted;
  };
  for (const Case& c :
       {Case{"f", false, "0x", true}, Case{"F", false, "", true}, Case{"9", false, "0x1", true},
        Case{"g", false, "0x", false}, Case{" ", false, "0x", false}, Case{"", true, "0x", false},
        Case{"", true, "0x1", true}, Case{"", true, "", true}}) {
    SCOPED_TRACE(std::string(c.typed) + (c.backspace ? "<bs>" : "") + " on " + c.current);
    EXPECT_EQ(ui::HexKeyAccepted(QString::fromLatin1(c.typed), c.backspace,
                                 QString::fromLatin1(c.current)),
              c.accepted);
  }
}

// Controls collected at the save reach config.dat when the view is left
// with Esc; until then the image keeps the old values.
TEST(SettingsPages, CollectedEditsReachConfigDatWhenTheViewIsLeftWithEsc) {
  SettingsWindow s;
  s.openSettings();
  s.type("VendorInfo", "ABC");
  s.type("Zone0FixSize", "8");
  s.type("pZonePassword", "secret");
  s.find<QComboBox>("LedStatus")->setCurrentIndex(1);
  EXPECT_EQ(s.image().VendorInfo(), "") << "collected, not yet stored";

  QTest::keyClick(&s.window(), Qt::Key_Escape);
  EXPECT_TRUE(s.window().productionViewShown());
  const std::string file = s.configFile();
  ASSERT_EQ(file.size(), I::kSize);
  EXPECT_EQ(file.substr(I::kVendorInfo, 9), std::string("ABC     \0", 9));
  EXPECT_EQ(file.substr(I::kPrivateZonePassword, 7), std::string("secret\0", 7));
  EXPECT_EQ(std::uint8_t(file[I::kLedStatus]), 1);
  EXPECT_EQ(std::uint8_t(file[I::kZone0FixSectors + 1]), 0x40) << "8 MB = 16384 sectors";
  EXPECT_EQ(s.find<QLabel>("sbarPanel1")->text(), "ABC");
  EXPECT_TRUE(s.op.notices.empty());
}

// A CD-ROM zone 0 whose image file does not exist is reported at the save
// (message 33034 with the caption "Warning"); the rest is saved.
TEST(SettingsPages, MissingCdromImageIsReportedAtTheSaveAndTheRestIsSaved) {
  SettingsWindow s;
  s.openSettings();
  s.find<QComboBox>("DiskType_0")->setCurrentIndex(2);
  s.type("IsoFile", "missing.iso");
  s.type("ProductInfo", "Stick");
  QTest::keyClick(&s.window(), Qt::Key_Escape);
  ASSERT_EQ(s.op.notices.size(), 1u);
  EXPECT_EQ(s.op.notices[0], "Autoplay file not exists");
  const std::string file = s.configFile();
  EXPECT_EQ(std::uint8_t(file[I::kZone0DiskType]), 0x85);
  EXPECT_EQ(file.substr(I::kIsoFile, 12), std::string("missing.iso\0", 12));
  EXPECT_EQ(file.substr(I::kProductInfo, 5), "Stick");
}

// Ctrl and a mouse press on FromBin10 or MBin10 show the engineering pages
// when BlockMode is ticked and hide them when it is not; a plain press
// changes nothing.
TEST(SettingsPages, CtrlPressOnBin10SwitchesTheEngineeringPagesByBlockMode) {
  SettingsWindow s;
  s.openSettings();
  const std::vector<const char*> engineering = {"CodeConfig", "FlashConfig", "BadView",
                                                "TabSheet3"};
  const std::vector<const char*> always = {"TabSheet1", "TabSheet2", "TabSheet5"};
  auto visible = [&](const char* page) { return s.tabs()->isTabVisible(s.tab(page)); };
  auto* fromBin10 = s.find<QLineEdit>("FromBin10");
  auto* mBin10 = s.find<QLineEdit>("MBin10");
  auto* toBin10 = s.find<QLineEdit>("ToBin10");

  EXPECT_FALSE(visible("Debug")) << "hidden at start";
  QTest::mouseClick(fromBin10, Qt::LeftButton);  // no Ctrl
  for (const char* page : engineering) EXPECT_TRUE(visible(page)) << page;
  QTest::mouseClick(toBin10, Qt::LeftButton, Qt::ControlModifier);  // another edit
  for (const char* page : engineering) EXPECT_TRUE(visible(page)) << page;

  QTest::mouseClick(fromBin10, Qt::LeftButton, Qt::ControlModifier);  // BlockMode unticked
  for (const char* page : engineering) EXPECT_FALSE(visible(page)) << page;
  for (const char* page : always) EXPECT_TRUE(visible(page)) << page;

  EXPECT_FALSE(visible("Debug"));

  s.find<QCheckBox>("BlockMode")->click();
  QTest::mouseClick(mBin10, Qt::LeftButton, Qt::ControlModifier);
  for (const char* page : engineering) EXPECT_TRUE(visible(page)) << page;
  EXPECT_TRUE(visible("Debug")) << "the debug page comes with the engineering pages";
}

// The flash-type list through its buttons: names, selection, a field edit,
// and Delete answered Cancel and then OK.
TEST(SettingsPages, FlashTypeListCommandsAndFieldEditsWriteTheTable) {
  SettingsWindow s;
  s.openSettings();
  s.showPage("FlashConfig");
  auto* list = s.find<QListWidget>("FlashNameList");
  ASSERT_EQ(list->count(), 0);
  for (int i = 0; i < 3; ++i) s.find<QPushButton>("AddFlash")->click();
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->item(2)->text(), "not_named_flash_type2");
  EXPECT_EQ(list->currentRow(), 2);
  EXPECT_EQ(s.find<QLineEdit>("FlashNameEdit")->text(), "not_named_flash_type2");
  EXPECT_EQ(s.find<QLineEdit>("bLogSectPerPage")->text(), "4") << "0 is shown and stored as 4";

  s.type("BlockPerChip", "70000");
  s.type("ReadSpeed", "1FF");
  s.find<QCheckBox>("bJmpPHY_PbaReadSpare")->click();
  {
    const ConfigImage img = s.image();
    const ConstFlashTypeRecord r = img.flashTypeRecord(2);
    EXPECT_EQ(r.BlockPerChip(), 70000u);
    EXPECT_EQ(r.BlockPerChip16(), 4464);
    EXPECT_EQ(r.byteAt(68), 0xFF);
    EXPECT_EQ(r.byteAt(99), 0x10);
    EXPECT_EQ(r.LogSectPerPage(), 4);
  }
  // A name typed into the editor names the list entry.
  s.type("FlashNameEdit", "K9GAG08");
  EXPECT_EQ(list->item(2)->text(), "K9GAG08");
  EXPECT_EQ(s.image().flashTypeRecord(2).FlashName(), "K9GAG08");

  list->setCurrentRow(0);
  EXPECT_EQ(s.find<QLineEdit>("BlockPerChip")->text(), "0") << "the selected record is shown";
  s.op.answer = false;
  s.find<QPushButton>("DelFlash")->click();
  EXPECT_EQ(s.op.asked.back(), msg::kDeleteFlashType);
  EXPECT_EQ(list->count(), 3) << "cancelled";
  s.op.answer = true;
  s.find<QPushButton>("DelFlash")->click();
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->currentRow(), 0);
  EXPECT_EQ(list->item(1)->text(), "K9GAG08");
  EXPECT_EQ(s.image().flashTypeCount(), 2u);
  EXPECT_EQ(s.image().flashTypeRecord(1).BlockPerChip(), 70000u);

  // The context menu's rules: Paste only after Copy.
  QMenu* menu = s.built.settings->flashConfigPage()->prepareMenu();
  const QList<QAction*> actions = menu->actions();
  auto enabled = [&](const char* text) {
    for (QAction* a : actions)
      if (a->text() == QLatin1String(text)) return a->isEnabled();
    ADD_FAILURE() << "no menu entry " << text;
    return false;
  };
  EXPECT_TRUE(enabled("Add Flash Type"));
  EXPECT_FALSE(enabled("Paste Flash Type"));
  s.find<QPushButton>("CopyFlash")->click();
  s.built.settings->flashConfigPage()->prepareMenu();
  EXPECT_TRUE(enabled("Paste Flash Type"));
}

// Deleting a code type removes the first flash type that used it as its
// product firmware; the flash page shows it when opened.
TEST(SettingsPages, DeletingACodeTypeRemovesTheFirstFlashTypeUsingIt) {
  SettingsWindow s;
  s.openSettings();
  s.showPage("CodeConfig");
  auto* codes = s.find<QListWidget>("CodeTypeList");
  s.find<QPushButton>("AddCode")->click();
  s.find<QPushButton>("AddCode")->click();
  ASSERT_EQ(codes->count(), 2);
  EXPECT_EQ(codes->item(1)->text(), "not_named_code_type1");
  EXPECT_EQ(s.find<QLineEdit>("CodeLength")->text(), "8");

  s.showPage("FlashConfig");
  auto* flashes = s.find<QListWidget>("FlashNameList");
  auto* codeType = s.find<QComboBox>("CodeType");
  s.find<QPushButton>("AddFlash")->click();  // A: CodeType 0
  ASSERT_EQ(codeType->count(), 2) << "the code-type names reach the flash page when it opens";
  s.find<QPushButton>("AddFlash")->click();  // B: CodeType 1
  codeType->setCurrentIndex(1);
  s.find<QPushButton>("AddFlash")->click();  // C: CodeType 0
  EXPECT_EQ(s.image().flashTypeRecord(1).CodeType(), 1);

  s.showPage("CodeConfig");
  codes->setCurrentRow(0);
  s.find<QPushButton>("DeleteCode")->click();
  EXPECT_EQ(s.op.asked.back(), msg::kDeleteCodeType);
  ASSERT_EQ(codes->count(), 1);
  EXPECT_EQ(codes->item(0)->text(), "not_named_code_type1");

  s.showPage("FlashConfig");
  ASSERT_EQ(flashes->count(), 2);
  EXPECT_EQ(flashes->item(0)->text(), "not_named_flash_type1");
  EXPECT_EQ(flashes->item(1)->text(), "not_named_flash_type2");
}

TEST(SettingsPages, LoadingACodeFileNamesTheCodeTypeAndShowsItsImage) {
  SettingsWindow s;
  s.openSettings();
  s.showPage("CodeConfig");
  s.find<QPushButton>("AddCode")->click();
  std::string bytes(4096, '\0');
  bytes[0] = char(0x11);
  bytes[4] = char(0x22);
  WriteBytes(s.home / "scan_fw.v2.img", bytes);
  s.built.settings->codeConfigPage()->setFileChooser(
      [&](QWidget*) { return QString::fromStdString((s.home / "scan_fw.v2.img").string()); });
  s.find<QPushButton>("LoadCode")->click();
  EXPECT_EQ(s.find<QListWidget>("CodeTypeList")->item(0)->text(), "scan_fw");
  EXPECT_EQ(s.find<QLineEdit>("CodeTypeEdit")->text(), "scan_fw");
  const ConfigImage img = s.image();
  const auto code = img.codeType(0);
  EXPECT_EQ(code[62 + 4092], 0x33) << "the checksum word: 0x11 ^ 0x22";
  const QString view = s.find<QPlainTextEdit>("CodeView")->toPlainText();
  EXPECT_TRUE(view.startsWith("00000000  11 00 00 00 22")) << view.left(60).toStdString();
  EXPECT_EQ(view.count('\n') + 1, 4096 / 16);
}

// The port list shows the port map; "清除端口记录" forgets it.
TEST(SettingsPages, ClearPortRecordsEmptiesThePortMap) {
  SettingsWindow s({}, {}, 2);
  s.runtime->refreshNow();
  ASSERT_EQ(s.runtime->ini().ReadSection("Ports").size(), 2u);
  s.openSettings();
  s.showPage("TabSheet3");
  auto* list = s.find<QListWidget>("PortList");
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(0)->text(), "Port-1-1.1=0");
  s.find<QPushButton>("ClearPorts")->click();
  EXPECT_EQ(list->count(), 0);
  EXPECT_TRUE(s.runtime->ini().ReadSection("Ports").empty());
  EXPECT_EQ(s.runtime->station().record(0).Present.load(), 1) << "port records stay";
}

// The language file the ini names is applied to the pages at start; the
// settings shown stay the image's even when the file carries edit texts.
// A missing or damaged file leaves the built-in texts and says why.
TEST(SettingsPages, LanguageFileAtStart) {
  const std::string english =
      "[Translations]\n"
      "MainForm.TabSheet2.Caption=Zone settings\n"
      "MainForm.Zone0.Caption=Zone 1 settings\n"
      "MainForm.ClearPorts.Caption=Clear port records\n"
      "MainForm.VendorInfo.Text=FromTheFile\n"
      "[EccOpen]\nL0=ECC level 0\nL1=ECC level 1\nL2=ECC level 2\n";
  struct Case {
    const char* name;
    std::optional<std::string> file;  // nothing: no file
    bool applied;
    const char* notice;  // part of the notice
  };
  const std::vector<Case> cases = {
      {"good", english, true, ""},
      {"missing", std::nullopt, false, "was not found; it has been created"},
      {"not utf-8", "[Translations]\nMainForm.TabSheet2.Caption=\xb7\xd6\xc7\xf8\n", false,
       "is not UTF-8 text"},
      {"no texts", "garbage\x01\x02\n[Other]\nx=y\n", false, "holds no texts for the window"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SettingsWindow s(
        [](ConfigImage& img) { img.setText(I::kVendorInfo, I::kVendorInfoWidth, "Orvel   "); },
        [&](const TempDir& home) {
          if (!c.file) return;
          std::filesystem::create_directories(home / "Lang");
          WriteBytes(home / "Lang/English.lng", *c.file);
        });
    QTabWidget* tabs = s.tabs();
    EXPECT_EQ(tabs->tabText(s.tab("TabSheet2")),
              c.applied ? QString("Zone settings") : QString::fromUtf8("分区信息设置"));
    EXPECT_EQ(s.find<QGroupBox>("Zone0")->title(),
              c.applied ? QString("Zone 1 settings") : QString::fromUtf8("分区一设置"));
    EXPECT_EQ(s.find<QLineEdit>("VendorInfo")->text(), "Orvel");
    EXPECT_NE(s.built.languageNotice.find(c.notice), std::string::npos) << s.built.languageNotice;
    EXPECT_EQ(s.built.languageNotice.empty(), c.applied);
    if (c.applied) {
      auto* ecc = s.find<QComboBox>("EccOpen");
      ASSERT_EQ(ecc->count(), 3);
      EXPECT_EQ(ecc->itemText(2), "ECC level 2");
    }
    if (!c.file) {
      const std::string created = ReadBytes(s.home / "Lang/English.lng");
      EXPECT_NE(created.find("MainForm.TabSheet2.Caption=分区信息设置"), std::string::npos);
      EXPECT_NE(created.find("MainForm.ClearPorts.Caption=清除端口记录"), std::string::npos);
    }
  }
}
}  // namespace
}  // namespace kvx::test
